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

QJsonObject testcase(int id, const QString& module, const QString& group, const QJsonArray& data, const QString& script)
{
    QJsonObject content{{"MODULE_NAME", module}, {"GROUP_NAME", group}, {"DATA", data}};
    if (!script.isNull())
        content.insert("execute_script", script);
    return {{"testcaseid", id}, {"content", compact(content)}};
}

QJsonObject item(int index, const QJsonValue& value)
{
    return {{"INDEX", index}, {"VALUE", value}};
}

// Two cases that each set one value; the device answers with the same values.
QJsonObject twoCaseJob(const QString& device, int jobId = 11)
{
    const QJsonArray cases{testcase(1, "Power", "Supply", {item(0, 12)}, "(function(l, g) { return l.Voltage === 12; })"),
                           testcase(2, "Radio", "Tx", {item(0, 900)}, QString())};
    return {{"url", "devices/" + device}, {"jobid", jobId}, {"planid", 5}, {"case_list", cases},
            {"content", compact({{"case_stratepy", QJsonArray{QJsonArray(), QJsonArray()}}})}};
}

QJsonObject executeJob(const QJsonObject& job, const QJsonValue& seq)
{
    return {{"CMD", "ExecuteJob"}, {"SEQ", seq}, {"VALUE", job}};
}

} // namespace

class TstATWorker : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void fullJobReportsEveryVerdict();
    void sampleJobRequestRuns();
    void stepFailuresEndTheJob_data();
    void stepFailuresEndTheJob();
    void controllerNotRunning();
    void linkDroppedInTheMiddle();
    void requestsWithoutDeviceOrContent();
    void clientLeavingDuringAJob();

private:
    bool StartEmulator(const QStringList& options = {});
    QJsonObject RunJob(const QJsonObject& job, int timeoutMs = 20000);

    HostProcess* m_host = nullptr;
    HostProcess* m_emulator = nullptr;
    TestClient* m_client = nullptr;
};

void TstATWorker::initTestCase()
{
    m_host = new HostProcess;
    QVERIFY2(m_host->Start(), qPrintable(m_host->ErrorText()));
}

void TstATWorker::cleanupTestCase()
{
    if (m_host)
        QVERIFY2(m_host->Stop(), qPrintable(m_host->Stderr()));
    delete m_host;
}

void TstATWorker::init()
{
    m_client = new TestClient;
    QVERIFY(m_client->Connect(m_host->Url()));
}

void TstATWorker::cleanup()
{
    delete m_client;
    m_client = nullptr;
    if (m_emulator)
        QVERIFY2(m_emulator->Stop(), qPrintable(m_emulator->Stderr()));
    delete m_emulator;
    m_emulator = nullptr;
}

bool TstATWorker::StartEmulator(const QStringList& options)
{
    m_emulator = new HostProcess(QStringLiteral("controller-emulator"));
    const bool started = m_emulator->Start(QStringList{"--template", kTemplate, "--port", "19870", "--push-interval", "20"}
                                           + options);
    if (!started)
        qWarning("%s", qPrintable(m_emulator->ErrorText()));
    return started;
}

QJsonObject TstATWorker::RunJob(const QJsonObject& job, int timeoutMs)
{
    const QJsonObject reply = m_client->Request(executeJob(job, "job"), timeoutMs);
    if (reply.isEmpty())
        qWarning("no report; host log:\n%s", qPrintable(m_host->Stderr()));
    return reply;
}

void TstATWorker::fullJobReportsEveryVerdict()
{
    QVERIFY(StartEmulator());
    // Case 3 reads the device's answer and the pushed observations by name;
    // case 4 fails its check; the job script reads the observations too.
    const QJsonArray cases{
        testcase(31, "Power", "Supply", {item(0, 12), item(1, 2)}, "(function(l, g) { return l.Voltage === 12 && l.Current === 2; })"),
        testcase(32, "Radio", "Tx", {item(0, 1090)}, QString()),
        testcase(33, "Radio", "Tx", {item(1, 20)},
                 "(function(l, g) { return l.Power === 20 && g.Power.Battery.Voltage.length > 0 && g.Radio.Signal.SNR.length > 0; })"),
        testcase(34, "Power", "Supply", {item(1, 3)}, "(function(l, g) { return l.Current > 5; })"),
        testcase(35, "Power", "Supply", {item(0, 1)}, "(function(l, g) { throw new Error('broken'); })")};
    const QJsonArray strategies{QJsonArray{QJsonObject{{"type", "s_deplay"}, {"time", 300}}}, QJsonArray(),
                                QJsonArray{QJsonObject{{"type", "s_deplay"}, {"time", 200}}}, QJsonArray(), QJsonArray()};
    const QJsonObject job{{"url", "devices/dev-a"}, {"jobid", 77}, {"planid", 8}, {"case_list", cases},
                          {"content", compact({{"execute_script", "(function(l, g) { return g.Radio.Signal.RSSI.length > 1; })"},
                                               {"case_stratepy", strategies}})}};
    QElapsedTimer timer;
    timer.start();
    const QJsonObject reply = RunJob(job);
    QVERIFY2(timer.elapsed() >= 500, "post-delays were not waited");
    QCOMPARE(reply.value("SEQ").toString(), QStringLiteral("job"));
    QCOMPARE(reply.value("ERROR").toString(), QStringLiteral("SUCCESS"));
    const QJsonObject report = reply.value("VALUE").toObject();
    QCOMPARE(report.value("jobid").toInt(), 77);
    QCOMPARE(report.value("planid").toInt(), 8);
    QCOMPARE(report.value("result").toBool(), true);
    QCOMPARE(report.value("remark").toString(), QString());
    const QJsonArray tcs = report.value("tcs").toArray();
    QCOMPARE(tcs.size(), 5);
    QCOMPARE(tcs.at(0).toObject(), (QJsonObject{{"id", 31}, {"result", true}, {"remark", ""}}));
    QCOMPARE(tcs.at(1).toObject(), (QJsonObject{{"id", 32}, {"result", true}, {"remark", "No Script to Exec"}}));
    QCOMPARE(tcs.at(2).toObject(), (QJsonObject{{"id", 33}, {"result", true}, {"remark", ""}}));
    QCOMPARE(tcs.at(3).toObject(), (QJsonObject{{"id", 34}, {"result", false}, {"remark", ""}}));
    QCOMPARE(tcs.at(4).toObject().value("result").toBool(), false);
    QVERIFY(tcs.at(4).toObject().value("remark").toString().startsWith("Script Exception: LINE ( "));

    // Exactly one report, and the emulator saw the device leave auto-test mode.
    QTest::qWait(100);
    QCOMPARE(m_client->Replies().size(), 1);
}

void TstATWorker::sampleJobRequestRuns()
{
    QVERIFY(StartEmulator());
    QFile file(QStringLiteral(KIV_SOURCE_DIR "/examples/job-request.json"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QJsonObject request = QJsonDocument::fromJson(file.readAll()).object();
    const QJsonObject reply = m_client->Request(request, 20000);
    const QJsonObject report = reply.value("VALUE").toObject();
    QCOMPARE(report.value("result").toBool(), true);
    QJsonArray verdicts;
    for (const QJsonValue& tc : report.value("tcs").toArray())
        verdicts.append(tc.toObject().value("result"));
    QCOMPARE(verdicts, (QJsonArray{true, true, false, true}));
}

void TstATWorker::stepFailuresEndTheJob_data()
{
    QTest::addColumn<QStringList>("faults");
    QTest::addColumn<QString>("remark");
    QTest::newRow("simulator refused") << QStringList{"--refuse", "start_sim"} << "Device Can't Start Simulator";
    QTest::newRow("auto-test refused") << QStringList{"--refuse", "EnterAutoTest"} << "Device Can't Enter AT Mode";
    QTest::newRow("empty template") << QStringList{"--empty-template"} << "Device template from 'Enter AT Mode' is empty";
}

void TstATWorker::stepFailuresEndTheJob()
{
    QFETCH(QStringList, faults);
    QFETCH(QString, remark);
    QVERIFY(StartEmulator(faults));
    const QJsonObject report = RunJob(twoCaseJob("dev-b")).value("VALUE").toObject();
    const QJsonObject fatal{{"result", false}, {"remark", "Fatal Error"}};
    QJsonObject first = fatal, second = fatal;
    first.insert("id", 1);
    second.insert("id", 2);
    QCOMPARE(report, (QJsonObject{{"jobid", 11}, {"planid", 5}, {"result", false}, {"remark", remark},
                                  {"tcs", QJsonArray{first, second}}}));
}

void TstATWorker::controllerNotRunning()
{
    const QJsonObject report = RunJob(twoCaseJob("dev-c")).value("VALUE").toObject();
    QCOMPARE(report.value("result").toBool(), false);
    // Qt reports a refused connection as an error or a disconnection, in
    // either order; the first one ends the job.
    const QString remark = report.value("remark").toString();
    QVERIFY2(remark == "Websocket to controller/simulator/ | error: Connection refused"
                 || remark == "Websocket to controller/simulator/ is disconnected",
             qPrintable(remark));
    QCOMPARE(report.value("tcs").toArray().size(), 2);
}

void TstATWorker::linkDroppedInTheMiddle()
{
    // The device channel goes after three messages: EnterAutoTest and two test cases.
    QVERIFY(StartEmulator({"--drop-after", "3"}));
    const QJsonArray cases{testcase(1, "Power", "Supply", {item(0, 1)}, QString()),
                           testcase(2, "Power", "Supply", {item(0, 2)}, QString()),
                           testcase(3, "Power", "Supply", {item(0, 3)}, QString())};
    const QJsonObject job{{"url", "dev-d"}, {"jobid", 4}, {"planid", 2}, {"case_list", cases},
                          {"content", compact({{"case_stratepy", QJsonArray{QJsonArray(), QJsonArray(), QJsonArray()}}})}};
    const QJsonObject report = RunJob(job).value("VALUE").toObject();
    const QString remark = report.value("remark").toString();
    QVERIFY2(remark == "Websocket to controller/auto_test/ | error: The remote host closed the connection"
                 || remark == "Websocket to controller/auto_test/ is disconnected",
             qPrintable(remark));
    QCOMPARE(report.value("tcs").toArray().size(), 3);
    QTest::qWait(100);
    QCOMPARE(m_client->Replies().size(), 1);
}

void TstATWorker::requestsWithoutDeviceOrContent()
{
    QVERIFY(StartEmulator());
    // Strategy list shorter than the case list.
    QJsonObject job = twoCaseJob("dev-e");
    job.insert("content", compact({{"case_stratepy", QJsonArray{QJsonArray()}}}));
    QCOMPARE(RunJob(job).value("VALUE").toObject().value("remark").toString(), QStringLiteral("Fail to init job info"));

    // No "VALUE" at all: an empty job without a device.
    const QJsonObject reply = m_client->Request({{"CMD", "ExecuteJob"}, {"SEQ", 3}});
    QCOMPARE(reply.value("SEQ").toInt(), 3);
    const QJsonObject report = reply.value("VALUE").toObject();
    QCOMPARE(report.value("result").toBool(), false);
    QVERIFY(report.value("remark").toString().startsWith("Job url has no device id"));
    QCOMPARE(report.value("tcs").toArray(), QJsonArray());
}

void TstATWorker::clientLeavingDuringAJob()
{
    QVERIFY(StartEmulator());
    QJsonObject job = twoCaseJob("dev-f", 66);
    job.insert("content", compact({{"case_stratepy", QJsonArray{QJsonArray{QJsonObject{{"type", "s_deplay"}, {"time", 400}}},
                                                                QJsonArray()}}}));
    m_client->Send(executeJob(job, 1));
    QTRY_VERIFY(m_host->Stderr().contains("Job 66 starts on device dev-f"));
    delete m_client;
    m_client = nullptr;
    // The job runs to its end and the report goes nowhere; the host stays up.
    QTRY_VERIFY_WITH_TIMEOUT(m_host->Stderr().contains("Job 66 on device dev-f finished"), 10000);
    TestClient other;
    QVERIFY(other.Connect(m_host->Url()));
    QCOMPARE(other.Request({{"CMD", "get_state"}}).value("result").toString(), QStringLiteral("ok"));
}

QTEST_GUILESS_MAIN(TstATWorker)
#include "tst_atworker.moc"
