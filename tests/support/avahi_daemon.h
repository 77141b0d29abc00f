#pragma once

#include <QTest>
#include <QtGlobal>

namespace corvex::test {

/// True when scripts/test started (or found) an avahi-daemon limited to loopback.
inline bool avahiDaemonAvailable()
{
    return qEnvironmentVariableIsSet("CORVEX_TEST_AVAHI");
}

} // namespace corvex::test

/// Skips the current test function when no loopback-only avahi-daemon runs.
#define REQUIRE_DAEMON()                                                                                               \
    do {                                                                                                               \
        if (!corvex::test::avahiDaemonAvailable())                                                                     \
            QSKIP("needs the loopback-only avahi-daemon that scripts/test starts");                                    \
    } while (false)
