// The controller emulator as a separate process: its device model, its pushes,
// the independence of device ids, and the faults it injects on request.

#include "tests/support/HostProcess.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QtTest>

namespace {

const QString kTemplate = QStringLiteral(KIV_SOURCE_DIR "/examples/device-template.json");

QString compact(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QJsonObject entry(int index, const QJsonValue& value)
{
    return {{"INDEX", index}, {"VALUE", value}};
}

QJsonObject caseData(int module, int group, const QJsonValue& data)
{
    return {{"MODULE_SEQ", module}, {"GROUP_SEQ", group}, {"DATA", data}};
}

// One connection to a channel. Answers (with "SEQ", or without "EVENT") and
// pushed events are kept apart, so that pushes never pass for answers.
class Peer : public QObject
{
public:
    Peer()
    {
        socket.setMaxAllowedIncomingMessageSize(64 * 1024 * 1024);
        connect(&socket, &QWebSocket::textMessageReceived, this, [this](const QString& text) {
            const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
            if (message.contains("EVENT") && !message.contains("SEQ"))
                events.append(message);
            else
                answers.append(message);
        });
    }

    bool Open(const QUrl& base, const QString& channel, const QString& device)
    {
        QSignalSpy connected(&socket, &QWebSocket::connected);
        socket.open(QUrl(base.toString() + "/controller/" + channel + "/" + device));
        return connected.wait(5000);
    }

    void Send(const QJsonObject& request) { socket.sendTextMessage(compact(request)); }

    // Sends and returns the next answer, or {} when none comes.
    QJsonObject Ask(const QString& command, const QJsonValue& value = QJsonValue::Undefined, QJsonObject request = {})
    {
        request.insert("CMD", command);
        request.insert("SEQ", QString::number(++seq));
        request.insert("VALUE", value);
        const int before = answers.size();
        Send(request);
        if (!QTest::qWaitFor([&] { return answers.size() > before; }, 5000))
            return {};
        return answers.at(before);
    }

    QString Error(const QString& command, const QJsonValue& value = QJsonValue::Undefined, const QJsonObject& request = {})
    {
        return Ask(command, value, request).value("ERROR").toString();
    }

    QWebSocket socket;
    QList<QJsonObject> answers;
    QList<QJsonObject> events;
    int seq = 0;
};

} // namespace

class TstControllerEmulator : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup();
    void deviceModelEchoesKnownItems();
    void rejectedRequests_data();
    void rejectedRequests();
    void envelopeAndSimulatorChannel();
    void pushesCountUpWhileInAutoTestMode();
    void deviceIdsAreIndependent();
    void refuseIgnoreAndEmptyTemplate();
    void dropAfterCutsTheNthMessage_data();
    void dropAfterCutsTheNthMessage();
    void startUpFailuresAndLimits();

private:
    bool StartEmulator(const QStringList& options = {});
    HostProcess* m_emulator = nullptr;
};

bool TstControllerEmulator::StartEmulator(const QStringList& options)
{
    m_emulator = new HostProcess(QStringLiteral("controller-emulator"));
    const bool started = m_emulator->Start(QStringList{"--template", kTemplate} + options);
    if (!started)
        qWarning("%s", qPrintable(m_emulator->ErrorText()));
    return started;
}

void TstControllerEmulator::cleanup()
{
    if (m_emulator) {
        QCOMPARE(m_emulator->Stderr().count("Listening on ws://"), 1);
        QVERIFY2(m_emulator->Stop(), qPrintable(m_emulator->Stderr()));
    }
    delete m_emulator;
    m_emulator = nullptr;
}

void TstControllerEmulator::deviceModelEchoesKnownItems()
{
    QVERIFY(StartEmulator({"--push-interval", "0"}));
    Peer device;
    QVERIFY(device.Open(m_emulator->Url(), "auto_test", "dev-1"));

    const QJsonObject entered = device.Ask("EnterAutoTest", 1);
    QCOMPARE(entered.value("SEQ").toString(), QStringLiteral("1"));
    QCOMPARE(entered.value("ERROR").toString(), QStringLiteral("SUCCESS"));
    // The template as the file has it, without the emulator's own keys.
    const QString answered = compact(entered.value("VALUE").toObject());
    QCOMPARE(entered.value("VALUE").toObject().value("MODULES").toArray().size(), 2);
    QVERIFY2(answered.contains(R"({"INDEX":1,"INPUT_NAME":"SetPower","OUTPUT_NAME":"Power"})")
                 && answered.contains(R"({"INDEX":1,"NAME":"Temperature"})") && !answered.contains("STEP"),
             qPrintable(answered));

    // Outputs equal inputs of any JSON type; entries the group lacks are left out.
    const QJsonArray data{entry(1, 2.5), entry(7, 9), QJsonObject{{"INDEX", "0"}, {"VALUE", 3}},
                          QJsonObject{{"INDEX", 0.5}, {"VALUE", 4}}, entry(0, QJsonObject{{"v", "x"}}), 5};
    const QJsonObject answer = device.Ask("SetCaseData", caseData(2, 1, data));
    QCOMPARE(answer, (QJsonObject{{"SEQ", "2"}, {"ERROR", "SUCCESS"}, {"MODULE_SEQ", 2}, {"GROUP_SEQ", 1},
                                  {"DATA", QJsonArray{entry(1, 2.5), entry(0, QJsonObject{{"v", "x"}})}}}));
    QCOMPARE(device.Ask("SetCaseData", caseData(1, 1, QJsonArray())).value("DATA").toArray(), QJsonArray());

    // Leaving is final until the next entry.
    QCOMPARE(device.Error("EnterAutoTest", 0), QStringLiteral("SUCCESS"));
    QVERIFY(device.Error("SetCaseData", caseData(1, 1, QJsonArray())).contains("not in auto-test mode"));
}

void TstControllerEmulator::rejectedRequests_data()
{
    QTest::addColumn<bool>("enter");
    QTest::addColumn<QString>("command");
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<QString>("error");
    const QJsonValue good = caseData(1, 1, QJsonArray{entry(0, 1)});
    QTest::newRow("set outside auto-test mode") << false << "SetCaseData" << good << "not in auto-test mode";
    QTest::newRow("unknown module") << true << "SetCaseData" << QJsonValue(caseData(3, 1, QJsonArray())) << "No module 3";
    QTest::newRow("unknown group") << true << "SetCaseData" << QJsonValue(caseData(1, 2, QJsonArray())) << "no case group 2";
    QTest::newRow("DATA not an array") << true << "SetCaseData" << QJsonValue(caseData(1, 1, QJsonObject())) << "DATA";
    QTest::newRow("VALUE not an object") << true << "SetCaseData" << QJsonValue(QJsonArray{good}) << "not an object";
    // The service sends a number; anything else must not pass for it.
    const QString oneOrZero = "EnterAutoTest VALUE must be the number 1 or 0";
    QTest::newRow("enter with true") << false << "EnterAutoTest" << QJsonValue(true) << oneOrZero;
    QTest::newRow("enter with text") << false << "EnterAutoTest" << QJsonValue("1") << oneOrZero;
    QTest::newRow("enter with 2") << false << "EnterAutoTest" << QJsonValue(2) << oneOrZero;
    QTest::newRow("enter without VALUE") << false << "EnterAutoTest" << QJsonValue(QJsonValue::Undefined) << oneOrZero;
}

void TstControllerEmulator::rejectedRequests()
{
    QFETCH(bool, enter);
    QFETCH(QString, command);
    QFETCH(QJsonValue, value);
    QFETCH(QString, error);
    QVERIFY(StartEmulator({"--push-interval", "0"}));
    Peer device;
    QVERIFY(device.Open(m_emulator->Url(), "auto_test", "dev-1"));
    if (enter)
        QCOMPARE(device.Error("EnterAutoTest", 1), QStringLiteral("SUCCESS"));
    const QJsonObject answer = device.Ask(command, value);
    QVERIFY2(answer.value("ERROR").toString().contains(error), qPrintable(compact(answer)));
    QVERIFY(!answer.contains("DATA") && !answer.contains("VALUE"));
    QCOMPARE(answer.value("SEQ").toString(), QString::number(device.seq));
    if (!enter)
        QVERIFY(device.Error("SetCaseData", caseData(1, 1, QJsonArray())).contains("not in auto-test mode"));
}

void TstControllerEmulator::envelopeAndSimulatorChannel()
{
    QVERIFY(StartEmulator({"--push-interval", "0"}));
    Peer device;
    QVERIFY(device.Open(m_emulator->Url(), "auto_test", "dev-1"));
    // Text that is not an object gets no answer: the next answer is the next request's.
    device.socket.sendTextMessage("[1,2]");
    device.socket.sendTextMessage("not json");
    QCOMPARE(device.Ask("Reboot").value("ERROR").toString(), QStringLiteral("Unknown command 'Reboot' on the device channel"));
    QCOMPARE(device.answers.size(), 1);
    device.Send({{"CMD", "EnterAutoTest"}, {"VALUE", 1}});
    QTRY_COMPARE(device.answers.size(), 2);
    QCOMPARE(device.answers.last(), (QJsonObject{{"ERROR", "Request without a \"SEQ\" text"}}));

    Peer simulator;
    QVERIFY(simulator.Open(m_emulator->Url(), "simulator", "dev-1"));
    const QJsonObject params{{"latitude", 0.39}, {"longitude", 1.98}, {"frequency", 50}, {"only_aircraft", 0}};
    QCOMPARE(simulator.Error("start_sim", QJsonValue::Undefined, params), QStringLiteral("SUCCESS"));
    QTRY_VERIFY(m_emulator->Stderr().contains("Simulator of dev-1 started with {"));
    QCOMPARE(simulator.Error("stop_sim"), QStringLiteral("SUCCESS"));
    QJsonObject partial = params;
    partial.remove("frequency");
    QCOMPARE(simulator.Error("start_sim", QJsonValue::Undefined, partial), QStringLiteral("start_sim needs a number \"frequency\""));
    QVERIFY(simulator.Error("EnterAutoTest", 1).contains("Unknown command 'EnterAutoTest' on the simulator channel"));

    // Other paths, an empty device id among them, are closed with a reason.
    for (const QString& path : {QStringLiteral("/controller/other/dev-1"), QStringLiteral("/controller/auto_test/")}) {
        QWebSocket stray;
        QSignalSpy closed(&stray, &QWebSocket::disconnected);
        stray.open(QUrl(m_emulator->Url().toString() + path));
        QVERIFY2(closed.wait(5000), qPrintable(path));
        QCOMPARE(stray.closeCode(), QWebSocketProtocol::CloseCodePolicyViolated);
        QVERIFY(stray.closeReason().startsWith("No such channel"));
    }
}

void TstControllerEmulator::pushesCountUpWhileInAutoTestMode()
{
    QVERIFY(StartEmulator({"--push-interval", "20"}));
    Peer device;
    QVERIFY(device.Open(m_emulator->Url(), "auto_test", "dev-1"));
    QCOMPARE(device.Error("EnterAutoTest", 1), QStringLiteral("SUCCESS"));
    QTRY_VERIFY(device.events.size() >= 6);

    // One push per module and tick, modules in template order; BASE + STEP * n.
    for (int n = 1; n <= 3; ++n) {
        const QJsonObject power = device.events.at(2 * n - 2), radio = device.events.at(2 * n - 1);
        QCOMPARE(power, (QJsonObject{{"EVENT", "PushObseData"}, {"MODULE_SEQ", 1},
                                     {"VALUE", QJsonArray{QJsonObject{{"GROUP_SEQ", 1}, {"INDEX", 0}, {"VALUE", 11.5 + 0.5 * n}},
                                                          QJsonObject{{"GROUP_SEQ", 1}, {"INDEX", 1}, {"VALUE", 25 + n}}}}}));
        QCOMPARE(radio.value("MODULE_SEQ").toInt(), 2);
        QCOMPARE(radio.value("VALUE").toArray().at(1).toObject().value("VALUE").toDouble(), 10 - 0.25 * n);
    }

    // Leaving stops the pushes; nothing arrives after the answer.
    QCOMPARE(device.Error("EnterAutoTest", 0), QStringLiteral("SUCCESS"));
    const int afterLeave = device.events.size();
    QTest::qWait(150);
    QCOMPARE(device.events.size(), afterLeave);

    // Entering again counts from 1 again.
    QCOMPARE(device.Error("EnterAutoTest", 1), QStringLiteral("SUCCESS"));
    QTRY_VERIFY(device.events.size() > afterLeave);
    QCOMPARE(device.events.at(afterLeave).value("VALUE").toArray().at(0).toObject().value("VALUE").toDouble(), 12.0);

    // Stopping while a device pushes to a live connection is still a clean exit.
    QVERIFY2(m_emulator->Stop(), qPrintable(m_emulator->Stderr()));
}

void TstControllerEmulator::deviceIdsAreIndependent()
{
    QVERIFY(StartEmulator({"--push-interval", "20"}));
    Peer a, b;
    QVERIFY(a.Open(m_emulator->Url(), "auto_test", "dev-a"));
    QVERIFY(b.Open(m_emulator->Url(), "auto_test", "dev-b"));
    QCOMPARE(a.Error("EnterAutoTest", 1), QStringLiteral("SUCCESS"));
    QTRY_VERIFY(a.events.size() >= 4);
    QVERIFY(b.events.isEmpty());
    QVERIFY(b.Error("SetCaseData", caseData(1, 1, QJsonArray{entry(0, 1)})).contains("not in auto-test mode"));
    QCOMPARE(b.Error("EnterAutoTest", 1), QStringLiteral("SUCCESS"));

    // Losing the connection takes dev-a out of auto-test mode; dev-b goes on.
    QSignalSpy closed(&a.socket, &QWebSocket::disconnected);
    a.socket.close();
    QTRY_COMPARE(closed.count(), 1);
    QTRY_VERIFY(m_emulator->Stderr().contains("Device dev-a left auto-test mode"));
    Peer again;
    QVERIFY(again.Open(m_emulator->Url(), "auto_test", "dev-a"));
    QVERIFY(again.Error("SetCaseData", caseData(1, 1, QJsonArray())).contains("not in auto-test mode"));
    QCOMPARE(b.Error("SetCaseData", caseData(1, 1, QJsonArray{entry(0, 1)})), QStringLiteral("SUCCESS"));
    QTRY_VERIFY(!b.events.isEmpty());
    QVERIFY(again.events.isEmpty());
}

void TstControllerEmulator::refuseIgnoreAndEmptyTemplate()
{
    QVERIFY(StartEmulator({"--refuse", "EnterAutoTest", "--refuse", "stop_sim", "--ignore", "SetCaseData"}));
    Peer device, simulator;
    QVERIFY(device.Open(m_emulator->Url(), "auto_test", "dev-1"));
    QVERIFY(simulator.Open(m_emulator->Url(), "simulator", "dev-1"));
    // A refused command is not run: the device stays out of auto-test mode.
    const QJsonObject refused = device.Ask("EnterAutoTest", 1);
    QCOMPARE(refused, (QJsonObject{{"SEQ", "1"}, {"ERROR", "Refused by emulator"}}));
    QCOMPARE(simulator.Error("stop_sim"), QStringLiteral("Refused by emulator"));
    // An ignored request is never answered; the one after it is.
    device.Send({{"CMD", "SetCaseData"}, {"SEQ", "ignored"}, {"VALUE", caseData(1, 1, QJsonArray())}});
    QCOMPARE(device.Ask("EnterAutoTest", 0).value("SEQ").toString(), QStringLiteral("2"));
    QCOMPARE(device.answers.size(), 2);
    QVERIFY(device.events.isEmpty());
    cleanup();
    QVERIFY(!QTest::currentTestFailed());

    QVERIFY(StartEmulator({"--empty-template", "--push-interval", "10"}));
    QVERIFY(device.Open(m_emulator->Url(), "auto_test", "dev-1"));
    const QJsonObject entered = device.Ask("EnterAutoTest", 1);
    QCOMPARE(entered.value("ERROR").toString(), QStringLiteral("SUCCESS"));
    QCOMPARE(entered.value("VALUE").toObject(), (QJsonObject{{"MODULES", QJsonArray()}}));
    QTest::qWait(100);
    QVERIFY(device.events.isEmpty());
}

void TstControllerEmulator::dropAfterCutsTheNthMessage_data()
{
    QTest::addColumn<QString>("option");
    QTest::addColumn<QString>("channel");
    QTest::addColumn<QString>("command");
    QTest::newRow("device channel") << "--drop-after" << "auto_test" << "EnterAutoTest";
    QTest::newRow("simulator channel") << "--drop-sim-after" << "simulator" << "stop_sim";
}

void TstControllerEmulator::dropAfterCutsTheNthMessage()
{
    QFETCH(QString, option);
    QFETCH(QString, channel);
    QFETCH(QString, command);
    QVERIFY(StartEmulator({option, "3", "--push-interval", "0"}));
    Peer dropped, other;
    QVERIFY(dropped.Open(m_emulator->Url(), channel, "dev-1"));
    QVERIFY(other.Open(m_emulator->Url(), channel == "auto_test" ? "simulator" : "auto_test", "dev-1"));
    QSignalSpy closed(&dropped.socket, &QWebSocket::disconnected);
    dropped.socket.sendTextMessage("not json counts too");
    QVERIFY(!dropped.Ask(command, 0).isEmpty());
    dropped.Send({{"CMD", command}, {"SEQ", "third"}, {"VALUE", 0}});
    QVERIFY(closed.wait(5000));
    QCOMPARE(dropped.answers.size(), 1);
    // Every connection counts from zero, and the other kind of channel is not cut.
    QVERIFY(dropped.Open(m_emulator->Url(), channel, "dev-1"));
    QVERIFY(!dropped.Ask(command, 0).isEmpty());
    QVERIFY(!dropped.Ask(command, 0).isEmpty());
    for (int i = 0; i < 3; ++i)
        QVERIFY(!other.Ask("Noop").isEmpty());
    QCOMPARE(other.socket.state(), QAbstractSocket::ConnectedState);
}

void TstControllerEmulator::startUpFailuresAndLimits()
{
    // Without a template, or with a broken one, it does not start.
    QTemporaryDir dir;
    QFile broken(dir.filePath("broken.json"));
    QVERIFY(broken.open(QIODevice::WriteOnly));
    broken.write(R"({"MODULES":[{"SEQ":1,"OBSE_GROUPS":[{"SEQ":1,"ITEMS":[{"INDEX":0,"STEP":"1"}]}]}]})");
    broken.close();
    for (const QStringList& arguments :
         {QStringList{}, QStringList{"--template", broken.fileName()}, QStringList{"--template", kTemplate, "--port", "x"}}) {
        HostProcess failing(QStringLiteral("controller-emulator"));
        failing.Launch(arguments);
        QVERIFY(failing.Process().waitForFinished(10000));
        QCOMPARE(failing.Process().exitCode(), 2);
    }

    // A message over the size limit closes the connection; SIGINT ends cleanly too.
    QVERIFY(StartEmulator());
    Peer device;
    QVERIFY(device.Open(m_emulator->Url(), "auto_test", "dev-1"));
    QSignalSpy closed(&device.socket, &QWebSocket::disconnected);
    device.socket.sendTextMessage(QString(32 * 1024 * 1024 + 1, QLatin1Char(' ')));
    QVERIFY(closed.wait(10000));
    QCOMPARE(device.socket.closeCode(), QWebSocketProtocol::CloseCodeTooMuchData);
    QVERIFY2(m_emulator->Stop(2), qPrintable(m_emulator->Stderr()));
}

QTEST_GUILESS_MAIN(TstControllerEmulator)
#include "tst_controlleremulator.moc"
