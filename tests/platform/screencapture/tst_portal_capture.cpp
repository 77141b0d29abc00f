// Capture through the screen-cast portal and PipeWire, on the headless Wayland desktop of
// scripts/wayland-test-services.

#include "platform/screencapture/capture_backend.h"
#include "platform/screencapture/portal/pipewire_video_stream.h"
#include "platform/screencapture/portal/portal_backend.h"
#include "support/click_player.h"
#include "support/fake_pipewire_screen.h"
#include "support/fake_portal.h"
#include "support/stream_collector.h"
#include "support/wayland_test_desktop.h"

#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QSize>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <mutex>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace corvex;
using namespace corvex::screencapture;
using corvex::test::Collector;
using corvex::test::WaylandPainter;
using corvex::test::WaylandTestDesktop;
using corvex::testing::portalPath;
using corvex::testing::respondLater;

namespace {

std::uint32_t rgbAt(const SampleBuffer& frame, int x, int y)
{
    const std::uint8_t* p = frame.imageBuffer->baseAddress() + y * frame.imageBuffer->bytesPerRow() + 4 * x;
    return std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];
}

// The paint client's grid, row by row.
const std::uint32_t kGrid[9]
    = { 0xff0000, 0x00ff00, 0x0000ff, 0xffff00, 0x00ffff, 0xff00ff, 0xffffff, 0x000000, 0x808080 };

bool isColour(const SampleBuffer& frame, std::uint32_t rgb)
{
    return rgbAt(frame, 0, 0) == rgb
        && rgbAt(frame, frame.imageBuffer->width() - 1, frame.imageBuffer->height() - 1) == rgb;
}

StreamConfiguration configuration(int width, media::MediaTime interval, bool withAudio)
{
    StreamConfiguration configuration;
    configuration.capturesAudio = withAudio;
    configuration.width = width;
    configuration.height = width * 1080 / 1920;
    configuration.minimumFrameInterval = interval;
    configuration.queueDepth = 5;
    configuration.showsCursor = false;
    return configuration;
}

struct Capture : test::CaptureRun {
    Capture(std::shared_ptr<CaptureBackend> backend, int width,
        media::MediaTime interval = media::MediaTime::make(1, 30), bool withAudio = false)
        : CaptureRun(std::move(backend), ContentFilter::forDisplay({ 1, 1920, 1080, {}, {} }, {}, {}),
            configuration(width, interval, withAudio))
    {
    }

    /// Paints until a frame shows what `matches` (the compositor sends frames only on changes).
    std::optional<SampleBuffer> paintUntil(
        WaylandPainter& painter, const QByteArray& what, const std::function<bool(const SampleBuffer&)>& matches)
    {
        for (int attempt = 0; attempt < 30; ++attempt) {
            if (painter.paint(what) == 0)
                return std::nullopt;
            if (auto frame = frameWhere(matches, 500))
                return frame;
            std::lock_guard lock(collector->mutex);
            if (!collector->errors.empty())
                return std::nullopt;
        }
        return std::nullopt;
    }
    std::optional<SampleBuffer> paintUntilSeen(WaylandPainter& painter, std::uint32_t colour)
    {
        return paintUntil(painter, QByteArray::number(colour, 16).rightJustified(6, '0'),
            [&](const SampleBuffer& f) { return isColour(f, colour); });
    }
    /// What arrived, for failure messages.
    std::string describe()
    {
        std::lock_guard lock(collector->mutex);
        std::string text = std::to_string(collector->frames.size()) + " frames";
        if (!collector->frames.empty())
            text += ", the last at " + std::to_string(rgbAt(collector->frames.back().buffer, 0, 0));
        for (const CaptureError& error : collector->errors)
            text += "; " + error.localizedDescription;
        return text;
    }
};

/// What a PipeWire stream handed over, for the tests that feed it from a fake screen.
struct Received {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<SampleBuffer> frames;
    std::vector<std::int64_t> handedOver; // when each frame reached us, host clock
    std::vector<std::string> errors;

    portal::PipeWireVideoStream::Events events()
    {
        portal::PipeWireVideoStream::Events e;
        e.frame = [this](SampleBuffer frame) {
            const std::int64_t now = hostTimeNanoseconds();
            std::lock_guard lock(mutex);
            frames.push_back(std::move(frame));
            handedOver.push_back(now);
            changed.notify_all();
        };
        e.failure = [this](CaptureError error) {
            std::lock_guard lock(mutex);
            errors.push_back(error.localizedDescription);
            changed.notify_all();
        };
        return e;
    }
    /// The one failure the stream reports, watched ten times a second as the capture's control
    /// thread does (`each` first each time); empty when none came within 20 s, or more than one.
    QString failure(portal::PipeWireVideoStream& stream, const std::function<void()>& each = {}, bool watched = true)
    {
        for (int attempt = 0; attempt < 200; ++attempt) {
            if (each)
                each();
            if (watched)
                stream.check();
            std::unique_lock lock(mutex);
            if (changed.wait_for(lock, std::chrono::milliseconds(100), [&] { return !errors.empty(); }))
                break;
        }
        std::lock_guard lock(mutex);
        return errors.size() == 1 ? QString::fromStdString(errors.front()) : QString();
    }
    /// Sends frames of `colour` until one arrives or the stream fails.
    bool feed(test::FakePipeWireScreen& screen, portal::PipeWireVideoStream& stream, std::uint32_t colour)
    {
        for (int attempt = 0; attempt < 150; ++attempt) {
            screen.send(colour);
            stream.check();
            std::unique_lock lock(mutex);
            if (changed.wait_for(
                    lock, std::chrono::milliseconds(100), [&] { return !frames.empty() || !errors.empty(); }))
                return errors.empty();
        }
        return false;
    }
};

/// A stream in Start's answer: (node, {source_type}), with no size, as KDE's portal gives it.
struct CastStream {
    uint node = 0;
};

QDBusArgument& operator<<(QDBusArgument& argument, const CastStream& stream)
{
    argument.beginStructure();
    argument << stream.node << QVariantMap { { QStringLiteral("source_type"), uint(1) } };
    argument.endStructure();
    return argument;
}
const QDBusArgument& operator>>(const QDBusArgument& argument, CastStream& stream)
{
    QVariantMap properties;
    argument.beginStructure();
    argument >> stream.node >> properties;
    argument.endStructure();
    return argument;
}

} // namespace

Q_DECLARE_METATYPE(CastStream)

namespace {

/// A screen-cast portal that is too old, fails to start with a reason, or ends the session
/// itself; it answers every request at once, as a dialog the user confirmed.
class FakeScreenCast final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.ScreenCast")
    Q_PROPERTY(uint version READ version)
    Q_PROPERTY(uint AvailableSourceTypes READ sourceTypes)
    Q_PROPERTY(uint AvailableCursorModes READ cursorModes)
public:
    struct Script {
        uint startCode = 0; // Start's Response code
        QString startError; // the reason it gives with a failure
        uint node = 0; // the PipeWire node it hands over
        QString pipeWireSocket;
        uint sourceTypes = 1; // what it offers: 1 monitors, 2 windows, 4 virtual
        uint version = 4;
        bool streams = true; // with a Start that succeeds: whether it hands over a stream
    };

    FakeScreenCast(QObject* parent, const QString& busName, Script script)
        : QDBusAbstractAdaptor(parent)
        , m_busName(busName)
        , m_script(std::move(script))
    {
    }
    uint version() const { return m_script.version; }
    uint sourceTypes() const { return m_script.sourceTypes; }
    uint cursorModes() const { return 1 | 2; } // hidden or embedded

    /// What SelectSources was asked, the first time.
    QVariantMap selection() const
    {
        std::lock_guard lock(m_mutex);
        return m_selection;
    }

    /// Ends the last session from the desktop's side, as when the user stops sharing.
    Q_INVOKABLE void closeSession()
    {
        QDBusMessage closed
            = QDBusMessage::createSignal(m_session, QStringLiteral("org.freedesktop.portal.Session"), "Closed");
        closed << QVariantMap();
        bus().send(closed);
    }

public Q_SLOTS:
    QDBusObjectPath CreateSession(const QVariantMap& options, const QDBusMessage& message)
    {
        m_session
            = portalPath(QStringLiteral("session"), message, options.value(QStringLiteral("session_handle_token")));
        return respondLater(this, m_busName, message, options, 0, { { QStringLiteral("session_handle"), m_session } });
    }
    QDBusObjectPath SelectSources(const QDBusObjectPath&, const QVariantMap& options, const QDBusMessage& message)
    {
        {
            std::lock_guard lock(m_mutex);
            if (m_selection.isEmpty())
                m_selection = options;
        }
        return respondLater(this, m_busName, message, options, 0, {});
    }
    QDBusObjectPath Start(
        const QDBusObjectPath&, const QString&, const QVariantMap& options, const QDBusMessage& message)
    {
        QVariantMap results;
        if (m_script.startCode == 0 && m_script.streams)
            results.insert(
                QStringLiteral("streams"), QVariant::fromValue(QList<CastStream> { CastStream { m_script.node } }));
        else if (!m_script.startError.isEmpty())
            results.insert(QStringLiteral("error"), m_script.startError);
        return respondLater(this, m_busName, message, options, m_script.startCode, results);
    }
    QDBusUnixFileDescriptor OpenPipeWireRemote(const QDBusObjectPath&, const QVariantMap&, const QDBusMessage& message)
    {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, m_script.pipeWireSocket.toLocal8Bit().constData(), sizeof address.sun_path - 1);
        QDBusUnixFileDescriptor handed;
        if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            handed.setFileDescriptor(fd); // a copy
        if (fd >= 0)
            ::close(fd);
        if (!handed.isValid()) { // as a portal that cannot reach PipeWire answers
            message.setDelayedReply(true);
            bus().send(message.createErrorReply(QDBusError::Failed, QStringLiteral("PipeWire cannot be reached")));
        }
        return handed;
    }

private:
    QDBusConnection bus() const { return QDBusConnection(m_busName); }
    const QString m_busName;
    const Script m_script;
    QString m_session;
    mutable std::mutex m_mutex; // guards m_selection, which the test reads
    QVariantMap m_selection;
};

/// The fake portal on the test desktop's bus, on a thread of its own (the code under test blocks).
class FakePortal {
public:
    FakePortal(const QString& busAddress, const QString& service, FakeScreenCast::Script script)
        : m_service(service)
    {
        qDBusRegisterMetaType<CastStream>();
        qDBusRegisterMetaType<QList<CastStream>>();
        m_bus = QDBusConnection::connectToBus(busAddress, service);
        m_object = new QObject;
        m_adaptor = new FakeScreenCast(m_object, service, std::move(script));
        m_thread.start();
        m_object->moveToThread(&m_thread);
        m_ready = m_bus.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), m_object)
            && m_bus.registerService(service);
    }
    ~FakePortal()
    {
        m_bus.unregisterService(m_service);
        m_bus.unregisterObject(QStringLiteral("/org/freedesktop/portal/desktop"));
        // It goes on its own thread, where its adaptor relays its signals.
        QMetaObject::invokeMethod(
            m_object, [object = m_object] { delete object; }, Qt::BlockingQueuedConnection);
        m_thread.quit();
        m_thread.wait();
        QDBusConnection::disconnectFromBus(m_service);
    }
    bool ready() const { return m_ready; }
    void closeSession() { QMetaObject::invokeMethod(m_adaptor, "closeSession", Qt::QueuedConnection); }
    QVariantMap selection() const { return m_adaptor->selection(); }

private:
    QString m_service;
    QDBusConnection m_bus { QString() };
    QThread m_thread;
    QObject* m_object = nullptr; // lives on m_thread
    FakeScreenCast* m_adaptor = nullptr;
    bool m_ready = false;
};

} // namespace

class TestPortalCapture final : public QObject {
    Q_OBJECT

    std::optional<WaylandTestDesktop> m_desktop;
    QTemporaryDir m_settings;
    int m_stores = 0;

    std::shared_ptr<portal::ChoiceStore> freshStore()
    {
        return portal::settingsChoiceStore(
            m_settings.filePath(QStringLiteral("store%1.ini").arg(++m_stores)).toStdString());
    }
    /// Why this desktop cannot share a source of `type`; empty when it can.
    QString cannotShare(std::uint32_t type) const
    {
        if (type == portal::kSourceWindow && !m_desktop->sharesWindows())
            return QStringLiteral("this desktop's portal shares no single windows");
        if (type == portal::kSourceMonitor && m_desktop->kind == WaylandTestDesktop::Kind::kde)
            return QStringLiteral("KWin 5.27 sends no picture of a whole screen");
        return {};
    }
    /// Has the desktop remember a source of `type` in `store`, as a first choice in its
    /// dialog would.
    bool remember(std::uint32_t type, portal::ChoiceStore& store)
    {
        if (m_desktop->kind == WaylandTestDesktop::Kind::sway)
            return true; // its chooser answers
        const QString token
            = type == portal::kSourceWindow ? m_desktop->rememberPaintersWindow() : m_desktop->rememberMonitor();
        store.save({ token.toStdString(), 0, 0, type });
        return !token.isEmpty();
    }
    std::shared_ptr<portal::PortalBackend> backend(
        std::shared_ptr<portal::ChoiceStore> store, const std::string& service = {})
    {
        portal::PortalBackend::Options options;
        options.address.busAddress = m_desktop->bus.toStdString();
        if (!service.empty())
            options.address.service = service;
        options.store = std::move(store);
        return portal::PortalBackend::create(options);
    }
    /// A fake screen on the test desktop's PipeWire, once its node is there; none when it never came.
    std::unique_ptr<test::FakePipeWireScreen> fakeScreen(test::FakePipeWireScreen::Shape shape = {})
    {
        auto screen = std::make_unique<test::FakePipeWireScreen>(m_desktop->pipeWireSocket().toStdString(), shape);
        return QTest::qWaitFor([&] { return screen->nodeId() != PW_ID_ANY; }) ? std::move(screen) : nullptr;
    }
    /// A stream 8 frame pixels wide straight from `screen` (not yet streaming when `startLimit`
    /// is given); none, with a warning, when it cannot connect.
    std::unique_ptr<portal::PipeWireVideoStream> streamFrom(test::FakePipeWireScreen& screen, Received& received,
        std::optional<std::chrono::milliseconds> startLimit = std::nullopt)
    {
        StreamConfiguration configuration;
        configuration.width = 8;
        portal::PipeWireTarget target { -1, m_desktop->pipeWireSocket().toStdString(), screen.nodeId() };
        if (startLimit)
            target.startLimit = *startLimit;
        auto connected = portal::PipeWireVideoStream::connect(target, configuration, received.events());
        if (!connected)
            qWarning("%s", connected.error.localizedDescription.c_str());
        return connected ? std::move(*connected.value) : nullptr;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_desktop = WaylandTestDesktop::fromEnvironment();
        if (!m_desktop && WaylandTestDesktop::mustRun())
            QFAIL(qPrintable(WaylandTestDesktop::missing()));
        if (!m_desktop)
            QSKIP(qPrintable(WaylandTestDesktop::missing()));
    }
    void init()
    {
        m_desktop->resetChooser();
        QVERIFY(m_desktop->ensurePortalRunning());
    }

    // A shared monitor or window is recorded with its exact colours, remembered with its size
    // and restored with no dialog until the author chooses again.
    void aSharedSourceIsExactAndRestored_data()
    {
        QTest::addColumn<std::uint32_t>("type");
        QTest::newRow("a monitor") << portal::kSourceMonitor;
        QTest::newRow("a window") << portal::kSourceWindow;
    }
    void aSharedSourceIsExactAndRestored()
    {
        QFETCH(std::uint32_t, type);
        if (const QString why = cannotShare(type); !why.isEmpty())
            QSKIP(qPrintable(why));
        WaylandPainter painter(*m_desktop);
        QVERIFY(painter.paint("grid") > 0);
        auto store = freshStore();
        QVERIFY(remember(type, *store));
        auto b = backend(store);
        const int asked = m_desktop->timesAsked();
        for (int run = 0; run < 2; ++run) {
            Capture capture(b, 96);
            // 96 × 54 from 1920 × 1080: every frame pixel averages 20 × 20 screen pixels of one cell.
            const std::optional<SampleBuffer> frame
                = capture.paintUntil(painter, "grid", [](const SampleBuffer& f) { return rgbAt(f, 0, 0) == kGrid[0]; });
            QVERIFY2(frame, capture.describe().c_str());
            QCOMPARE(frame->imageBuffer->width(), 96);
            QCOMPARE(frame->imageBuffer->height(), 54);
            for (int y = 0; y < 54; ++y)
                for (int x = 0; x < 96; ++x)
                    QCOMPARE(rgbAt(*frame, x, y), kGrid[(y / 18) * 3 + x / 32]);
            QCOMPARE(frame->imageBuffer->baseAddress()[3], std::uint8_t(0xff));
            QVERIFY(!store->load().restoreToken.empty());
            QCOMPARE(store->load().sourceType, type);
            QTRY_COMPARE(QSize(store->load().width, store->load().height), QSize(1920, 1080));
            const DesktopChoice shown = b->desktopChoice();
            QCOMPARE(
                shown.kind, type == portal::kSourceWindow ? DesktopChoice::Kind::window : DesktopChoice::Kind::display);
            QCOMPARE(QSize(shown.width, shown.height), QSize(1920, 1080));
        }
        if (m_desktop->kind == WaylandTestDesktop::Kind::sway)
            QCOMPARE(m_desktop->timesAsked() - asked, 1); // its chooser, once for both
        // Choosing again forgets the source at once, also the one last shown, and the next start asks.
        b->chooseAgain();
        QCOMPARE(b->desktopChoice().kind, DesktopChoice::Kind::none);
        QVERIFY(store->load().restoreToken.empty());
        if (m_desktop->kind == WaylandTestDesktop::Kind::sway) {
            Capture capture(b, 96);
            QVERIFY2(capture.paintUntilSeen(painter, kGrid[0]), capture.describe().c_str());
            QCOMPARE(m_desktop->timesAsked() - asked, 2);
        }
    }

    // A window chosen in GNOME's dialog (answered through its accessibility bus) is recorded and remembered.
    void aWindowChosenInTheDialog()
    {
        if (m_desktop->kind != WaylandTestDesktop::Kind::gnome)
            QSKIP("only GNOME's dialog is answered here (sway's offers no windows; KDE's cannot be driven)");
        WaylandPainter painter(*m_desktop);
        QVERIFY(painter.paint("grid") > 0);
        auto store = freshStore();
        Capture capture(backend(store), 100);
        QCOMPARE(m_desktop->answerDialog(QStringLiteral("window")), QStringLiteral("corvex paint"));
        QVERIFY2(capture.paintUntilSeen(painter, 0x5a3c1e), capture.describe().c_str());
        QCOMPARE(store->load().sourceType, portal::kSourceWindow);
        QVERIFY(!store->load().restoreToken.empty());
    }

    // The shared window closing stops capture, saying so; what came before stays.
    void aClosedWindowStopsTheCapture()
    {
        if (const QString why = cannotShare(portal::kSourceWindow); !why.isEmpty())
            QSKIP(qPrintable(why));
        WaylandPainter painter(*m_desktop);
        QVERIFY(painter.paint("grid") > 0);
        auto store = freshStore();
        QVERIFY(remember(portal::kSourceWindow, *store));
        Capture capture(backend(store), 100);
        QVERIFY2(capture.paintUntilSeen(painter, 0x336699), capture.describe().c_str());
        painter.close();
        const std::optional<std::string> error = capture.error();
        QVERIFY2(error, capture.describe().c_str());
        QVERIFY2(error->find("the shared window was closed") != std::string::npos, error->c_str());
        QVERIFY(capture.frameCount() > 0);
    }

    void aBogusTokenFallsBackToAsking()
    {
        WaylandPainter painter(*m_desktop);
        auto store = freshStore();
        store->save({ "not-a-token-the-portal-gave", 1920, 1080, portal::kSourceMonitor });
        const int before = m_desktop->timesAsked();
        Capture capture(backend(store), 100);
        QVERIFY2(capture.paintUntilSeen(painter, 0x669933), capture.describe().c_str());
        QCOMPARE(m_desktop->timesAsked() - before, 1);
        QVERIFY(store->load().restoreToken != "not-a-token-the-portal-gave");
    }

    void aColourChangeIsStampedWhenItWasPainted()
    {
        WaylandPainter painter(*m_desktop);
        Capture capture(backend(freshStore()), 100);
        QVERIFY2(capture.paintUntilSeen(painter, 0x102030), capture.describe().c_str());
        for (const std::uint32_t colour : { 0x405060u, 0x708090u, 0xa0b0c0u }) {
            // Painted again until it shows (a loaded compositor may lose a change); stamped by the first.
            std::int64_t painted = 0;
            std::optional<Collector::Delivery> delivery;
            for (int attempt = 0; attempt < 30 && !delivery; ++attempt) {
                const std::int64_t now = painter.paint(QByteArray::number(colour, 16));
                QVERIFY(now > 0);
                if (painted == 0)
                    painted = now;
                capture.collector->waitFor(
                    [&] {
                        for (const auto& d : capture.collector->frames)
                            if (isColour(d.buffer, colour)) {
                                delivery = d;
                                break;
                            }
                        return delivery.has_value() || !capture.collector->errors.empty();
                    },
                    1000);
            }
            QVERIFY2(delivery, capture.describe().c_str());
            QVERIFY(delivery->buffer.frameInfo && delivery->buffer.frameInfo->status == FrameStatus::Complete);
            const auto stamp = std::int64_t(std::llround(delivery->buffer.outputPresentationTimeStamp.seconds() * 1e9));
            qInfo("painted -> stamped %.1f ms, stamped -> handed over %.1f ms", (stamp - painted) / 1e6,
                (delivery->arrival - stamp) / 1e6);
            // Not before the change (give or take the painter's note of it) nor after the frame reached us.
            QVERIFY(stamp >= painted - 20'000'000 && stamp <= delivery->arrival);
        }
    }

    // A player's flash, captured through the portal, and its click, recorded from the desktop's
    // sound server, land together on the record's time line.
    void flashAndClickShareATimeLine()
    {
#if defined(__SANITIZE_THREAD__)
        QSKIP("ThreadSanitizer slows the threads too much for a timing test");
#endif
        if (m_desktop->pulseServer.isEmpty())
            QSKIP("the headless Wayland desktop has no sound server");
        const QByteArray previousServer = qgetenv("PULSE_SERVER");
        qputenv("PULSE_SERVER", m_desktop->pulseServer.toUtf8());
        auto restoreServer = qScopeGuard([&] {
            if (previousServer.isEmpty())
                qunsetenv("PULSE_SERVER");
            else
                qputenv("PULSE_SERVER", previousServer);
        });
        WaylandPainter painter(*m_desktop);
        Capture capture(backend(freshStore()), 100, media::MediaTime::make(1, 30), true);
        QVERIFY2(capture.paintUntilSeen(painter, 0x000000), capture.describe().c_str());
        QVERIFY(capture.collector->waitFor([&] { return capture.collector->audio.size() > 10; }));
        const std::size_t framesBefore = capture.frameCount();

        test::ClickPlayer player;
        QVERIFY2(player.isOpen(), player.error().c_str());
        std::int64_t painted = 0;
        const std::optional<double> audible = player.playClick([&] { painted = painter.paint("ffffff"); });
        QVERIFY2(audible, player.error().c_str());
        QVERIFY(painted > 0);

        std::optional<double> flash, sound;
        QVERIFY2(capture.collector->waitFor([&] {
            const auto& frames = capture.collector->frames;
            for (std::size_t i = framesBefore; !flash && i < frames.size(); ++i)
                if (isColour(frames[i].buffer, 0xffffff))
                    flash = frames[i].buffer.outputPresentationTimeStamp.seconds();
            std::vector<SampleBuffer> audio;
            for (const auto& delivery : capture.collector->audio)
                audio.push_back(delivery.buffer);
            sound = test::ClickPlayer::clickIn(audio);
            return (flash && sound) || !capture.collector->errors.empty();
        }),
            capture.describe().c_str());
        QVERIFY2(flash && sound, capture.describe().c_str());
        // The painter's own lateness in committing the flash is taken out, up to its note of the
        // commit and never past the flash's stamp.
        const double paintedLate = std::min(double(painted) / 1e9, *flash) - *audible;
        qInfo("player latency %.3f s; painted %.1f ms, flash %.1f ms and click %.1f ms after the click became "
              "audible",
            player.latency(), paintedLate * 1e3, (*flash - *audible) * 1e3, (*sound - *audible) * 1e3);
        // The stream sends at most 30 frames a second: the flash may wait one of them for its turn.
        const double apart = *flash - paintedLate - *sound;
        QVERIFY2(apart > -0.04 && apart < 0.04 + 1.0 / 30, qPrintable(QString::number(apart)));
    }

    void aStillScreenIsNoFault()
    {
        WaylandPainter painter(*m_desktop);
        Capture capture(backend(freshStore()), 100);
        QVERIFY2(capture.paintUntilSeen(painter, 0x445566), capture.describe().c_str());
        // Longer than every limit of the watchdog, with nothing changing on screen.
        QTest::qWait(3000);
        QCOMPARE(capture.error(0), std::nullopt);
        const std::int64_t painted = painter.paint("778899");
        QVERIFY(painted > 0);
        QVERIFY2(capture.frameWhere([](const SampleBuffer& f) { return isColour(f, 0x778899); }),
            capture.describe().c_str());
    }

    void maxFramerateIsHonoured()
    {
        WaylandPainter painter(*m_desktop, QStringLiteral("frame"));
        Capture capture(backend(freshStore()), 100, media::MediaTime::make(1, 5));
        QVERIFY(capture.frameWhere([](const SampleBuffer&) { return true; }));
        QVERIFY(capture.collector->waitFor([&] { return capture.collector->frames.size() >= 12; }, 15000));
        std::lock_guard lock(capture.collector->mutex);
        const auto& frames = capture.collector->frames;
        const double span = frames.back().buffer.outputPresentationTimeStamp.seconds()
            - frames[1].buffer.outputPresentationTimeStamp.seconds();
        const double rate = double(frames.size() - 2) / span;
        // The painter changes the screen up to 60 times a second; at most 5 of them come.
        qInfo("%.2f frames a second", rate);
        QVERIFY2(rate < 5.25, qPrintable(QString::number(rate)));
    }

    void noPortal()
    {
        auto b = backend(freshStore(), "org.corvex.test.NoPortalHere");
        const ShareableContentResult content = b->shareableContent(false, true);
        QVERIFY(!content);
        QVERIFY2(content.error.localizedDescription.find("no screen-cast portal") != std::string::npos,
            content.error.localizedDescription.c_str());
        Capture capture(b, 100);
        const std::optional<std::string> error = capture.error();
        QVERIFY(error && error->find("no screen-cast portal") != std::string::npos);
        QVERIFY(b->unavailableAdvice().find("portal") != std::string::npos);
    }

    void anOldPortalVersion()
    {
        const QString service = QStringLiteral("org.corvex.test.OldPortal");
        FakeScreenCast::Script script { 0, {}, 0, {} };
        script.version = 1;
        FakePortal portal(m_desktop->bus, service, script);
        QVERIFY(portal.ready());
        const ShareableContentResult content
            = backend(freshStore(), service.toStdString())->shareableContent(false, true);
        QVERIFY(!content);
        QVERIFY2(content.error.localizedDescription.find("too old (version 1") != std::string::npos,
            content.error.localizedDescription.c_str());
    }

    void shareableContentIsTheChoice()
    {
        auto store = freshStore();
        auto b = backend(store);
        ShareableContentResult content = b->shareableContent(false, true);
        QVERIFY(content);
        QCOMPARE(content.value->displays.size(), std::size_t(1));
        QVERIFY(content.value->windows.empty());
        store->save({ "token", 1280, 720, portal::kSourceMonitor });
        content = b->shareableContent(false, true);
        QCOMPARE(content.value->displays.front().width, 1280);
        QCOMPARE(content.value->displays.front().height, 720);
    }

    // What a screen stream must never do, each a clear message and a stop.
    void badStreamsStopClearly_data()
    {
        QTest::addColumn<std::uint32_t>("format");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("stride");
        QTest::addColumn<QSize>("resize"); // to this size after the first frame
        QTest::addColumn<QString>("message");
        QTest::newRow("an odd pixel format") << std::uint32_t(SPA_VIDEO_FORMAT_YUY2) << 64 << 128 << QSize()
                                             << "found no picture format that both can use";
        QTest::newRow("rows shorter than the width")
            << std::uint32_t(SPA_VIDEO_FORMAT_BGRx) << 64 << 64 * 4 - 8 << QSize() << "which cannot hold them";
        QTest::newRow("zero size") << std::uint32_t(SPA_VIDEO_FORMAT_BGRx) << 0 << 0 << QSize()
                                   << "found no picture format that both can use";
        QTest::newRow("a width that changes") << std::uint32_t(SPA_VIDEO_FORMAT_BGRx) << 64 << 64 * 4 << QSize(80, 36)
                                              << "changed its size from 64 x 36 to 80 x 36";
        QTest::newRow("a height that changes") << std::uint32_t(SPA_VIDEO_FORMAT_BGRx) << 64 << 64 * 4 << QSize(64, 48)
                                               << "changed its size from 64 x 36 to 64 x 48";
    }
    void badStreamsStopClearly()
    {
        QFETCH(std::uint32_t, format);
        QFETCH(int, width);
        QFETCH(int, stride);
        QFETCH(QSize, resize);
        QFETCH(QString, message);
        auto screen = fakeScreen({ format, width, 36, stride });
        QVERIFY(screen);
        Received received;
        auto stream = streamFrom(*screen, received);
        QVERIFY(stream);
        if (resize.isValid()) {
            QVERIFY(received.feed(*screen, *stream, 0x202020));
            screen->resize(resize.width(), resize.height());
        }
        const QString error = received.failure(*stream, [&] { screen->send(0x303030); });
        QVERIFY2(error.contains(message) && error.contains(QStringLiteral("stopped")), qPrintable(error));
    }

    // The screen's node going away gives one clear message, told by PipeWire or found by the
    // watchdog, which alone sees a producer that stops streaming but stays.
    void theScreensNodeGoingAway_data()
    {
        QTest::addColumn<bool>("watched");
        QTest::addColumn<bool>("paused");
        QTest::newRow("told by PipeWire") << false << false;
        QTest::newRow("with the watchdog") << true << false;
        QTest::newRow("a paused producer, by the watchdog") << true << true;
    }
    void theScreensNodeGoingAway()
    {
        QFETCH(bool, watched);
        QFETCH(bool, paused);
        auto screen = fakeScreen();
        QVERIFY(screen);
        Received received;
        auto stream = streamFrom(*screen, received);
        QVERIFY(stream);
        QVERIFY(received.feed(*screen, *stream, 0x446688));
        if (paused)
            screen->setActive(false);
        else
            screen.reset();
        const QString error = received.failure(*stream, {}, watched);
        QVERIFY2(error.contains(QStringLiteral("went away")) && error.contains(QStringLiteral("stopped")),
            qPrintable(error));
        std::lock_guard lock(received.mutex);
        QVERIFY(!received.frames.empty());
    }

    // What the portal is asked (sources, cursor, memory), and a Start that fails: the author reads why.
    void whatThePortalIsAskedAndAnswers_data()
    {
        QTest::addColumn<uint>("offered");
        QTest::addColumn<QString>("remembered");
        QTest::addColumn<uint>("types");
        QTest::addColumn<uint>("code");
        QTest::addColumn<QString>("reason"); // with code 0: what the portal leaves out ("streams", "remote")
        QTest::addColumn<QString>("message");
        QTest::addColumn<uint>("version"); // below 4, nothing is remembered
        const QString cancelled = QStringLiteral("cancelled in the desktop's dialog");
        QTest::newRow("monitors only") << 1u << "" << 1u << 1u << "" << cancelled << 4u;
        QTest::newRow("monitors and windows") << 3u << "" << 3u << 1u << "" << cancelled << 4u;
        QTest::newRow("virtual screens too") << 7u << "" << 3u << 1u << "" << cancelled << 4u;
        QTest::newRow("a choice remembered") << 1u << "token-of-the-last-choice" << 1u << 1u << "" << cancelled << 4u;
        QTest::newRow("failed, with its reason")
            << 1u << "" << 1u << 2u << "no output could be captured"
            << "could not start screen sharing (no output could be captured)" << 4u;
        QTest::newRow("failed, no reason given") << 1u << "" << 1u << 2u << ""
                                                 << "could not start screen sharing. Check that" << 4u;
        QTest::newRow("an answer it should not give") << 1u << "" << 1u << 7u << ""
                                                      << "answered with the unknown code 7" << 4u;
        QTest::newRow("started, no screen handed over") << 1u << "" << 1u << 0u << "streams"
                                                        << "started sharing but handed over no screen" << 4u;
        QTest::newRow("started, no video stream handed over")
            << 1u << "" << 1u << 0u << "remote"
            << "did not hand over the screen's video stream (PipeWire cannot be reached)" << 4u;
        QTest::newRow("version 2, the oldest taken")
            << 1u << "token-of-the-last-choice" << 1u << 1u << "" << cancelled << 2u;
        QTest::newRow("version 3") << 1u << "token-of-the-last-choice" << 1u << 1u << "" << cancelled << 3u;
    }

    void whatThePortalIsAskedAndAnswers()
    {
        QFETCH(uint, offered);
        QFETCH(QString, remembered);
        QFETCH(uint, types);
        QFETCH(uint, code);
        QFETCH(QString, reason);
        QFETCH(QString, message);
        QFETCH(uint, version);
        const QString service
            = QStringLiteral("org.corvex.test.Portal%1").arg(qHash(QByteArray(QTest::currentDataTag())));
        FakeScreenCast::Script script { code, reason, 0, m_desktop->pipeWireSocket() };
        script.sourceTypes = offered;
        script.version = version;
        script.streams = reason != QLatin1StringView("streams");
        if (reason == QLatin1StringView("remote"))
            script.pipeWireSocket = QStringLiteral("/nonexistent/pipewire-0");
        FakePortal portal(m_desktop->bus, service, script);
        QVERIFY(portal.ready());
        auto store = freshStore();
        if (!remembered.isEmpty())
            store->save({ remembered.toStdString(), 1920, 1080, portal::kSourceMonitor });
        Capture capture(backend(store, service.toStdString()), 100);
        const std::optional<std::string> error = capture.error();
        QVERIFY2(error && QString::fromStdString(*error).contains(message), capture.describe().c_str());
        QCOMPARE(capture.frameCount(), std::size_t(0));
        const QVariantMap asked = portal.selection();
        QCOMPARE(asked.value(QStringLiteral("types")).toUInt(), types);
        QCOMPARE(asked.value(QStringLiteral("multiple")).toBool(), false);
        QCOMPARE(asked.value(QStringLiteral("cursor_mode")).toUInt(), 1u);
        QCOMPARE(asked.value(QStringLiteral("persist_mode")).toUInt(), version >= 4 ? 2u : 0u);
        QCOMPARE(asked.value(QStringLiteral("restore_token")).toString(), version >= 4 ? remembered : QString());
    }

    // The desktop ending the session stops capture, saying so; what came before stays.
    void theDesktopEndingTheSession()
    {
        auto screen = fakeScreen();
        QVERIFY(screen);
        const QString service = QStringLiteral("org.corvex.test.EndingPortal");
        FakePortal portal(m_desktop->bus, service, { 0, {}, screen->nodeId(), m_desktop->pipeWireSocket() });
        QVERIFY(portal.ready());
        Capture capture(backend(freshStore(), service.toStdString()), 16);
        bool seen = false;
        for (int attempt = 0; attempt < 150 && !seen; ++attempt) {
            screen->send(0x224466);
            seen = capture.frameWhere([](const SampleBuffer& f) { return isColour(f, 0x224466); }, 100).has_value();
        }
        QVERIFY2(seen, capture.describe().c_str());
        portal.closeSession();
        const std::optional<std::string> error = capture.error();
        QVERIFY2(error, capture.describe().c_str());
        QVERIFY2(error->find("The desktop ended screen sharing") != std::string::npos, error->c_str());
        QVERIFY(capture.frameCount() > 0);
    }

    // A desktop that offers only windows, and calls the stream it starts a monitor, shares a window.
    void aWindowCalledAMonitor()
    {
        auto screen = fakeScreen();
        QVERIFY(screen);
        const QString service = QStringLiteral("org.corvex.test.WindowsOnlyPortal");
        FakeScreenCast::Script script { 0, {}, screen->nodeId(), m_desktop->pipeWireSocket() };
        script.sourceTypes = portal::kSourceWindow;
        FakePortal portal(m_desktop->bus, service, script);
        QVERIFY(portal.ready());
        auto b = backend(freshStore(), service.toStdString());
        Capture capture(b, 16);
        QTRY_COMPARE(b->desktopChoice().kind, DesktopChoice::Kind::window);
    }

    // A producer that never starts streaming is stopped by the watchdog, naming the start limit.
    void aProducerThatNeverStartsStopsTheStream_data()
    {
        QTest::addColumn<int>("limitMs");
        QTest::addColumn<QString>("message");
        QTest::newRow("a short limit") << 300 << "did not start within 300 milliseconds";
        QTest::newRow("whole seconds") << 1000 << "did not start within 1 second:";
    }
    void aProducerThatNeverStartsStopsTheStream()
    {
        QFETCH(int, limitMs);
        QFETCH(QString, message);
        auto screen = fakeScreen();
        QVERIFY(screen);
        screen->setActive(false);
        Received received;
        auto stream = streamFrom(*screen, received, std::chrono::milliseconds(limitMs));
        QVERIFY(stream);
        const QString error = received.failure(*stream);
        QVERIFY2(
            error.contains(message) && error.contains(QStringLiteral("screen capture stopped")), qPrintable(error));
        std::lock_guard lock(received.mutex);
        QVERIFY(received.frames.empty());
        QCOMPARE(screen->framesSent(), std::int64_t(0));
    }

    // Last: it takes the portal's backend down and brings it back.
    void aKilledPortalStopsTheStreamClearly()
    {
        WaylandPainter painter(*m_desktop, QStringLiteral("frame"));
        Capture capture(backend(freshStore()), 100);
        QVERIFY(capture.frameWhere([](const SampleBuffer&) { return true; }));
        const qint64 pid = m_desktop->portalBackendPid();
        QVERIFY(pid > 0);
        auto restart = qScopeGuard([&] { QVERIFY(m_desktop->restartPortalBackend()); });
        const std::int64_t killed = hostTimeNanoseconds();
        QCOMPARE(::kill(pid_t(pid), SIGKILL), 0);
        const std::optional<std::string> error = capture.error(10000);
        const std::int64_t stopped = hostTimeNanoseconds();
        QVERIFY(error);
        QVERIFY2(error->find("screen capture stopped") != std::string::npos, error->c_str());
        qInfo("stopped %.0f ms after the portal was killed: %s", (stopped - killed) / 1e6, error->c_str());
        QVERIFY(capture.frameCount() > 0); // what came before stays
    }
};

QTEST_GUILESS_MAIN(TestPortalCapture)
#include "tst_portal_capture.moc"
