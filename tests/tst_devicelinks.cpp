#include "device/ATDeviceProxy.h"
#include "device/IDevSimulator.h"
#include "tests/support/LogSpy.h"

#include <QJsonDocument>
#include <QSignalSpy>
#include <QUuid>
#include <QWebSocketServer>
#include <QtTest>

#include <memory>

namespace {

// Plays the controller: records the requests of its latest client and sends
// whatever the test scripts.
struct FakeController : QObject
{
    FakeController()
    {
        server.listen(QHostAddress::LocalHost, 0);
        connect(&server, &QWebSocketServer::newConnection, this, [this] {
            peer = server.nextPendingConnection();
            peer->setParent(this);
            connect(peer, &QWebSocket::textMessageReceived, this, [this](const QString& text) {
                raw << text;
                requests << QJsonDocument::fromJson(text.toUtf8()).object();
            });
        });
    }
    QString Url() const { return QStringLiteral("ws://127.0.0.1:%1/controller/").arg(server.serverPort()); }
    QString Send(const QJsonObject& object)
    {
        const QString text = QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
        peer->sendTextMessage(text);
        return text;
    }
    QString Ack(int i, const QString& mark) { return Send({{"SEQ", requests.at(i).value("SEQ")}, {"MARK", mark}}); }

    QWebSocketServer server{QStringLiteral("controller"), QWebSocketServer::NonSecureMode};
    QWebSocket* peer = nullptr;
    QStringList raw;
    QList<QJsonObject> requests;
};

// A callback that records who received which acknowledgement.
ReplyCallback Mark(QStringList& got, const QString& who)
{
    return [&got, who](const QJsonObject& ack) { got << who + ack.value("MARK").toString(); };
}

// Log lines of the two receiving functions, both at level 1.
int Dev(const LogSpy& log, const QString& text) { return log.Count("ATDeviceProxy", "ATDeviceProxy::OnTextMessage", 1, text); }
int Sim(const LogSpy& log, const QString& text) { return log.Count("IDevSimulator", "IDevSimulator::OnTextMsg", 1, text); }
const QString NotValid = QStringLiteral("Websocket is not valid to send request");

} // namespace

class TstDeviceLinks : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void deviceMessages()
    {
        FakeController ctl;
        ATDeviceProxy proxy;
        LogSpy log;
        QStringList got;
        bool connected = false;
        proxy.onConnected = [&] { connected = true; };
        proxy.SubscribeEvent("PushObseData", Mark(got, "replaced"));
        proxy.SubscribeEvent("PushObseData", Mark(got, "push"));
        proxy.Open(ctl.Url());
        QTRY_VERIFY(connected);
        proxy.EnterAutoTest(true, Mark(got, "enter"));
        proxy.EnterAutoTest(false, Mark(got, "leave"));
        QJsonObject request{{"CMD", "SetCaseData"}, {"SEQ", "stale"}};
        // Sending from inside a callback: its entry must already be gone.
        proxy.SendAckJson(request, [&](const QJsonObject&) { got << "case"; proxy.SetCaseData({}, Mark(got, "nested")); });
        QTRY_COMPARE(ctl.requests.size(), 3);
        for (int i = 0; i < 3; ++i) { // reverse-order answers below also prove the texts differ
            QVERIFY(!QUuid(ctl.requests[i].value("SEQ").toString()).isNull());
            QCOMPARE(ctl.raw[i], QString::fromUtf8(QJsonDocument(ctl.requests[i]).toJson(QJsonDocument::Indented)));
        }
        QCOMPARE(ctl.requests[0].value("VALUE"), QJsonValue(1)); // numbers, not booleans
        QCOMPARE(ctl.requests[1].value("VALUE"), QJsonValue(0));
        QCOMPARE(request.value("SEQ"), ctl.requests[2].value("SEQ"));

        ctl.Ack(2, "");
        ctl.Ack(1, "B");
        ctl.Ack(0, "A");
        QTRY_COMPARE(ctl.requests.size(), 4);
        ctl.Ack(3, "N");
        QTRY_COMPARE(got, QStringList({"case", "leaveB", "enterA", "nestedN"}));
        const QString again = ctl.Ack(0, "A");
        const QString numeric = ctl.Send({{"SEQ", 7}});
        QTRY_COMPARE(Dev(log, "[Seq is not concern]" + numeric), 1);
        QCOMPARE(Dev(log, "[Seq is not concern]" + again), 1);

        got.clear();
        ctl.Send({{"EVENT", "PushObseData"}, {"MARK", "1"}});
        ctl.Send({{"EVENT", "PushObseData"}, {"MARK", "2"}});
        const QString other = ctl.Send({{"EVENT", "Other"}});
        const QString both = ctl.Send({{"EVENT", "PushObseData"}, {"SEQ", "{unknown}"}});
        const QString neither = ctl.Send({{"VALUE", 1}});
        QTRY_COMPARE(Dev(log, "[Msg no SEQ and EVENT]" + neither), 1);
        QCOMPARE(got, QStringList({"push1", "push2"}));
        QCOMPARE(Dev(log, "[Event is not concern]" + other), 1);
        QCOMPARE(Dev(log, "[Seq is not concern]" + both), 1);
    }

    void deviceLifecycle()
    {
        FakeController ctl;
        auto proxy = std::make_unique<ATDeviceProxy>();
        LogSpy log;
        QStringList got;
        int connected = 0, disconnected = 0;
        proxy->onConnected = [&] { ++connected; };
        proxy->onDisconnected = [&] { ++disconnected; };
        proxy->Open(ctl.Url());
        QTRY_COMPARE(connected, 1);
        // A dropped connection keeps pending requests; a reconnect may answer them.
        proxy->EnterAutoTest(true, Mark(got, "kept"));
        QTRY_COMPARE(ctl.requests.size(), 1);
        ctl.peer->close();
        QTRY_COMPARE(disconnected, 1);
        proxy->Open(ctl.Url());
        QTRY_COMPARE(connected, 2);
        ctl.Ack(0, "");
        QTRY_COMPARE(got, QStringList{"kept"});

        // Close from inside an event handler, which then still uses its captures.
        proxy->EnterAutoTest(false, Mark(got, "forgotten"));
        QTRY_COMPARE(ctl.requests.size(), 2);
        proxy->SubscribeEvent("PushObseData", [&, tag = QString("closer")](const QJsonObject&) { proxy->Close(); got << tag; });
        ctl.Send({{"EVENT", "PushObseData"}});
        QTRY_COMPARE(got, QStringList({"kept", "closer"}));
        proxy->EnterAutoTest(true, Mark(got, "unsent"));
        QCOMPARE(log.Count("ATDeviceProxy", "ATDeviceProxy::SendAckJson", 1, NotValid), 1);

        proxy->Open(ctl.Url());
        QTRY_COMPARE(connected, 3);
        const QString late = ctl.Ack(1, "");
        const QString push = ctl.Send({{"EVENT", "PushObseData"}});
        QTRY_COMPARE(Dev(log, "[Event is not concern]" + push), 1);
        QCOMPARE(Dev(log, "[Seq is not concern]" + late), 1);
        QCOMPARE(got, QStringList({"kept", "closer"}));
        QCOMPARE(ctl.requests.size(), 2);

        // The owner's callbacks must not run while the proxy is being destroyed.
        const int before = disconnected;
        proxy.reset();
        QCOMPARE(disconnected, before);
    }

    void simulator()
    {
        FakeController ctl;
        IDevSimulator sim;
        LogSpy log;
        QSignalSpy started(&sim, &IDevSimulator::Started);
        QSignalSpy stopped(&sim, &IDevSimulator::Stopped);
        QStringList got;
        sim.StopSim(Mark(got, "unsent"));
        QCOMPARE(log.Count("IDevSimulator", "IDevSimulator::SendAckJson", 1, NotValid), 1);
        sim.Open(ctl.Url());
        QVERIFY(started.wait());
        sim.StartSim({0.39, 1.98, 50, 0}, Mark(got, "start"));
        sim.StopSim(Mark(got, "stop"));
        QTRY_COMPARE(ctl.requests.size(), 2);
        QCOMPARE(ctl.requests[0].keys(), QStringList({"CMD", "SEQ", "frequency", "latitude", "longitude", "only_aircraft"}));
        QCOMPARE(ctl.requests[0].value("latitude"), QJsonValue(0.39));
        QCOMPARE(ctl.requests[1].keys(), QStringList({"CMD", "SEQ"}));

        ctl.Ack(1, "B");
        ctl.Ack(0, "A");
        const QString again = ctl.Ack(0, "A");
        ctl.Send({{"EVENT", "PushObseData"}});
        const QString neither = ctl.Send({{"ERROR", "SUCCESS"}});
        QTRY_COMPARE(Sim(log, "[Msg no SEQ and EVENT]" + neither), 1);
        QCOMPARE(got, QStringList({"stopB", "startA"}));
        QCOMPARE(Sim(log, "[Seq is not concern]" + again), 1);
        QCOMPARE(log.Records().size(), 3); // the event passed without a line

        // Opening again forgets what the old connection left unanswered.
        sim.StopSim(Mark(got, "forgotten"));
        QTRY_COMPARE(ctl.requests.size(), 3);
        ctl.peer->close();
        QVERIFY(stopped.wait());
        sim.Open(ctl.Url());
        QVERIFY(started.wait());
        const QString late = ctl.Ack(2, "");
        QTRY_COMPARE(Sim(log, "[Seq is not concern]" + late), 1);
        QCOMPARE(got.size(), 2);
    }

    void garbage()
    {
        FakeController ctl;
        ATDeviceProxy proxy;
        IDevSimulator sim;
        LogSpy log;
        const QStringList texts{"SEQ=1", R"([{"SEQ":"x"}])", R"({"EVENT":"PushObseData")", "42"};
        for (bool simulator : {false, true}) {
            ctl.peer = nullptr;
            simulator ? sim.Open(ctl.Url()) : proxy.Open(ctl.Url());
            QTRY_VERIFY(ctl.peer);
            for (const QString& text : texts)
                ctl.peer->sendTextMessage(text);
            for (const QString& text : texts)
                QTRY_COMPARE((simulator ? Sim : Dev)(log, "[Parse Json Error]" + text), 1);
        }
    }
};

QTEST_GUILESS_MAIN(TstDeviceLinks)
#include "tst_devicelinks.moc"
