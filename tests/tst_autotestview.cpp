// The view and its WebSocket base in one process: service creation, the
// envelope's keys, and the liveness flag that guards late replies.

#include "front/KIVAutoTestService.h"
#include "front/KIVAutoTestView.h"
#include "platform/KIVWebSocketServer.h"
#include "tests/support/LogSpy.h"
#include "tests/support/TestClient.h"

#include <QPointer>
#include <QtTest>

namespace {

// Exposes the liveness flag that callbacks copy.
class ProbeHandler : public WebSocketHandler
{
public:
    using WebSocketHandler::WebSocketHandler;
    std::shared_ptr<bool> Alive() const { return m_alive; }
};

} // namespace

class TstAutoTestView : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void onlyWellFormedRequestsCreateTheService();
    void sequenceKeyIsExactAndNullIsNotEchoed();
    void livenessFlagOutlivesTheHandler();
};

void TstAutoTestView::onlyWellFormedRequestsCreateTheService()
{
    LogSpy log;
    KIVWebSocketServer server(QStringLiteral("test"));
    server.SetHandlerFactory([](QWebSocket* socket, QObject* parent) { return new KIVAutoTestView(socket, parent); });
    QVERIFY(server.Listen(QHostAddress::LocalHost, 0));
    const QUrl url(QStringLiteral("ws://127.0.0.1:%1").arg(server.Port()));

    TestClient first;
    QVERIFY(first.Connect(url));
    QTRY_COMPARE(log.Count("AutoTestView", "KIVAutoTestView::KIVAutoTestView", 2, "AutoTestView created."), 1);
    QCOMPARE(first.RequestText(QStringLiteral("[1,2]")).value("ERROR").toString(), QStringLiteral("FAILURE"));
    QCOMPARE(first.RequestText(QString()).value("ERROR").toString(), QStringLiteral("FAILURE"));
    QVERIFY(!KIVAutoTestService::Exists());

    QCOMPARE(first.Request({{"CMD", "get_state"}}).value("state").toString(), QStringLiteral("remote"));
    QVERIFY(KIVAutoTestService::Exists());
    KIVAutoTestService* service = KIVAutoTestService::instancePtr();

    // A second connection reuses the same service and sees its mode.
    QCOMPARE(first.Request({{"CMD", "switch_state"}, {"state", "local"}}).value("state").toString(), QStringLiteral("local"));
    TestClient second;
    QVERIFY(second.Connect(url));
    QCOMPARE(second.Request({{"CMD", "get_state"}}).value("state").toString(), QStringLiteral("local"));
    QCOMPARE(KIVAutoTestService::instancePtr(), service);
    QCOMPARE(log.Count("AutoTestView", "KIVAutoTestView::KIVAutoTestView", 2, "AutoTestView created."), 2);

    // The host may destroy the service; the next request builds a fresh one.
    delete service;
    QVERIFY(!KIVAutoTestService::Exists());
    QCOMPARE(second.Request({{"CMD", "get_state"}}).value("state").toString(), QStringLiteral("remote"));
}

void TstAutoTestView::sequenceKeyIsExactAndNullIsNotEchoed()
{
    KIVWebSocketServer server(QStringLiteral("test"));
    server.SetHandlerFactory([](QWebSocket* socket, QObject* parent) { return new KIVAutoTestView(socket, parent); });
    QVERIFY(server.Listen(QHostAddress::LocalHost, 0));
    TestClient client;
    QVERIFY(client.Connect(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(server.Port()))));

    const QJsonObject lower = client.RequestText(QStringLiteral(R"({"CMD":"get_state","seq":5,"Seq":6})"));
    QCOMPARE(lower, (QJsonObject{{"ERROR", "SUCCESS"}, {"result", "ok"}, {"state", "remote"}}));
    const QJsonObject null = client.RequestText(QStringLiteral(R"({"CMD":"get_state","SEQ":null})"));
    QVERIFY(!null.contains("SEQ"));
    QCOMPARE(null.value("ERROR").toString(), QStringLiteral("SUCCESS"));
    delete KIVAutoTestService::instancePtr();
}

void TstAutoTestView::livenessFlagOutlivesTheHandler()
{
    KIVWebSocketServer server(QStringLiteral("test"));
    QPointer<ProbeHandler> handler;
    server.SetHandlerFactory([&handler](QWebSocket* socket, QObject* parent) {
        handler = new ProbeHandler(socket, parent);
        return handler.data();
    });
    QVERIFY(server.Listen(QHostAddress::LocalHost, 0));
    TestClient client;
    QVERIFY(client.Connect(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(server.Port()))));
    QTRY_VERIFY(handler);
    const std::shared_ptr<bool> alive = handler->Alive();
    QVERIFY(*alive);
    QCOMPARE(server.ConnectionCount(), 1);

    // The flag drops as soon as the peer goes, before the handler is deleted
    // on a later turn of the event loop.
    client.Socket().close();
    QTRY_VERIFY(!*alive);
    QTRY_VERIFY(!handler);
    QCOMPARE(server.ConnectionCount(), 0);
    QCOMPARE(alive.use_count(), 1L);
}

QTEST_GUILESS_MAIN(TstAutoTestView)
#include "tst_autotestview.moc"
