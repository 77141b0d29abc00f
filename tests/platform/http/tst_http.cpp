#include "platform/http/http_client.h"
#include "platform/http/json_reader.h"

#include "../../support/fault_server.h"

#include <QJsonDocument>
#include <QTest>

#include <QCoroTask>

using corvex::http::Client;
using corvex::http::JsonReader;
using corvex::http::Reply;
using corvex::http::Request;
using corvex::testing::FaultServer;

class TestHttp final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Member "a" of each object read as `kind`: its value as text, "none", or "error:<part>".
    void readMembers_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("kind"); // string, optString, int, optInt, array
        QTest::addColumn<QString>("expected");
        const char* rows[][4] = {
            { "string", R"({"a":"x"})", "string", "x" },
            { "empty string kept", R"({"a":""})", "optString", "" },
            { "missing required", R"({})", "string", "error:member a is missing" },
            { "null required", R"({"a":null})", "string", "error:member a is null" },
            { "string given a number", R"({"a":1})", "string", "error:not text" },
            { "optional absent", R"({})", "optString", "none" },
            { "optional null", R"({"a":null})", "optString", "none" },
            { "optional wrong type", R"({"a":false})", "optString", "error:not text" },
            { "integer", R"({"a":-42})", "int", "-42" },
            { "integer beyond 2^53", R"({"a":9007199254740993})", "int", "9007199254740993" },
            { "integral float", R"({"a":3.0})", "int", "3" },
            { "fraction refused", R"({"a":1.5})", "int", "error:whole number" },
            { "numeric text refused", R"({"a":"1"})", "int", "error:whole number" },
            { "too large refused", R"({"a":1e30})", "int", "error:whole number" },
            { "optional integer null", R"({"a":null})", "optInt", "none" },
            { "optional integer fraction", R"({"a":0.25})", "optInt", "error:whole number" },
            { "array", R"({"a":[1,2]})", "array", "2" },
            { "array given an object", R"({"a":{}})", "array", "error:not a list" },
        };
        for (const auto& row : rows)
            QTest::newRow(row[0]) << QByteArray(row[1]) << row[2] << row[3];
    }

    void readMembers()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, kind);
        QFETCH(QString, expected);
        const QString member = QStringLiteral("a");

        JsonReader reader(QJsonDocument::fromJson(json).object(), QString());
        QString actual;
        if (kind == QLatin1StringView("string")) {
            actual = reader.requiredString(member);
        } else if (kind == QLatin1StringView("optString")) {
            actual = reader.optionalString(member).value_or(QStringLiteral("none"));
        } else if (kind == QLatin1StringView("int")) {
            actual = QString::number(reader.requiredInteger(member));
        } else if (kind == QLatin1StringView("optInt")) {
            const auto value = reader.optionalInteger(member);
            actual = value ? QString::number(*value) : QStringLiteral("none");
        } else {
            actual = QString::number(reader.requiredArray(member).size());
        }
        if (expected.startsWith(QLatin1StringView("error:"))) {
            QVERIFY(!reader.ok());
            QVERIFY2(reader.error().contains(expected.mid(6)), qPrintable(reader.error()));
        } else {
            QVERIFY2(reader.ok(), qPrintable(reader.error()));
            QCOMPARE(actual, expected);
        }
    }

    void firstFailureIsKeptWithItsPath()
    {
        JsonReader reader(QJsonDocument::fromJson(R"({"b":"x"})").object(), QStringLiteral("results[2]"));
        reader.requiredInteger(QStringLiteral("season"));
        QCOMPARE(reader.requiredString(QStringLiteral("b")), QString()); // read after a failure: empty
        reader.fail(QStringLiteral("a list element is not an object")); // as the list decoders report
        QCOMPARE(reader.error(), QStringLiteral("member results[2].season is missing"));
        QCOMPARE(reader.pathOf(QStringLiteral("list"), 0), QStringLiteral("results[2].list[0]"));
    }

    // Only an address with a scheme and a host is one to send to.
    void absoluteUrls()
    {
        QVERIFY(corvex::http::absoluteUrl(QStringLiteral("http://127.0.0.1:8787/auth/account")));
        for (const char* text : { "https:/auth/account", "//127.0.0.1/auth/account", "https://[x]/", "" })
            QVERIFY2(!corvex::http::absoluteUrl(QString::fromLatin1(text)), text);
    }

    void parseObject_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("errorPart");
        QTest::newRow("object") << QByteArray("{}") << "";
        QTest::newRow("empty") << QByteArray() << "empty";
        QTest::newRow("html") << QByteArray("<html>oops</html>") << "not JSON";
        QTest::newRow("array") << QByteArray("[]") << "not a JSON object";
    }

    void parseObject()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, errorPart);
        const auto object = corvex::http::parseObject(body);
        QCOMPARE(object.value.has_value(), errorPart.isEmpty());
        QVERIFY2(object.error.contains(errorPart), qPrintable(object.error));
    }

    void send_data()
    {
        QTest::addColumn<int>("action");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("transportError");
        QTest::addColumn<bool>("timedOut");

        const int respond = static_cast<int>(FaultServer::Action::Respond);
        QTest::newRow("200") << respond << 200 << QByteArray("{\"a\":1}") << false << false;
        QTest::newRow("201 is an answer") << respond << 201 << QByteArray("x") << false << false;
        QTest::newRow("204 is an answer") << respond << 204 << QByteArray() << false << false;
        QTest::newRow("401 is an answer, not a transport error")
            << respond << 401 << QByteArray("no") << false << false;
        QTest::newRow("500 is an answer") << respond << 500 << QByteArray("down") << false << false;
        QTest::newRow("dropped connection")
            << static_cast<int>(FaultServer::Action::Drop) << 0 << QByteArray() << true << false;
        QTest::newRow("silence times out")
            << static_cast<int>(FaultServer::Action::Silent) << 0 << QByteArray() << true << true;
    }

    void send()
    {
        QFETCH(int, action);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(bool, transportError);
        QFETCH(bool, timedOut);

        FaultServer server;
        server.setAnswer("POST", "/x", { status, body, static_cast<FaultServer::Action>(action) });
        Client client;
        client.setTimeout(std::chrono::milliseconds(300));
        Request request;
        request.url = QUrl(server.origin() + QStringLiteral("/x?q=1"));
        request.method = "POST";
        request.headers.append(qMakePair(QByteArray("Authorization"), QByteArray("Bearer t0k")));
        request.body = QByteArray("\x00\x01\x02", 3);
        const Reply reply = QCoro::waitFor(client.send(request));

        // Qt sends again once when a connection drops before any answer.
        QVERIFY(!server.received().isEmpty());
        QCOMPARE(server.received().first().target, QByteArray("/x?q=1"));
        QCOMPARE(server.received().first().headers.value("authorization"), QByteArray("Bearer t0k"));
        QCOMPARE(server.received().first().body, QByteArray("\x00\x01\x02", 3));
        QCOMPARE(reply.error.has_value(), transportError);
        if (transportError) {
            QCOMPARE(reply.error->timedOut, timedOut);
            QVERIFY(!reply.error->message.isEmpty());
            if (timedOut)
                QVERIFY2(reply.error->message.contains(QLatin1StringView("did not answer within 0.3 seconds")),
                    qPrintable(reply.error->message));
        } else {
            QCOMPARE(reply.status, status);
            QCOMPARE(reply.body, body);
        }
    }

    void redirectsKeepCredentialsOnTheirOrigin_data()
    {
        QTest::addColumn<QByteArray>("header"); // sent with the request, empty for none
        QTest::addColumn<bool>("toOtherOrigin");
        QTest::addColumn<bool>("followed");

        QTest::newRow("bearer token, other origin") << QByteArray("Authorization") << true << false;
        QTest::newRow("bearer token in lower case, other origin") << QByteArray("authorization") << true << false;
        QTest::newRow("cookie, other origin") << QByteArray("Cookie") << true << false;
        QTest::newRow("proxy credential, other origin") << QByteArray("Proxy-Authorization") << true << false;
        QTest::newRow("bearer token, same origin") << QByteArray("Authorization") << false << true;
        QTest::newRow("no credential, other origin") << QByteArray() << true << true;
        QTest::newRow("another header, other origin") << QByteArray("Accept") << true << true;
    }

    void redirectsKeepCredentialsOnTheirOrigin()
    {
        QFETCH(QByteArray, header);
        QFETCH(bool, toOtherOrigin);
        QFETCH(bool, followed);

        // Another port on loopback is another origin.
        FaultServer first;
        FaultServer second;
        FaultServer& target = toOtherOrigin ? second : first;
        first.setAnswer("GET", "/start",
            { 302, QByteArray(), FaultServer::Action::Respond, "text/plain",
                { qMakePair(QByteArray("Location"), (target.origin() + QStringLiteral("/landing")).toUtf8()) } });
        target.setAnswer("GET", "/landing", { 200, QByteArray("arrived") });

        Client client;
        Request request;
        request.url = QUrl(first.origin() + QStringLiteral("/start"));
        if (!header.isEmpty())
            request.headers.append(qMakePair(header, QByteArray("Bearer s3cret")));
        const Reply reply = QCoro::waitFor(client.send(request));

        if (!followed) {
            QVERIFY(second.received().isEmpty());
            QVERIFY(reply.error.has_value());
            QVERIFY2(
                reply.error->message.contains(QLatin1StringView("another host")), qPrintable(reply.error->message));
            QVERIFY(!reply.error->message.contains(QLatin1StringView("s3cret")));
            return;
        }
        QVERIFY2(!reply.error.has_value(), qPrintable(reply.error ? reply.error->message : QString()));
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.body, QByteArray("arrived"));
        const QList<FaultServer::Received> hits = target.received();
        QCOMPARE(hits.last().target, QByteArray("/landing"));
        QCOMPARE(std::count_if(hits.begin(), hits.end(), [](const auto& hit) { return hit.target == "/landing"; }), 1);
        if (!header.isEmpty())
            QCOMPARE(hits.last().headers.value(header.toLower()), QByteArray("Bearer s3cret"));
    }

    void refusedConnectionIsATransportError()
    {
        quint16 port = 0;
        {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            port = probe.serverPort();
        }
        // Refused directly, and after a redirect whose answer carried a status.
        FaultServer redirecting;
        const QString dead = QStringLiteral("http://127.0.0.1:%1/").arg(port);
        redirecting.setAnswer(
            "GET", "/", { 302, {}, FaultServer::Action::Respond, "text/plain", { { "Location", dead.toUtf8() } } });
        Client client;
        for (const QString& url : { dead, redirecting.origin() + '/' }) {
            Request request;
            request.url = QUrl(url);
            const Reply reply = QCoro::waitFor(client.send(request));
            QVERIFY2(reply.error.has_value(), qPrintable(url));
            QVERIFY2(reply.error->message.contains(QLatin1StringView("refused")), qPrintable(reply.error->message));
        }
    }
};

QTEST_GUILESS_MAIN(TestHttp)
#include "tst_http.moc"
