// The keys that start and save a recording from anywhere on the desktop: on
// X11 pressed through the X server's test extension as a keyboard would; on a
// desktop without X11 (the program run on the offscreen platform) bound through
// a stand-in for the desktop portal's GlobalShortcuts.

#include "app/global_keys.h"
#include "app/portal_shortcuts.h"
#include "support/fake_portal.h"

#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QGuiApplication>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTest>
#include <QWindow>

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <memory>

using corvex::app::GlobalKeys;

using corvex::app::PortalShortcut;
using corvex::testing::kPortalPath;
using corvex::testing::portalPath;
using corvex::testing::respondLater;

namespace {

constexpr std::uint32_t kControl = 0xffe3;
constexpr std::uint32_t kAlt = 0xffe9;
constexpr std::uint32_t kShift = 0xffe1;
constexpr std::uint32_t kCapsLock = 0xffe5;

// Another client of the X server: it presses keys, or holds one first.
class Keyboard {
public:
    Keyboard()
        : m_connection(xcb_connect(nullptr, nullptr), &xcb_disconnect)
    {
    }
    xcb_connection_t* connection() const { return m_connection.get(); }
    xcb_window_t root() const { return xcb_setup_roots_iterator(xcb_get_setup(connection())).data->root; }

    void type(const QList<std::uint32_t>& keysyms)
    {
        for (const std::uint32_t keysym : keysyms)
            fake(XCB_KEY_PRESS, keysym);
        for (auto it = keysyms.rbegin(); it != keysyms.rend(); ++it)
            fake(XCB_KEY_RELEASE, *it);
        xcb_flush(connection());
    }
    // Whether this client could hold the key (it then does).
    bool hold(std::uint32_t keysym, std::uint16_t modifiers)
    {
        xcb_generic_error_t* error = xcb_request_check(connection(),
            xcb_grab_key_checked(connection(), 1, root(), modifiers, corvex::app::x11KeycodeOf(connection(), keysym),
                XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        free(error);
        return error == nullptr;
    }

private:
    void fake(std::uint8_t type, std::uint32_t keysym)
    {
        xcb_test_fake_input(
            connection(), type, corvex::app::x11KeycodeOf(connection(), keysym), XCB_CURRENT_TIME, XCB_NONE, 0, 0, 0);
    }

    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> m_connection;
};

// The session's Close, as the portal offers it.
class FakeSession final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Session")
public:
    explicit FakeSession(QObject* parent)
        : QDBusAbstractAdaptor(parent)
    {
    }
    bool closed = false;
public Q_SLOTS:
    void Close() { closed = true; }
};

// The desktop portal's GlobalShortcuts: opens a session, answers BindShortcuts
// with `code`, and presses a bound key when asked.
class FakeGlobalShortcuts final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.GlobalShortcuts")
    Q_PROPERTY(uint version READ version)
public:
    FakeGlobalShortcuts(QObject* parent, const QDBusConnection& bus)
        : QDBusAbstractAdaptor(parent)
        , m_bus(bus)
        , m_sessionAdaptor(new FakeSession(&m_sessionObject))
    {
    }
    ~FakeGlobalShortcuts() override { m_bus.unregisterObject(session); }
    uint version() const { return 1; }
    uint code = 0;
    bool bindsThem = true; // false: answers, yet binds nothing
    QString session;
    QList<PortalShortcut> asked;
    bool closed() const { return m_sessionAdaptor->closed; }

    void press(const QString& id, const QString& inSession)
    {
        QDBusMessage activated = QDBusMessage::createSignal(
            kPortalPath, QStringLiteral("org.freedesktop.portal.GlobalShortcuts"), QStringLiteral("Activated"));
        activated << QVariant::fromValue(QDBusObjectPath(inSession)) << id << quint64(0) << QVariantMap();
        m_bus.send(activated);
    }

public Q_SLOTS:
    QDBusObjectPath CreateSession(const QVariantMap& options, const QDBusMessage& call)
    {
        session = portalPath(QStringLiteral("session"), call, options.value(QStringLiteral("session_handle_token")));
        m_bus.registerObject(session, &m_sessionObject, QDBusConnection::ExportAdaptors);
        return respondLater(this, m_bus.name(), call, options, 0, { { QStringLiteral("session_handle"), session } });
    }
    QDBusObjectPath BindShortcuts(const QDBusObjectPath&, const QList<corvex::app::PortalShortcut>& shortcuts,
        const QString&, const QVariantMap& options, const QDBusMessage& call)
    {
        asked = shortcuts;
        const QVariantMap results { { QStringLiteral("shortcuts"),
            QVariant::fromValue(bindsThem ? shortcuts : QList<PortalShortcut>()) } };
        return respondLater(this, m_bus.name(), call, options, code, results);
    }

private:
    QDBusConnection m_bus;
    QObject m_sessionObject;
    FakeSession* m_sessionAdaptor;
};

bool onX11()
{
    return QGuiApplication::platformName() == QLatin1String("xcb");
}

} // namespace

Q_DECLARE_METATYPE(GlobalKeys::Command)

class TestGlobalKeys : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        qDBusRegisterMetaType<PortalShortcut>();
        qDBusRegisterMetaType<QList<PortalShortcut>>();
    }

    void init()
    {
        const bool x11Test = !QByteArray(QTest::currentTestFunction()).startsWith("portal");
        if (x11Test && !onX11())
            QSKIP("needs the test X server: run on the xcb platform");
        if (!x11Test && onX11())
            QSKIP("the portal is asked only without X11: run on the offscreen platform");
    }

    // The desktop is asked for both keys with what they do and the keys set;
    // only a press in the studio's own session counts, and the keys go when
    // the studio does. A portal that declines or fails, or none, says why.
    void portalKeys_data()
    {
        QTest::addColumn<bool>("offered"); // whether the portal has GlobalShortcuts
        QTest::addColumn<uint>("code");
        QTest::addColumn<bool>("bindsThem");
        QTest::addColumn<QString>("reason"); // empty: bound
        QTest::newRow("bound") << true << 0u << true << QString();
        QTest::newRow("answered, bound nothing") << true << 0u << false << "bound none";
        QTest::newRow("declined by the author") << true << 1u << true << "were declined";
        QTest::newRow("failed") << true << 2u << true << "did not give the studio";
        QTest::newRow("a portal without them") << false << 0u << true << "offers no keys";
    }
    void portalKeys()
    {
        QFETCH(bool, offered);
        QFETCH(uint, code);
        QFETCH(bool, bindsThem);
        QFETCH(QString, reason);
        QDBusConnection bus = QDBusConnection::sessionBus();
        QObject portalObject;
        QObject otherPortalObject;
        auto* shortcuts = new FakeGlobalShortcuts(&portalObject, bus);
        shortcuts->code = code;
        shortcuts->bindsThem = bindsThem;
        const QString service = QStringLiteral("org.freedesktop.portal.Desktop");
        QVERIFY(bus.registerObject(
            kPortalPath, offered ? &portalObject : &otherPortalObject, QDBusConnection::ExportAdaptors));
        QVERIFY(bus.registerService(service));
        auto gone = qScopeGuard([&] {
            bus.unregisterService(service);
            bus.unregisterObject(kPortalPath);
        });

        auto keys = std::make_unique<GlobalKeys>(
            QKeySequence(QStringLiteral("Ctrl+Alt+R")), QKeySequence(QStringLiteral("Ctrl+Alt+S")));
        QVERIFY(!keys->isActive());
        QSignalSpy answered(keys.get(), &GlobalKeys::availabilityChanged);
        QVERIFY(answered.wait(10000));
        if (!reason.isEmpty()) {
            QVERIFY(!keys->isActive());
            QVERIFY2(keys->unavailableReason().contains(reason), qPrintable(keys->unavailableReason()));
            return;
        }
        QVERIFY2(keys->isActive(), qPrintable(keys->unavailableReason()));
        QCOMPARE(shortcuts->asked.size(), 2);
        QCOMPARE(shortcuts->asked[0].id, QStringLiteral("start"));
        QCOMPARE(shortcuts->asked[0].details.value(QStringLiteral("preferred_trigger")).toString(),
            QStringLiteral("CTRL+ALT+r"));
        QCOMPARE(shortcuts->asked[1].id, QStringLiteral("save"));
        QCOMPARE(shortcuts->asked[1].details.value(QStringLiteral("preferred_trigger")).toString(),
            QStringLiteral("CTRL+ALT+s"));
        QVERIFY(!shortcuts->asked[1].details.value(QStringLiteral("description")).toString().isEmpty());

        QSignalSpy pressed(keys.get(), &GlobalKeys::pressed);
        shortcuts->press(QStringLiteral("start"), shortcuts->session + QStringLiteral("x")); // someone else's
        shortcuts->press(QStringLiteral("save"), shortcuts->session);
        QTRY_COMPARE(pressed.count(), 1);
        QCOMPARE(pressed.first().first().value<GlobalKeys::Command>(), GlobalKeys::Command::Save);
        shortcuts->press(QStringLiteral("start"), shortcuts->session);
        QTRY_COMPARE(pressed.count(), 2);
        QCOMPARE(pressed.last().first().value<GlobalKeys::Command>(), GlobalKeys::Command::Start);

        keys.reset();
        QTRY_VERIFY(shortcuts->closed());
    }

    // Without a session bus nothing is asked: no bus is started for the
    // studio (dbus-launch may hang), and the menu says why.
    void portalWithoutASessionBus()
    {
        const QByteArray bus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
        const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        qunsetenv("XDG_RUNTIME_DIR");
        auto back = qScopeGuard([&] {
            qputenv("DBUS_SESSION_BUS_ADDRESS", bus);
            qputenv("XDG_RUNTIME_DIR", runtime);
        });
        GlobalKeys keys(QKeySequence(QStringLiteral("Ctrl+Alt+R")), QKeySequence(QStringLiteral("Ctrl+Alt+S")));
        QSignalSpy answered(&keys, &GlobalKeys::availabilityChanged);
        QVERIFY(answered.wait(10000));
        QVERIFY2(
            keys.unavailableReason().contains(QStringLiteral("no session bus")), qPrintable(keys.unavailableReason()));
    }

    // The trigger suggested to the desktop, in freedesktop.org's notation: the
    // keysym's own name, and nothing for what has no single key.
    void portalTriggers_data()
    {
        QTest::addColumn<QString>("keys");
        QTest::addColumn<QString>("trigger");
        // Every modifier; the ends of the letters, the digits and the function keys; keys without one name.
        const char* rows[][2] = { { "Ctrl+Alt+Shift+Meta+F12", "CTRL+ALT+SHIFT+LOGO+F12" }, { "Alt+0", "ALT+0" },
            { "Ctrl+A", "CTRL+a" }, { "Ctrl+Alt+Z", "CTRL+ALT+z" }, { "Meta+9", "LOGO+9" }, { "Ctrl+F1", "CTRL+F1" },
            { "Ctrl+F35", "CTRL+F35" }, { "Ctrl+Space", "CTRL+space" }, { "Ctrl+Tab", "" }, { "Ctrl+R, Ctrl+S", "" } };
        for (const auto& [keys, trigger] : rows)
            QTest::newRow(keys) << QString::fromLatin1(keys) << QString::fromLatin1(trigger);
    }
    void portalTriggers()
    {
        QFETCH(QString, keys);
        QFETCH(QString, trigger);
        QCOMPARE(corvex::app::portalTriggerOf(QKeySequence(keys)), trigger);
    }

    // Each key, a letter or a function key, reaches the studio with Caps Lock on
    // or off, and only the combination set: a missing or extra modifier is
    // someone else's key.
    void keysReachTheStudio_data()
    {
        QTest::addColumn<QList<std::uint32_t>>("typed");
        QTest::addColumn<int>("command"); // -1: none
        QTest::addColumn<bool>("capsLock");
        QTest::addColumn<QString>("start"); // the key set for Start
        const auto row = [](const char* tag, QList<std::uint32_t> typed, int command, bool capsLock = false,
                             const QString& start = QStringLiteral("Ctrl+Alt+R")) {
            QTest::newRow(tag) << typed << command << capsLock << start;
        };
        const int start = int(GlobalKeys::Command::Start);
        const std::uint32_t r = 'r', f9 = 0xffc6;
        row("start", { kControl, kAlt, r }, start);
        row("save, on a function key", { kControl, kShift, f9 }, int(GlobalKeys::Command::Save));
        row("start, Caps Lock on", { kControl, kAlt, r }, start, true);
        row("without Alt", { kControl, r }, -1);
        row("with Shift as well", { kControl, kAlt, kShift, r }, -1);
        row("another letter", { kControl, kAlt, std::uint32_t('t') }, -1);
        // The first and last letters and digits.
        row("start on A", { kControl, kAlt, std::uint32_t('a') }, start, false, QStringLiteral("Ctrl+Alt+A"));
        row("start on Z", { kControl, kAlt, std::uint32_t('z') }, start, false, QStringLiteral("Ctrl+Alt+Z"));
        row("start on 0", { kControl, kAlt, std::uint32_t('0') }, start, false, QStringLiteral("Ctrl+Alt+0"));
        row("start on 9", { kControl, kAlt, std::uint32_t('9') }, start, false, QStringLiteral("Ctrl+Alt+9"));
        // The other keys that no text needs.
        for (const auto& [name, keysym] : { std::pair("Space", 0x20u), std::pair("Pause", 0xff13u),
                 std::pair("Home", 0xff50u), std::pair("End", 0xff57u), std::pair("Insert", 0xff63u) })
            row(("start on " + QByteArray(name)).constData(), { kControl, kAlt, keysym }, start, false,
                QStringLiteral("Ctrl+Alt+") + QLatin1StringView(name));
    }
    void keysReachTheStudio()
    {
        QFETCH(QList<std::uint32_t>, typed);
        QFETCH(int, command);
        QFETCH(bool, capsLock);
        QFETCH(QString, start);
        GlobalKeys keys(QKeySequence(start), QKeySequence(QStringLiteral("Ctrl+Shift+F9")));
        QVERIFY2(keys.isActive(), qPrintable(keys.unavailableReason()));
        QSignalSpy pressed(&keys, &GlobalKeys::pressed);
        // A held key must reach the studio through its grab, with no window of the studio
        // in front. A key it does not hold is typed into a window of the studio, where it
        // reaches the filter the held keys are looked for in.
        QWindow window;
        if (command < 0) {
            window.resize(200, 100);
            window.show();
            QVERIFY(QTest::qWaitForWindowActive(&window));
        }
        Keyboard keyboard;
        if (capsLock)
            keyboard.type({ kCapsLock });
        keyboard.type(typed);
        if (capsLock)
            keyboard.type({ kCapsLock });
        if (command < 0) {
            QTest::qWait(300);
            QCOMPARE(pressed.count(), 0);
        } else {
            QTRY_COMPARE(pressed.count(), 1);
            QCOMPARE(pressed.first().first().value<GlobalKeys::Command>(), GlobalKeys::Command(command));
        }
    }

    // A key the studio cannot hold says why, and holds nothing: the other key
    // stays free for the program that has it or gets it next.
    void keysThatCannotBeHeld_data()
    {
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("save");
        QTest::addColumn<int>("taken"); // the modifiers another program holds S with
        QTest::addColumn<QString>("reason");
        constexpr int ctrlAlt = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1;
        QTest::newRow("taken by another program") << "Ctrl+Alt+R"
                                                  << "Ctrl+Alt+S" << ctrlAlt << "taken by another program";
        QTest::newRow("taken with Num Lock on")
            << "Ctrl+Alt+R"
            << "Ctrl+Alt+S" << (ctrlAlt | XCB_MOD_MASK_2) << "taken by another program";
        QTest::newRow("no modifier") << "R"
                                     << "Ctrl+Alt+S" << 0 << "choose a letter";
        QTest::newRow("Shift alone") << "Shift+R"
                                     << "Ctrl+Alt+S" << 0 << "choose a letter";
        QTest::newRow("two keys in a row") << "Ctrl+Alt+R, Ctrl+Alt+T"
                                           << "Ctrl+Alt+S" << 0 << "choose one key";
        QTest::newRow("a key without a keysym here") << "Ctrl+Alt+Tab"
                                                     << "Ctrl+Alt+S" << 0 << "choose a letter";
    }
    void keysThatCannotBeHeld()
    {
        QFETCH(QString, start);
        QFETCH(QString, save);
        QFETCH(int, taken);
        QFETCH(QString, reason);
        Keyboard other;
        if (taken)
            QVERIFY(other.hold('s', std::uint16_t(taken)));
        GlobalKeys keys { QKeySequence(start), QKeySequence(save) };
        QVERIFY(!keys.isActive());
        QVERIFY2(keys.unavailableReason().contains(reason), qPrintable(keys.unavailableReason()));
        // The studio holds nothing it cannot use: Ctrl+Alt+R is free for others.
        QVERIFY(Keyboard().hold('r', XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1));
        // Nor the lock variants of a taken key it held before it met the other program's.
        if (taken & XCB_MOD_MASK_2)
            QVERIFY(Keyboard().hold('s', XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1));
    }
};

QTEST_MAIN(TestGlobalKeys)
#include "tst_global_keys.moc"
