// The host program end to end: real processes, real WebSocket connections.

#include "tests/support/HostProcess.h"
#include "tests/support/TestClient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QtTest>

class TstHost : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void getStateAnswersExactly();
    void switchStateFollowsTheStateText_data();
    void switchStateFollowsTheStateText();
    void malformedTextGetsTheParserText_data();
    void malformedTextGetsTheParserText();
    void cmdOfEveryJsonType_data();
    void cmdOfEveryJsonType();
    void seqOfEveryJsonTypeComesBack_data();
    void seqOfEveryJsonTypeComesBack();
    void hugeMessages();
    void binaryFrameIsRefusedAndConnectionStays();
    void otherConnectionsKeepBeingServed();
    void logsOneCreationPerConnection();
    void clientToolPrintsOneLinePerReply();
    void stopsCleanlyOnSignals_data();
    void stopsCleanlyOnSignals();

private:
    HostProcess* m_host = nullptr;
    TestClient* m_bystander = nullptr;
    int m_connections = 0;

    QJsonObject Ask(const QString& text)
    {
        TestClient client;
        if (!client.Connect(m_host->Url()))
            return {{"connect", "failed"}};
        ++m_connections;
        return client.RequestText(text);
    }
};

void TstHost::initTestCase()
{
    m_host = new HostProcess;
    // Remote requests fail at once: nothing listens on port 1.
    QVERIFY2(m_host->Start({"--remote-hosts", "http://127.0.0.1:1/api,http://127.0.0.1:1/api"}),
             qPrintable(m_host->ErrorText()));
    // Stays connected through every test: bad input elsewhere must not touch it.
    m_bystander = new TestClient;
    QVERIFY(m_bystander->Connect(m_host->Url()));
    ++m_connections;
}

void TstHost::cleanupTestCase()
{
    delete m_bystander;
    if (m_host)
        QVERIFY2(m_host->Stop(), qPrintable(m_host->Stderr()));
    delete m_host;
}

void TstHost::getStateAnswersExactly()
{
    TestClient client;
    QVERIFY(client.Connect(m_host->Url()));
    ++m_connections;
    client.Send(QStringLiteral("{\"CMD\":\"get_state\",\"SEQ\":7}"));
    QVERIFY(client.WaitReplies(1));
    QCOMPARE(client.Replies().at(0), QStringLiteral("{\"ERROR\":\"SUCCESS\",\"SEQ\":7,\"result\":\"ok\",\"state\":\"remote\"}"));
}

void TstHost::switchStateFollowsTheStateText_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("state");
    QTest::newRow("remote") << R"({"cmd":"switch_state","state":"remote"})" << "remote";
    QTest::newRow("local") << R"({"cmd":"switch_state","state":"local"})" << "local";
    QTest::newRow("capitals") << R"({"cmd":"switch_state","state":"REMOTE"})" << "local";
    QTest::newRow("number") << R"({"cmd":"switch_state","state":1})" << "local";
    QTest::newRow("missing") << R"({"cmd":"switch_state"})" << "local";
    QTest::newRow("back to remote") << R"({"CMD":"switch_state","state":"remote"})" << "remote";
}

void TstHost::switchStateFollowsTheStateText()
{
    QFETCH(QString, request);
    QFETCH(QString, state);
    TestClient client;
    QVERIFY(client.Connect(m_host->Url()));
    ++m_connections;
    const QJsonObject reply = client.RequestText(request);
    QCOMPARE(reply.value("state").toString(), state);
    QCOMPARE(reply.value("result").toString(), QStringLiteral("ok"));
    // The mode is the service's, not the connection's: the bystander sees it.
    QCOMPARE(m_bystander->Request({{"CMD", "get_state"}}).value("state").toString(), state);
}

void TstHost::malformedTextGetsTheParserText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("message");
    QTest::newRow("array") << "[1,2]" << "no error occurred";
    QTest::newRow("empty") << "" << "illegal value";
    QTest::newRow("not json") << "get_state please" << "illegal value";
    QTest::newRow("no separator") << R"({"SEQ" 1})" << "missing name separator";
    QTest::newRow("unclosed array") << R"({"SEQ":[1,2})" << "unterminated array";
    QTest::newRow("string") << R"("get_state")" << "illegal value";
}

void TstHost::malformedTextGetsTheParserText()
{
    QFETCH(QString, text);
    QFETCH(QString, message);
    const QJsonObject reply = Ask(text);
    QCOMPARE(reply.value("ERROR_MESSAGE").toString(), message);
    QCOMPARE(reply, (QJsonObject{{"ERROR", "FAILURE"}, {"ERROR_MESSAGE", message}}));
}

void TstHost::cmdOfEveryJsonType_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("result");
    QTest::newRow("CMD number") << R"({"CMD":5,"SEQ":1})" << "No cmd Section";
    QTest::newRow("cmd number") << R"({"cmd":5})" << "No cmd Section";
    QTest::newRow("CMD null") << R"({"CMD":null})" << "No cmd Section";
    QTest::newRow("cmd bool") << R"({"cmd":true})" << "No cmd Section";
    QTest::newRow("CMD array") << R"({"CMD":["get_state"]})" << "No cmd Section";
    QTest::newRow("cmd object") << R"({"cmd":{"get_state":1}})" << "No cmd Section";
    QTest::newRow("cmd empty") << R"({"cmd":""})" << "No cmd Section";
    QTest::newRow("no cmd") << R"({"SEQ":3})" << "No cmd Section";
    QTest::newRow("CMD wins over cmd") << R"({"cmd":"nothing","CMD":"get_state"})" << "ok";
    QTest::newRow("CMD non-string wins") << R"({"cmd":"get_state","CMD":1})" << "No cmd Section";
    QTest::newRow("case matters") << R"({"cmd":"GET_STATE"})" << "Network Error: Connection refused";
}

void TstHost::cmdOfEveryJsonType()
{
    QFETCH(QString, request);
    QFETCH(QString, result);
    const QJsonObject reply = Ask(request);
    QCOMPARE(reply.value("ERROR").toString(), QStringLiteral("SUCCESS"));
    QVERIFY2(reply.value("result").toString().startsWith(result), qPrintable(QJsonDocument(reply).toJson()));
    if (!result.startsWith(QLatin1String("Network")))
        QVERIFY(!reply.contains("cmd"));
}

void TstHost::seqOfEveryJsonTypeComesBack_data()
{
    QTest::addColumn<QString>("seq");
    QTest::newRow("number") << "7";
    QTest::newRow("zero") << "0";
    QTest::newRow("double") << "2.5";
    QTest::newRow("string") << R"("abc")";
    QTest::newRow("empty string") << R"("")";
    QTest::newRow("false") << "false";
    QTest::newRow("array") << "[1,\"a\"]";
    QTest::newRow("object") << R"({"a":1})";
}

void TstHost::seqOfEveryJsonTypeComesBack()
{
    QFETCH(QString, seq);
    const QJsonObject reply = Ask(QStringLiteral(R"({"CMD":"get_state","SEQ":%1})").arg(seq));
    const QJsonValue expected = QJsonDocument::fromJson(QStringLiteral("[%1]").arg(seq).toUtf8()).array().at(0);
    QCOMPARE(reply.value("SEQ"), expected);
    QCOMPARE(reply.value("state").toString(), QStringLiteral("remote"));
}

void TstHost::hugeMessages()
{
    TestClient client;
    QVERIFY(client.Connect(m_host->Url()));
    ++m_connections;
    const QString padding(16 * 1024 * 1024, QLatin1Char('x'));

    // 16 MiB of JSON is still a request like any other.
    QJsonObject reply = client.RequestText(QStringLiteral(R"({"CMD":"get_state","SEQ":"big","pad":"%1"})").arg(padding), 60000);
    QCOMPARE(reply.value("SEQ").toString(), QStringLiteral("big"));
    QCOMPARE(reply.value("result").toString(), QStringLiteral("ok"));
    QVERIFY(!reply.contains("pad"));

    // 16 MiB that is not JSON gets the parser's answer.
    reply = client.RequestText(padding, 60000);
    QCOMPARE(reply.value("ERROR").toString(), QStringLiteral("FAILURE"));

    // Past the size limit the host closes the connection; nothing else happens.
    QSignalSpy closed(&client.Socket(), &QWebSocket::disconnected);
    client.Send(padding + padding + padding);
    QVERIFY(closed.count() > 0 || closed.wait(60000));
    QCOMPARE(m_bystander->Request({{"CMD", "get_state"}, {"SEQ", 1}}).value("SEQ").toInt(), 1);
}

void TstHost::binaryFrameIsRefusedAndConnectionStays()
{
    TestClient client;
    QVERIFY(client.Connect(m_host->Url()));
    ++m_connections;
    client.Socket().sendBinaryMessage(QByteArrayLiteral(R"({"CMD":"get_state"})"));
    QVERIFY(client.WaitReplies(1));
    QCOMPARE(client.Reply(0).value("ERROR").toString(), QStringLiteral("FAILURE"));
    QVERIFY(!client.Reply(0).value("ERROR_MESSAGE").toString().isEmpty());
    QCOMPARE(client.Request({{"CMD", "get_state"}}).value("result").toString(), QStringLiteral("ok"));
}

void TstHost::otherConnectionsKeepBeingServed()
{
    // A client that vanishes with requests in flight must not disturb anyone.
    for (int i = 0; i < 5; ++i) {
        auto* client = new TestClient;
        QVERIFY(client->Connect(m_host->Url()));
        ++m_connections;
        for (int j = 0; j < 50; ++j)
            client->Send(QStringLiteral(R"({"CMD":"get_state","SEQ":%1})").arg(j));
        client->Socket().abort();
        delete client;
    }
    QCOMPARE(m_bystander->Request({{"CMD", "get_state"}, {"SEQ", "still"}}).value("SEQ").toString(),
             QStringLiteral("still"));
}

void TstHost::logsOneCreationPerConnection()
{
    QTRY_COMPARE(m_host->Stderr().count(QStringLiteral("AutoTestView KIVAutoTestView::KIVAutoTestView: AutoTestView created.")),
                 m_connections);
    QVERIFY(m_host->Stderr().contains(QStringLiteral(" [2] AutoTestView KIVAutoTestView::KIVAutoTestView: AutoTestView created.")));
}

void TstHost::clientToolPrintsOneLinePerReply()
{
    QProcess client;
    client.start(HostProcess::BinDir() + QStringLiteral("/autotest-client"),
                 {QStringLiteral("--url"), m_host->Url().toString(), QStringLiteral(R"({"CMD":"get_state","SEQ":1})"),
                  QStringLiteral("[1,2]")});
    QVERIFY(client.waitForFinished(30000));
    QCOMPARE(client.exitCode(), 0);
    const QList<QByteArray> lines = client.readAllStandardOutput().trimmed().split('\n');
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines.contains(R"({"ERROR":"SUCCESS","SEQ":1,"result":"ok","state":"remote"})"));
    QVERIFY(lines.contains(R"({"ERROR":"FAILURE","ERROR_MESSAGE":"no error occurred"})"));
    m_connections += 1;

    // Waiting for more replies than come times out with its own exit code.
    client.start(HostProcess::BinDir() + QStringLiteral("/autotest-client"),
                 {QStringLiteral("--url"), m_host->Url().toString(), QStringLiteral("--wait"), QStringLiteral("2"),
                  QStringLiteral("--timeout"), QStringLiteral("300"), QStringLiteral(R"({"CMD":"get_state"})")});
    QVERIFY(client.waitForFinished(30000));
    QCOMPARE(client.exitCode(), 1);
    m_connections += 1;
}

void TstHost::stopsCleanlyOnSignals_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGINT") << 2;
    QTest::newRow("SIGTERM") << 15;
}

void TstHost::stopsCleanlyOnSignals()
{
    QFETCH(int, signal);
    HostProcess host;
    QVERIFY2(host.Start(), qPrintable(host.ErrorText()));
    TestClient client;
    QVERIFY(client.Connect(host.Url()));
    QCOMPARE(client.Request({{"CMD", "get_state"}}).value("result").toString(), QStringLiteral("ok"));
    QVERIFY2(host.Stop(signal), qPrintable(host.Stderr()));
    QVERIFY(host.Stderr().contains(QStringLiteral("Stopped")));
}

QTEST_GUILESS_MAIN(TstHost)
#include "tst_host.moc"
