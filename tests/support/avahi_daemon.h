#pragma once

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QtGlobal>

#include <unistd.h>

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

/// True in the process that runOnAPrivateLink() starts.
inline bool onAPrivateLink()
{
    return qEnvironmentVariableIsSet("CORVEX_TEST_PRIVATE_LINK");
}

/// Runs `function` of this test program again in a child process, behind the
/// command `wrapper` if one is given; true when it passed, otherwise its output is printed.
inline bool runChild(
    const char* function, const QProcessEnvironment& environment, QStringList wrapper, const char* where)
{
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    wrapper << QCoreApplication::applicationFilePath() << QString::fromLatin1(function);
    const QString program = wrapper.takeFirst();
    child.start(program, wrapper);
    const bool passed
        = child.waitForFinished(60000) && child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0;
    if (!passed)
        qWarning("%s %s:\n%s", function, where, child.readAll().constData());
    return passed;
}

/// Runs `function` of this test program again in a process of its own whose
/// system bus is nowhere (the D-Bus library keeps the first address it is
/// given, so this cannot be done in the running process): a path in a new
/// folder, where the function may later put a link to the real bus.
inline bool runWithoutDaemon(const char* function)
{
    QTemporaryDir folder;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("CORVEX_TEST_NO_DAEMON"), QStringLiteral("1"));
    environment.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
        QStringLiteral("unix:path=") + folder.filePath(QStringLiteral("bus")));
    return runChild(function, environment, {}, "without a daemon");
}

/// Runs `function` of this test program again on a network link of its own,
/// with an avahi-daemon of its own (tests/support/private-link), where it may
/// play another host. Needs root, to make the namespaces.
inline bool runOnAPrivateLink(const char* function)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("CORVEX_TEST_PRIVATE_LINK"), QStringLiteral("1"));
    environment.remove(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"));
    return runChild(function, environment,
        { QStringLiteral("unshare"), QStringLiteral("--net"), QStringLiteral("--mount"),
            QStringLiteral(CORVEX_TEST_SUPPORT_DIR "/private-link"), QStringLiteral("timeout"), QStringLiteral("50") },
        "on a private link");
}

} // namespace corvex::test

/// Skips the current test function when no loopback-only avahi-daemon runs.
#define REQUIRE_DAEMON()                                                                                               \
    do {                                                                                                               \
        if (!corvex::test::avahiDaemonAvailable())                                                                     \
            QSKIP("needs the loopback-only avahi-daemon that scripts/test starts");                                    \
    } while (false)

/// Runs the current test function again on a private link (runOnAPrivateLink()) and ends it
/// here, unless this is that run; skips where the link cannot be made (without root).
#define ON_A_PRIVATE_LINK()                                                                                            \
    do {                                                                                                               \
        if (corvex::test::onAPrivateLink())                                                                            \
            break;                                                                                                     \
        if (geteuid() != 0)                                                                                            \
            QSKIP("making a network link of its own needs root");                                                      \
        QVERIFY(corvex::test::runOnAPrivateLink(QTest::currentTestFunction()));                                        \
        return;                                                                                                        \
    } while (false)
