// The whole road on one machine, as an author walks it: sign in through the
// service's page, find an episode in the demo catalogue, record a window of
// changing colours while a soundtrack plays, save, find the show in the
// library and delete it. Everything is real: the studio's windows on the test
// X server, the reference service, 'corvex receive' as the light receiver, a
// player on the test sound server, and 'corvex match' on the stored record.
// A picture of the screen after each step goes to CORVEX_E2E_ARTIFACTS.

#include "app/studio_fixture.h"

#include "support/stored_shows.h"
#include "support/tones.h"
#include "support/x_test_display.h"

#include "analysis/proto/video_analysis.pb.h"
#include "app/colour_swatch_view.h"
#include "app/configuration_view.h"
#include "app/light_show_table_model.h"
#include "app/light_shows_list_view.h"
#include "app/main_window.h"
#include "app/movies_search_view.h"
#include "app/recording_controls.h"
#include "app/recording_view.h"
#include "app/single_instance.h"
#include "app/tv_show_seasons_view.h"
#include "capture/screen_recorder.h"
#include "service/light_show_list_model.h"
#include "service/upload_delivery.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSignalSpy>
#include <QTableView>
#include <QTimer>
#include <QUrlQuery>

#include <unistd.h>

using namespace corvex;
using namespace corvex::app;
using namespace corvex::testing;
using namespace Qt::StringLiterals;

namespace {

constexpr int kSampleRate = 44100;
constexpr double kSoundtrackSeconds = 16;
constexpr double kClipStart = 5; // where the clip given to 'corvex match' is cut from the soundtrack
constexpr double kClipSeconds = 8;
constexpr int kWindowWidth = 320;
constexpr int kWindowHeight = 240;
// The test window's colours, in the order it shows them.
constexpr std::uint32_t kColours[] = { 0xc81e1e, 0x1ec81e, 0x1e1ec8 };
constexpr const char* kColourNames[] = { "red", "green", "blue" };
constexpr double kColourSeconds = 4; // how long each colour stays
// Unique on the machine: the avahi-daemon of the tests is shared by overlapping runs.
const QString kReceiverName = u"corvex-e2e-%1"_s.arg(QCoreApplication::applicationPid());

/// Which of the window's colours (r, g, b) is, within a tolerance; -1 for none.
int colourIndex(int r, int g, int b)
{
    for (int i = 0; i < 3; ++i) {
        const std::uint32_t c = kColours[i];
        if (std::abs(r - int(c >> 16)) <= 12 && std::abs(g - int((c >> 8) & 0xff)) <= 12
            && std::abs(b - int(c & 0xff)) <= 12)
            return i;
    }
    return -1;
}

using corvex::test::writeWav;

/// The colour sequence of a run of samples, with repeats and unknown colours left out.
QList<int> sequenceOf(const QList<int>& samples)
{
    QList<int> sequence;
    for (const int colour : samples) {
        if (colour >= 0 && (sequence.isEmpty() || sequence.last() != colour))
            sequence.append(colour);
    }
    return sequence;
}

QString describe(const QList<int>& sequence)
{
    QStringList names;
    for (const int colour : sequence)
        names << QString::fromLatin1(colour >= 0 ? kColourNames[colour] : "other");
    return names.join(u", "_s);
}

} // namespace

class TestEndToEnd final : public QObject {
    Q_OBJECT

    QTemporaryDir m_work;
    QString m_database;
    ReferenceServiceProcess m_service;
    QProcess m_receiver;
    QByteArray m_receiverOutput;
    std::unique_ptr<corvex::test::XTestDisplay> m_x;
    int m_step = 0;

    /// A picture of the whole test screen, numbered in the order of the steps.
    void screenshot(const QString& name)
    {
        QCoreApplication::processEvents();
        const QPixmap picture = QGuiApplication::primaryScreen()->grabWindow(0);
        const QString path
            = QStringLiteral(CORVEX_E2E_ARTIFACTS "/%1-%2.png").arg(++m_step, 2, 10, QLatin1Char('0')).arg(name);
        if (!picture.save(path))
            qWarning("could not save the screenshot %s", qPrintable(path));
    }

private Q_SLOTS:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY") || qEnvironmentVariableIsEmpty("PULSE_SERVER")
            || !qEnvironmentVariableIsSet("CORVEX_TEST_AVAHI"))
            QSKIP("needs the X server, sound server and avahi-daemon that scripts/test-services starts");
        QVERIFY(m_work.isValid());
        QDir(QStringLiteral(CORVEX_E2E_ARTIFACTS)).removeRecursively();
        QVERIFY(QDir().mkpath(QStringLiteral(CORVEX_E2E_ARTIFACTS)));
        m_database = m_work.filePath(u"service.db"_s);
        QVERIFY(m_service.start({ u"--demo-catalogue"_s, u"--db"_s, m_database }));

        m_receiver.start(QStringLiteral(CORVEX_CLI), { u"receive"_s, u"--json"_s, u"--name"_s, kReceiverName });
        QVERIFY(m_receiver.waitForStarted(10000));
        connect(&m_receiver, &QProcess::readyReadStandardOutput, this,
            [this] { m_receiverOutput += m_receiver.readAllStandardOutput(); });

        m_x = std::make_unique<corvex::test::XTestDisplay>();
        QVERIFY(m_x->isOpen());
    }

    void cleanupTestCase()
    {
        if (m_receiver.state() != QProcess::NotRunning) {
            m_receiver.terminate();
            if (!m_receiver.waitForFinished(5000))
                m_receiver.kill();
            m_receiver.waitForFinished(5000);
        }
    }

    void wholeRoad()
    {
        auto manager = makeManager(m_service.origin(), m_work.path());
        SingleInstance instance(u"corvex-studio"_s);
        QCOMPARE(instance.claim(), SingleInstance::Role::Primary);
        QUrl signInPage;
        StudioApp studio(manager->uploads, app::RecordingModels::process(), {}, [&signInPage](const QUrl& url) {
            signInPage = url;
            return true; // the browser is this test
        });
        connect(&instance, &SingleInstance::messageReceived, &studio, [&studio](const QByteArray& message) {
            if (message == "activate")
                studio.activate();
        });
        MainWindow* main = studio.newMainWindow();
        main->move(20, 20);
        QVERIFY(QTest::qWaitForWindowExposed(main, 20000));
        QPushButton* signInButton = shown<QPushButton>(main, u"Sign In"_s);
        QVERIFY(signInButton);
        screenshot(u"signed-out"_s);

        // Sign in: the studio opens the service's page in the browser ...
        signInButton->click();
        QTRY_VERIFY_WITH_TIMEOUT(signInPage.isValid(), 20000);
        QNetworkAccessManager browser;
        std::unique_ptr<QNetworkReply> page(browser.get(QNetworkRequest(signInPage)));
        QTRY_VERIFY_WITH_TIMEOUT(page->isFinished(), 20000);
        QCOMPARE(page->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        const QByteArray form = page->readAll();
        QVERIFY2(form.contains("<form") && form.contains("name=\"password\""), form.constData());
        // ... the author fills in the form, and the service redirects to the studio's scheme ...
        const QUrl callback = QCoro::waitFor(submitSignInForm(m_service.origin(), u"author@example.org"_s,
            u"correct horse battery"_s, QUrlQuery(signInPage).queryItemValue(u"state"_s)));
        QCOMPARE(callback.scheme(), u"corvexapp"_s);
        // ... which the desktop hands to a second launch of the studio.
        QProcess secondLaunch;
        QSignalSpy activations(&instance, &SingleInstance::messageReceived);
        launchStudio(secondLaunch, { QString::fromUtf8(callback.toEncoded()) });
        QTRY_VERIFY_WITH_TIMEOUT(manager->session.account().has_value(), 30000);
        QCOMPARE(manager->session.account()->email, u"author@example.org"_s);
        QVERIFY(secondLaunch.state() == QProcess::NotRunning || secondLaunch.waitForFinished(30000));
        QCOMPARE(secondLaunch.exitStatus(), QProcess::NormalExit);
        QCOMPARE(secondLaunch.exitCode(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(activations.count(), 1, 20000);
        QTRY_VERIFY(!shown<QPushButton>(main, u"Sign In"_s));
        QTRY_VERIFY_WITH_TIMEOUT(labelStartingWith(main, u"No light shows yet"_s), 20000);
        screenshot(u"signed-in"_s);

        // Find the series in the catalogue, open its first season, "Create light show" on episode 3.
        menuAction(main, u"Add Light Show…"_s)->trigger();
        QTRY_VERIFY(shownWindow<CatalogueWindow>());
        CatalogueWindow* catalogue = shownWindow<CatalogueWindow>();
        QVERIFY(QTest::qWaitForWindowExposed(catalogue, 20000));
        MoviesSearchView* search = catalogue->searchView();
        QTest::keyClicks(search->searchField(), u"Cisco"_s);
        QTest::keyClick(search->searchField(), Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(search->resultRows().size(), 1, 20000);
        QTest::mouseClick(search->resultRows().first(), Qt::LeftButton, {}, QPoint(200, 10));
        QTRY_VERIFY(search->selectedTVShow().has_value());
        TVShowSeasonsView* seasons = search->seasonsView();
        QTRY_VERIFY_WITH_TIMEOUT(!seasons->seasons().isEmpty() && !seasons->isLoading(), 20000);
        seasons->toggleSeason(1);
        QTRY_VERIFY_WITH_TIMEOUT(seasons->episodesBySeason().contains(1), 20000);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QList<QPushButton*> create;
        QTRY_VERIFY([&] {
            create.clear();
            for (QPushButton* button : seasons->findChildren<QPushButton*>()) {
                if (button->text() == QLatin1StringView("Create light show") && button->isVisible())
                    create.append(button);
            }
            return create.size() >= 3;
        }());
        screenshot(u"catalogue"_s);
        create.at(2)->click();
        QVERIFY(currentItem(studio).has_value());
        QCOMPARE(qint64(currentItem(studio)->tvShow->id), qint64(91002));
        QCOMPARE(qint64(currentItem(studio)->episode->episode_number), qint64(3));
        RecordingWindow* recording = studio.environment().recordingWindows.current();
        QVERIFY(recording);
        recording->move(20, 300);
        QVERIFY(QTest::qWaitForWindowExposed(recording, 20000));
        RecordingView* view = recording->view();
        ConfigurationView* panel = view->configurationView();
        QTRY_VERIFY_WITH_TIMEOUT(view->screenRecorder().isRunning(), 30000);

        // The picture to record: a window of another program showing known colours.
        const xcb_window_t colours
            = m_x->createWindow(1500, 700, kWindowWidth, kWindowHeight, false, "E2E colours", std::uint32_t(getppid()));
        // Like a playing video it is redrawn all the time (the capture takes only what was drawn).
        int shown = 0;
        const auto showColour = [&](int index) {
            shown = index;
            m_x->paint(colours, kWindowWidth, kWindowHeight, kWindowWidth, kWindowHeight,
                [&](int, int) { return kColours[index]; });
            m_x->fill(colours, 0, 0, kWindowWidth, kWindowHeight, kColours[index]);
        };
        QTimer redraw;
        redraw.setInterval(40);
        connect(&redraw, &QTimer::timeout, this,
            [&] { m_x->fill(colours, 0, 0, kWindowWidth, kWindowHeight, kColours[shown]); });
        showColour(0);
        QVERIFY(m_x->show(colours));
        redraw.start();
        auto destroyWindow = qScopeGuard([&] { m_x->destroy(colours); });

        // Capture that window, and send the live colours to the receiver.
        panel->captureTypePicker()->setCurrentIndex(1);
        Q_EMIT panel->captureTypePicker()->activated(1);
        int windowIndex = -1;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                windowIndex = panel->windowPicker()->findText(u"E2E colours"_s, Qt::MatchContains);
                return windowIndex >= 0;
            }(),
            30000);
        panel->windowPicker()->setCurrentIndex(windowIndex);
        Q_EMIT panel->windowPicker()->activated(windowIndex);
        QTRY_VERIFY(view->screenRecorder().selectedWindow().has_value());
        QCOMPARE(view->screenRecorder().selectedWindow()->windowID, colours);
        int receiverIndex = -1;
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                receiverIndex = panel->receiverPicker()->findText(kReceiverName);
                return receiverIndex > 0;
            }(),
            30000);
        panel->receiverPicker()->setCurrentIndex(receiverIndex);
        Q_EMIT panel->receiverPicker()->activated(receiverIndex);
        QTRY_VERIFY_WITH_TIMEOUT(view->screenRecorder().isRunning(), 30000);
        QTRY_VERIFY_WITH_TIMEOUT(panel->swatch()->colours().has_value()
                && colourIndex(int(panel->swatch()->colours()->at(4).r), int(panel->swatch()->colours()->at(4).g),
                       int(panel->swatch()->colours()->at(4).b))
                    == 0,
            30000);
        screenshot(u"ready-to-record"_s);

        // The soundtrack, and a clip cut from it for 'corvex match'.
        const std::vector<float> soundtrack = corvex::test::melody(kSoundtrackSeconds, kSampleRate, 808);
        const QString soundtrackPath = m_work.filePath(u"soundtrack.wav"_s);
        const QString clipPath = QStringLiteral(CORVEX_E2E_ARTIFACTS "/clip.wav");
        QVERIFY(writeWav(soundtrackPath.toStdString(), soundtrack));
        QVERIFY(writeWav(clipPath.toStdString(),
            std::vector<float>(soundtrack.begin() + qsizetype(kClipStart * kSampleRate),
                soundtrack.begin() + qsizetype((kClipStart + kClipSeconds) * kSampleRate))));

        // Record: the colours change while the soundtrack plays into the null sink.
        m_receiverOutput += m_receiver.readAllStandardOutput();
        const qsizetype receivedBefore = m_receiverOutput.size();
        QCOMPARE(panel->recordingButton()->text(), u"Start recording"_s);
        QElapsedTimer clock;
        panel->recordingButton()->click();
        clock.start();
        QVERIFY(sharedRecorder().started());
        QProcess player;
        double playStarted = -1;
        connect(&player, &QProcess::started, this, [&] { playStarted = double(clock.nsecsElapsed()) / 1e9; });
        player.start(u"paplay"_s, { u"--latency-msec=50"_s, soundtrackPath });
        QVERIFY(player.waitForStarted(10000));
        double changedAt[3] = { 0, 0, 0 };
        for (int index = 1; index < 3; ++index) {
            QTest::qWait(int(kColourSeconds * 1000));
            if (index == 2)
                screenshot(u"recording"_s);
            showColour(index);
            changedAt[index] = double(clock.nsecsElapsed()) / 1e9;
        }
        QTRY_VERIFY_WITH_TIMEOUT(player.state() == QProcess::NotRunning, 60000);
        QCOMPARE(player.exitCode(), 0);
        QTest::qWait(500); // the end of the sound reaches the recorder
        QTRY_VERIFY(panel->recordingControls()->elapsed()->text().startsWith(u"● 00:"_s));
        QCOMPARE(panel->recordingButton()->text(), u"Save recording"_s);
        QSignalSpy refreshed(&manager->uploads, &service::UploadDelivery::lightShowsChanged);
        const QByteArray before = m_service.log();
        panel->recordingButton()->click();
        QTRY_COMPARE_WITH_TIMEOUT(panel->uploadStatus()->text(), u"The recording was uploaded."_s, 30000);
        screenshot(u"saved"_s);
        // The service logs a request once it has answered it.
        QTRY_VERIFY(m_service.log().mid(before.size()).contains("POST /tvapi/lightshow/tv/91002/1/3 200"));

        // The receiver got the window's colours live, in the order it showed them.
        QTRY_VERIFY_WITH_TIMEOUT(
            [&] {
                m_receiverOutput += m_receiver.readAllStandardOutput();
                return m_receiverOutput.size() > receivedBefore;
            }(),
            10000);
        QList<int> live;
        for (const QByteArray& line : m_receiverOutput.mid(receivedBefore).split('\n')) {
            if (line.isEmpty())
                continue;
            const QJsonObject cell = QJsonDocument::fromJson(line).object().value(u"11"_s).toObject();
            live << colourIndex(
                cell.value(u"r"_s).toInt(-1), cell.value(u"g"_s).toInt(-1), cell.value(u"b"_s).toInt(-1));
        }
        QVERIFY2(live.size() >= 30, qPrintable(u"%1 live messages"_s.arg(live.size())));
        QVERIFY2(sequenceOf(live) == (QList<int> { 0, 1, 2 }), qPrintable(describe(sequenceOf(live))));
        QVERIFY2(live.count(-1) <= 3, qPrintable(describe(live)));

        // The service stored the record: the window's colours at the times they changed ...
        QTRY_VERIFY(refreshed.count() >= 1);
        QTableView* library = main->findChild<QTableView*>();
        QTRY_COMPARE_WITH_TIMEOUT(library->model()->rowCount(), 1, 20000);
        QCOMPARE(library->model()->index(0, LightShowTableModel::SeasonEpisodeColumn).data().toString(), u"S01E03"_s);
        QVERIFY(library->model()
                    ->index(0, LightShowTableModel::TitleColumn)
                    .data()
                    .toString()
                    .startsWith(u"The Cisco Kid"_s));
        const QString showId = library->model()->index(0, 0).data(Qt::UserRole).toString();
        const QByteArray stored = test::storedShows(m_database, u"id = ?"_s, showId).value(0);
        QVERIFY(!stored.isEmpty());
        const QString recordPath = QStringLiteral(CORVEX_E2E_ARTIFACTS "/stored-record.pb");
        {
            QFile out(recordPath);
            QVERIFY(out.open(QIODevice::WriteOnly));
            out.write(stored);
        }
        VideoAnalysis record;
        QVERIFY(record.ParseFromArray(stored.constData(), int(stored.size())));
        QCOMPARE(record.channels_size(), 9);
        QVERIFY(record.timestamps_size() > 30);
        QList<int> sampled;
        for (int i = 0; i < record.timestamps_size(); ++i) {
            int agreed = -2;
            for (const VideoAnalysis::Channel& channel : record.channels()) {
                const int colour = colourIndex(int(channel.r(i)), int(channel.g(i)), int(channel.b(i)));
                agreed = agreed == -2 || agreed == colour ? colour : -1; // the window is one colour
            }
            sampled << agreed;
        }
        QVERIFY2(sequenceOf(sampled) == (QList<int> { 0, 1, 2 }), qPrintable(describe(sequenceOf(sampled))));
        QVERIFY2(sampled.count(-1) <= 3, qPrintable(describe(sampled)));
        for (int index = 1; index < 3; ++index) {
            const int first = int(sampled.indexOf(index));
            const double seen = record.timestamps(first) / 100.0;
            const double previous = first > 0 ? record.timestamps(first - 1) / 100.0 : 0.0;
            qInfo("%s from %.2f s in the record (sample before at %.2f s); shown at %.2f s after \"Start recording\"",
                kColourNames[index], seen, previous, changedAt[index]);
            // The change falls between the last sample of the old colour and the first of the new one,
            // give or take the capture's delay and the recording's start.
            QVERIFY2(changedAt[index] >= previous - 1.0 && changedAt[index] <= seen + 1.0,
                qPrintable(u"%1 shown at %2 s, recorded at %3 s"_s.arg(QLatin1StringView(kColourNames[index]))
                               .arg(changedAt[index])
                               .arg(seen)));
        }
        const double recordedGap
            = (record.timestamps(int(sampled.indexOf(2))) - record.timestamps(int(sampled.indexOf(1)))) / 100.0;
        QVERIFY2(std::abs(recordedGap - (changedAt[2] - changedAt[1])) < 0.5,
            qPrintable(u"green lasted %1 s in the record, %2 s on the screen"_s.arg(recordedGap)
                           .arg(changedAt[2] - changedAt[1])));

        // ... and a soundtrack signature that places the clip where it played.
        QProcess match;
        match.start(QStringLiteral(CORVEX_CLI), { u"match"_s, recordPath, clipPath });
        QVERIFY(match.waitForFinished(60000));
        const QByteArray said = match.readAllStandardOutput();
        QVERIFY2(match.exitCode() == 0, said + match.readAllStandardError());
        const QRegularExpressionMatch offset
            = QRegularExpression(u"offset (-?[0-9.]+) s"_s).match(QString::fromUtf8(said));
        QVERIFY2(offset.hasMatch(), said.constData());
        const double expected = playStarted + kClipStart;
        qInfo(
            "corvex match: %s(the clip started playing %.2f s after \"Start recording\")", said.constData(), expected);
        QVERIFY2(std::abs(offset.captured(1).toDouble() - expected) < 0.75,
            qPrintable(u"matched at %1 s, played at %2 s"_s.arg(offset.captured(1)).arg(expected)));

        // The library shows the new row after the refresh; deleting it removes it on the service.
        recording->close();
        QTRY_VERIFY(!studio.environment().recordingWindows.current());
        redraw.stop();
        destroyWindow.dismiss();
        m_x->destroy(colours);
        studio.activate();
        QTRY_COMPARE(library->model()->rowCount(), 1);
        screenshot(u"library"_s);
        library->selectRow(0);
        QAction* remove = menuAction(main, u"Delete…"_s);
        QVERIFY(remove->isEnabled());
        remove->trigger();
        QMessageBox* box = shownWindow<QMessageBox>();
        QVERIFY(box);
        screenshot(u"confirm-delete"_s);
        const QByteArray beforeDelete = m_service.log();
        buttonWithText(box, u"Delete"_s)->click();
        QTRY_COMPARE_WITH_TIMEOUT(library->model()->rowCount(), 0, 20000);
        QTRY_VERIFY(m_service.log().mid(beforeDelete.size()).contains("DELETE /tvapi/me/lightshows/"));
        QVERIFY(test::storedShows(m_database, u"id = ?"_s, showId).isEmpty());
        screenshot(u"deleted"_s);
    }
};

int main(int argc, char* argv[])
{
    privateHome();
    // The real X server and sound server of the test services, not the stand-ins the window tests use.
    qputenv("CORVEX_CAPTURE_BACKEND", "x11");
    qputenv("QT_QPA_PLATFORM", qEnvironmentVariableIsEmpty("DISPLAY") ? "offscreen" : "xcb");
    QApplication application(argc, argv);
    TestEndToEnd test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_e2e.moc"
