#pragma once

// Runs the real corvex-service on a free loopback port for one test, on the
// store the test program was started for: SQLite by default, or, with
// CORVEX_TEST_STORE=postgresql, a database of its own on the PostgreSQL server
// that scripts/test-services starts (CORVEX_TEST_POSTGRES_URL).

#include <QAtomicInt>
#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <QUuid>

#include <csignal>
#include <memory>
#include <sys/prctl.h>
#include <sys/resource.h>

#ifndef CORVEX_SOURCE_DIR
#define CORVEX_SOURCE_DIR "."
#endif

namespace corvex::testing {

/// A fresh store for one or more services: an in-memory SQLite database (a
/// file when services are to share it), or a new PostgreSQL database that is
/// dropped when the store goes.
class TestStore final {
public:
    enum class Sharing { OneService, Shared };

    static bool usesPostgres()
    {
        return qEnvironmentVariable("CORVEX_TEST_STORE") == QLatin1StringView("postgresql") || proxied();
    }
    /// Each service is two replicas behind nginx (scripts/service-cluster), on PostgreSQL.
    static bool proxied() { return qEnvironmentVariable("CORVEX_TEST_STORE") == QLatin1StringView("proxied"); }

    TestStore() = default;
    TestStore(const TestStore&) = delete;
    TestStore& operator=(const TestStore&) = delete;
    ~TestStore()
    {
        if (!m_database.isEmpty())
            administer(QStringLiteral("DROP DATABASE IF EXISTS %1 WITH (FORCE)").arg(m_database));
    }
    bool create(Sharing sharing = Sharing::OneService)
    {
        if (!usesPostgres()) {
            if (sharing == Sharing::OneService) {
                m_location = QStringLiteral(":memory:");
                return true;
            }
            m_folder = std::make_unique<QTemporaryDir>();
            m_location = m_folder->filePath(QStringLiteral("service.sqlite"));
            return m_folder->isValid();
        }
        static QAtomicInt counter;
        const QString name = QStringLiteral("corvex_test_%1_%2_%3")
                                 .arg(QCoreApplication::applicationPid())
                                 .arg(counter.fetchAndAddRelaxed(1))
                                 .arg(QUuid::createUuid().toString(QUuid::Id128).left(8));
        if (!administer(QStringLiteral("CREATE DATABASE %1").arg(name)))
            return false;
        m_database = name;
        QUrl url(qEnvironmentVariable("CORVEX_TEST_POSTGRES_URL"));
        url.setPath(QLatin1Char('/') + name);
        m_location = url.toString();
        return true;
    }

    /// Ends every session of the services on this PostgreSQL database, as a
    /// server restart or an administrator would.
    bool endSessions()
    {
        return administer(QStringLiteral("SELECT count(pg_terminate_backend(pid)) FROM pg_stat_activity "
                                         "WHERE datname = '%1' AND pid <> pg_backend_pid()")
                              .arg(m_database));
    }

    /// What the service's --db option gets.
    QString location() const { return m_location; }

private:
    // Runs one statement in the server's maintenance database, with psql so
    // that the test programs need no SQL driver of their own.
    static bool administer(const QString& statement)
    {
        QUrl url(qEnvironmentVariable("CORVEX_TEST_POSTGRES_URL"));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PGPASSWORD"), url.password());
        url.setPassword(QString());
        QProcess psql;
        psql.setProcessEnvironment(environment);
        psql.start(QStringLiteral("psql"),
            { QStringLiteral("-X"), QStringLiteral("-q"), QStringLiteral("-v"), QStringLiteral("ON_ERROR_STOP=1"),
                QStringLiteral("-d"), url.toString(), QStringLiteral("-c"), statement });
        const bool done = psql.waitForFinished(60000) && psql.exitStatus() == QProcess::NormalExit;
        if (!done || psql.exitCode() != 0)
            qWarning(
                "test store: psql: %s %s", qPrintable(psql.errorString()), psql.readAllStandardError().constData());
        return done && psql.exitCode() == 0;
    }

    QString m_location;
    QString m_database;
    std::unique_ptr<QTemporaryDir> m_folder;
};

/// At the start of a test of the service's own HTTP engine (framing, time-outs,
/// connection limits), which the proxy in front answers by its own rules.
#define CORVEX_SKIP_WHEN_PROXIED()                                                                                     \
    do {                                                                                                               \
        if (corvex::testing::TestStore::proxied())                                                                     \
            QSKIP("the proxy in front has limits and time-outs of its own (deploy/nginx)");                            \
    } while (false)

/// In initTestCase: skips the whole program when its PostgreSQL server is
/// missing, or fails it in a run meant to have one (scripts/test).
#define CORVEX_REQUIRE_TEST_STORE()                                                                                    \
    do {                                                                                                               \
        if (corvex::testing::TestStore::usesPostgres()                                                                 \
            && qEnvironmentVariable("CORVEX_TEST_POSTGRES_URL").isEmpty()) {                                           \
            const char* missing_ = "the PostgreSQL store is missing: CORVEX_TEST_POSTGRES_URL is not set; start the "  \
                                   "server with scripts/test-services start DIR and export its env lines";             \
            if (qEnvironmentVariableIsSet("CORVEX_TEST_POSTGRES_REQUIRED"))                                            \
                QFAIL(missing_);                                                                                       \
            QSKIP(missing_);                                                                                           \
        }                                                                                                              \
    } while (false)

class ReferenceServiceProcess final {
public:
    ReferenceServiceProcess() = default;
    ~ReferenceServiceProcess()
    {
        stop();
        // The database goes after the service that used it.
        m_ownStore.reset();
    }
    ReferenceServiceProcess(const ReferenceServiceProcess&) = delete;
    ReferenceServiceProcess& operator=(const ReferenceServiceProcess&) = delete;

    /// Starts the service on a fresh store of its own (unless the arguments
    /// name a --db); false when it does not come up.
    bool start(const QStringList& extraArguments = {})
    {
        if (extraArguments.contains(QStringLiteral("--db")))
            return launch(extraArguments);
        m_ownStore = std::make_unique<TestStore>();
        return m_ownStore->create() && startOn(*m_ownStore, extraArguments);
    }

    /// Starts the service on a store that other services may share.
    bool startOn(const TestStore& store, const QStringList& extraArguments = {})
    {
        return launch(QStringList { QStringLiteral("--db"), store.location() } + extraArguments);
    }

    void stop()
    {
        if (m_cluster) {
            QProcess::execute(cluster(), { QStringLiteral("stop"), m_cluster->path() });
            m_cluster.reset();
        }
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }

    /// Starts the stopped service again at its address, on its store (one that
    /// outlives it: a shared one), not behind the proxy.
    bool startAgain()
    {
        const QUrl origin(m_origin);
        m_origin.clear();
        return launch(m_arguments, QStringLiteral("127.0.0.1:%1").arg(origin.port()));
    }

    /// The service's open-file limit, soft and hard (set before `start`).
    void setDescriptorLimit(rlim_t limit) { m_descriptorLimit = limit; }

    QString origin() const { return m_origin; }
    /// What the service logged so far (one line per request).
    QByteArray log()
    {
        if (m_cluster)
            return clusterFile(u"replica%1.log", 0) + '\n' + clusterFile(u"replica%1.log", 1);
        m_log += m_process.readAllStandardError();
        return m_log;
    }

    /// Behind the proxy: the replicas' own addresses, and ending one at once.
    QString replicaOrigin(int index) const { return QString::fromLatin1(clusterFile(u"replica%1.origin", index)); }
    bool killReplica(int index)
    {
        const qint64 pid = clusterFile(u"replica%1.pid", index).toLongLong();
        return pid > 0 && ::kill(pid_t(pid), SIGKILL) == 0;
    }

private:
    static QString cluster() { return QStringLiteral(CORVEX_SOURCE_DIR "/scripts/service-cluster"); }
    /// A file the cluster script wrote, its name with the replica's number (from 1).
    QByteArray clusterFile(QStringView name, int index = 0) const
    {
        const QString named = name.contains(u'%') ? name.toString().arg(index + 1) : name.toString();
        QFile file(m_cluster ? m_cluster->filePath(named) : QString());
        return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
    }

    bool launch(QStringList arguments, const QString& address = QStringLiteral("127.0.0.1:0"))
    {
        m_arguments = arguments;
        // Hashing at the service's default cost only where a test asks for it:
        // under the sanitizers every sign-in would otherwise take a good part of a second.
        if (!arguments.contains(QStringLiteral("--pbkdf2-iterations")))
            arguments << QStringLiteral("--pbkdf2-iterations") << QStringLiteral("1000");
        if (TestStore::proxied()) {
            m_cluster = std::make_unique<QTemporaryDir>();
            QStringList options = arguments;
            const qsizetype db = options.indexOf(QStringLiteral("--db"));
            const QString location = options.value(db + 1);
            options.remove(db, 2);
            QProcess start;
            start.setProcessChannelMode(QProcess::ForwardedErrorChannel);
            start.start(cluster(),
                QStringList {
                    QStringLiteral("start"), m_cluster->path(), QStringLiteral(CORVEX_SERVICE_BINARY), location }
                    + options);
            if (!start.waitForFinished(120000) || start.exitCode() != 0)
                return false;
            m_origin = QString::fromLatin1(clusterFile(u"origin"));
            return !m_origin.isEmpty();
        }
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.setChildProcessModifier([limit = m_descriptorLimit] {
            // It ends with the test program, also when a fault makes that crash.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (limit > 0) {
                const rlimit low { limit, limit };
                ::setrlimit(RLIMIT_NOFILE, &low);
            }
        });
        m_process.start(
            QStringLiteral(CORVEX_SERVICE_BINARY), QStringList { QStringLiteral("--listen"), address } + arguments);
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

    std::unique_ptr<TestStore> m_ownStore;
    std::unique_ptr<QTemporaryDir> m_cluster;
    QProcess m_process;
    rlim_t m_descriptorLimit = 0; // none set
    QString m_origin;
    QStringList m_arguments; // as launched
    QByteArray m_log;
};

/// One service for the rows of a table and the functions after it (a new one
/// when the options change): a start per row was most of a run's time,
/// behind the proxy above all. Its origin is empty when it did not start.
class SharedService final {
public:
    ReferenceServiceProcess& get(const QStringList& options = {})
    {
        if (!m_service || options != m_options) {
            m_service = std::make_unique<ReferenceServiceProcess>();
            m_options = options;
            if (!m_service->start(options))
                qWarning("the shared reference service did not start");
        }
        return *m_service;
    }

private:
    std::unique_ptr<ReferenceServiceProcess> m_service;
    QStringList m_options;
};

/// An address that no account of a shared service has yet.
inline QString freshEmail(QStringView name)
{
    static int counter = 0;
    return QStringLiteral("%1.%2@example.org").arg(name).arg(++counter);
}

} // namespace corvex::testing
