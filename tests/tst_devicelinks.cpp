// The two controller links: the device proxy and the simulator, against a fake controller.

#include "device/ATDeviceProxy.h"
#include "device/IDevSimulator.h"
#include "tests/support/LogSpy.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QWebSocketServer>
#include <QtTest>

namespace {

// Plays the controller: records the requests of its clients and sends to the latest one.
struct FakeController : QObject
{
    FakeController()
    {
        server.listen(QHostAddress::LocalHost, 0);
        connect(&server, &QWebSocketServer::newConnection, this, [this] {
            peer = server.nextPendingConnection();
            peer->setParent(this);
            connect(peer, &QWebSocket::textMessageReceived, this,
                    [this](const QString& text) { requests << QJsonDocument::fromJson(text.toUtf8()).object(); });
        });
    }
    QString Url() const { return QStringLiteral("ws://127.0.0.1:%1/controller/").arg(server.serverPort()); }
    QString Text(const QString& text) { peer->sendTextMessage(text); return text; }
    QString Send(const QJsonObject& object) { return Text(QJsonDocument(object).toJson(QJsonDocument::Compact)); }
    QString Ack(int i, const QString& mark) { return Send({{"SEQ", requests.at(i).value("SEQ")}, {"MARK", mark}}); }
    QWebSocketServer server{QStringLiteral("controller"), QWebSocketServer::NonSecureMode};
    QWebSocket* peer = nullptr;
    QList<QJsonObject> requests;
};

// A callback that records who received which acknowledgement.
auto Mark(QStringList& got, const QString& who) { return [&got, who](const QJsonObject& a) { got << who + a["MARK"].toString(); }; }

} // namespace

class TstDeviceLinks : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void links_data()
    {
        QTest::addColumn<bool>("simulator");
        QTest::newRow("device proxy") << false;
        QTest::newRow("simulator") << true;
    }

    // The request/acknowledgement protocol both links share, where they differ, and the device proxy's events.
    void links()
    {
        QFETCH(bool, simulator);
        FakeController ctl;
        QScopedPointer<ATDeviceProxy> proxy(new ATDeviceProxy);
        IDevSimulator sim;
        LogSpy log;
        QStringList got;
        bool connected = false;
        proxy->onConnected = [&] { connected = true; };
        proxy->onDisconnected = [&] { connected = false; };
        connect(&sim, &IDevSimulator::Started, &sim, [&] { connected = true; });
        connect(&sim, &IDevSimulator::Stopped, &sim, [&] { connected = false; });
        const auto open = [&] { connected = false; simulator ? sim.Open(ctl.Url()) : proxy->Open(ctl.Url()); };
        const auto first = [&](auto cb) { simulator ? sim.StartSim({0.39, 1.98, 50, 0}, cb) : proxy->EnterAutoTest(true, cb); };
        const auto second = [&](auto cb) { simulator ? sim.StopSim(cb) : proxy->EnterAutoTest(false, cb); };
        const QString section = simulator ? "IDevSimulator" : "ATDeviceProxy";
        const QByteArray receiver = (section + (simulator ? "::OnTextMsg" : "::OnTextMessage")).toUtf8();
        const auto logged = [&](const QString& text) { return log.Count(section, receiver, 1, text); }; // at level 1

        second(Mark(got, "unsent"));
        QCOMPARE(log.Count(section, (section + "::SendAckJson").toUtf8(), 1, "Websocket is not valid to send request"), 1);
        open();
        QTRY_VERIFY(connected);
        first(Mark(got, "first"));
        second(Mark(got, "second"));
        QTRY_COMPARE(ctl.requests.size(), 2); // with exact keys; EnterAutoTest's VALUE is a number, not a boolean
        QJsonArray sent{QJsonObject{{"CMD", "EnterAutoTest"}, {"VALUE", 1}}, QJsonObject{{"CMD", "EnterAutoTest"}, {"VALUE", 0}}};
        if (simulator)
            sent = {QJsonObject{{"CMD", "start_sim"}, {"latitude", 0.39}, {"longitude", 1.98}, {"frequency", 50}, {"only_aircraft", 0}},
                    QJsonObject{{"CMD", "stop_sim"}}};
        for (QJsonObject request : ctl.requests) {
            QVERIFY(request.take("SEQ").isString());
            QCOMPARE(request, sent.takeAt(0).toObject());
        }
        // Answers in reverse order reach their own callbacks; a repeated or numeric SEQ reaches none.
        ctl.Ack(1, "B");
        ctl.Ack(0, "A");
        const QString again = ctl.Ack(0, "A"), numeric = ctl.Send({{"SEQ", 7}}), event = ctl.Send({{"EVENT", "Other"}});
        const QStringList garbage{ctl.Text("SEQ=1"), ctl.Text(R"([{"SEQ":"x"}])"), ctl.Text(R"({"EVENT":"Push")"), ctl.Text("42")};
        const QString neither = ctl.Send({{"VALUE", 1}});
        QTRY_COMPARE(logged("[Msg no SEQ and EVENT]" + neither), 1);
        QCOMPARE(got, QStringList({"secondB", "firstA"}));
        QCOMPARE(logged("[Seq is not concern]" + again), 1);
        QCOMPARE(logged("[Seq is not concern]" + numeric), 1);
        for (const QString& text : garbage)
            QCOMPARE(logged("[Parse Json Error]" + text), 1);
        QCOMPARE(logged("[Event is not concern]" + event), simulator ? 0 : 1); // the simulator drops events silently
        QCOMPARE(log.Records().size(), simulator ? 8 : 9); // and nothing else
        // Over a reconnect the device proxy keeps pending callbacks; the simulator's Open forgets them.
        second(Mark(got, "late"));
        QTRY_COMPARE(ctl.requests.size(), 3);
        ctl.peer->close();
        QTRY_VERIFY(!connected);
        open();
        QTRY_VERIFY(connected);
        const QString late = ctl.Ack(2, "");
        QTRY_COMPARE(got.size() + logged("[Seq is not concern]" + late), 3);
        QCOMPARE(got.size(), simulator ? 2 : 3);
        if (simulator)
            return;

        // Events reach the latest subscriber; a callback may send again, its own entry gone by then.
        proxy->SubscribeEvent("PushObseData", Mark(got, "replaced"));
        proxy->SubscribeEvent("PushObseData", Mark(got, "push"));
        first([&](const QJsonObject&) { second(Mark(got, "nested")); });
        QTRY_COMPARE(ctl.requests.size(), 4);
        ctl.Ack(3, "");
        QTRY_COMPARE(ctl.requests.size(), 5);
        ctl.Ack(4, "N");
        ctl.Send({{"EVENT", "PushObseData"}, {"MARK", "1"}});
        const QString both = ctl.Send({{"EVENT", "PushObseData"}, {"SEQ", "{unknown}"}}); // with both keys: an acknowledgement
        QTRY_COMPARE(logged("[Seq is not concern]" + both), 1);
        // Close from inside an event handler, which then still uses its captures, forgets every callback.
        second(Mark(got, "forgotten"));
        QTRY_COMPARE(ctl.requests.size(), 6);
        proxy->SubscribeEvent("PushObseData", [&, tag = QString("closer")](const QJsonObject&) { proxy->Close(); got << tag; });
        ctl.Send({{"EVENT", "PushObseData"}});
        QTRY_COMPARE(got.size(), 6);
        open();
        QTRY_VERIFY(connected);
        const QString forgotten = ctl.Ack(5, ""), push = ctl.Send({{"EVENT", "PushObseData"}});
        QTRY_COMPARE(logged("[Event is not concern]" + push), 1);
        QCOMPARE(logged("[Seq is not concern]" + forgotten), 1);
        QCOMPARE(got.mid(3), QStringList({"nestedN", "push1", "closer"}));
        // The owner's callbacks must not run while the proxy is being destroyed.
        proxy->onDisconnected = [&] { got << "destroyed"; };
        proxy.reset();
        QCOMPARE(got.size(), 6);
    }

    void faultsThatEndTheJob_data()
    {
        QTest::addColumn<bool>("simulator");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("error");
        const QString huge = "{\"SEQ\":\"" + QString(33 * 1024 * 1024, 'x') + "\"}";
        const QString deep = "{\"SEQ\":" + QString(1100, '[') + QString(1100, ']') + "}";
        for (bool simulator : {false, true}) {
            const char* link = simulator ? "simulator: " : "device proxy: ";
            QTest::newRow(qPrintable(link + QString("too large"))) << simulator << huge << "message larger than 32 MiB";
            QTest::newRow(qPrintable(link + QString("too deep"))) << simulator << deep << "unreadable message: too deeply nested document";
        }
    }

    // What the controller sends and the link cannot take is an error that says
    // why, not a silent wait or a bare disconnection.
    void faultsThatEndTheJob()
    {
        QFETCH(bool, simulator);
        QFETCH(QString, message);
        FakeController ctl;
        ATDeviceProxy proxy;
        IDevSimulator sim;
        QStringList errors;
        bool connected = false;
        proxy.onConnected = [&] { connected = true; };
        proxy.onError = [&](const QString& error) { errors << error; };
        proxy.onDisconnected = [&] { errors << "disconnected"; };
        connect(&sim, &IDevSimulator::Started, &sim, [&] { connected = true; });
        connect(&sim, &IDevSimulator::Errored, &sim, [&](const QString& error) { errors << error; });
        connect(&sim, &IDevSimulator::Stopped, &sim, [&] { errors << "disconnected"; });
        simulator ? sim.Open(ctl.Url()) : proxy.Open(ctl.Url());
        QTRY_VERIFY(connected);
        LogSpy log;
        ctl.Text(message);
        QTRY_VERIFY(!errors.isEmpty());
        QTEST(errors.first(), "error");
    }
};

QTEST_GUILESS_MAIN(TstDeviceLinks)
#include "tst_devicelinks.moc"
