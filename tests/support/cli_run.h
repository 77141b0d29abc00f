#pragma once

// The corvex tool run as a process (CORVEX_CLI): its exit status and what it printed.

#include <QProcess>
#include <QStringList>

namespace corvex::test {

struct Run {
    int exitCode = -1; // -2: it crashed or did not finish in time
    QByteArray out;
    QByteArray err;
};

// `program` instead of the tool (a command line that starts it), in `environment` when one is given.
inline Run runCli(const QStringList& arguments, int timeoutMs = 60000,
    const QString& program = QStringLiteral(CORVEX_CLI), const QProcessEnvironment& environment = {})
{
    QProcess process;
    if (!environment.isEmpty())
        process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return { -2, process.readAllStandardOutput(), process.readAllStandardError() };
    }
    return { process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -2, process.readAllStandardOutput(),
        process.readAllStandardError() };
}

} // namespace corvex::test
