#pragma once

// The headless Wayland desktop that scripts/wayland-test-services starts (sway,
// PipeWire, the screen-cast portal on a private bus), as its CORVEX_WAYLAND_*
// settings describe it, and a Wayland client painting known colours on it.

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
    /// Empty when the desktop is not running (the tests then skip).
    static std::optional<WaylandTestDesktop> fromEnvironment()
    {
        WaylandTestDesktop desktop;
        desktop.bus = qEnvironmentVariable("CORVEX_WAYLAND_BUS");
        desktop.display = qEnvironmentVariable("CORVEX_WAYLAND_DISPLAY");
        desktop.runtimeDir = qEnvironmentVariable("CORVEX_WAYLAND_RUNTIME_DIR");
        desktop.state = qEnvironmentVariable("CORVEX_WAYLAND_STATE");
        desktop.swaySocket = qEnvironmentVariable("CORVEX_WAYLAND_SWAYSOCK");
        desktop.pulseServer = qEnvironmentVariable("CORVEX_WAYLAND_PULSE_SERVER");
        if (desktop.bus.isEmpty() || desktop.display.isEmpty() || !QFile::exists(desktop.display))
            return std::nullopt;
        return desktop;
    }

    QString bus;
    QString display;
    QString runtimeDir;
    QString state;
    QString swaySocket;
    QString pulseServer;

    QString pipeWireSocket() const { return runtimeDir + QStringLiteral("/pipewire-0"); }

    /// How often the portal's chooser asked "which screen?" so far.
    int timesAsked() const
    {
        QFile log(state + QStringLiteral("/chooser.log"));
        if (!log.open(QIODevice::ReadOnly))
            return 0;
        return log.readAll().count('\n');
    }
    /// The chooser's next answers: an output name, or none for "the user cancelled".
    void answerChooser(const std::optional<QString>& output) const
    {
        QFile choose(state + QStringLiteral("/choose"));
        choose.open(QIODevice::WriteOnly | QIODevice::Truncate);
        if (output)
            choose.write(output->toUtf8() + '\n');
    }
    void resetChooser() const { QFile::remove(state + QStringLiteral("/choose")); }

    /// The portal backend's process, which tests kill to see a dead portal.
    qint64 portalBackendPid() const
    {
        QFile pid(state + QStringLiteral("/xdpw.pid"));
        return pid.open(QIODevice::ReadOnly) ? pid.readAll().trimmed().toLongLong() : 0;
    }
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
        auto alive = [&](const char* name) {
            QFile pid(state + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".pid"));
            return pid.open(QIODevice::ReadOnly)
                && QFile::exists(QStringLiteral("/proc/%1/exe").arg(pid.readAll().trimmed().toLongLong()));
        };
        if (alive("xdp") && alive("xdpw"))
            return true;
        qWarning("the screen-cast portal or its backend had ended; starting them again");
        return restartPortalBackend();
    }

    bool sway(const QStringList& arguments) const
    {
        QProcess swaymsg;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("SWAYSOCK"), swaySocket);
        swaymsg.setProcessEnvironment(environment);
        swaymsg.start(QStringLiteral("swaymsg"), arguments);
        return swaymsg.waitForFinished(10000) && swaymsg.exitCode() == 0;
    }

private:
    WaylandTestDesktop() = default;
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
    ~WaylandPainter()
    {
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
