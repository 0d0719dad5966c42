// The host program end to end: real processes, real WebSocket connections.

#include "tests/support/HostProcess.h"
#include "tests/support/TestClient.h"

#include <QJsonDocument>
#include <QtTest>

class TstHost : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void replies_data();
    void replies();
    void badClientsDisturbNoOne();
    void logsOneCreationPerConnection();

private:
    HostProcess* m_host = nullptr;
    TestClient* m_bystander = nullptr;
    int m_connections = 0;

    // The reply text to `text` sent on a connection of its own.
    QString Ask(const QString& text)
    {
        TestClient client;
        ++m_connections;
        if (!client.Connect(m_host->Url()))
            return QStringLiteral("connect failed");
        client.Send(text);
        return client.WaitReplies(1) ? client.Replies().at(0) : QStringLiteral("no reply");
    }
    QString BystanderState() { return m_bystander->Request({{"CMD", "get_state"}}).value("state").toString(); }
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
    if (m_host) {
        // SIGINT, as from a terminal; every other test stops its host with SIGTERM.
        QVERIFY2(m_host->Stop(2), qPrintable(m_host->Stderr()));
        QVERIFY(m_host->Stderr().contains(QStringLiteral("Stopped")));
    }
    delete m_host;
}

void TstHost::replies_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("reply"); // the exact text
    // Only the exact text "remote" selects the remote mode; the switch rows end in it.
    const auto stateIs = [](const char* state) {
        return QStringLiteral(R"({"ERROR":"SUCCESS","result":"ok","state":"%1"})").arg(state);
    };
    QTest::newRow("switch local") << R"({"cmd":"switch_state","state":"local"})" << stateIs("local");
    QTest::newRow("switch capitals") << R"({"cmd":"switch_state","state":"REMOTE"})" << stateIs("local");
    QTest::newRow("switch number") << R"({"cmd":"switch_state","state":1})" << stateIs("local");
    QTest::newRow("switch missing") << R"({"cmd":"switch_state"})" << stateIs("local");
    QTest::newRow("switch remote") << R"({"CMD":"switch_state","state":"remote"})" << stateIs("remote");
    // "SEQ" of any JSON type comes back as it was, falsy values included.
    // Numbers keep their own text, even where a double would round them.
    for (const char* seq : {"7", "0", "2.5", R"("abc")", R"("")", "false", R"([1,"a"])", R"({"a":1})", "9007199254740993",
                            "-12345678901234567890", "1.10", "1E2", "-0", R"({"SEQ":[1,{"b":"}"}]})",
                            R"({"D":"","SEQ":90971094547404994})", R"([ 1, 2 ])"})
        QTest::addRow("SEQ %s", seq) << QStringLiteral(R"({"CMD":"get_state","SEQ":%1})").arg(seq)
                                     << QStringLiteral(R"({"ERROR":"SUCCESS","SEQ":%1,"result":"ok","state":"remote"})").arg(seq);
    QTest::newRow("SEQ twice, last wins") << R"({"SEQ":1, "S\u0045Q" : 9007199254740993 ,"CMD":"get_state"})"
                                          << R"({"ERROR":"SUCCESS","SEQ":9007199254740993,"result":"ok","state":"remote"})";
    // A missing or non-string command is the empty one; "CMD" wins over "cmd" whatever it holds.
    const QString noCmd = R"({"ERROR":"SUCCESS","result":"No cmd Section"})";
    QTest::newRow("CMD number") << R"({"CMD":5,"SEQ":1})" << R"({"ERROR":"SUCCESS","SEQ":1,"result":"No cmd Section"})";
    QTest::newRow("CMD null") << R"({"CMD":null})" << noCmd;
    QTest::newRow("cmd bool") << R"({"cmd":true})" << noCmd;
    QTest::newRow("cmd empty") << R"({"cmd":""})" << noCmd;
    QTest::newRow("no cmd") << R"({"SEQ":3})" << R"({"ERROR":"SUCCESS","SEQ":3,"result":"No cmd Section"})";
    QTest::newRow("CMD wins over cmd") << R"({"cmd":"nothing","CMD":"get_state"})" << stateIs("remote");
    QTest::newRow("CMD non-string wins") << R"({"cmd":"get_state","CMD":1})" << noCmd;
    // Unknown commands go to the remote hosts, which are unreachable here.
    QTest::newRow("case matters") << R"({"cmd":"GET_STATE"})"
                                  << R"({"ERROR":"SUCCESS","result":"Network Error: Connection refused"})";
    // Text that is not a JSON object gets the parser's message; a well-formed array its "no error".
    const auto failure = [](const char* message) {
        return QStringLiteral(R"({"ERROR":"FAILURE","ERROR_MESSAGE":"%1"})").arg(message);
    };
    QTest::newRow("array") << "[1,2]" << failure("no error occurred");
    QTest::newRow("empty") << "" << failure("illegal value");
    QTest::newRow("string") << R"("get_state")" << failure("illegal value");
    QTest::newRow("no separator") << R"({"SEQ" 1})" << failure("missing name separator");
    QTest::newRow("unclosed array") << R"({"SEQ":[1,2})" << failure("unterminated array");
}

void TstHost::replies()
{
    QFETCH(QString, request);
    QFETCH(QString, reply);
    const QString state = QJsonDocument::fromJson(reply.toUtf8()).object().value("state").toString();
    if (request.contains("switch_state")) { // from the other mode, so that every row really switches
        const QString other = state == "remote" ? "local" : "remote";
        QCOMPARE(m_bystander->Request({{"CMD", "switch_state"}, {"state", other}}).value("state").toString(), other);
    }
    QCOMPARE(Ask(request), reply);
    // The mode is the service's, not the connection's: the bystander sees it.
    if (!state.isEmpty())
        QCOMPARE(BystanderState(), state);
}

void TstHost::badClientsDisturbNoOne()
{
    TestClient client;
    QVERIFY(client.Connect(m_host->Url()));
    ++m_connections;
    // A binary frame is refused and the connection stays.
    client.Socket().sendBinaryMessage(QByteArrayLiteral(R"({"CMD":"get_state"})"));
    QVERIFY(client.WaitReplies(1));
    QCOMPARE(client.Replies().at(0),
             QStringLiteral(R"({"ERROR":"FAILURE","ERROR_MESSAGE":"binary messages are not supported, send JSON text"})"));
    // 16 MiB of JSON is still a request like any other; 16 MiB that is not JSON gets the parser's answer.
    const QString padding(16 * 1024 * 1024, QLatin1Char('x'));
    client.Send(QStringLiteral(R"({"CMD":"get_state","SEQ":"big","pad":"%1"})").arg(padding));
    client.Send(padding);
    QVERIFY(client.WaitReplies(3, 60000));
    QCOMPARE(client.Replies().at(1), QStringLiteral(R"({"ERROR":"SUCCESS","SEQ":"big","result":"ok","state":"remote"})"));
    QCOMPARE(client.Reply(2).value("ERROR").toString(), QStringLiteral("FAILURE"));
    // Past the size limit the host closes the connection; nothing else happens.
    QSignalSpy closed(&client.Socket(), &QWebSocket::disconnected);
    client.Send(padding + padding + padding);
    QVERIFY(closed.count() > 0 || closed.wait(60000));
    // Clients that vanish with requests in flight must not disturb anyone either.
    for (int i = 0; i < 5; ++i) {
        TestClient vanishing;
        QVERIFY(vanishing.Connect(m_host->Url()));
        ++m_connections;
        for (int j = 0; j < 50; ++j)
            vanishing.Send(QStringLiteral(R"({"CMD":"get_state","SEQ":%1})").arg(j));
        vanishing.Socket().abort();
    }
    QCOMPARE(m_bystander->Request({{"CMD", "get_state"}, {"SEQ", "still"}}).value("SEQ").toString(), QStringLiteral("still"));
}

void TstHost::logsOneCreationPerConnection()
{
    const QString created = QStringLiteral(" [2] AutoTestView KIVAutoTestView::KIVAutoTestView: AutoTestView created.");
    QTRY_COMPARE(m_host->Stderr().count(created), m_connections);
}

QTEST_GUILESS_MAIN(TstHost)
#include "tst_host.moc"
