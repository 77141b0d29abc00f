#include "app/global_keys.h"

#include "app/portal_shortcuts.h"

#include <QGuiApplication>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace corvex::app {

namespace {

// The keys a global key may end in (X keysyms): letters, digits, F-keys and a
// few that no text needs.
std::uint32_t keysymOf(int key)
{
    if (key >= Qt::Key_A && key <= Qt::Key_Z)
        return static_cast<std::uint32_t>('a' + (key - Qt::Key_A));
    if (key >= Qt::Key_0 && key <= Qt::Key_9)
        return static_cast<std::uint32_t>(key);
    if (key >= Qt::Key_F1 && key <= Qt::Key_F35)
        return 0xffbe + static_cast<std::uint32_t>(key - Qt::Key_F1);
    switch (key) {
    case Qt::Key_Space:
        return 0x20;
    case Qt::Key_Pause:
        return 0xff13;
    case Qt::Key_Home:
        return 0xff50;
    case Qt::Key_End:
        return 0xff57;
    case Qt::Key_Insert:
        return 0xff63;
    default:
        return 0;
    }
}

constexpr std::uint16_t kCommandModifiers = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;
// Caps Lock and Num Lock (usually Mod2) must not keep a key from working.
constexpr std::uint16_t kLockVariants[] = { 0, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2, XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2 };

std::uint16_t modifiersOf(Qt::KeyboardModifiers modifiers)
{
    std::uint16_t mask = 0;
    if (modifiers & Qt::ShiftModifier)
        mask |= XCB_MOD_MASK_SHIFT;
    if (modifiers & Qt::ControlModifier)
        mask |= XCB_MOD_MASK_CONTROL;
    if (modifiers & Qt::AltModifier)
        mask |= XCB_MOD_MASK_1;
    if (modifiers & Qt::MetaModifier)
        mask |= XCB_MOD_MASK_4;
    return mask;
}

xcb_connection_t* x11Connection()
{
    const auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->connection() : nullptr;
}

xcb_window_t rootOf(xcb_connection_t* connection)
{
    return xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
}

} // namespace

std::uint8_t x11KeycodeOf(xcb_connection_t* connection, std::uint32_t keysym)
{
    const xcb_setup_t* setup = xcb_get_setup(connection);
    const auto count = static_cast<std::uint8_t>(setup->max_keycode - setup->min_keycode + 1);
    const std::unique_ptr<xcb_get_keyboard_mapping_reply_t, decltype(&std::free)> mapping(
        xcb_get_keyboard_mapping_reply(
            connection, xcb_get_keyboard_mapping(connection, setup->min_keycode, count), nullptr),
        &std::free);
    if (!mapping)
        return 0;
    const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(mapping.get());
    const int perKeycode = mapping->keysyms_per_keycode;
    for (int code = 0; code < count; ++code)
        for (int level = 0; level < perKeycode; ++level)
            if (keysyms[code * perKeycode + level] == keysym)
                return static_cast<std::uint8_t>(setup->min_keycode + code);
    return 0;
}

GlobalKeys::GlobalKeys(QKeySequence start, QKeySequence save, QObject* parent)
    : QObject(parent)
{
    if (!x11Connection()) {
        m_reason = QStringLiteral("Asking the desktop for keys that work over other programs…");
        m_portal = new PortalShortcuts({ { QStringLiteral("start"), QStringLiteral("Start or stop recording"), start },
                                           { QStringLiteral("save"), QStringLiteral("Save the recording"), save } },
            {}, this);
        connect(m_portal, &PortalShortcuts::bound, this, [this] {
            m_reason.clear();
            Q_EMIT availabilityChanged();
        });
        connect(m_portal, &PortalShortcuts::unavailable, this, [this](const QString& reason) {
            m_reason = reason;
            Q_EMIT availabilityChanged();
        });
        connect(m_portal, &PortalShortcuts::activated, this, [this](const QString& id) {
            if (id == QLatin1String("start"))
                Q_EMIT pressed(Command::Start);
            else if (id == QLatin1String("save"))
                Q_EMIT pressed(Command::Save);
        });
        return;
    }
    m_reason = grab(start, Command::Start, m_grabs[0]);
    if (m_reason.isEmpty())
        m_reason = grab(save, Command::Save, m_grabs[1]);
    if (!m_reason.isEmpty()) {
        release();
        return;
    }
    qGuiApp->installNativeEventFilter(this);
}

GlobalKeys::~GlobalKeys()
{
    if (!m_portal && qGuiApp)
        qGuiApp->removeNativeEventFilter(this);
    release();
}

QString GlobalKeys::grab(const QKeySequence& keys, Command command, Grab& into)
{
    const QString name = keys.toString(QKeySequence::NativeText);
    if (keys.count() != 1)
        return QStringLiteral("The key \"%1\" cannot be held for the studio: choose one key with Ctrl, Alt or Meta "
                              "in Settings.")
            .arg(name);
    const QKeyCombination combination = keys[0];
    const std::uint16_t modifiers = modifiersOf(combination.keyboardModifiers());
    const std::uint32_t keysym = keysymOf(combination.key());
    xcb_connection_t* connection = x11Connection();
    const std::uint8_t keycode = keysym != 0 ? x11KeycodeOf(connection, keysym) : 0;
    if (keycode == 0 || (modifiers & (XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4)) == 0)
        return QStringLiteral("The key \"%1\" cannot be held for the studio: choose a letter, digit or F-key with "
                              "Ctrl, Alt or Meta in Settings.")
            .arg(name);
    for (const std::uint16_t locks : kLockVariants) {
        const xcb_void_cookie_t cookie = xcb_grab_key_checked(connection, 1, rootOf(connection),
            static_cast<std::uint16_t>(modifiers | locks), keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        if (xcb_generic_error_t* error = xcb_request_check(connection, cookie)) {
            std::free(error);
            into = { keycode, modifiers, command };
            return QStringLiteral("The key \"%1\" is taken by another program: choose another in Settings.").arg(name);
        }
    }
    into = { keycode, modifiers, command };
    return {};
}

void GlobalKeys::release()
{
    xcb_connection_t* connection = x11Connection();
    if (!connection)
        return;
    for (Grab& grab : m_grabs) {
        if (grab.keycode == 0)
            continue;
        for (const std::uint16_t locks : kLockVariants)
            xcb_ungrab_key(
                connection, grab.keycode, rootOf(connection), static_cast<std::uint16_t>(grab.modifiers | locks));
        grab.keycode = 0;
    }
    xcb_flush(connection);
}

bool GlobalKeys::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
    if (eventType != "xcb_generic_event_t")
        return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_KEY_PRESS)
        return false;
    const auto* press = static_cast<const xcb_key_press_event_t*>(message);
    for (const Grab& grab : m_grabs) {
        if (grab.keycode != 0 && press->detail == grab.keycode
            && (press->state & kCommandModifiers) == grab.modifiers) {
            Q_EMIT pressed(grab.command);
            return true;
        }
    }
    return false;
}

} // namespace corvex::app
