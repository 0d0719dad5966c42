// A host started as a station checks in with a scripted remote server on a
// free port: what a beat lists, its period from the server's lease, a device
// busy while a job runs on it, failures logged once, the options refused, and
// the jobs a server hands out in its answers (long-poll).

#include "tests/support/FakeRemoteServer.h"
#include "tests/support/HostProcess.h"
#include "tests/support/JsonTools.h"
#include "tests/support/TestClient.h"

#include <QtTest>

namespace {

QJsonObject device(const QString& url, const QStringList& tags, const QString& state)
{
    return {{"url", url}, {"tags", QJsonArray::fromStringList(tags)}, {"state", state}};
}

// A job on `url` whose first case then waits `waitMs`: a minute runs until cancelled.
QJsonObject jobRequest(const QString& url, int jobId, int waitMs = 60000)
{
    const QJsonObject content{{"MODULE_NAME", "Power"}, {"GROUP_NAME", "Supply"},
                              {"DATA", QJsonArray{QJsonObject{{"INDEX", 0}, {"VALUE", 12}}}}};
    const QJsonArray wait{QJsonObject{{"type", "s_deplay"}, {"time", waitMs}}};
    return {{"url", url},
            {"jobid", jobId},
            {"planid", 1},
            {"case_list", QJsonArray{QJsonObject{{"testcaseid", 1}, {"content", compact(content)}}}},
            {"content", compact({{"case_stratepy", QJsonArray{wait}}})}};
}

QJsonObject longJob(const QString& url, int jobId)
{
    return {{"CMD", "ExecuteJob"}, {"SEQ", "job"}, {"VALUE", jobRequest(url, jobId)}};
}

// A test-management server that hands out jobs. A beat is held for its
// "wait_ms" (at most `holdCapMs`) unless something is handed meanwhile, then
// answered with `leaseMs`, the jobs and the cancels handed. Reports are held
// while asked; every other request is answered "ok".
class LabDouble
{
public:
    LabDouble(int leaseMs, int holdCapMs)
        : m_leaseMs(leaseMs)
        , m_holdCapMs(holdCapMs)
    {
        m_release.setSingleShot(true);
        QObject::connect(&m_release, &QTimer::timeout, [this] { AnswerBeat(); });
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                socket->setParent(&m_server);
                QObject::connect(socket, &QTcpSocket::readyRead, &m_server, [this, socket] { OnData(socket); });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }

    bool Listen() { return m_server.listen(QHostAddress::LocalHost, 0); }
    QString Base() const { return "http://127.0.0.1:" + QString::number(m_server.serverPort()) + "/api"; }
    // The requests of `cmd` received, in order.
    QList<QJsonObject> Received(const QString& cmd) const
    {
        QList<QJsonObject> found;
        for (const QJsonObject& body : m_received) {
            if (body.value("cmd") == cmd)
                found.append(body);
        }
        return found;
    }
    // Goes with the answer to the beat held now, or else the next one.
    void Hand(const QJsonArray& jobs, const QJsonArray& cancel)
    {
        for (const QJsonValue& job : jobs)
            m_jobs.append(job);
        for (const QJsonValue& id : cancel)
            m_cancel.append(id);
        if (m_beat)
            AnswerBeat();
    }
    // The "seq" of the beat whose answer carried the last hand-out; 0 before.
    int HandedSeq() const { return m_handedSeq; }
    // Held reports are answered "ok" when the hold ends.
    void HoldReports(bool hold)
    {
        m_holdReports = hold;
        if (!hold) {
            for (const QPointer<QTcpSocket>& socket : qAsConst(m_heldReports))
                Write(socket, "{\"result\":\"ok\"}");
            m_heldReports.clear();
        }
    }
    int HeldReports() const { return m_heldReports.size(); }

private:
    void OnData(QTcpSocket* socket)
    {
        QByteArray& buffer = m_buffers[socket];
        buffer += socket->readAll();
        for (;;) {
            const int headerEnd = buffer.indexOf("\r\n\r\n");
            if (headerEnd < 0)
                return;
            const QRegularExpressionMatch length =
                QRegularExpression("(?i)content-length:\\s*(\\d+)").match(QString::fromLatin1(buffer.left(headerEnd)));
            const int size = length.hasMatch() ? length.captured(1).toInt() : 0;
            if (buffer.size() < headerEnd + 4 + size)
                return;
            const QJsonObject body = QJsonDocument::fromJson(buffer.mid(headerEnd + 4, size)).object();
            buffer.remove(0, headerEnd + 4 + size);
            m_received.append(body);
            Answer(socket, body);
        }
    }
    void Answer(QTcpSocket* socket, const QJsonObject& body)
    {
        const QString cmd = body.value("cmd").toString();
        if (cmd == QLatin1String("station_beat")) {
            m_beat = socket;
            m_beatSeq = body.value("seq").toInt();
            if (!m_jobs.isEmpty() || !m_cancel.isEmpty())
                return AnswerBeat();
            m_release.start(qMin(body.value("wait_ms").toInt(), m_holdCapMs));
        } else if (cmd == QLatin1String("job_report") && m_holdReports) {
            m_heldReports.append(socket);
        } else {
            Write(socket, "{\"result\":\"ok\"}");
        }
    }
    void AnswerBeat()
    {
        m_release.stop();
        if (!m_jobs.isEmpty() || !m_cancel.isEmpty())
            m_handedSeq = m_beatSeq;
        const QJsonObject answer{{"cmd", "station_beat"}, {"result", "ok"}, {"lease_ms", m_leaseMs},
                                 {"jobs", m_jobs}, {"cancel", m_cancel}};
        m_jobs = QJsonArray();
        m_cancel = QJsonArray();
        Write(m_beat, QJsonDocument(answer).toJson(QJsonDocument::Compact));
        m_beat = nullptr;
    }
    static void Write(QTcpSocket* socket, const QByteArray& body)
    {
        if (socket)
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
                          + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    }

    const int m_leaseMs;
    const int m_holdCapMs;
    QTcpServer m_server;
    QHash<QTcpSocket*, QByteArray> m_buffers;
    QList<QJsonObject> m_received;
    QPointer<QTcpSocket> m_beat;
    int m_beatSeq = 0;
    int m_handedSeq = 0;
    QTimer m_release;
    QJsonArray m_jobs;
    QJsonArray m_cancel;
    bool m_holdReports = false;
    QList<QPointer<QTcpSocket>> m_heldReports;
};

} // namespace

class TstStation : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void beatListsDevices();
    void periodFollowsLease();
    void busyWhileJobRuns();
    void failuresLoggedOnce();
    void refusedOptions_data();
    void refusedOptions();
    void handedJobsRunAndReport_data();
    void handedJobsRunAndReport();
    void longPoll_data();
    void longPoll();

private:
    // Starts the host as station "bench-a" with `more` arguments, beating to the fake server at `path`.
    bool StartHost(const QStringList& more, const QString& path = "/api")
    {
        const QString base = ":" + QString::number(m_server->Port()) + path;
        return StartStation("http://127.0.0.1" + base + ",http://localhost" + base, more);
    }
    bool StartStation(const QString& remoteHosts, const QStringList& more)
    {
        m_host = new HostProcess;
        return m_host->Start(QStringList{"--remote-hosts", remoteHosts, "--station", "bench-a", "--device",
                                         "devices/bench-01=radio,5g", "--device", "devices/bench-02"}
                             + more);
    }
    // Every beat the server received, parsed.
    QList<QJsonObject> Beats() const
    {
        QList<QJsonObject> beats;
        for (const FakeRemoteServer::Request& request : m_server->Received()) {
            const QJsonObject body = QJsonDocument::fromJson(request.body).object();
            if (body.value("cmd") == QLatin1String("station_beat"))
                beats.append(body);
        }
        return beats;
    }
    // Whether a beat from the `from`th on lists `devices`.
    bool Listed(int from, const QJsonArray& devices) const
    {
        const QList<QJsonObject> beats = Beats();
        for (int i = from; i < beats.size(); ++i) {
            if (beats.at(i).value("devices") == devices)
                return true;
        }
        return false;
    }

    FakeRemoteServer* m_server = nullptr;
    HostProcess* m_host = nullptr;
};

void TstStation::init()
{
    m_server = new FakeRemoteServer;
    QVERIFY(m_server->Listen());
}

void TstStation::cleanup()
{
    if (m_host)
        QVERIFY2(m_host->Stop(), qPrintable(m_host->Stderr()));
    delete m_host;
    m_host = nullptr;
    delete m_server;
}

void TstStation::beatListsDevices()
{
    QVERIFY2(StartHost({}), qPrintable(m_host->ErrorText()));
    // The first beat goes as the host starts, in mode "remote" or not.
    QTRY_VERIFY(!Beats().isEmpty());
    const QRegularExpressionMatch version = QRegularExpression("Service library (\\S+)").match(m_host->Stderr());
    QVERIFY(version.hasMatch());
    const QJsonObject expected{{"cmd", "station_beat"},
                               {"station", "bench-a"},
                               {"version", version.captured(1)},
                               {"devices", QJsonArray{device("devices/bench-01", {"radio", "5g"}, "free"),
                                                      device("devices/bench-02", {}, "free")}},
                               {"seq", 1},
                               {"jobs", QJsonArray()},
                               {"wait_ms", 5000}};
    QJsonObject first = Beats().first();
    QVERIFY2(QRegularExpression("^[0-9a-f]{32}$").match(first.take("boot").toString()).hasMatch(), qPrintable(compact(first)));
    QCOMPARE(first, expected);
    // To the host that requests use: a fresh service's second one.
    const FakeRemoteServer::Request& sent = m_server->Received().first();
    QCOMPARE(sent.headers.value("host"), "localhost:" + QByteArray::number(m_server->Port()));
    QCOMPARE(sent.path, QByteArray("/api"));
}

void TstStation::periodFollowsLease()
{
    // A lease of 3 s makes a beat every second; at the default period (5 s)
    // these five would take 20 s.
    for (int i = 0; i < 8; ++i)
        m_server->Queue({200, "{\"cmd\":\"station_beat\",\"result\":\"ok\",\"lease_ms\":3000}", {}});
    QVERIFY2(StartHost({}), qPrintable(m_host->ErrorText()));
    QTRY_VERIFY_WITH_TIMEOUT(Beats().size() >= 5, 15000);
    // One boot for the process; each beat one more "seq"; the server may
    // hold a beat for the period.
    const QList<QJsonObject> beats = Beats();
    for (int i = 0; i < beats.size(); ++i) {
        QCOMPARE(beats.at(i).value("boot"), beats.first().value("boot"));
        QCOMPARE(beats.at(i).value("seq").toInt(), i + 1);
        QCOMPARE(beats.at(i).value("wait_ms").toInt(), i == 0 ? 5000 : 1000);
    }
}

void TstStation::busyWhileJobRuns()
{
    HostProcess emulator("controller-emulator");
    QVERIFY2(emulator.Start({"--template", KIV_SOURCE_DIR "/examples/device-template.json"}), qPrintable(emulator.ErrorText()));
    // The longest period (10 s): the beats below come from the job's start and end.
    for (int i = 0; i < 8; ++i)
        m_server->Queue({200, "{\"result\":\"ok\",\"lease_ms\":60000}", {}});
    QVERIFY2(StartHost(emulator.ControllerOption()), qPrintable(m_host->ErrorText()));
    QTRY_VERIFY(!Beats().isEmpty());
    TestClient client;
    QVERIFY(client.Connect(m_host->Url()));
    // Local mode: the beat goes on whatever the clients switch to.
    QCOMPARE(client.Request({{"CMD", "switch_state"}, {"state", "local"}}).value("state").toString(), QStringLiteral("local"));

    const int before = Beats().size();
    client.Send(longJob("ws://elsewhere/devices/bench-01", 12));
    QJsonObject busy = device("devices/bench-01", {"radio", "5g"}, "busy");
    busy.insert("jobid", 12);
    const QJsonArray whileRunning{busy, device("devices/bench-02", {}, "free")};
    // A job's start beats at once.
    QTRY_VERIFY_WITH_TIMEOUT(Listed(before, whileRunning), 4000);

    // Its end beats at once too. The job's report comes before the answer to "CancelJob".
    const int running = Beats().size();
    client.Send(QJsonObject{{"CMD", "CancelJob"}, {"SEQ", "cancel"}, {"jobid", 12}});
    QVERIFY(client.WaitReplies(3));
    QCOMPARE(client.Reply(1).value("SEQ").toString(), QStringLiteral("job"));
    QCOMPARE(client.Reply(2).value("cancelled").toInt(), 1);
    const QJsonArray free{device("devices/bench-01", {"radio", "5g"}, "free"), device("devices/bench-02", {}, "free")};
    QTRY_VERIFY_WITH_TIMEOUT(Listed(running, free), 4000);
    QVERIFY2(emulator.Stop(), qPrintable(emulator.Stderr()));
}

void TstStation::failuresLoggedOnce()
{
    // Taken with a short lease, then refused three times, then taken again.
    const QByteArray ok = "{\"result\":\"ok\",\"lease_ms\":3000}";
    m_server->Queue({200, ok, {}});
    for (int i = 0; i < 3; ++i)
        m_server->Queue({200, "{\"result\":\"database down\"}", {}});
    for (int i = 0; i < 4; ++i)
        m_server->Queue({200, ok, {}});
    // The base URL carries a token, which no log line may show.
    QVERIFY2(StartHost({}, "/api?token=s3cret"), qPrintable(m_host->ErrorText()));
    QTRY_VERIFY_WITH_TIMEOUT(Beats().size() >= 6, 20000);
    const QString log = m_host->Stderr();
    QCOMPARE(log.count("StationBeat::OnAnswer: Station bench-a can't check in with http://localhost:"
                       + QString::number(m_server->Port()) + "/api: database down"),
             1);
    QCOMPARE(log.count("Station bench-a checks in with http://localhost:" + QString::number(m_server->Port()) + "/api again"), 1);
    QVERIFY2(!log.contains("s3cret"), qPrintable(log));
}

void TstStation::refusedOptions_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("refusal");
    QStringList many;
    for (int i = 0; i <= 64; ++i)
        many << "--device" << "d/" + QString::number(i);
    QStringList tags;
    for (int i = 0; i <= 50; ++i)
        tags << "t" + QString::number(i);
    QTest::newRow("device without station") << QStringList{"--device", "d/a"} << "--device needs --station";
    QTest::newRow("empty name") << QStringList{"--station", " "} << "--station takes a name of 1 to 100 characters";
    QTest::newRow("long name") << QStringList{"--station", QString(101, 'n')} << "--station takes a name of 1 to 100 characters";
    QTest::newRow("65 devices") << QStringList{"--station", "s"} + many << "--device: a station offers at most 64 devices";
    QTest::newRow("51 tags") << QStringList{"--station", "s", "--device", "d/a=" + tags.join(',')} << "--device d/a: at most 50 tags";
    QTest::newRow("empty tag") << QStringList{"--station", "s", "--device", "d/a=radio,,5g"}
                               << "--device d/a: a tag takes 1 to 100 characters";
    QTest::newRow("long tag") << QStringList{"--station", "s", "--device", "d/a=" + QString(101, 't')}
                              << "--device d/a: a tag takes 1 to 100 characters";
    QTest::newRow("long url") << QStringList{"--station", "s", "--device", "d/" + QString(499, 'u')}
                              << "--device d/" + QString(499, 'u') + ": the URL is longer than 500 characters";
    QTest::newRow("no device") << QStringList{"--station", "s", "--device", "=radio"} << "--device : the URL names no device";
    // Jobs name a device by the end of their url.
    QTest::newRow("given twice") << QStringList{"--station", "s", "--device", "d/a", "--device", "other/a"}
                                 << "--device other/a: device a is given twice";
}

void TstStation::refusedOptions()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, refusal);
    HostProcess refused;
    refused.Launch(QStringList{"--port", "0"} + arguments);
    QVERIFY(refused.Process().waitForFinished(30000));
    QCOMPARE(refused.Process().exitCode(), 2);
    const QString log = refused.Stderr();
    QVERIFY2(log.contains("autotest-host: " + refusal), qPrintable(log));
}

void TstStation::handedJobsRunAndReport_data()
{
    QTest::addColumn<QString>("url");    // the handed job's device
    QTest::addColumn<int>("waitMs");     // how long its case waits
    QTest::addColumn<bool>("cancel");    // whether the server cancels it once it runs
    QTest::addColumn<QString>("remark"); // its report's
    QTest::newRow("ends") << "ws://elsewhere/devices/bench-02" << 0 << false << "No Script to Exec";
    QTest::newRow("cancelled") << "devices/bench-01" << 60000 << true << "Cancelled";
}

void TstStation::handedJobsRunAndReport()
{
    QFETCH(QString, url);
    QFETCH(int, waitMs);
    QFETCH(bool, cancel);
    QFETCH(QString, remark);
    HostProcess emulator("controller-emulator");
    QVERIFY2(emulator.Start({"--template", KIV_SOURCE_DIR "/examples/device-template.json"}), qPrintable(emulator.ErrorText()));
    // A beat a second at most: the server holds each one for a second.
    LabDouble lab(3000, 1000);
    QVERIFY(lab.Listen());
    QVERIFY2(StartStation(lab.Base() + "," + lab.Base(), emulator.ControllerOption()), qPrintable(m_host->ErrorText()));
    QTRY_VERIFY(!lab.Received("station_beat").isEmpty());

    lab.HoldReports(true);
    QJsonObject job = jobRequest(url, 12, waitMs);
    job.insert("secret", "s3cret-12");
    job.insert("lease_ms", 60000);
    lab.Hand({QJsonObject{{"result", "ok"}, {"planid", 1}, {"jobid", 12}, {"job", job}}}, {});
    QTRY_VERIFY(lab.HandedSeq() > 0);
    // The beat that follows goes at once, before the job starts, and holds it already.
    const auto beat = [&lab](int seq) {
        for (const QJsonObject& beat : lab.Received("station_beat")) {
            if (beat.value("seq").toInt() == seq)
                return beat;
        }
        return QJsonObject();
    };
    QTRY_VERIFY(!beat(lab.HandedSeq() + 1).isEmpty());
    QCOMPARE(beat(lab.HandedSeq() + 1).value("jobs"), QJsonArray{12});
    if (cancel) {
        QJsonObject busy = device("devices/bench-01", {"radio", "5g"}, "busy");
        busy.insert("jobid", 12);
        const auto running = [&lab, &busy] {
            const QList<QJsonObject> beats = lab.Received("station_beat");
            return !beats.isEmpty() && beats.last().value("devices").toArray().first() == busy;
        };
        QTRY_VERIFY(running());
        lab.Hand({}, {12});
    }

    // Until the report is taken, every beat holds the job.
    QTRY_COMPARE(lab.HeldReports(), 1);
    const int beats = lab.Received("station_beat").size();
    QTRY_VERIFY(lab.Received("station_beat").size() > beats);
    QCOMPARE(lab.Received("station_beat").at(beats).value("jobs"), QJsonArray{12});
    lab.HoldReports(false);
    const QJsonArray free{device("devices/bench-01", {"radio", "5g"}, "free"), device("devices/bench-02", {}, "free")};
    const auto done = [&lab, &free] {
        const QJsonObject last = lab.Received("station_beat").last();
        return last.value("jobs") == QJsonArray() && last.value("devices") == free;
    };
    QTRY_VERIFY(done());

    const QJsonObject report = lab.Received("job_report").first();
    QCOMPARE(pick(report, {"jobid", "secret"}), QJsonObject({{"jobid", 12}, {"secret", "s3cret-12"}}));
    QCOMPARE(report.value("report").toObject().value("VALUE").toObject().value("remark").toString(), remark);
    // On the device its url names, whatever the host before it.
    QVERIFY(m_host->Stderr().contains("Job 12 starts on device " + QUrl(url).fileName()));
    QVERIFY2(emulator.Stop(), qPrintable(emulator.Stderr()));
}

void TstStation::longPoll_data()
{
    QTest::addColumn<int>("holdCapMs"); // how long the server holds a beat with nothing to hand out
    // Past the host's request time-out: a beat's own is longer than its wait.
    QTest::newRow("held") << 1500;
    // A server that does not hold beats gets about one a second, not a flood.
    QTest::newRow("answered at once") << 0;
}

void TstStation::longPoll()
{
    QFETCH(int, holdCapMs);
    // A period of 10 s: the beats below come from the answers, not the period.
    LabDouble lab(60000, holdCapMs);
    QVERIFY(lab.Listen());
    QVERIFY2(StartStation(lab.Base() + "," + lab.Base(), {"--remote-timeout-ms", "500"}), qPrintable(m_host->ErrorText()));
    QTRY_VERIFY_WITH_TIMEOUT(lab.Received("station_beat").size() >= 4, 9000);
    QVERIFY(lab.Received("station_beat").size() < 20);
    QCOMPARE(lab.Received("station_beat").at(1).value("wait_ms").toInt(), 10000);
    QVERIFY2(!m_host->Stderr().contains("can't check in"), qPrintable(m_host->Stderr()));
}

QTEST_GUILESS_MAIN(TstStation)
#include "tst_station.moc"
