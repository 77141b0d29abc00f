#pragma once

#include "platform/screencapture/portal/portal_address.h"

#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

namespace corvex::app {

/// The desktop's own file chooser, through the portal's FileChooser
/// interface, asked on a thread of its own (the portal answers when the author
/// does). Whether the desktop has one is asked once, also on that thread, when
/// the chooser is made. Tells `chosen`, `cancelled` (the author closed the
/// dialog), or `unavailable` when there is no such portal (an empty reason) or
/// it failed (the reason): the caller then opens Qt's own dialog.
class PortalFileChooser final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PortalFileChooser)

public:
    struct Request {
        QString title;
        QString folder; // where it opens
        QString filterName; // "Videos"
        QStringList patterns; // "*.mp4", ...
    };

    explicit PortalFileChooser(screencapture::portal::PortalAddress address = {}, QObject* parent = nullptr);
    /// Closes a dialog still open.
    ~PortalFileChooser() override;

    /// Asks for one existing file; ignored while a dialog is open. Asked
    /// before the desktop said whether it has a chooser, it opens once it has.
    void open(const Request& request);
    /// Whether a file is being asked for (the dialog may not be up yet).
    bool isOpen() const;

Q_SIGNALS:
    void chosen(const QString& path);
    void cancelled();
    void unavailable(const QString& reason);

private:
    struct Worker;
    void ask(const Request& request);
    /// Runs `told` on the GUI thread once `worker` is done, unless this or the worker went first.
    void tellWhenDone(Worker* worker, std::function<void()> told);

    const screencapture::portal::PortalAddress m_address;
    std::optional<bool> m_present; // the desktop has a file chooser; none until it said
    std::optional<Request> m_waiting; // asked for before it said
    std::unique_ptr<Worker> m_worker; // of the dialog
    std::unique_ptr<Worker> m_probe; // asks whether there is one
};

} // namespace corvex::app
