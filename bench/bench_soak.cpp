// Soak run: 1 000 jobs against the controller emulator while its faults are
// switched at random (refuse a command, drop the link after n messages, an
// empty template, and, when the host has a device time limit, never answer),
// and while other clients connect, send and vanish. Prints jobs started and
// reported (they must be equal), and the host's resident memory and open
// descriptors at the start and the end (the descriptors must come back).
// The emulator of every phase listens on one port, free when the run starts.

#include "tests/support/HostProcess.h"
#include "tests/support/TestClient.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTimer>
#include <QtTest>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

const int kJobs = 1000;
const int kPhases = 20;
const int kClients = 5;

QString compact(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QJsonObject job(int jobId)
{
    const QString content = compact({{"MODULE_NAME", "Power"}, {"GROUP_NAME", "Supply"},
                                     {"DATA", QJsonArray{QJsonObject{{"INDEX", 0}, {"VALUE", 12}}}},
                                     {"execute_script", "(function(l, g) { return l.Voltage === 12; })"}});
    QJsonArray list;
    QJsonArray strategies;
    for (int i = 0; i < 3; ++i) {
        list.append(QJsonObject{{"testcaseid", i + 1}, {"content", content}});
        strategies.append(QJsonArray{QJsonObject{{"type", "s_deplay"}, {"time", 10}}});
    }
    // Every job on a device of its own, so that jobs run side by side.
    return {{"CMD", "ExecuteJob"}, {"SEQ", jobId},
            {"VALUE", QJsonObject{{"url", QStringLiteral("soak/%1").arg(jobId)}, {"jobid", jobId}, {"planid", 1},
                                  {"case_list", list}, {"content", compact({{"case_stratepy", strategies}})}}}};
}

int openFds(qint64 pid)
{
    return int(QDir(QStringLiteral("/proc/%1/fd").arg(pid)).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size());
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (app.arguments().contains("--help")) {
        std::printf("bench_soak: %d jobs against controller-emulator (on a free port) with random faults,\n"
                    "while clients come and go. Prints jobs started/reported, host RSS and open descriptors.\n",
                    kJobs);
        return 0;
    }
    QRandomGenerator random(20261206);

    // A host with a device time limit can survive a device that never answers.
    QProcess help;
    help.start(HostProcess::BinDir() + "/autotest-host", {"--help"});
    help.waitForFinished(10000);
    const bool deviceLimit = help.readAllStandardOutput().contains("--device-timeout-ms");

    // The host keeps its controller while the emulator restarts with each phase's faults.
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0)) {
        std::fprintf(stderr, "bench_soak: no free port\n");
        return 1;
    }
    const QString controllerPort = QString::number(probe.serverPort());
    probe.close();
    HostProcess host;
    const QStringList controller{"--controller", "ws://127.0.0.1:" + controllerPort};
    if (!host.Start(controller + (deviceLimit ? QStringList{"--device-timeout-ms", "1000"} : QStringList{}))) {
        std::fprintf(stderr, "bench_soak: host did not start: %s\n", qPrintable(host.ErrorText()));
        return 1;
    }
    const qint64 pid = host.Process().processId();
    std::vector<std::unique_ptr<TestClient>> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(std::make_unique<TestClient>());
        if (!clients.back()->Connect(host.Url()))
            return 1;
        clients.back()->Request({{"CMD", "get_state"}});
    }
    QTest::qWait(500);
    const qint64 rssStart = host.StatusKb("VmRSS");
    const int fdsStart = openFds(pid);

    // Clients that connect, send something and vanish, all the time.
    int vanished = 0;
    QTimer churn;
    QObject::connect(&churn, &QTimer::timeout, &app, [&] {
        auto* client = new TestClient;
        if (client->Connect(host.Url())) {
            const int kind = random.bounded(4);
            if (kind == 0)
                client->Send(job(100000 + vanished));
            else if (kind == 1)
                client->Send(QStringLiteral("{\"CMD\":\"get_state\""));
            else if (kind == 2)
                client->Send(QJsonObject{{"CMD", "GetAutoTestTemplate"}});
            ++vanished;
        }
        client->Socket().abort();
        client->deleteLater();
    });
    churn.start(10);

    const QStringList faults{"none", "refuse SetCaseData", "refuse EnterAutoTest", "drop-after", "empty-template", "silent"};
    QMap<QString, int> phasesBy;
    int started = 0;
    int reported = 0;
    int passed = 0;
    QElapsedTimer elapsed;
    elapsed.start();
    // Every fault gets its turns, in random order.
    QStringList plan;
    for (int phase = 0; phase < kPhases; ++phase)
        plan << faults.at(phase % faults.size());
    std::shuffle(plan.begin(), plan.end(), random);
    for (int phase = 0; phase < kPhases; ++phase) {
        QString fault = plan.at(phase);
        if (fault == "silent" && !deviceLimit)
            fault = "none";
        QStringList arguments{"--port", controllerPort, "--push-interval", "20", "--template", KIV_SOURCE_DIR "/examples/device-template.json"};
        if (fault.startsWith("refuse "))
            arguments << "--refuse" << fault.mid(7);
        else if (fault == "drop-after")
            arguments << "--drop-after" << QString::number(2 + random.bounded(6));
        else if (fault == "empty-template")
            arguments << "--empty-template";
        else if (fault == "silent")
            arguments << "--ignore" << "SetCaseData";
        ++phasesBy[fault];
        HostProcess emulator(QStringLiteral("controller-emulator"));
        if (!emulator.Start(arguments)) {
            std::fprintf(stderr, "bench_soak: emulator did not start: %s\n", qPrintable(emulator.ErrorText()));
            return 1;
        }
        QList<int> before;
        for (auto& client : clients)
            before << client->Replies().size();
        const int perPhase = kJobs / kPhases;
        for (int i = 0; i < perPhase; ++i) {
            clients.at(i % kClients)->Send(job(started + 1));
            ++started;
        }
        QDeadlineTimer deadline(120000);
        int phaseReported = 0;
        while (!deadline.hasExpired()) {
            phaseReported = 0;
            for (int c = 0; c < kClients; ++c) {
                for (int r = before.at(c); r < clients.at(c)->Replies().size(); ++r) {
                    const QJsonObject reply = clients.at(c)->Reply(r);
                    if (reply.contains("VALUE"))
                        ++phaseReported;
                }
            }
            if (phaseReported >= perPhase)
                break;
            QTest::qWait(20);
        }
        for (int c = 0; c < kClients; ++c) {
            for (int r = before.at(c); r < clients.at(c)->Replies().size(); ++r)
                passed += clients.at(c)->Reply(r).value("VALUE").toObject().value("result").toBool() ? 1 : 0;
        }
        reported += phaseReported;
        std::fprintf(stderr, "bench_soak: phase %2d (%s): %d of %d reported\n", phase + 1, qPrintable(fault), phaseReported,
                     perPhase);
        emulator.Stop();
    }
    churn.stop();
    const double seconds = elapsed.elapsed() / 1000.0;
    // Vanished clients' jobs and sockets wind down.
    QTest::qWait(3000);
    const qint64 rssEnd = host.StatusKb("VmRSS");
    const int fdsEnd = openFds(pid);

    QStringList mix;
    for (auto it = phasesBy.begin(); it != phasesBy.end(); ++it)
        mix << QStringLiteral("%1 x%2").arg(it.key()).arg(it.value());
    std::printf("soak: %d phases (%s), %d clients that vanished, %.1f s\n", kPhases, qPrintable(mix.join(", ")), vanished,
                seconds);
    std::printf("soak: jobs started %d, reported %d (%d passed)%s\n", started, reported, passed,
                started == reported ? "" : "  <-- MISMATCH");
    std::printf("soak: host RSS start %.1f MB, end %.1f MB\n", rssStart / 1024.0, rssEnd / 1024.0);
    std::printf("soak: host open descriptors start %d, end %d%s\n", fdsStart, fdsEnd, fdsStart == fdsEnd ? "" : "  <-- LEAK?");
    clients.clear();
    host.Stop();
    return started == reported && fdsStart == fdsEnd ? 0 : 1;
}
