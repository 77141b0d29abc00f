#include "platform/settings/endpoints.h"
#include "platform/settings/private_file.h"
#include "platform/settings/store.h"

#include "../../support/full_disk.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using corvex::settings::Endpoints;
using corvex::settings::Store;
namespace private_file = corvex::settings::private_file;

class TestSettings final : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_home;

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("XDG_CONFIG_HOME", m_home.filePath(QStringLiteral("config")).toUtf8());
    }

    void defaultPathIsUnderTheConfigFolder()
    {
        QCOMPARE(Store::defaultPath(), m_home.filePath(QStringLiteral("config/corvex/corvex.ini")));
    }

    void valuesPersistAndAreSharedBetweenStores()
    {
        const QString path = m_home.filePath(QStringLiteral("shared.ini"));
        Store first(path);
        Store second(path);
        QCOMPARE(first.value(QStringLiteral("access_token")), std::nullopt);
        QVERIFY(first.setValue(QStringLiteral("access_token"), QStringLiteral("abc=def&x")));
        QCOMPARE(second.value(QStringLiteral("access_token")), std::optional(QStringLiteral("abc=def&x")));
        QVERIFY(second.setValue(QStringLiteral("access_token"), std::nullopt));
        QCOMPARE(first.value(QStringLiteral("access_token")), std::nullopt);
        QVERIFY(first.setValue(QStringLiteral("access_token"), QString()));
        QCOMPARE(Store(path).value(QStringLiteral("access_token")), std::optional(QString()));
    }

    void fileIsOwnerOnly_data()
    {
        QTest::addColumn<bool>("preexisting");
        QTest::newRow("created by the store") << false;
        QTest::newRow("left world-readable by someone else") << true;
    }

    void fileIsOwnerOnly()
    {
        QFETCH(bool, preexisting);
        // With no umask to hide behind, a file made with the default mode is world-readable.
        const mode_t previousMask = ::umask(0);
        const auto restoreMask = qScopeGuard([previousMask] { ::umask(previousMask); });
        const QString path = m_home.filePath(QStringLiteral("perm/%1/corvex.ini").arg(preexisting));
        const QString written = path + QStringLiteral(".json"); // replaced whole by private_file::write
        if (preexisting) {
            QDir().mkpath(QFileInfo(path).absolutePath());
            for (const QString& name : { path, written }) {
                QFile file(name);
                QVERIFY(file.open(QIODevice::WriteOnly));
                file.close();
                QVERIFY(QFile::setPermissions(name,
                    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther
                        | QFileDevice::ReadGroup));
            }
        }
        const auto others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
            | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;

        Store store(path);
        // Right after opening, before anything is written: the token may be the first thing stored.
        QVERIFY(QFileInfo::exists(path));
        QCOMPARE(QFileInfo(path).permissions() & others, QFileDevice::Permissions());
        if (!preexisting)
            QCOMPARE(QFileInfo(QFileInfo(path).absolutePath()).permissions() & others, QFileDevice::Permissions());

        QVERIFY(store.setValue(QStringLiteral("access_token"), QStringLiteral("secret")));
        QVERIFY(private_file::write(written, "{}"));
        for (const QString& name : { path, written }) {
            QCOMPARE(QFileInfo(name).permissions() & others, QFileDevice::Permissions());
            QVERIFY(QFileInfo(name).permissions() & QFileDevice::ReadOwner);
        }
    }

    // On a full disk nothing is half written, and what is read stays what the
    // file holds: a sign-out that could not be written does not look done.
    void fullDisk()
    {
        corvex::testing::FullDisk disk;
        CORVEX_REQUIRE_FULL_DISK(disk);
        const QString ini = disk.path(QStringLiteral("corvex.ini"));
        const QString kept = disk.path(QStringLiteral("kept.json"));
        QVERIFY(Store(ini).setValue(QStringLiteral("access_token"), QStringLiteral("secret")));
        QVERIFY(private_file::write(kept, "old"));
        const QString room = disk.path(QStringLiteral("room"));
        QVERIFY(private_file::write(room, QByteArray(4096, 'r')));
        disk.fill();

        Store store(ini);
        QVERIFY(!store.setValue(QStringLiteral("access_token"), std::nullopt));
        QCOMPARE(store.value(QStringLiteral("access_token")), std::optional(QStringLiteral("secret")));
        QVERIFY(!store.setValue(QStringLiteral("access_token"), QStringLiteral("another")));
        QCOMPARE(Store(ini).value(QStringLiteral("access_token")), std::optional(QStringLiteral("secret")));
        const auto written = private_file::write(kept, QByteArray(300, 'n'));
        QVERIFY(!written);
        QVERIFY2(written.error.contains(QLatin1StringView("No space left")), qPrintable(written.error));
        QVERIFY(!private_file::write(disk.path(QStringLiteral("new.json")), "{}"));
        QCOMPARE(QDir(disk.path()).entryList({ QStringLiteral("*.json*") }, QDir::Files | QDir::Hidden),
            QStringList { QStringLiteral("kept.json") });
        QFile old(kept);
        QVERIFY(old.open(QIODevice::ReadOnly));
        QCOMPARE(old.readAll(), QByteArray("old"));
        // Room for a part of it: the write cut short says why as well.
        QVERIFY(QFile::remove(room));
        const auto cut = private_file::write(disk.path(QStringLiteral("big.json")), QByteArray(3 * 4096, 'b'));
        QVERIFY2(!cut && cut.error.contains(QLatin1StringView("No space left")), qPrintable(cut.error));
        QVERIFY(QDir(disk.path()).entryList({ QStringLiteral("big.json*") }, QDir::Files | QDir::Hidden).isEmpty());

        disk.makeRoom();
        QVERIFY(store.setValue(QStringLiteral("access_token"), std::nullopt));
        QCOMPARE(Store(ini).value(QStringLiteral("access_token")), std::nullopt);
    }

    // A private folder is ours alone, whoever made it first.
    void privateFolder_data()
    {
        QTest::addColumn<QString>("before"); // what is at the path first
        QTest::addColumn<QString>("refusal"); // empty: made or narrowed to 0700, its file to 0600
        QTest::addColumn<uint>("fileMode"); // of the file in a folder that is there
        const char* rows[][4] = {
            { "missing", "", "", "" },
            { "missing, named with a slash at its end", "slash", "", "" },
            { "ours, private already", "0700", "", "0644" },
            { "ours, open to all, with a file all may read", "0755", "", "0644" },
            { "ours, writable by the group, with a file the group may read", "0770", "", "0640" },
            { "ours, private already, with a file only others may read", "0700", "", "0604" },
            { "another user's", "nobody", "belongs to another user", "0644" },
            { "a link to a folder of ours", "link", "is not a folder", "" },
            { "a file", "file", "is not a folder", "" },
        };
        for (const auto& row : rows)
            QTest::newRow(row[0]) << row[1] << row[2] << QByteArray(row[3]).toUInt(nullptr, 8);
    }

    void privateFolder()
    {
        QFETCH(QString, before);
        QFETCH(QString, refusal);
        QFETCH(uint, fileMode);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("data/outbox"));
        const QByteArray native = QFile::encodeName(path);
        QDir().mkpath(dir.filePath(QStringLiteral("data")));
        if (before == QLatin1StringView("link")) {
            QDir().mkpath(dir.filePath(QStringLiteral("elsewhere")));
            QVERIFY(QFile::link(dir.filePath(QStringLiteral("elsewhere")), path));
        } else if (before == QLatin1StringView("file")) {
            QVERIFY(private_file::write(path, "x"));
        } else if (!before.isEmpty() && before != QLatin1StringView("slash")) {
            QVERIFY(QDir().mkpath(path));
            QVERIFY(private_file::write(path + QStringLiteral("/entry.json"), "{}"));
            QCOMPARE(::chmod((path + QStringLiteral("/entry.json")).toUtf8().constData(), fileMode), 0);
            if (before == QLatin1StringView("nobody")) {
                if (::geteuid() != 0)
                    QSKIP("only root can give a folder to another user");
                QCOMPARE(::chown(native.constData(), 65534, 65534), 0);
            } else {
                QCOMPARE(::chmod(native.constData(), before.toUInt(nullptr, 8)), 0);
            }
        }
        const auto prepared = private_file::prepareFolder(before == QLatin1StringView("slash") ? path + '/' : path);
        QCOMPARE(prepared.error.isEmpty(), refusal.isEmpty());
        QVERIFY2(prepared.error.contains(refusal), qPrintable(prepared.error));
        if (!refusal.isEmpty())
            return;
        struct stat info { };
        QCOMPARE(::lstat(native.constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, static_cast<mode_t>(0700));
        if (::lstat((path + QStringLiteral("/entry.json")).toUtf8().constData(), &info) == 0)
            QCOMPARE(info.st_mode & 07777, static_cast<mode_t>(0600));
    }

    void endpoints_data()
    {
        QTest::addColumn<QStringList>("environment"); // NAME=value
        QTest::addColumn<QStringList>("stored"); // key=value
        QTest::addColumn<QString>("service");
        QTest::addColumn<QString>("catalogue");
        QTest::addColumn<QString>("apiKey");
        QTest::addColumn<QString>("errorPart"); // empty: must succeed
        const QString key = Endpoints::defaults().tmdbApiKey;
        const QString tmdb = QStringLiteral("https://api.themoviedb.org");
        const QString local = QStringLiteral("http://127.0.0.1:8787");
        const struct {
            const char* name;
            QStringList environment, stored;
            QString service, catalogue, apiKey, errorPart;
        } rows[] = {
            { "defaults", {}, {}, local, tmdb, key, {} },
            { "env https, trailing slash dropped", { "CORVEX_SERVICE_URL=https://lights.example.org/" }, {},
                "https://lights.example.org", tmdb, key, {} },
            { "surrounding space and a newline are not part of it",
                { "CORVEX_SERVICE_URL= https://lights.example.org/\n" }, {}, "https://lights.example.org", tmdb, key,
                {} },
            { "env keeps a path prefix", { "CORVEX_SERVICE_URL=https://example.org/lights/" }, {},
                "https://example.org/lights", tmdb, key, {} },
            { "plain http on localhost", { "CORVEX_CATALOGUE_URL=http://localhost:9000" }, {}, local,
                "http://localhost:9000", key, {} },
            { "plain http on LOCALHOST", { "CORVEX_SERVICE_URL=http://LOCALHOST:8787" }, {}, "http://localhost:8787",
                tmdb, key, {} },
            { "plain http on ::1", { "CORVEX_SERVICE_URL=http://[::1]:8787" }, {}, "http://[::1]:8787", tmdb, key, {} },
            { "plain http on 127.0.0.2", { "CORVEX_SERVICE_URL=http://127.0.0.2" }, {}, "http://127.0.0.2", tmdb, key,
                {} },
            { "plain http elsewhere refused", { "CORVEX_SERVICE_URL=http://lights.example.org" }, {}, {}, {}, {},
                "CORVEX_SERVICE_URL" },
            { "plain http to a LAN address refused", { "CORVEX_IMAGES_URL=http://192.168.1.10" }, {}, {}, {}, {},
                "CORVEX_IMAGES_URL" },
            { "host named like loopback refused", { "CORVEX_SERVICE_URL=http://127.0.0.1.example.org" }, {}, {}, {}, {},
                "plain http" },
            { "host named like localhost refused", { "CORVEX_SERVICE_URL=http://localhost.example.org" }, {}, {}, {},
                {}, "plain http" },
            { "not http at all", { "CORVEX_SERVICE_URL=ftp://127.0.0.1" }, {}, {}, {}, {}, "not an http(s) address" },
            { "no host", { "CORVEX_SERVICE_URL=https://" }, {}, {}, {}, {}, "not an http(s) address" },
            { "query refused", { "CORVEX_SERVICE_URL=https://example.org/?a=b" }, {}, {}, {}, {}, "query" },
            { "fragment refused", { "CORVEX_SERVICE_URL=https://example.org/#a" }, {}, {}, {}, {}, "a fragment" },
            { "user name refused", { "CORVEX_CATALOGUE_URL=https://me:pw@example.org" }, {}, {}, {}, {}, "user name" },
            { "settings win over the environment",
                { "CORVEX_SERVICE_URL=https://env.example.org", "CORVEX_TMDB_API_KEY=envkey" },
                { "service_url=https://stored.example.org" }, "https://stored.example.org", tmdb, "envkey", {} },
            { "bad stored origin names the setting", {}, { "service_url=http://example.org" }, {}, {}, {},
                "service_url" },
            { "empty key refused", { "CORVEX_TMDB_API_KEY=" }, {}, {}, {}, {}, "empty catalogue API key" },
            { "key of spaces refused", { "CORVEX_TMDB_API_KEY=  " }, {}, {}, {}, {}, "empty catalogue API key" },
        };
        for (const auto& r : rows)
            QTest::newRow(r.name) << r.environment << r.stored << r.service << r.catalogue << r.apiKey << r.errorPart;
    }

    void endpoints()
    {
        QFETCH(QStringList, environment);
        QFETCH(QStringList, stored);
        QFETCH(QString, service);
        QFETCH(QString, catalogue);
        QFETCH(QString, apiKey);
        QFETCH(QString, errorPart);

        QProcessEnvironment env;
        for (const QString& entry : environment)
            env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
        QTemporaryDir dir;
        Store store(dir.filePath(QStringLiteral("s.ini")));
        for (const QString& entry : stored)
            store.setValue(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));

        const auto loaded = Endpoints::load(store, env);
        if (!errorPart.isEmpty()) {
            QVERIFY(std::holds_alternative<QString>(loaded));
            QVERIFY2(std::get<QString>(loaded).contains(errorPart), qPrintable(std::get<QString>(loaded)));
            return;
        }
        QVERIFY2(std::holds_alternative<Endpoints>(loaded),
            std::holds_alternative<QString>(loaded) ? qPrintable(std::get<QString>(loaded)) : "");
        const Endpoints& endpoints = std::get<Endpoints>(loaded);
        QCOMPARE(endpoints.service, service);
        QCOMPARE(endpoints.catalogue, catalogue);
        QCOMPARE(endpoints.tmdbApiKey, apiKey);
    }
};

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
