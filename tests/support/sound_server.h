#pragma once

// Which sound server a test of the system-audio path plays into and records
// from. By default the test PulseAudio daemon (PULSE_SERVER, as
// scripts/test-services sets it); with CORVEX_TEST_SOUND_SERVER=pipewire-pulse
// the pipewire-pulse of the headless Wayland desktop (its
// CORVEX_WAYLAND_PULSE_SERVER), so that the same tests run against both.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <optional>

namespace corvex::test {

/// Points PULSE_SERVER at the server this run asked for; with pipewire-pulse asked
/// for and not running, leaves PULSE_SERVER unset so that the sound tests skip
/// rather than quietly use the other server. Call before anything talks to a
/// sound server.
inline void selectSoundServer()
{
    if (qEnvironmentVariable("CORVEX_TEST_SOUND_SERVER") != QStringLiteral("pipewire-pulse"))
        return;
    const QByteArray server = qgetenv("CORVEX_WAYLAND_PULSE_SERVER");
    if (server.isEmpty())
        qunsetenv("PULSE_SERVER");
    else
        qputenv("PULSE_SERVER", server);
}

/// The sound server's name as it gives it ("pulseaudio", "PulseAudio (on PipeWire 0.3.65)"), or none.
inline std::optional<QString> soundServerName()
{
    QProcess pactl;
    pactl.start(QStringLiteral("pactl"), { QStringLiteral("info") });
    if (!pactl.waitForFinished(10000) || pactl.exitStatus() != QProcess::NormalExit || pactl.exitCode() != 0)
        return std::nullopt;
    const QStringList lines = QString::fromUtf8(pactl.readAllStandardOutput()).split(QLatin1Char('\n'));
    for (const QString& line : lines)
        if (line.startsWith(QStringLiteral("Server Name:")))
            return line.mid(12).trimmed();
    return std::nullopt;
}

inline bool isPipeWire(const QString& serverName)
{
    return serverName.contains(QStringLiteral("PipeWire"));
}

} // namespace corvex::test
