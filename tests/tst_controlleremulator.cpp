// The controller emulator as a separate process: device model, pushes, device ids, injected faults.

#include "tests/support/HostProcess.h"
#include "tests/support/JsonTools.h"

#include <QSignalSpy>
#include <QWebSocket>
#include <QtTest>

namespace {

QJsonObject entry(int index, const QJsonValue& value) { return {{"INDEX", index}, {"VALUE", value}}; }
QJsonObject error(const QString& text) { return {{"ERROR", text}}; }
QJsonObject setCaseData(int module, int group, const QJsonValue& data)
{
    return {{"CMD", "SetCaseData"}, {"VALUE", QJsonObject{{"MODULE_SEQ", module}, {"GROUP_SEQ", group}, {"DATA", data}}}};
}

// One connection to a channel; pushed events ("EVENT" without "SEQ") are kept apart from answers.
struct Peer : QObject
{
    Peer()
    {
        connect(&socket, &QWebSocket::textMessageReceived, this, [this](const QString& text) {
            const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
            (message.contains("EVENT") && !message.contains("SEQ") ? events : answers).append(message);
        });
    }
    bool Open(const QUrl& base, const QString& channel, const QString& device)
    {
        QSignalSpy connected(&socket, &QWebSocket::connected);
        socket.open(QUrl(base.toString() + "/controller/" + channel + "/" + device));
        return connected.wait(5000);
    }
    // Sends with the next "SEQ"; the next answer without its "SEQ" if that is the one sent, {} when none comes.
    QJsonObject Ask(QJsonObject request)
    {
        request.insert("SEQ", QString::number(++seq));
        const int before = answers.size();
        socket.sendTextMessage(compact(request));
        QJsonObject answer = QTest::qWaitFor([&] { return answers.size() > before; }, 5000) ? answers.at(before) : QJsonObject();
        if (answer.value("SEQ") == request.value("SEQ"))
            answer.remove("SEQ");
        return answer;
    }
    QString Error(const QString& cmd, const QJsonValue& value) { return Ask({{"CMD", cmd}, {"VALUE", value}})["ERROR"].toString(); }
    QWebSocket socket;
    QList<QJsonObject> answers, events;
    int seq = 0;
};

} // namespace

class TstControllerEmulator : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Every test starts one emulator; it must also stop cleanly.
    void cleanup() { QVERIFY2(m_emulator->Stop(), qPrintable(m_emulator->Stderr())); }
    void deviceModel();
    void dropIgnoreAndEmptyTemplate();

private:
    bool StartEmulator(const QStringList& options, const QString& logLevel = QStringLiteral("2"))
    {
        m_emulator.reset(new HostProcess(QStringLiteral("controller-emulator")));
        QProcessEnvironment environment = m_emulator->Process().processEnvironment();
        environment.insert(QStringLiteral("KIV_LOG_LEVEL"), logLevel);
        m_emulator->Process().setProcessEnvironment(environment);
        return m_emulator->Start(QStringList{"--template", KIV_SOURCE_DIR "/examples/device-template.json"} + options);
    }
    QScopedPointer<HostProcess> m_emulator;
};

void TstControllerEmulator::deviceModel()
{
    // Level 3 logs every push.
    QVERIFY(StartEmulator({"--push-interval", "20", "--refuse", "stop_sim"}, QStringLiteral("3")));
    Peer a, b, simulator;
    QVERIFY(a.Open(m_emulator->Url(), "auto_test", "dev-a") && b.Open(m_emulator->Url(), "auto_test", "dev-b"));
    // The service sends a number; anything else must not pass for it (nor start pushes: see below).
    for (const QJsonValue& value : {QJsonValue(true), QJsonValue("1"), QJsonValue(2), QJsonValue(QJsonValue::Undefined)})
        QCOMPARE(b.Ask({{"CMD", "EnterAutoTest"}, {"VALUE", value}}), error("EnterAutoTest VALUE must be the number 1 or 0"));
    const QString answered = compact(a.Ask({{"CMD", "EnterAutoTest"}, {"VALUE", 1}})["VALUE"].toObject()); // without BASE, STEP
    QVERIFY2(answered.contains(R"({"INDEX":1,"NAME":"Temperature"})") && !answered.contains("STEP"), qPrintable(answered));
    QTRY_VERIFY(a.events.size() >= 6);
    for (int n = 1; n <= 3; ++n) { // one push per module and tick, modules in template order; BASE + STEP * n
        const QJsonArray power{QJsonObject{{"GROUP_SEQ", 1}, {"INDEX", 0}, {"VALUE", 11.5 + 0.5 * n}},
                               QJsonObject{{"GROUP_SEQ", 1}, {"INDEX", 1}, {"VALUE", 25 + n}}};
        QCOMPARE(a.events.at(2 * n - 2), (QJsonObject{{"EVENT", "PushObseData"}, {"MODULE_SEQ", 1}, {"VALUE", power}}));
        QCOMPARE(a.events.at(2 * n - 1)["VALUE"][1]["VALUE"].toDouble(), 10 - 0.25 * n);
    }
    // Outputs equal inputs of any JSON type; entries the group lacks are left out.
    const QJsonArray data{entry(1, 2.5), entry(7, 9), QJsonObject{{"INDEX", "0"}, {"VALUE", 3}},
                          QJsonObject{{"INDEX", 0.5}, {"VALUE", 4}}, entry(0, QJsonObject{{"v", "x"}}), 5};
    QCOMPARE(a.Ask(setCaseData(2, 1, data)), (QJsonObject{{"ERROR", "SUCCESS"}, {"MODULE_SEQ", 2}, {"GROUP_SEQ", 1},
                                                          {"DATA", QJsonArray{entry(1, 2.5), entry(0, QJsonObject{{"v", "x"}})}}}));
    QCOMPARE(a.Ask(setCaseData(3, 1, {})), error("No module 3 with case groups"));
    QCOMPARE(a.Ask(setCaseData(1, 2, {})), error("Module 1 has no case group 2"));
    QCOMPARE(a.Ask(setCaseData(1, 1, {})), error("SetCaseData DATA is not an array"));
    QCOMPARE(a.Ask({{"CMD", "SetCaseData"}, {"VALUE", QJsonArray()}}), error("SetCaseData VALUE is not an object"));
    // Another id is another device.
    QVERIFY(b.events.isEmpty());
    QCOMPARE(b.Ask(setCaseData(1, 1, {})), error("Device dev-b is not in auto-test mode"));
    // The simulator needs every parameter as a number. A refused request is answered but not run:
    // the simulator still runs, so starting it again restarts it.
    QVERIFY(simulator.Open(m_emulator->Url(), "simulator", "dev-a"));
    QJsonObject start{{"CMD", "start_sim"}, {"latitude", 0.39}, {"longitude", 1.98}, {"frequency", 50}, {"only_aircraft", 0}};
    QCOMPARE(simulator.Ask(start), error("SUCCESS"));
    QCOMPARE(simulator.Ask({{"CMD", "stop_sim"}}), error("Refused by emulator"));
    QCOMPARE(simulator.Ask(start), error("SUCCESS"));
    QTRY_VERIFY(m_emulator->Stderr().contains("Simulator of dev-a restarted with"));
    start.remove("frequency");
    QCOMPARE(simulator.Ask(start), error("start_sim needs a number \"frequency\""));
    // Leaving stops the pushes and is final; entering again counts from 1 again.
    // dev-b's pushes, logged in order with everything else the emulator does,
    // are the clock: two of them after dev-a has left span one of dev-a's
    // intervals, so a push of dev-a's would have gone before dev-a enters again
    // and be the first event after leaving.
    QCOMPARE(b.Error("EnterAutoTest", 1), QStringLiteral("SUCCESS"));
    QCOMPARE(a.Error("EnterAutoTest", 0), QStringLiteral("SUCCESS"));
    const int afterLeave = a.events.size();
    const auto pushesOfBSinceLeave = [&] {
        const QString log = m_emulator->Stderr();
        return log.mid(log.indexOf("Device dev-a left auto-test mode")).count("Device dev-b push ");
    };
    QTRY_VERIFY(pushesOfBSinceLeave() >= 2);
    QCOMPARE(a.Error("EnterAutoTest", 1), QStringLiteral("SUCCESS"));
    QTRY_VERIFY(a.events.size() > afterLeave);
    QCOMPARE(a.events.at(afterLeave)["VALUE"][0]["VALUE"].toDouble(), 12.0);
    // Losing the connection takes dev-a out of auto-test mode; dev-b goes on.
    a.socket.close();
    QTRY_VERIFY(m_emulator->Stderr().contains("Device dev-a left auto-test mode"));
    QVERIFY(a.Open(m_emulator->Url(), "auto_test", "dev-a"));
    QCOMPARE(a.Ask(setCaseData(1, 1, {})), error("Device dev-a is not in auto-test mode"));
    QTRY_VERIFY(!b.events.isEmpty());
    // Other paths, an empty device id among them, are closed with a reason.
    for (const char* path : {"/controller/other/dev-1", "/controller/auto_test/"}) {
        QWebSocket stray;
        stray.open(QUrl(m_emulator->Url().toString() + path));
        QTRY_COMPARE(stray.closeCode(), QWebSocketProtocol::CloseCodePolicyViolated);
        QVERIFY2(stray.closeReason().startsWith("No such channel"), path);
    }
    QVERIFY2(m_emulator->Stop(2), qPrintable(m_emulator->Stderr())); // SIGINT while pushing ends cleanly too
}

void TstControllerEmulator::dropIgnoreAndEmptyTemplate()
{
    // Each kind of channel is cut at its own count: the device channel at message 5, the simulator's at 6.
    QVERIFY(StartEmulator({"--drop-after", "5", "--drop-sim-after", "6", "--ignore", "Noop", "--empty-template",
                           "--push-interval", "10"}));
    // A template without modules is answered as such and pushes nothing.
    const QJsonObject noModules{{"ERROR", "SUCCESS"}, {"VALUE", QJsonObject{{"MODULES", QJsonArray()}}}};
    for (const auto& [channel, command, cutAt, answer, other] :
         {std::make_tuple("auto_test", "EnterAutoTest", 5, noModules, "stop_sim"),
          std::make_tuple("simulator", "stop_sim", 6, error("SUCCESS"), "EnterAutoTest")}) {
        Peer peer;
        QVERIFY(peer.Open(m_emulator->Url(), channel, "dev-1"));
        QSignalSpy closed(&peer.socket, &QWebSocket::disconnected);
        // An ignored request and text that is not an object count, unanswered; one without "SEQ" gets an answer without.
        peer.socket.sendTextMessage(R"({"CMD":"Noop","SEQ":"ignored"})");
        peer.socket.sendTextMessage("[1,2]");
        peer.socket.sendTextMessage(compact({{"CMD", command}, {"VALUE", 0}}));
        QTRY_COMPARE(peer.answers, (QList<QJsonObject>{QJsonObject{{"ERROR", "Request without a \"SEQ\" text"}}}));
        for (int n = 4; n < cutAt; ++n)
            QCOMPARE(peer.Ask({{"CMD", command}, {"VALUE", 1}}), answer);
        peer.socket.sendTextMessage(R"({"CMD":"Noop","SEQ":"cut"})");
        QVERIFY2(closed.wait(5000), channel);
        // Nothing came before the cut, which follows all the emulator sent, nor will: it pushes nothing.
        QVERIFY(peer.events.isEmpty());
        if (QByteArray(channel) == "auto_test")
            QTRY_VERIFY(m_emulator->Stderr().contains("Device dev-1 entered auto-test mode; it pushes nothing"));
        // A new connection counts afresh; neither channel runs the other's commands.
        QVERIFY(peer.Open(m_emulator->Url(), channel, "dev-1"));
        QVERIFY(peer.Error(other, 0).startsWith("Unknown command"));
    }
}

QTEST_GUILESS_MAIN(TstControllerEmulator)
#include "tst_controlleremulator.moc"
