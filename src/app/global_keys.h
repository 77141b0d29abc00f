#pragma once

#include <QAbstractNativeEventFilter>
#include <QKeySequence>
#include <QObject>
#include <QString>

#include <array>
#include <cstdint>

struct xcb_connection_t;

namespace corvex::app {

/// The keycode that types the X keysym on this connection's keyboard; 0 for none.
std::uint8_t x11KeycodeOf(xcb_connection_t* connection, std::uint32_t keysym);

class PortalShortcuts;

/// Keys that reach the studio wherever the keyboard focus is: the author
/// starts and saves a recording while the player covers the studio. On X11
/// each key is grabbed on the root window; elsewhere (a Wayland session) the
/// desktop's GlobalShortcuts portal is asked for them, which answers later
/// (`availabilityChanged`). Where another program holds a key already, or the
/// desktop has no such portal, `unavailableReason` says so and the keys of
/// the studio's own windows still work.
class GlobalKeys final : public QObject, public QAbstractNativeEventFilter {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(GlobalKeys)

public:
    enum class Command { Start, Save };

    GlobalKeys(QKeySequence start, QKeySequence save, QObject* parent = nullptr);
    ~GlobalKeys() override;

    /// Whether every key is held; otherwise unavailableReason() says why.
    bool isActive() const { return m_reason.isEmpty(); }
    QString unavailableReason() const { return m_reason; }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

Q_SIGNALS:
    void pressed(corvex::app::GlobalKeys::Command command);
    /// The portal answered: isActive() and unavailableReason() changed.
    void availabilityChanged();

private:
    struct Grab {
        std::uint8_t keycode = 0; // 0: not grabbed
        std::uint16_t modifiers = 0;
        Command command = Command::Start;
    };

    QString grab(const QKeySequence& keys, Command command, Grab& into);
    void release();

    std::array<Grab, 2> m_grabs {};
    PortalShortcuts* m_portal = nullptr; // on the portal's road
    QString m_reason;
};

} // namespace corvex::app
