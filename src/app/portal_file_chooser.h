#pragma once

#include "platform/screencapture/portal/portal_address.h"

#include <QObject>
#include <QStringList>

#include <memory>

namespace corvex::app {

/// The desktop's own file chooser, through the portal's FileChooser
/// interface, asked on a thread of its own (the portal answers when the author
/// does). Tells `chosen`, `cancelled` (the author closed the dialog), or
/// `unavailable` with the reason when there is no such portal or it failed:
/// the caller then opens Qt's own dialog.
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

    /// Whether something answers as the portal on its bus (a short call to the bus itself).
    bool isPresent() const;
    /// Asks for one existing file; ignored while a dialog is open.
    void open(const Request& request);
    bool isOpen() const;

Q_SIGNALS:
    void chosen(const QString& path);
    void cancelled();
    void unavailable(const QString& reason);

private:
    struct Worker;
    const screencapture::portal::PortalAddress m_address;
    std::unique_ptr<Worker> m_worker;
};

} // namespace corvex::app
