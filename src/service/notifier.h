#pragma once

#include <QObject>

namespace corvex::service {

/// The process's notification centre: any part of the program posts, any
/// open view listens. Lives on the GUI thread; post from there.
class Notifier final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Notifier)

public:
    static Notifier& instance();

    void postRefreshLightShows() { Q_EMIT refreshLightShows(); }

Q_SIGNALS:
    /// The author's light shows changed on the service (an upload succeeded).
    void refreshLightShows();

private:
    Notifier() = default;
};

} // namespace corvex::service
