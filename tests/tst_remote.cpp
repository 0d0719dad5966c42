// Mode "remote" through the host: requests forwarded to a scripted
// test-management server on 127.0.0.1:8080, and the switch between its two
// base URLs (127.0.0.1 first, localhost second).

#include "tests/support/FakeRemoteServer.h"
#include "tests/support/HostProcess.h"
#include "tests/support/TestClient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

class TstRemote : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void forwardsTheRequestAndReturnsTheServersObject();
    void networkErrorsSwitchHost();
    void requestsFailingTogetherSwitchOnce();
    void bodiesThatAreNotObjects_data();
    void bodiesThatAreNotObjects();
    void progressIsLoggedForLargeBodiesOnly();

private:
    QByteArray LastHost() const { return m_server->Received().last().headers.value("host"); }

    HostProcess* m_host = nullptr;
    TestClient* m_client = nullptr;
    FakeRemoteServer* m_server = nullptr;
};

void TstRemote::init()
{
    m_server = new FakeRemoteServer;
    QVERIFY(m_server->Listen(8080));
    m_host = new HostProcess;
    QVERIFY2(m_host->Start(), qPrintable(m_host->ErrorText()));
    m_client = new TestClient;
    QVERIFY(m_client->Connect(m_host->Url()));
}

void TstRemote::cleanup()
{
    delete m_client;
    QVERIFY2(m_host->Stop(), qPrintable(m_host->Stderr()));
    delete m_host;
    delete m_server;
}

void TstRemote::forwardsTheRequestAndReturnsTheServersObject()
{
    FakeRemoteServer::Reply reply;
    reply.body = R"({"result":"ok","testcaseid":42,"ERROR":"server's","SEQ":"server's","nested":{"a":[1,2]}})";
    m_server->Queue(reply);
    const QJsonObject answer = m_client->Request({{"CMD", "add_tc"}, {"SEQ", 9}, {"testcase", QJsonObject{{"title", "t"}}}});
    QCOMPARE(answer, (QJsonObject{{"result", "ok"}, {"testcaseid", 42}, {"ERROR", "SUCCESS"}, {"SEQ", 9},
                                  {"nested", QJsonObject{{"a", QJsonArray{1, 2}}}}}));

    QCOMPARE(m_server->Received().size(), 1);
    const FakeRemoteServer::Request& sent = m_server->Received().at(0);
    QCOMPARE(sent.method, QByteArray("POST"));
    QCOMPARE(sent.path, QByteArray("/api"));
    QCOMPARE(sent.headers.value("content-type"), QByteArray("application/x-www-form-urlencoded"));
    QCOMPARE(sent.body, QByteArray(R"({"cmd":"add_tc","testcase":{"title":"t"}})"));
    // A fresh service talks to the second host.
    QCOMPARE(LastHost(), QByteArray("localhost:8080"));

    // A redirect is an answer like any other.
    reply.status = 301;
    reply.body = R"({"moved":true})";
    reply.extraHeaders = {"Location: http://127.0.0.1:8080/elsewhere"};
    m_server->Queue(reply);
    QCOMPARE(m_client->Request({{"CMD", "proj_tcs"}}), (QJsonObject{{"moved", true}, {"ERROR", "SUCCESS"}}));
    QCOMPARE(m_server->Received().size(), 2);
}

void TstRemote::networkErrorsSwitchHost()
{
    QCOMPARE(m_client->Request({{"CMD", "my_plans"}}).value("result").toString(), QStringLiteral("ok"));
    QCOMPARE(LastHost(), QByteArray("localhost:8080"));

    // An error status fails like a refused connection and moves to the first host ...
    FakeRemoteServer::Reply broken;
    broken.status = 500;
    broken.body = "{}";
    m_server->Queue(broken);
    QVERIFY(m_client->Request({{"CMD", "my_plans"}}).value("result").toString().startsWith("Network Error: "));
    QCOMPARE(m_client->Request({{"CMD", "my_plans"}}).value("result").toString(), QStringLiteral("ok"));
    QCOMPARE(LastHost(), QByteArray("127.0.0.1:8080"));

    // ... and the next failure moves back to the second.
    delete m_server;
    m_server = nullptr;
    const QString refused = m_client->Request({{"CMD", "my_plans"}}, 15000).value("result").toString();
    QVERIFY2(refused.startsWith("Network Error: "), qPrintable(refused));
    m_server = new FakeRemoteServer;
    QVERIFY(m_server->Listen(8080));
    QCOMPARE(m_client->Request({{"CMD", "my_plans"}}).value("result").toString(), QStringLiteral("ok"));
    QCOMPARE(LastHost(), QByteArray("localhost:8080"));
}

void TstRemote::requestsFailingTogetherSwitchOnce()
{
    FakeRemoteServer::Reply broken;
    broken.status = 503;
    broken.pauseMs = 0;
    m_server->Queue(broken);
    m_server->Queue(broken);
    m_client->Send(QJsonObject{{"CMD", "a"}, {"SEQ", 1}});
    m_client->Send(QJsonObject{{"CMD", "b"}, {"SEQ", 2}});
    QVERIFY(m_client->WaitReplies(2));
    QVERIFY(m_client->Reply(0).value("result").toString().startsWith("Network Error: "));
    QVERIFY(m_client->Reply(1).value("result").toString().startsWith("Network Error: "));
    // Both were sent to the second host, so both switch to the first.
    QCOMPARE(m_client->Request({{"CMD", "c"}}).value("result").toString(), QStringLiteral("ok"));
    QCOMPARE(LastHost(), QByteArray("127.0.0.1:8080"));
}

void TstRemote::bodiesThatAreNotObjects_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("result");
    QTest::newRow("array") << QByteArray("[1,2]") << "Not a json object";
    QTest::newRow("html") << QByteArray("<html>oops</html>") << "Json Parse Error: illegal value";
    QTest::newRow("empty") << QByteArray() << "Json Parse Error: illegal value";
}

void TstRemote::bodiesThatAreNotObjects()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, result);
    FakeRemoteServer::Reply reply;
    reply.body = body;
    m_server->Queue(reply);
    QCOMPARE(m_client->Request({{"CMD", "fetch_tc"}, {"SEQ", "s"}}),
             (QJsonObject{{"result", result}, {"ERROR", "SUCCESS"}, {"SEQ", "s"}}));
    // Not a network error: the host stays the second one.
    QCOMPARE(m_client->Request({{"CMD", "fetch_tc"}}).value("result").toString(), QStringLiteral("ok"));
    QCOMPARE(LastHost(), QByteArray("localhost:8080"));
}

void TstRemote::progressIsLoggedForLargeBodiesOnly()
{
    auto bigReply = [](int size) {
        FakeRemoteServer::Reply reply;
        reply.body = "{\"pad\":\"" + QByteArray(size - 10, 'x') + "\"}";
        reply.pieces = 5;
        reply.pauseMs = 40;
        return reply;
    };
    m_server->Queue(bigReply(60 * 1024));
    QCOMPARE(m_client->Request({{"CMD", "small"}}).value("pad").toString().size(), 60 * 1024 - 10);
    QVERIFY(!m_host->Stderr().contains("Downloading ["));

    m_server->Queue(bigReply(100 * 1024));
    QCOMPARE(m_client->Request({{"CMD", "large"}}).value("pad").toString().size(), 100 * 1024 - 10);
    const QString log = m_host->Stderr();
    QVERIFY2(log.count(QRegularExpression(R"(\[2\] WebFileGetter WebFileGetter::OnProgress: Downloading \[api\] +\d+% +\d+\.\d\d kB/s)")) >= 2,
             qPrintable(log));
    QVERIFY(log.contains(QRegularExpression(R"(Downloading \[api\] 100% )")));
}

QTEST_GUILESS_MAIN(TstRemote)
#include "tst_remote.moc"
