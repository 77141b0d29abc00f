// The keys that start and save a recording from anywhere on an X11 desktop,
// pressed through the X server's test extension as a keyboard would.

#include "app/global_keys.h"

#include <QGuiApplication>
#include <QSignalSpy>
#include <QTest>

#include <xcb/xcb.h>
#include <xcb/xtest.h>

#include <memory>

using corvex::app::GlobalKeys;

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
        xcb_test_fake_input(connection(), type, corvex::app::x11KeycodeOf(connection(), keysym), XCB_CURRENT_TIME,
            XCB_NONE, 0, 0, 0);
    }

    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> m_connection;
};

} // namespace

Q_DECLARE_METATYPE(GlobalKeys::Command)

class TestGlobalKeys : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            QSKIP("needs the test X server (scripts/test-services)");
    }

    // Each key reaches the studio with Caps Lock on or off, and only the
    // combination set: a missing or extra modifier is someone else's key.
    void keysReachTheStudio_data()
    {
        QTest::addColumn<QList<std::uint32_t>>("typed");
        QTest::addColumn<int>("command"); // -1: none
        QTest::addColumn<bool>("capsLock");
        const std::uint32_t r = 'r', s = 's';
        QTest::newRow("start") << QList<std::uint32_t> { kControl, kAlt, r } << int(GlobalKeys::Command::Start) << false;
        QTest::newRow("save") << QList<std::uint32_t> { kControl, kAlt, s } << int(GlobalKeys::Command::Save) << false;
        QTest::newRow("start, Caps Lock on") << QList<std::uint32_t> { kControl, kAlt, r }
                                             << int(GlobalKeys::Command::Start) << true;
        QTest::newRow("without Alt") << QList<std::uint32_t> { kControl, r } << -1 << false;
        QTest::newRow("with Shift as well") << QList<std::uint32_t> { kControl, kAlt, kShift, r } << -1 << false;
        QTest::newRow("another letter") << QList<std::uint32_t> { kControl, kAlt, std::uint32_t('t') } << -1 << false;
    }
    void keysReachTheStudio()
    {
        QFETCH(QList<std::uint32_t>, typed);
        QFETCH(int, command);
        QFETCH(bool, capsLock);
        GlobalKeys keys(QKeySequence(QStringLiteral("Ctrl+Alt+R")), QKeySequence(QStringLiteral("Ctrl+Alt+S")));
        QVERIFY2(keys.isActive(), qPrintable(keys.unavailableReason()));
        QSignalSpy pressed(&keys, &GlobalKeys::pressed);
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
        QTest::addColumn<bool>("takenFirst"); // another program holds Ctrl+Alt+S
        QTest::addColumn<QString>("reason");
        QTest::newRow("taken by another program") << "Ctrl+Alt+R" << "Ctrl+Alt+S" << true << "taken by another program";
        QTest::newRow("no modifier") << "R" << "Ctrl+Alt+S" << false << "choose a letter";
        QTest::newRow("Shift alone") << "Shift+R" << "Ctrl+Alt+S" << false << "choose a letter";
        QTest::newRow("two keys in a row") << "Ctrl+Alt+R, Ctrl+Alt+T" << "Ctrl+Alt+S" << false << "choose one key";
        QTest::newRow("a key without a keysym here") << "Ctrl+Alt+Tab" << "Ctrl+Alt+S" << false << "choose a letter";
    }
    void keysThatCannotBeHeld()
    {
        QFETCH(QString, start);
        QFETCH(QString, save);
        QFETCH(bool, takenFirst);
        QFETCH(QString, reason);
        Keyboard other;
        if (takenFirst)
            QVERIFY(other.hold('s', XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1));
        GlobalKeys keys { QKeySequence(start), QKeySequence(save) };
        QVERIFY(!keys.isActive());
        QVERIFY2(keys.unavailableReason().contains(reason), qPrintable(keys.unavailableReason()));
        // The studio holds nothing it cannot use: Ctrl+Alt+R is free for others.
        QVERIFY(Keyboard().hold('r', XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1));
    }
};

QTEST_MAIN(TestGlobalKeys)
#include "tst_global_keys.moc"
