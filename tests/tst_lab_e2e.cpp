// The lab end to end: autotest-server (SQLite) with its queue, one
// controller-emulator and two stations (autotest-host --station) with devices
// of their own tags. Jobs queued by tag run on the right device, one at a
// time; cancels reach queued and running jobs; a station killed mid-job is
// noticed within the station lease.

#include "tests/support/ApiPost.h"
#include "tests/support/HostProcess.h"
#include "tests/support/JsonTools.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QtTest>

#include <memory>

namespace {

// A plan's content whose first case waits `waitMs` before it runs.
QString planContent(int waitMs)
{
    return compact({{"case_stratepy", QJsonArray{QJsonArray{QJsonObject{{"type", "s_deplay"}, {"time", waitMs}}}}}});
}

} // namespace

class TstLabE2e : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void tagsPickDevicesOneJobEach();
    void cancelQueuedAndRunning();
    void killedStationIsLost();

private:
    QJsonObject Post(const QJsonObject& request) { return PostApi(m_network, m_server->Url(), request, QByteArray()); }
    // Queues plan `plan` for a device with all of `tags`; the job's id, 0 when refused.
    int Queue(int plan, const QJsonArray& tags)
    {
        return Post({{"cmd", "queue_job"}, {"planid", plan}, {"tags", tags}}).value("jobid").toInt();
    }
    QJsonObject Info(int jobId) { return Post({{"cmd", "job_info"}, {"jobid", jobId}, {"verdicts", true}}); }
    // Where a job runs or ran, and its status.
    QJsonObject Placed(int jobId) { return pick(Info(jobId), {"status", "station", "device"}); }
    QString Reason(int jobId) { return Info(jobId).value("verdict").toObject().value("reason").toString(); }

    QNetworkAccessManager m_network;
    std::unique_ptr<HostProcess> m_server;
    std::unique_ptr<HostProcess> m_emulator;
    std::unique_ptr<HostProcess> m_benchA;
    std::unique_ptr<HostProcess> m_benchB;
    // A plan whose job runs until cancelled, and one that ends at once.
    int m_longPlan = 0;
    int m_shortPlan = 0;
};

void TstLabE2e::init()
{
    // Stations beat every second and are lost after 3 s of silence.
    m_server.reset(new HostProcess(QStringLiteral("autotest-server")));
    QVERIFY2(m_server->Start({"--station-lease-s", "3"}), qPrintable(m_server->ErrorText()));
    m_emulator.reset(new HostProcess(QStringLiteral("controller-emulator")));
    QVERIFY2(m_emulator->Start({"--template", KIV_SOURCE_DIR "/examples/device-template.json"}), qPrintable(m_emulator->ErrorText()));

    const QJsonObject content{{"MODULE_NAME", "Power"}, {"GROUP_NAME", "Supply"},
                              {"DATA", QJsonArray{QJsonObject{{"INDEX", 0}, {"VALUE", 12}}}}};
    const int tc = Post({{"cmd", "add_tc"}, {"testcase", QJsonObject{{"title", "supply"}, {"content", compact(content)}}}})
                       .value("testcaseid").toInt();
    QVERIFY(tc > 0);
    for (int* plan : {&m_longPlan, &m_shortPlan}) {
        *plan = Post({{"cmd", "create_plan"}, {"projectid", 1}, {"name", "lab"},
                      {"content", planContent(plan == &m_longPlan ? 60000 : 0)}}).value("planid").toInt();
        QVERIFY(*plan > 0);
        QCOMPARE(Post({{"cmd", "sync_plan"}, {"planid", *plan}, {"tclist", QJsonArray{tc}}}).value("result").toString(),
                 QStringLiteral("ok"));
    }

    const QString base = m_server->Url().toString();
    const QStringList common = m_emulator->ControllerOption() + QStringList{"--remote-hosts", base + "," + base};
    m_benchA.reset(new HostProcess);
    QVERIFY2(m_benchA->Start(common + QStringList{"--station", "bench-a", "--device", "devices/a-1=radio",
                                                  "--device", "devices/a-2=radio,5g"}),
             qPrintable(m_benchA->ErrorText()));
    m_benchB.reset(new HostProcess);
    QVERIFY2(m_benchB->Start(common + QStringList{"--station", "bench-b", "--device", "devices/b-1=lab"}),
             qPrintable(m_benchB->ErrorText()));
    const auto online = [this] {
        int stations = 0;
        for (const QJsonValue& station : Post({{"cmd", "lab_state"}}).value("stations").toArray())
            stations += station.toObject().value("online").toBool() ? 1 : 0;
        return stations;
    };
    QTRY_COMPARE_WITH_TIMEOUT(online(), 2, 10000);
}

void TstLabE2e::cleanup()
{
    for (std::unique_ptr<HostProcess>* process : {&m_benchA, &m_benchB, &m_emulator, &m_server}) {
        if (*process && (*process)->Process().state() != QProcess::NotRunning)
            QVERIFY2((*process)->Stop(), qPrintable((*process)->Stderr()));
        process->reset();
    }
}

void TstLabE2e::tagsPickDevicesOneJobEach()
{
    const int fiveG = Queue(m_shortPlan, {"5g"});
    const int first = Queue(m_longPlan, {"lab"});
    const int second = Queue(m_longPlan, {"lab"});
    QVERIFY(fiveG > 0 && first > 0 && second > 0);
    QTRY_COMPARE_WITH_TIMEOUT(Placed(fiveG), QJsonObject({{"status", 3}, {"station", "bench-a"}, {"device", "devices/a-2"}}),
                              20000);
    QVERIFY2(m_benchA->Stderr().contains(QString("Job %1 starts on device a-2").arg(fiveG)), qPrintable(m_benchA->Stderr()));
    QTRY_COMPARE_WITH_TIMEOUT(Placed(first), QJsonObject({{"status", 2}, {"station", "bench-b"}, {"device", "devices/b-1"}}),
                              20000);
    // b-1 is the only device of tag "lab", and its job runs on: the other
    // waits in the queue, beat after beat.
    const int beats = m_benchB->Stderr().count("station_beat");
    QTRY_VERIFY_WITH_TIMEOUT(m_benchB->Stderr().count("station_beat") >= beats + 3, 20000);
    QCOMPARE(Info(second).value("status").toInt(), 1);
    QVERIFY(!m_benchB->Stderr().contains(QString("Job %1 starts").arg(second)));
}

void TstLabE2e::cancelQueuedAndRunning()
{
    const int running = Queue(m_longPlan, {"lab"});
    const int queued = Queue(m_longPlan, {"lab"});
    QTRY_COMPARE_WITH_TIMEOUT(Info(running).value("status").toInt(), 2, 10000);
    QCOMPARE(pick(Post({{"cmd", "cancel_job"}, {"jobid", queued}}), {"result", "state"}),
             QJsonObject({{"result", "ok"}, {"state", "cancelled"}}));
    QCOMPARE(Info(queued).value("status").toInt(), 3);
    QCOMPARE(Reason(queued), QStringLiteral("Cancelled"));
    // The station hears of it in a beat's answer and reports the job as cancelled.
    QCOMPARE(Post({{"cmd", "cancel_job"}, {"jobid", running}}).value("state").toString(), QStringLiteral("cancelling"));
    QTRY_COMPARE_WITH_TIMEOUT(Info(running).value("status").toInt(), 3, 10000);
    QCOMPARE(Info(running).value("verdict").toObject().value("remark").toString(), QStringLiteral("Cancelled"));
    // The device is free for the next job.
    const int next = Queue(m_shortPlan, {"lab"});
    QTRY_COMPARE_WITH_TIMEOUT(Placed(next), QJsonObject({{"status", 3}, {"station", "bench-b"}, {"device", "devices/b-1"}}),
                              20000);
}

void TstLabE2e::killedStationIsLost()
{
    const int job = Queue(m_longPlan, {"5g"});
    QTRY_COMPARE_WITH_TIMEOUT(Placed(job), QJsonObject({{"status", 2}, {"station", "bench-a"}, {"device", "devices/a-2"}}),
                              10000);
    m_benchA->Process().kill();
    QVERIFY(m_benchA->Process().waitForFinished(10000));
    // Within the station lease (3 s) and the server's look at it, long before the job lease (600 s).
    QTRY_COMPARE_WITH_TIMEOUT(Info(job).value("status").toInt(), 3, 15000);
    QCOMPARE(Reason(job), QStringLiteral("Station lost"));
}

QTEST_GUILESS_MAIN(TstLabE2e)
#include "tst_lab_e2e.moc"
