// Whole jobs through the host over a real connection, against the controller
// emulator on the controller's fixed port.

#include "tests/support/HostProcess.h"
#include "tests/support/TestClient.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

namespace {

const QString kTemplate = QStringLiteral(KIV_SOURCE_DIR "/examples/device-template.json");

QString compact(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QJsonObject testcase(int id, const QString& module, const QString& group, const QJsonArray& data,
                     const QJsonValue& script = QJsonValue::Undefined)
{
    const QJsonObject content{{"MODULE_NAME", module}, {"GROUP_NAME", group}, {"DATA", data}, {"execute_script", script}};
    return {{"testcaseid", id}, {"content", compact(content)}};
}

QJsonObject item(int index, const QJsonValue& value)
{
    return {{"INDEX", index}, {"VALUE", value}};
}

QJsonArray delay(int ms)
{
    return {QJsonObject{{"type", "s_deplay"}, {"time", ms}}};
}

// Two cases that each set one value; the device answers with the same values.
QJsonObject twoCaseJob(const QString& url, const QJsonArray& strategies = {QJsonArray(), QJsonArray()})
{
    const QJsonArray cases{testcase(1, "Power", "Supply", {item(0, 12)}, "(function(l, g) { return l.Voltage === 12; })"),
                           testcase(2, "Radio", "Tx", {item(0, 900)})};
    return {{"url", url}, {"jobid", 11}, {"planid", 5}, {"case_list", cases}, {"content", compact({{"case_stratepy", strategies}})}};
}

QJsonObject executeJob(const QJsonObject& job, const QJsonValue& seq = "job")
{
    return {{"CMD", "ExecuteJob"}, {"SEQ", seq}, {"VALUE", job}};
}

} // namespace

class TstATWorker : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        m_host = new HostProcess;
        QVERIFY2(m_host->Start(), qPrintable(m_host->ErrorText()));
    }

    void cleanupTestCase()
    {
        QVERIFY2(m_host->Stop(), qPrintable(m_host->Stderr()));
        delete m_host;
    }

    void init()
    {
        m_client = new TestClient;
        QVERIFY(m_client->Connect(m_host->Url()));
    }

    void cleanup()
    {
        delete m_client;
        m_client = nullptr;
        if (m_emulator)
            QVERIFY2(m_emulator->Stop(), qPrintable(m_emulator->Stderr()));
        delete m_emulator;
        m_emulator = nullptr;
    }

    void jobsOnAWorkingDevice()
    {
        QVERIFY(StartEmulator());
        // Case 33 reads the device's answer and the pushed observations by name;
        // case 34 fails its check; the job script reads the observations too.
        const QJsonArray cases{
            testcase(31, "Power", "Supply", {item(0, 12), item(1, 2)}, "(function(l, g) { return l.Voltage === 12 && l.Current === 2; })"),
            testcase(32, "Radio", "Tx", {item(0, 1090)}),
            testcase(33, "Radio", "Tx", {item(1, 20)},
                     "(function(l, g) { return l.Power === 20 && g.Power.Battery.Voltage.length > 0 && g.Radio.Signal.SNR.length > 0; })"),
            testcase(34, "Power", "Supply", {item(1, 3)}, "(function(l, g) { return l.Current > 5; })"),
            testcase(35, "Power", "Supply", {item(0, 1)}, "(function(l, g) { throw new Error('broken'); })")};
        const QJsonArray strategies{delay(300), QJsonArray(), delay(200), QJsonArray(), QJsonArray()};
        const QJsonObject job{{"url", "devices/dev-a"}, {"jobid", 77}, {"planid", 8}, {"case_list", cases},
                              {"content", compact({{"execute_script", "(function(l, g) { return g.Radio.Signal.RSSI.length > 1; })"},
                                                   {"case_stratepy", strategies}})}};
        QElapsedTimer timer;
        timer.start();
        QJsonObject reply = RunJob(executeJob(job));
        QVERIFY2(timer.elapsed() >= 500, "post-delays were not waited");
        const QJsonObject report = reply.take("VALUE").toObject();
        QCOMPARE(reply, (QJsonObject{{"SEQ", "job"}, {"ERROR", "SUCCESS"}}));
        const QString exception = report.value("tcs")[4]["remark"].toString();
        QVERIFY2(exception.startsWith("Script Exception: LINE ( "), qPrintable(exception));
        const auto tc = [](int id, bool result, const QString& remark) { return QJsonObject{{"id", id}, {"result", result}, {"remark", remark}}; };
        QCOMPARE(report, (QJsonObject{{"jobid", 77}, {"planid", 8}, {"result", true}, {"remark", ""},
                                      {"tcs", QJsonArray{tc(31, true, ""), tc(32, true, "No Script to Exec"), tc(33, true, ""),
                                                         tc(34, false, ""), tc(35, false, exception)}}}));

        // The sample request of the examples runs as it stands.
        QFile file(QStringLiteral(KIV_SOURCE_DIR "/examples/job-request.json"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QJsonObject sample = RunJob(QJsonDocument::fromJson(file.readAll()).object()).value("VALUE").toObject();
        QCOMPARE(sample.value("result").toBool(), true);
        QJsonArray verdicts;
        for (const QJsonValue& tc : sample.value("tcs").toArray())
            verdicts.append(tc.toObject().value("result"));
        QCOMPARE(verdicts, (QJsonArray{true, true, false, true}));

        // No "VALUE" at all: an empty job without a device.
        const QJsonObject empty = RunJob({{"CMD", "ExecuteJob"}, {"SEQ", 3}});
        QCOMPARE(empty.value("SEQ").toInt(), 3);
        QCOMPARE(empty.value("VALUE").toObject(),
                 (QJsonObject{{"result", false}, {"remark", "Job url has no device id: ''"}, {"tcs", QJsonArray()}}));

        // A client that leaves during a job: the job runs to its end, the report
        // goes nowhere and the host stays up.
        m_client->Send(executeJob(twoCaseJob("devices/dev-f", {delay(400), QJsonArray()}), 1));
        QTRY_VERIFY(m_host->Stderr().contains("Job 11 starts on device dev-f"));
        delete m_client;
        m_client = nullptr;
        QTRY_VERIFY_WITH_TIMEOUT(m_host->Stderr().contains("Job 11 on device dev-f finished"), 10000);
        TestClient other;
        QVERIFY(other.Connect(m_host->Url()));
        QCOMPARE(other.Request({{"CMD", "get_state"}}).value("result").toString(), QStringLiteral("ok"));
    }

    void faultsEndTheJob_data()
    {
        QTest::addColumn<QStringList>("faults");
        QTest::addColumn<QJsonObject>("job");
        // Qt reports a lost connection as an error or a disconnection, in either
        // order; the first one ends the job.
        QTest::addColumn<QStringList>("remarks");
        const QJsonObject job = twoCaseJob("devices/dev-b");
        QTest::newRow("simulator refused") << QStringList{"--refuse", "start_sim"} << job << QStringList{"Device Can't Start Simulator"};
        QTest::newRow("auto-test refused") << QStringList{"--refuse", "EnterAutoTest"} << job << QStringList{"Device Can't Enter AT Mode"};
        QTest::newRow("empty template") << QStringList{"--empty-template"} << job
                                        << QStringList{"Device template from 'Enter AT Mode' is empty"};
        QTest::newRow("fewer strategies than cases") << QStringList() << twoCaseJob("devices/dev-e", {QJsonArray()})
                                                     << QStringList{"Fail to init job info"};
        // The emulator listens on a port of its own choice, so nothing answers on the controller's.
        QTest::newRow("controller not running") << QStringList{"--port", "0"} << job
                                                << QStringList{"Websocket to controller/simulator/ | error: Connection refused",
                                                               "Websocket to controller/simulator/ is disconnected"};
        // The device channel goes at its third message: the second test case. The
        // url is a bare device id.
        QTest::newRow("link dropped in the middle")
            << QStringList{"--drop-after", "3"} << twoCaseJob("dev-d")
            << QStringList{"Websocket to controller/auto_test/ | error: The remote host closed the connection",
                           "Websocket to controller/auto_test/ is disconnected"};
    }

    // Every case of a job that failed is reported as a fatal error.
    void faultsEndTheJob()
    {
        QFETCH(QStringList, faults);
        QFETCH(QJsonObject, job);
        QFETCH(QStringList, remarks);
        QVERIFY(StartEmulator(faults));
        QJsonObject report = RunJob(executeJob(job)).value("VALUE").toObject();
        const QString remark = report.take("remark").toString();
        QVERIFY2(remarks.contains(remark), qPrintable(remark));
        const auto fatal = [](int id) { return QJsonObject{{"id", id}, {"result", false}, {"remark", "Fatal Error"}}; };
        QCOMPARE(report, (QJsonObject{{"jobid", 11}, {"planid", 5}, {"result", false}, {"tcs", QJsonArray{fatal(1), fatal(2)}}}));
    }

    // A host stopped during a job frees what the job holds and exits with 0;
    // a sanitizer build turns anything left behind into a failing exit.
    void hostStoppedDuringAJob()
    {
        QVERIFY(StartEmulator());
        HostProcess host;
        QVERIFY2(host.Start(), qPrintable(host.ErrorText()));
        TestClient client;
        QVERIFY(client.Connect(host.Url()));
        client.Send(executeJob(twoCaseJob("devices/dev-g", {delay(10000), QJsonArray()})));
        QTRY_VERIFY(m_emulator->Stderr().contains("Device dev-g entered auto-test mode"));
        QVERIFY2(host.Stop(), qPrintable(host.Stderr()));
        QVERIFY(client.Replies().isEmpty());
    }

private:
    bool StartEmulator(const QStringList& options = {})
    {
        m_emulator = new HostProcess(QStringLiteral("controller-emulator"));
        // A later "--port" among the options wins over this one.
        if (m_emulator->Start(QStringList{"--template", kTemplate, "--port", "19870", "--push-interval", "20"} + options))
            return true;
        qWarning("%s", qPrintable(m_emulator->ErrorText()));
        return false;
    }

    // Sends `request` and returns its one reply, or {} when there was none or more:
    // the host answers a request sent after the reply only after anything else it
    // sent for the job.
    QJsonObject RunJob(const QJsonObject& request)
    {
        const int before = m_client->Replies().size();
        const QJsonObject reply = m_client->Request(request, 20000);
        const QJsonObject state = m_client->Request({{"CMD", "get_state"}});
        if (reply.isEmpty() || state.value("result") != QStringLiteral("ok") || m_client->Replies().size() != before + 2) {
            qWarning("replies:\n%s\nhost log:\n%s", qPrintable(m_client->Replies().join('\n')), qPrintable(m_host->Stderr()));
            return {};
        }
        return reply;
    }

    HostProcess* m_host = nullptr;
    HostProcess* m_emulator = nullptr;
    TestClient* m_client = nullptr;
};

QTEST_GUILESS_MAIN(TstATWorker)
#include "tst_atworker.moc"
