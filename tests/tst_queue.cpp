// The lab's queue on autotest-server: "queue_job", what station beats are
// handed (by priority, tags and device, one job per device), jobs whose
// answer was lost, cancels, lost stations, held beats, and two servers on
// one PostgreSQL database sharing the queue.

#include "tests/support/ApiPost.h"
#include "tests/support/HostProcess.h"
#include "tests/support/JsonTools.h"
#include "tests/support/PgTestDatabase.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSet>
#include <QtTest>

#include <map>
#include <memory>

namespace {

QJsonObject device(const QString& url, const QJsonArray& tags, int jobId = 0)
{
    QJsonObject entry{{"url", url}, {"tags", tags}, {"state", jobId > 0 ? "busy" : "free"}};
    if (jobId > 0)
        entry.insert("jobid", jobId);
    return entry;
}

// A beat of a station that takes jobs.
QJsonObject beat(const QString& station, const QString& boot, int seq, const QJsonArray& devices, const QList<int>& held = {},
                 int waitMs = 0)
{
    QJsonArray jobs;
    for (const int id : held)
        jobs.append(id);
    return {{"cmd", "station_beat"}, {"station", station}, {"devices", devices}, {"boot", boot},
            {"seq", seq},            {"jobs", jobs},       {"wait_ms", waitMs}};
}

// "jobid" -> device url of the jobs a beat's answer hands out.
std::map<int, QString> handed(const QJsonObject& answer)
{
    std::map<int, QString> jobs;
    for (const QJsonValue& entry : answer.value("jobs").toArray())
        jobs[entry.toObject().value("jobid").toInt()] = entry.toObject().value("job").toObject().value("url").toString();
    return jobs;
}

QString secretOf(const QJsonObject& answer, int jobId)
{
    for (const QJsonValue& entry : answer.value("jobs").toArray()) {
        if (entry.toObject().value("jobid").toInt() == jobId)
            return entry.toObject().value("job").toObject().value("secret").toString();
    }
    return QString();
}

QList<int> ids(const QJsonArray& list)
{
    QList<int> out;
    for (const QJsonValue& entry : list)
        out.append(entry.isObject() ? entry.toObject().value("jobid").toInt() : entry.toInt());
    return out;
}

} // namespace

class TstQueue : public QObject
{
    Q_OBJECT
    std::unique_ptr<PgTestDatabase> m_pg;
    std::unique_ptr<HostProcess> m_server;
    std::unique_ptr<HostProcess> m_second;
    QNetworkAccessManager m_network;
    int m_tc = 0;
    int m_plan = 0;

    bool Start(std::unique_ptr<HostProcess>& server, bool postgresql, const QStringList& arguments)
    {
        QStringList options;
        if (postgresql) {
            if (!m_pg) {
                m_pg.reset(new PgTestDatabase);
                if (!m_pg->Create()) {
                    qWarning() << m_pg->ErrorText();
                    return false;
                }
            }
            options << "--database" << m_pg->Url();
        }
        server.reset(new HostProcess(QStringLiteral("autotest-server")));
        if (!server->Start(options + arguments)) {
            qWarning() << server->ErrorText();
            return false;
        }
        if (m_plan > 0)
            return true;
        m_tc = Post({{"cmd", "add_tc"}, {"testcase", QJsonObject{{"title", "t"}, {"path", "p"}, {"content", "{}"}}}})
                   .value("testcaseid").toInt();
        m_plan = Post({{"cmd", "create_plan"}, {"name", "lab"}, {"content", "{}"}}).value("planid").toInt();
        return m_tc > 0 && m_plan > 0
            && Post({{"cmd", "sync_plan"}, {"planid", m_plan}, {"tclist", QJsonArray{m_tc}}}).value("result") == "ok";
    }

    QJsonObject Post(const QJsonObject& request, const HostProcess* server = nullptr)
    {
        return PostApi(m_network, (server ? server : m_server.get())->Url(), request, QByteArray());
    }

    QNetworkReply* PostLater(const QJsonObject& request, const HostProcess& server)
    {
        QNetworkRequest post(server.Url());
        post.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        post.setTransferTimeout(60000);
        return m_network.post(post, QJsonDocument(request).toJson(QJsonDocument::Compact));
    }

    int Queue(const QJsonObject& members)
    {
        QJsonObject request = members;
        request.insert("cmd", "queue_job");
        request.insert("planid", m_plan);
        const QJsonObject answer = Post(request);
        if (answer.value("result") != "ok")
            qWarning() << compact(answer);
        return answer.value("jobid").toInt();
    }

    QJsonObject Report(int jobId, const QString& secret)
    {
        const QJsonObject value{{"jobid", jobId}, {"planid", m_plan}, {"result", true}, {"remark", ""},
                                {"tcs", QJsonArray{QJsonObject{{"id", m_tc}, {"result", true}, {"remark", ""}}}}};
        return Post({{"cmd", "job_report"}, {"jobid", jobId}, {"secret", secret}, {"report", QJsonObject{{"VALUE", value}}}});
    }

    QJsonObject Info(int jobId) { return Post({{"cmd", "job_info"}, {"jobid", jobId}, {"verdicts", true}}); }

    // The lines of the server's /metrics page.
    QStringList Metrics()
    {
        QUrl url = m_server->Url();
        url.setPath("/metrics");
        std::unique_ptr<QNetworkReply> reply(m_network.get(QNetworkRequest(url)));
        QSignalSpy finished(reply.get(), &QNetworkReply::finished);
        if (!reply->isFinished())
            finished.wait(10000);
        return QString::fromUtf8(reply->readAll()).split('\n');
    }

    static void addBackends()
    {
        QTest::addColumn<bool>("postgresql");
        QTest::newRow("sqlite") << false;
        QTest::newRow("postgresql") << true;
    }

    static bool skipped(bool postgresql) { return postgresql && !PgTestDatabase::Available(); }

private Q_SLOTS:
    void cleanup()
    {
        std::unique_ptr<HostProcess> servers[] = {std::move(m_server), std::move(m_second)};
        m_plan = 0;
        for (auto& server : servers) {
            if (server)
                QVERIFY2(server->Stop(), qPrintable(server->Stderr()));
        }
        for (auto& server : servers)
            server.reset();
        m_pg.reset();
    }

    void order_data() { addBackends(); }

    // Priority, then arrival; tags a device must all have, or one device;
    // one job per device; a device whose job was reported is free again
    // even while its station's beat still names that job; a job past the
    // first ones that fit no device is still found.
    void order()
    {
        QFETCH(bool, postgresql);
        if (skipped(postgresql))
            QSKIP("KIV_TEST_PGURL is not set (tools/pgtest.sh start)");
        QVERIFY(Start(m_server, postgresql, {"--station-lease-s", "3600"}));
        const int low = Queue({{"tags", QJsonArray{"radio"}}});
        const int high = Queue({{"tags", QJsonArray{"radio"}}, {"priority", 5}});
        const int pinned = Queue({{"device", "d/2"}, {"station", "s1"}});
        const int other = Queue({{"device", "d/2"}, {"station", "s2"}});
        const int fiveG = Queue({{"tags", QJsonArray{"radio", "5g"}}});
        QVERIFY(low > 0 && high > 0 && pinned > 0 && other > 0 && fiveG > 0);

        QJsonObject lab = Post({{"cmd", "lab_state"}});
        QCOMPARE(ids(lab.value("queue").toArray()), (QList<int>{high, low, pinned, other, fiveG}));
        QCOMPARE(lab.value("queue_total").toInt(), 5);
        QCOMPARE(compact(lab.value("queue").toArray().at(0).toObject()).contains("\"tags\":[\"radio\"]"), true);

        const QJsonArray free{device("d/1", {"radio"}), device("d/2", {"lab"})};
        QJsonObject first = Post(beat("s1", "b1", 1, free));
        QCOMPARE(first.value("result").toString(), QString("ok"));
        QCOMPARE(handed(first), (std::map<int, QString>{{high, "d/1"}, {pinned, "d/2"}}));
        // Busy devices take nothing more.
        QJsonObject second = Post(beat("s1", "b1", 2, {device("d/1", {"radio"}, high), device("d/2", {"lab"}, pinned)}, {high, pinned}));
        QCOMPARE(handed(second).size(), size_t(0));
        QCOMPARE(ids(Post({{"cmd", "my_jobs"}}).value("data").toArray()), (QList<int>{high, pinned, low, other, fiveG}));
        QCOMPARE(Info(high).value("station").toString(), QString("s1"));
        QCOMPARE(Info(high).value("device").toString(), QString("d/1"));

        QCOMPARE(Report(high, secretOf(first, high)).value("result").toString(), QString("ok"));
        // Written before the report was answered, the beat still holds the job.
        QJsonObject third = Post(beat("s1", "b1", 3, {device("d/1", {"radio"}, high), device("d/2", {"lab"}, pinned)}, {high, pinned}));
        QCOMPARE(handed(third), (std::map<int, QString>{{low, "d/1"}}));
        lab = Post({{"cmd", "lab_state"}});
        QCOMPARE(ids(lab.value("queue").toArray()), (QList<int>{other, fiveG}));
        QCOMPARE(ids(lab.value("running").toArray()), (QList<int>{low, pinned}));
        QCOMPARE(lab.value("devices").toArray().at(0).toObject().value("jobid").toInt(), low);
        QCOMPARE(Info(high).value("verdict").toObject().value("result").toBool(), true);

        // The gauges are counted apart from the requests, so they come in time.
        const QStringList expected{"autotest_jobs_queued 2", "autotest_stations_online 1"};
        QStringList lines;
        for (QDeadlineTimer deadline(20000); !deadline.hasExpired(); QTest::qWait(50)) {
            lines = Metrics();
            if (lines.contains(expected.at(0)) && lines.contains(expected.at(1)))
                break;
        }
        QVERIFY2(lines.contains(expected.at(0)) && lines.contains(expected.at(1)), qPrintable(lines.join('\n')));
    }

    void lostAnswers_data() { addBackends(); }

    // A job the station's next beat does not hold never reached it and is
    // queued again; one handed to an earlier run of the station is lost.
    void lostAnswers()
    {
        QFETCH(bool, postgresql);
        if (skipped(postgresql))
            QSKIP("KIV_TEST_PGURL is not set (tools/pgtest.sh start)");
        QVERIFY(Start(m_server, postgresql, {"--station-lease-s", "3600"}));
        const int job = Queue({{"tags", QJsonArray{"radio"}}});
        const QJsonArray free{device("d/1", {"radio"})};
        QCOMPARE(handed(Post(beat("s1", "b1", 1, free))).count(job), size_t(1));
        // The same beat again (a retry of the one whose answer was lost) is not later than it.
        QCOMPARE(handed(Post(beat("s1", "b1", 1, free))).size(), size_t(0));
        QJsonObject again = Post(beat("s1", "b1", 2, free));
        QCOMPARE(handed(again).count(job), size_t(1));
        QCOMPARE(Info(job).value("status").toInt(), 2);

        // The station started again: the job it held is lost, not run twice.
        QJsonObject restarted = Post(beat("s1", "b2", 1, free));
        QCOMPARE(handed(restarted).size(), size_t(0));
        const QJsonObject info = Info(job);
        QCOMPARE(info.value("status").toInt(), 3);
        QCOMPARE(info.value("verdict").toObject().value("reason").toString(), QString("Station lost"));
        QCOMPARE(Report(job, secretOf(again, job)).value("result").toString(), QString("ok"));
    }

    void deepAndHeard_data() { addBackends(); }

    // A fitting job behind many that fit nothing is found; a job the station
    // posted news of and then stopped holding (its report given up) is not
    // run again but lost; a beat of the station's earlier process is refused,
    // an overtaken one changes nothing.
    void deepAndHeard()
    {
        QFETCH(bool, postgresql);
        if (skipped(postgresql))
            QSKIP("KIV_TEST_PGURL is not set (tools/pgtest.sh start)");
        QVERIFY(Start(m_server, postgresql, {"--station-lease-s", "3600"}));
        for (int i = 0; i < 12; ++i)
            QVERIFY(Queue({{"tags", QJsonArray{"nowhere"}}, {"priority", 9}}) > 0);
        const int radio = Queue({{"tags", QJsonArray{"radio"}}});
        const QJsonArray free{device("d/1", {"radio"})};
        const QJsonObject taken = Post(beat("s1", "b1", 1, free));
        QCOMPARE(handed(taken), (std::map<int, QString>{{radio, "d/1"}}));
        QCOMPARE(Post({{"cmd", "job_progress"}, {"jobid", radio}, {"secret", secretOf(taken, radio)}, {"from", 0}, {"tcs", QJsonArray()}})
                     .value("result").toString(),
                 QString("ok"));
        QCOMPARE(handed(Post(beat("s1", "b1", 2, free))).size(), size_t(0));
        QCOMPARE(Info(radio).value("verdict").toObject().value("reason").toString(), QString("Station lost"));
        QCOMPARE(Post({{"cmd", "lab_state"}}).value("queue_total").toInt(), 12);

        QCOMPARE(Post(beat("s1", "b2", 1, free)).value("result").toString(), QString("ok"));
        QCOMPARE(Post(beat("s1", "b1", 3, free)).value("result").toString(),
                 QString("station s1 is checked in by another process of that name: two hosts with one --station, or this one "
                         "was replaced; restart it, or give it a name of its own"));
        QCOMPARE(Post(beat("s1", "b2", 5, free)).value("result").toString(), QString("ok"));
        const QJsonObject stale = Post(beat("s1", "b2", 4, {}));
        QCOMPARE(stale.value("result").toString(), QString("ok"));
        QCOMPARE(Post({{"cmd", "lab_state"}}).value("devices").toArray().size(), 1);
    }

    void cancel_data() { addBackends(); }

    void cancel()
    {
        QFETCH(bool, postgresql);
        if (skipped(postgresql))
            QSKIP("KIV_TEST_PGURL is not set (tools/pgtest.sh start)");
        QVERIFY(Start(m_server, postgresql, {"--station-lease-s", "3600"}));
        const int queued = Queue({{"tags", QJsonArray{"nowhere"}}});
        const int running = Queue({{"device", "d/1"}});
        QCOMPARE(compact(Post({{"cmd", "cancel_job"}, {"jobid", queued}})),
                 compact({{"cmd", "cancel_job"}, {"jobid", queued}, {"result", "ok"}, {"state", "cancelled"}}));
        QCOMPARE(Info(queued).value("verdict").toObject().value("reason").toString(), QString("Cancelled"));
        QCOMPARE(Info(queued).value("status").toInt(), 3);

        const QJsonObject taken = Post(beat("s1", "b1", 1, {device("d/1", {})}));
        QCOMPARE(handed(taken).count(running), size_t(1));
        QCOMPARE(Post({{"cmd", "cancel_job"}, {"jobid", running}}).value("state").toString(), QString("cancelling"));
        // Told at every beat until its report comes.
        for (int seq = 2; seq <= 3; ++seq) {
            const QJsonObject told = Post(beat("s1", "b1", seq, {device("d/1", {}, running)}, {running}));
            QCOMPARE(ids(told.value("cancel").toArray()), QList<int>{running});
        }
        QCOMPARE(Report(running, secretOf(taken, running)).value("result").toString(), QString("ok"));
        QCOMPARE(Post({{"cmd", "cancel_job"}, {"jobid", running}}).value("result").toString(),
                 QString("job %1 is not queued or running").arg(running));
        QCOMPARE(Post({{"cmd", "cancel_job"}, {"jobid", 999999}}).value("result").toString(),
                 QString("cancel_job: there is no job 999999"));
    }

    // A silent station loses its running job within its lease; jobs still
    // queued stay queued. Cancelled before it was taken, a job is not run.
    void stationLost()
    {
        QVERIFY(Start(m_server, false, {"--station-lease-s", "1"}));
        const int running = Queue({{"device", "d/1"}});
        const int queued = Queue({{"device", "d/9"}});
        QCOMPARE(handed(Post(beat("s1", "b1", 1, {device("d/1", {})}))).count(running), size_t(1));
        QTRY_COMPARE_WITH_TIMEOUT(Info(running).value("verdict").toObject().value("reason").toString(), QString("Station lost"), 20000);
        QCOMPARE(Info(queued).value("status").toInt(), 1);
        QCOMPARE(Post({{"cmd", "lab_state"}}).value("stations").toArray().at(0).toObject().value("online").toBool(), false);
    }

    void held_data() { addBackends(); }

    // A beat with nothing to take waits, and is answered as soon as a job
    // for one of its devices is queued, or one of its jobs is cancelled.
    void held()
    {
        QFETCH(bool, postgresql);
        if (skipped(postgresql))
            QSKIP("KIV_TEST_PGURL is not set (tools/pgtest.sh start)");
        QVERIFY(Start(m_server, postgresql, {"--station-lease-s", "3600"}));
        // Far longer than the test's patience: only a wake answers it in time.
        const int wait = 30000;
        std::unique_ptr<QNetworkReply> waiting(PostLater(beat("s1", "b1", 1, {device("d/1", {"radio"})}, {}, wait), *m_server));
        QSignalSpy answered(waiting.get(), &QNetworkReply::finished);
        // Another station's job does not wake it.
        QTRY_COMPARE(Post({{"cmd", "lab_state"}}).value("stations").toArray().size(), 1);
        const int job = Queue({{"tags", QJsonArray{"radio"}}});
        QTRY_COMPARE_WITH_TIMEOUT(answered.count(), 1, 10000);
        const QJsonObject answer = QJsonDocument::fromJson(waiting->readAll()).object();
        QCOMPARE(handed(answer).count(job), size_t(1));

        waiting.reset(PostLater(beat("s1", "b1", 2, {device("d/1", {"radio"}, job)}, {job}, wait), *m_server));
        QSignalSpy cancelled(waiting.get(), &QNetworkReply::finished);
        QCOMPARE(Post({{"cmd", "cancel_job"}, {"jobid", job}}).value("state").toString(), QString("cancelling"));
        QTRY_COMPARE_WITH_TIMEOUT(cancelled.count(), 1, 10000);
        QCOMPARE(ids(QJsonDocument::fromJson(waiting->readAll()).object().value("cancel").toArray()), QList<int>{job});

        // With nothing to wake it, a short wait ends with an empty answer.
        waiting.reset(PostLater(beat("s1", "b1", 3, {device("d/1", {"radio"}, job)}, {job}, 200), *m_server));
        QSignalSpy ended(waiting.get(), &QNetworkReply::finished);
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 10000);
        const QJsonObject empty = QJsonDocument::fromJson(waiting->readAll()).object();
        QCOMPARE(empty.value("result").toString(), QString("ok"));
        QCOMPARE(empty.value("jobs").toArray().size(), 0);
    }

    void refused_data()
    {
        QTest::addColumn<QJsonObject>("request");
        QTest::addColumn<QString>("result");
        QJsonArray many;
        for (int i = 0; i < 51; ++i)
            many.append(QString("t%1").arg(i));
        const QJsonObject free{{"url", "d/1"}, {"tags", QJsonArray()}, {"state", "free"}};
        QTest::newRow("no device nor tags") << QJsonObject{{"cmd", "queue_job"}, {"planid", 1}}
                                            << "queue_job needs either \"device\" (a device url) or \"tags\" (the tags a device must have)";
        QTest::newRow("both") << QJsonObject{{"cmd", "queue_job"}, {"planid", 1}, {"device", "d"}, {"tags", QJsonArray{"x"}}}
                              << "queue_job needs either \"device\" (a device url) or \"tags\" (the tags a device must have)";
        QTest::newRow("no plan") << QJsonObject{{"cmd", "queue_job"}, {"device", "d"}} << "queue_job: planid must be an integer from 1 to 2147483647";
        QTest::newRow("unknown plan") << QJsonObject{{"cmd", "queue_job"}, {"planid", 777}, {"device", "d"}} << "queue_job: there is no plan 777";
        QTest::newRow("priority") << QJsonObject{{"cmd", "queue_job"}, {"planid", 1}, {"device", "d"}, {"priority", 1001}}
                                  << "queue_job: priority must be an integer from -1000 to 1000";
        QTest::newRow("empty tags") << QJsonObject{{"cmd", "queue_job"}, {"planid", 1}, {"tags", QJsonArray()}}
                                    << "queue_job: tags must be an array of 1 to 50 tags";
        QTest::newRow("many tags") << QJsonObject{{"cmd", "queue_job"}, {"planid", 1}, {"tags", many}}
                                   << "queue_job: tags must be an array of 1 to 50 tags";
        QTest::newRow("station with tags") << QJsonObject{{"cmd", "queue_job"}, {"planid", 1}, {"tags", QJsonArray{"x"}}, {"station", "s"}}
                                           << "queue_job: station goes with device, not with tags";
        QTest::newRow("cancel text id") << QJsonObject{{"cmd", "cancel_job"}, {"jobid", "1"}}
                                        << "cancel_job: jobid must be an integer from 1 to 2147483647";
        QJsonObject noSeq = beat("s", "b", 1, {free});
        noSeq.remove("seq");
        QTest::newRow("beat without seq") << noSeq << "seq must be an integer from 1 (one more with every beat)";
        QJsonObject heldText = beat("s", "b", 1, {free});
        heldText.insert("jobs", QJsonArray{"7"});
        QTest::newRow("beat held text") << heldText << "jobs must be an array of job ids (integers from 1)";
        QTest::newRow("beat long wait") << beat("s", "b", 1, {free}, {}, 30001) << "wait_ms must be an integer from 0 to 30000";
        QTest::newRow("beat empty boot") << beat("s", "", 1, {free}) << "boot must be a non-empty string";
    }

    // Refused requests queue nothing and hand nothing out.
    void refused()
    {
        QFETCH(QJsonObject, request);
        QFETCH(QString, result);
        if (!m_server)
            QVERIFY(Start(m_server, false, {"--station-lease-s", "3600"}));
        QCOMPARE(Post(request).value("result").toString(), result);
        QCOMPARE(Post({{"cmd", "lab_state"}}).value("queue_total").toInt(), 0);
    }

    // Two servers on one database, stations beating at them at once (each
    // station one beat at a time, as stations do, alternating servers):
    // every job is handed out once, and all of them finish.
    void twoServers()
    {
        if (!PgTestDatabase::Available())
            QSKIP("KIV_TEST_PGURL is not set (tools/pgtest.sh start)");
        QVERIFY(Start(m_server, true, {"--station-lease-s", "3600"}));
        QVERIFY(Start(m_second, true, {"--station-lease-s", "3600"}));
        const int jobs = 60;
        for (int i = 0; i < jobs; ++i)
            QVERIFY(Queue({{"tags", QJsonArray{"lab"}}}) > 0);
        const int stations = 6;
        std::map<int, int> times;
        int finished = 0;
        for (int round = 1; round <= 100 && finished < jobs; ++round) {
            std::vector<std::unique_ptr<QNetworkReply>> replies;
            for (int s = 0; s < stations; ++s) {
                const QString name = QString("st%1").arg(s);
                const QJsonArray devices{device(name + "/a", {"lab"}), device(name + "/b", {"lab"})};
                replies.emplace_back(PostLater(beat(name, "boot", round, devices), (s + round) % 2 ? *m_second : *m_server));
            }
            for (auto& reply : replies) {
                if (!reply->isFinished())
                    QVERIFY(QSignalSpy(reply.get(), &QNetworkReply::finished).wait(20000));
                const QJsonObject answer = QJsonDocument::fromJson(reply->readAll()).object();
                QCOMPARE(answer.value("result").toString(), QString("ok"));
                for (const auto& entry : handed(answer)) {
                    ++times[entry.first];
                    QCOMPARE(Report(entry.first, secretOf(answer, entry.first)).value("result").toString(), QString("ok"));
                    ++finished;
                }
            }
        }
        QCOMPARE(finished, jobs);
        for (int id = 1; id <= jobs; ++id) {
            QCOMPARE(times[id], 1);
            QCOMPARE(Info(id).value("status").toInt(), 3);
        }
    }
};

QTEST_GUILESS_MAIN(TstQueue)
#include "tst_queue.moc"
