#pragma once

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QtGlobal>

namespace corvex::test {

/// True when scripts/test started (or found) an avahi-daemon limited to loopback.
inline bool avahiDaemonAvailable()
{
    return qEnvironmentVariableIsSet("CORVEX_TEST_AVAHI");
}

/// True in the process that runWithoutDaemon() starts.
inline bool withoutDaemon()
{
    return qEnvironmentVariableIsSet("CORVEX_TEST_NO_DAEMON");
}

/// Runs `function` of this test program again in a process of its own whose
/// system bus is nowhere (the D-Bus library keeps the first address it is
/// given, so this cannot be done in the running process): a path in a new
/// folder, where the function may later put a link to the real bus. True when
/// it passed; otherwise its output is printed.
inline bool runWithoutDaemon(const char* function)
{
    QTemporaryDir folder;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("CORVEX_TEST_NO_DAEMON"), QStringLiteral("1"));
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
        QStringLiteral("unix:path=") + folder.filePath(QStringLiteral("bus")));
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), { QString::fromLatin1(function) });
    const bool passed
        = child.waitForFinished(60000) && child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
    if (!passed)
        qWarning("%s without a daemon:\n%s", function, child.readAll().constData());
    return passed;
}

} // namespace corvex::test

/// Skips the current test function when no loopback-only avahi-daemon runs.
#define REQUIRE_DAEMON()                                                                                               \
    do {                                                                                                               \
        if (!corvex::test::avahiDaemonAvailable())                                                                     \
            QSKIP("needs the loopback-only avahi-daemon that scripts/test starts");                                    \
    } while (false)
