// A host started as a station checks in with a scripted remote server on a
// free port: what a beat lists, its period from the server's lease, a device
// busy while a job runs on it, failures logged once, and the options refused.

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

// A job on `url` whose first case then waits a minute: it runs until cancelled.
QJsonObject longJob(const QString& url, int jobId)
{
    const QJsonObject content{{"MODULE_NAME", "Power"}, {"GROUP_NAME", "Supply"},
                              {"DATA", QJsonArray{QJsonObject{{"INDEX", 0}, {"VALUE", 12}}}}};
    const QJsonArray wait{QJsonObject{{"type", "s_deplay"}, {"time", 60000}}};
    return {{"CMD", "ExecuteJob"},
            {"SEQ", "job"},
            {"VALUE", QJsonObject{{"url", url},
                                  {"jobid", jobId},
                                  {"planid", 1},
                                  {"case_list", QJsonArray{QJsonObject{{"testcaseid", 1}, {"content", compact(content)}}}},
                                  {"content", compact({{"case_stratepy", QJsonArray{wait}}})}}}};
}

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

private:
    // Starts the host as station "bench-a" with `more` arguments, beating to the fake server at `path`.
    bool StartHost(const QStringList& more, const QString& path = "/api")
    {
        const QString base = ":" + QString::number(m_server->Port()) + path;
        m_host = new HostProcess;
        return m_host->Start(QStringList{"--remote-hosts", "http://127.0.0.1" + base + ",http://localhost" + base,
                                         "--station", "bench-a", "--device", "devices/bench-01=radio,5g",
                                         "--device", "devices/bench-02"}
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
                                                      device("devices/bench-02", {}, "free")}}};
    QCOMPARE(Beats().first(), expected);
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

QTEST_GUILESS_MAIN(TstStation)
#include "tst_station.moc"
