#pragma once

// A headless Wayland desktop that scripts/wayland-test-services starts (sway,
// KDE or GNOME, each with PipeWire and the screen-cast portal on a private
// bus), as its settings describe it: the one CORVEX_TEST_DESKTOP names (sway
// when unset). And a Wayland client painting known colours on it.

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QTest>

#include <csignal>
#include <cstdint>
#include <optional>

#ifndef CORVEX_TEST_TOOLS_DIR
#error "CORVEX_TEST_TOOLS_DIR must name the folder of wayland_paint"
#endif

namespace corvex::test {

class WaylandTestDesktop {
public:
    enum class Kind { sway, kde, gnome };

    /// The desktop CORVEX_TEST_DESKTOP names; empty when it is not running (the tests then skip).
    static std::optional<WaylandTestDesktop> fromEnvironment()
    {
        WaylandTestDesktop desktop;
        const QString name = qEnvironmentVariable("CORVEX_TEST_DESKTOP", QStringLiteral("sway"));
        desktop.kind = name == QLatin1String("kde") ? Kind::kde
            : name == QLatin1String("gnome")        ? Kind::gnome
                                                    : Kind::sway;
        const QString prefix = desktop.kind == Kind::sway ? QStringLiteral("CORVEX_WAYLAND_")
                                                          : QStringLiteral("CORVEX_%1_").arg(name.toUpper());
        const auto setting = [&](const char* key) { return qEnvironmentVariable(qPrintable(prefix + QLatin1String(key))); };
        desktop.bus = setting("BUS");
        desktop.display = setting("DISPLAY");
        desktop.runtimeDir = setting("RUNTIME_DIR");
        desktop.state = setting("STATE");
        desktop.pulseServer = setting("PULSE_SERVER");
        if (desktop.bus.isEmpty() || desktop.display.isEmpty() || !QFile::exists(desktop.display))
            return std::nullopt;
        return desktop;
    }
    /// What a test says when the desktop it needs is not running: a failure in CI,
    /// which must have it, else a skip.
    static QString missing() { return QStringLiteral("no headless %1 desktop (scripts/test-services starts it)").arg(qEnvironmentVariable("CORVEX_TEST_DESKTOP", QStringLiteral("sway"))); }
    static bool mustRun() { return !qEnvironmentVariableIsEmpty("CI") && !qEnvironmentVariableIsEmpty("CORVEX_TEST_DESKTOP"); }

    Kind kind = Kind::sway;
    QString bus;
    QString display;
    QString runtimeDir;
    QString state;
    QString pulseServer;

    QString pipeWireSocket() const { return runtimeDir + QStringLiteral("/pipewire-0"); }
    /// Whether its portal shares single windows (sway's does not).
    bool sharesWindows() const { return kind != Kind::sway; }

    /// How often sway's chooser asked "which screen?" so far.
    int timesAsked() const
    {
        QFile log(state + QStringLiteral("/chooser.log"));
        if (!log.open(QIODevice::ReadOnly))
            return 0;
        return log.readAll().count('\n');
    }
    /// sway's chooser's next answers: an output name, or none for "the user cancelled".
    void answerChooser(const std::optional<QString>& output) const
    {
        QFile choose(state + QStringLiteral("/choose"));
        choose.open(QIODevice::WriteOnly | QIODevice::Truncate);
        if (output)
            choose.write(output->toUtf8() + '\n');
    }
    void resetChooser() const { QFile::remove(state + QStringLiteral("/choose")); }

    /// The portal backend's process, which tests kill to see a dead portal.
    qint64 portalBackendPid() const { return pidOf("backend"); }
    bool restartPortalBackend() const
    {
        QProcess script;
        script.start(QStringLiteral(CORVEX_SOURCE_DIR "/scripts/wayland-test-services"),
            { QStringLiteral("restart-backend"), state });
        return script.waitForFinished(40000) && script.exitCode() == 0;
    }

    /// Brings the portal and its backend back when a test (or a fault of the
    /// portal's own) left either gone; true when both run.
    bool ensurePortalRunning() const
    {
        auto alive = [&](const char* name) { return QFile::exists(QStringLiteral("/proc/%1/exe").arg(pidOf(name))); };
        if (alive("xdp") && alive("backend"))
            return true;
        qWarning("the screen-cast portal or its backend had ended; starting them again");
        return restartPortalBackend();
    }

    /// A choice of the painter's window written straight into the portal's
    /// permission store, as if the author had chosen it in the desktop's
    /// dialog and asked to remember it: the token that restores it, empty
    /// when the window is not found (KDE and GNOME only).
    QString rememberPaintersWindow() const
    {
        return remember({ QStringLiteral("window"), QStringLiteral("corvex-paint"), QStringLiteral("corvex paint") });
    }
    /// The same for the desktop's one monitor.
    QString rememberMonitor() const { return remember({ QStringLiteral("monitor") }); }
    /// Answers GNOME's "Screen Share" dialog as the author does: picks the
    /// painter's window ("window") or the monitor ("monitor") and presses Share;
    /// what was picked, empty when the dialog did not come.
    QString answerDialog(const QString& kind) const
    {
        return runScript({ QStringLiteral("answer"), state, kind, QStringLiteral("corvex paint") }, 60000);
    }

private:
    WaylandTestDesktop() = default;

    qint64 pidOf(const char* name) const
    {
        QFile pid(state + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".pid"));
        return pid.open(QIODevice::ReadOnly) ? pid.readAll().trimmed().toLongLong() : 0;
    }

    QString remember(const QStringList& what) const
    {
        return runScript(QStringList { QStringLiteral("remember"), state } + what, 20000);
    }
    /// What scripts/wayland-test-services printed; empty when it failed.
    static QString runScript(const QStringList& arguments, int ms)
    {
        QProcess script;
        script.start(QStringLiteral(CORVEX_SOURCE_DIR "/scripts/wayland-test-services"), arguments);
        if (!script.waitForFinished(ms) || script.exitCode() != 0)
            return {};
        return QString::fromUtf8(script.readAllStandardOutput()).trimmed();
    }
};

/// A fullscreen Wayland window that paints what it is told: `paint("ff0000")`
/// fills it with one colour, `paint("grid")` with the nine grid colours; in
/// between the screen is still. Or, started with a mode ("frame": a new colour
/// every frame), it paints on its own.
class WaylandPainter {
public:
    explicit WaylandPainter(const WaylandTestDesktop& desktop, const QString& mode = QStringLiteral("stdin"))
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("WAYLAND_DISPLAY"), desktop.display);
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), desktop.runtimeDir);
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start(QStringLiteral(CORVEX_TEST_TOOLS_DIR "/wayland_paint"), { mode, QStringLiteral("600") });
        m_process.waitForStarted();
    }
    ~WaylandPainter() { close(); }

    /// Ends the painter, which closes its window.
    void close()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.closeWriteChannel();
        m_process.terminate();
        m_process.waitForFinished(5000);
    }

    /// Paints and returns when the change was committed (CLOCK_MONOTONIC ns); 0 when it was not.
    std::int64_t paint(const QByteArray& what)
    {
        m_process.write(what + '\n');
        m_process.waitForBytesWritten(5000);
        for (int i = 0; i < 100; ++i) {
            while (m_process.canReadLine()) {
                const QList<QByteArray> words = m_process.readLine().trimmed().split(' ');
                if (words.size() == 3 && words[0] == "paint")
                    return words[1].toLongLong();
            }
            m_process.waitForReadyRead(100);
        }
        return 0;
    }

    bool isRunning() const { return m_process.state() == QProcess::Running; }

private:
    QProcess m_process;
};

} // namespace corvex::test
