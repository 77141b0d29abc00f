#pragma once

// Runs the real corvex-service on a free loopback port for one test.

#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QTest>

namespace corvex::testing {

class ReferenceServiceProcess final {
public:
    ReferenceServiceProcess() = default;
    ~ReferenceServiceProcess()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(5000))
                m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    ReferenceServiceProcess(const ReferenceServiceProcess&) = delete;
    ReferenceServiceProcess& operator=(const ReferenceServiceProcess&) = delete;

    /// Starts the service with an in-memory database; false when it does not come up.
    bool start(const QStringList& extraArguments = {})
    {
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start(QStringLiteral(CORVEX_SERVICE_BINARY),
            QStringList { QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--db"),
                QStringLiteral(":memory:") }
                + extraArguments);
        if (!m_process.waitForStarted(10000))
            return false;
        static const QRegularExpression pattern(QStringLiteral("listening on (http://127\\.0\\.0\\.1:[0-9]+)"));
        QByteArray output;
        while (m_origin.isEmpty()) {
            if (!m_process.waitForReadyRead(20000))
                return false;
            output += m_process.readAllStandardOutput();
            const auto match = pattern.match(QString::fromUtf8(output));
            if (match.hasMatch())
                m_origin = match.captured(1);
        }
        return true;
    }

    QString origin() const { return m_origin; }
    /// What the service logged so far (one line per request).
    QByteArray log()
    {
        m_log += m_process.readAllStandardError();
        return m_log;
    }

private:
    QProcess m_process;
    QString m_origin;
    QByteArray m_log;
};

} // namespace corvex::testing
