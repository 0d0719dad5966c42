// The view and its WebSocket base in one process: service creation, the
// envelope's keys and its "SEQ" text, and the liveness flag that guards late
// replies.

#include "front/KIVAutoTestService.h"
#include "front/KIVAutoTestView.h"
#include "front/RequestEnvelope.h"
#include "platform/KIVWebSocketServer.h"
#include "tests/support/LogSpy.h"
#include "tests/support/PrivateAppDir.h"
#include "tests/support/TestClient.h"

#include <QPointer>
#include <QtTest>

#include <nlohmann/json.hpp>

namespace {

// Exposes the liveness flag that callbacks copy.
class ProbeView : public KIVAutoTestView
{
public:
    using KIVAutoTestView::KIVAutoTestView;
    std::shared_ptr<bool> Alive() const { return m_alive; }
};

} // namespace

class TstAutoTestView : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void connectionsShareOneServiceAndDropTheirFlag();
    void seqEchoedAsStrictJson_data();
    void seqEchoedAsStrictJson();
    void replyWrittenAsQtWritesIt_data();
    void replyWrittenAsQtWritesIt();
};

void TstAutoTestView::connectionsShareOneServiceAndDropTheirFlag()
{
    LogSpy log;
    const auto created = [&log] { return log.Count("AutoTestView", "KIVAutoTestView::KIVAutoTestView", 2, "AutoTestView created."); };
    KIVWebSocketServer server(QStringLiteral("test"));
    QPointer<ProbeView> newest;
    server.SetHandlerFactory([&newest](QWebSocket* socket, QObject* parent) -> WebSocketHandler* {
        return newest = new ProbeView(socket, parent);
    });
    QVERIFY(server.Listen(QHostAddress::LocalHost, 0));
    const QUrl url(QStringLiteral("ws://127.0.0.1:%1").arg(server.Port()));

    TestClient first;
    QVERIFY(first.Connect(url));
    QTRY_COMPARE(created(), 1);
    QCOMPARE(first.RequestText(QStringLiteral("[1,2]")).value("ERROR").toString(), QStringLiteral("FAILURE"));
    QCOMPARE(first.RequestText(QString()).value("ERROR").toString(), QStringLiteral("FAILURE"));
    QVERIFY(!KIVAutoTestService::Exists());

    // Only the upper-case sequence key is echoed, and a null one is not.
    QCOMPARE(first.RequestText(QStringLiteral(R"({"CMD":"get_state","seq":5,"Seq":6})")),
             (QJsonObject{{"ERROR", "SUCCESS"}, {"result", "ok"}, {"state", "remote"}}));
    QVERIFY(KIVAutoTestService::Exists());
    KIVAutoTestService* service = KIVAutoTestService::instancePtr();
    QCOMPARE(first.RequestText(QStringLiteral(R"({"CMD":"switch_state","state":"local","SEQ":null})")),
             (QJsonObject{{"ERROR", "SUCCESS"}, {"result", "ok"}, {"state", "local"}}));

    // A second connection reuses the same service and sees its mode.
    TestClient second;
    QVERIFY(second.Connect(url));
    QCOMPARE(second.Request({{"CMD", "get_state"}}).value("state").toString(), QStringLiteral("local"));
    QCOMPARE(KIVAutoTestService::instancePtr(), service);
    QCOMPARE(created(), 2);

    // The public setters change the running service: the reply bound, and
    // with it what its database reads before refusing a page.
    QCOMPARE(second.Request({{"CMD", "add_tc"}, {"testcase", QJsonObject{{"title", "big"}, {"content", QString(3000, 'c')}}}})
                 .value("result").toString(),
             QStringLiteral("ok"));
    KIVAutoTestSetMaxReplySize(2000);
    QCOMPARE(second.Request({{"CMD", "proj_tcs"}, {"size", 10}}).value("result").toString(),
             QStringLiteral("Reply too large: the test cases come to more than 2000 bytes"));
    KIVAutoTestSetMaxReplySize(40);
    QVERIFY(second.Request({{"CMD", "get_state"}}).value("result").toString().endsWith("more than the limit of 40 bytes"));
    KIVAutoTestSetMaxReplySize(RequestEnvelope::DefaultMaxReplySize);
    QCOMPARE(second.Request({{"CMD", "proj_tcs"}, {"size", 10}}).value("result").toString(), QStringLiteral("ok"));

    // The host may destroy the service; the next request builds a fresh one.
    delete service;
    QVERIFY(!KIVAutoTestService::Exists());
    QCOMPARE(second.Request({{"CMD", "get_state"}}).value("state").toString(), QStringLiteral("remote"));

    // Events of a request carry its "SEQ" and no "ERROR"; one past the reply
    // bound comes cut, saying why. A plain callback is a context without events.
    QVERIFY(!RequestContext([](const QJsonObject&) {}).events);
    const EventCallback events = KIVAutoTestReply{newest->Alive(), newest, "[7]"}.Context().events;
    const int before = second.Replies().size();
    events({{"EVENT", "JobProgress"}, {"done", 1}});
    QVERIFY(second.WaitReplies(before + 1));
    QCOMPARE(second.Replies().last(), QStringLiteral(R"({"EVENT":"JobProgress","SEQ":[7],"done":1})"));
    KIVAutoTestReply{newest->Alive(), newest, "[7]", 100}.Context().events({{"EVENT", "JobReport"}, {"jobid", 3}, {"VALUE", QString(200, 'x')}});
    QVERIFY(second.WaitReplies(before + 2));
    QVERIFY2(second.Replies().last().startsWith("{\"EVENT\":\"JobReport\",\"SEQ\":[7],\"jobid\":3,\"result\":\"Reply too large: "),
             qPrintable(second.Replies().last()));

    // The flag drops as soon as the peer goes, before the handler is deleted
    // on a later turn of the event loop. The replies sent kept no copy of it.
    const std::shared_ptr<bool> alive = newest->Alive();
    QVERIFY(*alive);
    QCOMPARE(server.ConnectionCount(), 2);
    bool aliveAtDisconnect = true;
    connect(newest->Socket(), &QWebSocket::disconnected, this, [&] { aliveAtDisconnect = *alive; });
    second.Socket().close();
    QTRY_VERIFY(!newest);
    QVERIFY(!aliveAtDisconnect);
    QCOMPARE(server.ConnectionCount(), 1);
    events({{"EVENT", "JobProgress"}}); // after the peer went: nothing, and no harm
    QCOMPARE(alive.use_count(), 2L); // here and in the events callback
}

void TstAutoTestView::seqEchoedAsStrictJson_data()
{
    QTest::addColumn<QByteArray>("seq");
    QTest::addColumn<QByteArray>("echoed");
    // Strict text is kept as the client wrote it, spaces and big numbers included.
    for (const char* seq : {"-0", "1E+2", "[1, 2]", "9007199254740993", R"({"a":9007199254740993})", R"("\u00e9")"})
        QTest::newRow(seq) << QByteArray(seq) << QByteArray(seq);
    // Text only Qt's parser takes is written from its value, the whole of it.
    QTest::newRow("1.") << QByteArray("1.") << QByteArray("1");
    QTest::newRow("-.5") << QByteArray("-.5") << QByteArray("-0.5");
    QTest::newRow("1.e3") << QByteArray("1.e3") << QByteArray("1000");
    QTest::newRow("raw tab") << QByteArray("\"a\tb\"") << QByteArray(R"("a\tb")");
    QTest::newRow("raw newline") << QByteArray("\"x\ny\"") << QByteArray(R"("x\ny")");
    QTest::newRow("raw control") << QByteArray("\"\x01\"") << QByteArray(R"("\u0001")");
    QTest::newRow("unknown escape") << QByteArray(R"("\a")") << QByteArray(R"("a")");
    QTest::newRow("lax beside big") << QByteArray("[1.,9007199254740993]") << QByteArray("[1,9007199254740992]");
}

void TstAutoTestView::seqEchoedAsStrictJson()
{
    QFETCH(QByteArray, seq);
    QFETCH(QByteArray, echoed);
    RequestEnvelope envelope;
    QVERIFY(envelope.Parse(QString::fromUtf8(R"({"CMD":"get_state","SEQ":)" + seq + "}")));
    const QByteArray reply = RequestEnvelope::Reply({{"result", "ok"}}, envelope.SeqText());
    QCOMPARE(reply, R"({"ERROR":"SUCCESS","SEQ":)" + echoed + R"(,"result":"ok"})");
    QVERIFY2(nlohmann::json::accept(reply.constData(), reply.constData() + reply.size()), reply.constData());
}

void TstAutoTestView::replyWrittenAsQtWritesIt_data()
{
    QTest::addColumn<QJsonObject>("answer");
    QTest::addColumn<QByteArray>("seq");
    QTest::addColumn<QString>("rawString"); // written as "content" from its UTF-8, when not null
    const QJsonObject nested{{"SEQ", 1}, {"ERROR", "inside"}, {"s", "a\"b\\c"}};
    // The members go in before, between and after keys that sort around
    // them, over keys of the same name, and into an empty object.
    QTest::newRow("empty") << QJsonObject() << QByteArray() << QString();
    QTest::newRow("empty, seq") << QJsonObject() << QByteArray("7") << QString();
    QTest::newRow("lower-case keys") << QJsonObject{{"cmd", "x"}, {"result", "ok"}} << QByteArray("[1,2]") << QString();
    QTest::newRow("keys around ERROR and SEQ")
        << QJsonObject{{"A", 1}, {"ERRO", 2}, {"ERRORS", 3}, {"EVENT", "e"}, {"SE", 4}, {"SEQ0", 5}, {"VALUE", nested}, {"z", 6}}
        << QByteArray("\"s\"") << QString();
    QTest::newRow("ERROR and SEQ replaced") << QJsonObject{{"ERROR", "FAILURE"}, {"SEQ", 99}, {"r", 1}} << QByteArray("3") << QString();
    QTest::newRow("SEQ kept without one") << QJsonObject{{"SEQ", 99}} << QByteArray() << QString();
    QTest::newRow("escaped and wide keys")
        << QJsonObject{{"\"q", 1}, {"E\u0001", 2}, {"\u00e9", 3}, {"\U0001F600", 4}, {"\\", 5}, {QString(QChar(0xd800)), 6}}
        << QByteArray("{\"a\":[]}") << QString();
    QTest::newRow("raw content among keys")
        << QJsonObject{{"author", ""}, {"cmd", "fetch_tc"}, {"constraints", ""}, {"content", ""}, {"date", ""}, {"result", "ok"}}
        << QByteArray("1") << QStringLiteral("{\"a\": \"\u00e9\u6f22\U0001F600\\\\\b\f\n\r\t\u0001\u001f\u007f/\"}");
    QTest::newRow("raw content, no such key") << QJsonObject{{"result", "ok"}} << QByteArray() << QStringLiteral("x");
    QTest::newRow("raw content, empty") << QJsonObject{{"content", "old"}} << QByteArray() << QStringLiteral("");
}

void TstAutoTestView::replyWrittenAsQtWritesIt()
{
    QFETCH(QJsonObject, answer);
    QFETCH(QByteArray, seq);
    QFETCH(QString, rawString);
    // What Qt's writer makes of the answer with the envelope's members set.
    QJsonObject whole = answer;
    whole.insert("ERROR", "SUCCESS");
    if (!seq.isEmpty())
        whole.insert("SEQ", QJsonDocument::fromJson("[" + seq + "]").array().at(0));
    QVector<RequestEnvelope::RawMember> raw;
    if (!rawString.isNull()) {
        whole.insert("content", rawString);
        raw.append({QLatin1String("content"), rawString.toUtf8(), true});
    }
    const QByteArray expected = QJsonDocument(whole).toJson(QJsonDocument::Compact);
    QCOMPARE(RequestEnvelope::Reply(answer, seq, nullptr, raw), expected);
}

KIV_TEST_MAIN_IN_PRIVATE_APP_DIR(TstAutoTestView)
#include "tst_autotestview.moc"
