// Job engine figures, measured against the controller emulator:
//   throughput  - one job of 2000 test cases (no post-delay, one-line script)
//                 beside plain request/answer round trips of the same size, and
//                 the same job followed with progress events;
//   concurrency - 50 jobs of 20 test cases at once, each on its own device,
//                 with the host's peak resident memory;
//   observations - the check rate of one job and script with 0, 10 000 and
//                 100 000 observation values gathered before its checks.
// Prints one summary line per figure. Every program takes a free port.

#include "tests/support/HostProcess.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QUuid>
#include <QWebSocket>
#include <QDeadlineTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>

namespace {

QString compact(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

const char* const OneLineScript = "(function(l, g) { return l.Voltage === 1; })";
// The same check behind top-level code, which makes every check compile the script anew.
const char* const TopLevelScript = "var limit = 1; (function(l, g) { return l.Voltage === limit; })";
// Looks into the observations without reading a whole array of values.
const char* const ObservingScript =
    "(function(l, g) { return l.Voltage === 1 && (!g.Power || typeof g.Power.Battery === 'object'); })";
// Reads the newest battery voltage, which copies the array of all voltages:
// a quarter of the values gathered.
const char* const ArrayReadingScript =
    "(function(l, g) { var v = g.Power && g.Power.Battery.Voltage; return l.Voltage === 1 && (!v || v[v.length - 1] > 0); })";

QJsonObject job(const QString& device, int jobId, int cases, const char* script = OneLineScript)
{
    const QString content = compact({{"MODULE_NAME", "Power"}, {"GROUP_NAME", "Supply"},
                                     {"DATA", QJsonArray{QJsonObject{{"INDEX", 0}, {"VALUE", 1}}}},
                                     {"execute_script", script}});
    QJsonArray list;
    QJsonArray strategies;
    for (int i = 0; i < cases; ++i) {
        list.append(QJsonObject{{"testcaseid", i + 1}, {"content", content}});
        strategies.append(QJsonArray());
    }
    return {{"CMD", "ExecuteJob"}, {"SEQ", jobId},
            {"VALUE", QJsonObject{{"url", "bench/" + device}, {"jobid", jobId}, {"planid", 1}, {"case_list", list},
                                  {"content", compact({{"case_stratepy", strategies}})}}}};
}

bool allPassed(const QJsonObject& reply, int cases)
{
    const QJsonObject report = reply.value("VALUE").toObject();
    const QJsonArray tcs = report.value("tcs").toArray();
    if (!report.value("result").toBool() || tcs.size() != cases)
        return false;
    for (const QJsonValue& tc : tcs) {
        if (!tc.toObject().value("result").toBool())
            return false;
    }
    return true;
}

// Runs the event loop until `done` holds or the time is up. The timed
// processEvents overload ignores WaitForMoreEvents and would spin a core that
// the host and the emulator need, so a ticking timer bounds each wait instead.
template<class Predicate>
bool waitFor(Predicate done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    QTimer tick;
    tick.start(50);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

bool startEmulator(HostProcess& emulator, const QStringList& options)
{
    if (emulator.Start(QStringList{"--template", QStringLiteral(KIV_SOURCE_DIR "/examples/device-template.json")} + options))
        return true;
    std::fprintf(stderr, "bench_jobs: emulator did not start: %s\n", qPrintable(emulator.ErrorText()));
    return false;
}

bool connectSocket(QWebSocket& socket, const QUrl& url)
{
    QSignalSpy connected(&socket, &QWebSocket::connected);
    socket.open(url);
    return connected.wait(10000);
}

// Sequential request/answer pairs straight to the emulator's device channel,
// each message the size of the engine's "SetCaseData" request.
double plainRoundTripsPerSecond(const QUrl& emulator, int count)
{
    QWebSocket socket;
    if (!connectSocket(socket, QUrl(emulator.toString() + QStringLiteral("/controller/auto_test/bench-plain"))))
        return 0;
    int answers = 0;
    QObject::connect(&socket, &QWebSocket::textMessageReceived, [&answers](const QString& text) {
        if (!text.contains(QLatin1String("PushObseData")))
            ++answers;
    });
    auto send = [&socket](const QJsonObject& request) {
        QJsonObject copy = request;
        copy.insert("SEQ", QUuid::createUuid().toString());
        socket.sendTextMessage(QString::fromUtf8(QJsonDocument(copy).toJson(QJsonDocument::Indented)));
    };
    send({{"CMD", "EnterAutoTest"}, {"VALUE", 1}});
    if (!waitFor([&answers] { return answers == 1; }, 10000))
        return 0;
    const QJsonObject request{{"CMD", "SetCaseData"},
                              {"VALUE", QJsonObject{{"MODULE_SEQ", 1}, {"GROUP_SEQ", 1},
                                                    {"DATA", QJsonArray{QJsonObject{{"INDEX", 0}, {"VALUE", 1}}}}}}};
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < count; ++i) {
        const int expected = answers + 1;
        send(request);
        while (answers < expected)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    const double seconds = timer.nsecsElapsed() / 1e9;
    send({{"CMD", "EnterAutoTest"}, {"VALUE", 0}});
    return count / seconds;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (app.arguments().contains(QStringLiteral("--help"))) {
        std::printf("bench_jobs: job throughput and concurrency against the controller emulator.\n"
                    "Starts controller-emulator and autotest-host (from its own directory) on free ports,\n"
                    "prints one line per figure, and stops both. Takes no options.\n");
        return 0;
    }

    auto* emulator = new HostProcess(QStringLiteral("controller-emulator"));
    if (!startEmulator(*emulator, {"--push-interval", "100"}))
        return 1;
    HostProcess host;
    QWebSocket client;
    client.setMaxAllowedIncomingMessageSize(64 * 1024 * 1024);
    // (Re)starts the host on the emulator that runs, and connects the client.
    const auto startHost = [&] {
        client.abort();
        host.Stop();
        if (!host.Start(emulator->ControllerOption())) {
            std::fprintf(stderr, "bench_jobs: host did not start: %s\n", qPrintable(host.ErrorText()));
            return false;
        }
        return connectSocket(client, host.Url());
    };
    if (!startHost())
        return 1;
    QList<QJsonObject> replies;
    QObject::connect(&client, &QWebSocket::textMessageReceived, [&replies](const QString& text) {
        replies.append(QJsonDocument::fromJson(text.toUtf8()).object());
    });

    // Throughput: rounds of one job and the same number of plain round trips,
    // interleaved so that both see the same machine; medians are reported.
    const int cases = 2000;
    const int rounds = 5;
    QList<double> jobRates;
    QList<double> topLevelRates;
    QList<double> plainRates;
    bool jobOk = true;
    QElapsedTimer timer;
    QList<double> progressRates;
    auto runJob = [&](const QString& device, const char* script, bool progress = false) {
        replies.clear();
        timer.start();
        QJsonObject request = job(device, 1, cases, script);
        if (progress)
            request.insert("progress", true);
        client.sendTextMessage(compact(request));
        // With progress, the report follows one event per test case.
        waitFor([&replies] { return !replies.isEmpty() && !replies.last().contains("EVENT"); }, 120000);
        jobOk = jobOk && allPassed(replies.value(replies.size() - 1), cases) && replies.size() == (progress ? cases + 1 : 1);
        return cases / (timer.nsecsElapsed() / 1e9);
    };
    for (int round = 0; round < rounds; ++round) {
        jobRates.append(runJob(QStringLiteral("throughput-%1").arg(round), OneLineScript));
        topLevelRates.append(runJob(QStringLiteral("top-level-%1").arg(round), TopLevelScript));
        progressRates.append(runJob(QStringLiteral("progress-%1").arg(round), OneLineScript, true));
        plainRates.append(plainRoundTripsPerSecond(emulator->Url(), cases));
    }
    const auto median = [rounds](QList<double>& rates) {
        std::sort(rates.begin(), rates.end());
        return rates.at(rounds / 2);
    };
    const double jobRate = median(jobRates);
    const double topLevelRate = median(topLevelRates);
    const double plainRate = median(plainRates);
    std::printf("throughput: job of %d test cases at %.0f tc/s (median of %d, %s); plain round trips at %.0f/s; "
                "ratio %.2f (target >= 0.50)\n",
                cases, jobRate, rounds, jobOk ? "all passed" : "WRONG REPORT", plainRate,
                plainRate > 0 ? jobRate / plainRate : 0.0);
    std::printf("throughput, script with top-level code (compiled on every check): %.0f tc/s; ratio %.2f\n",
                topLevelRate, plainRate > 0 ? topLevelRate / plainRate : 0.0);
    const double progressRate = median(progressRates);
    std::printf("throughput with \"progress\": true (an event per test case): %.0f tc/s; %.2f of the rate without\n",
                progressRate, jobRate > 0 ? progressRate / jobRate : 0.0);

    // Concurrency.
    replies.clear();
    const int jobs = 50;
    const int perJob = 20;
    timer.restart();
    for (int i = 0; i < jobs; ++i)
        client.sendTextMessage(compact(job(QStringLiteral("device-%1").arg(i), 100 + i, perJob)));
    waitFor([&replies, jobs] { return replies.size() >= jobs; }, 120000);
    const qint64 elapsed = timer.elapsed();
    int correct = 0;
    for (const QJsonObject& reply : qAsConst(replies))
        correct += allPassed(reply, perJob) ? 1 : 0;
    const qint64 rssKb = host.StatusKb("VmHWM");
    std::printf("concurrency: %d jobs x %d test cases, %d/%d correct reports in %lld ms; host peak RSS %.1f MB (target < 150 MB)\n",
                jobs, perJob, correct, jobs, elapsed, rssKb / 1024.0);

    // Observations: the emulator pushes a burst of values right after entering
    // auto-test mode. Two jobs that differ only in their number of test cases
    // see the same burst; their difference is the cost of the extra checks alone.
    emulator->Stop();
    delete emulator;
    const int fewCases = 100;
    const int extraCases = 2000;
    QList<double> checkRates;
    QList<double> arrayRates;
    bool observedOk = true;
    for (int burst : {0, 10000, 100000}) {
        emulator = new HostProcess(QStringLiteral("controller-emulator"));
        if (!startEmulator(*emulator, {"--push-interval", "0", "--burst", QString::number(burst)}) || !startHost())
            return 1;
        const auto checkRate = [&](const char* script, int extra) {
            QList<double> rates;
            for (int round = 0; round < 3; ++round) {
                double seconds[2] = {0, 0};
                for (int i = 0; i < 2; ++i) {
                    const int count = fewCases + i * extra;
                    replies.clear();
                    timer.start();
                    client.sendTextMessage(compact(job(QStringLiteral("observed-%1-%2-%3").arg(burst).arg(round).arg(i), 1, count, script)));
                    waitFor([&replies] { return replies.size() >= 1; }, 120000);
                    seconds[i] = timer.nsecsElapsed() / 1e9;
                    observedOk = observedOk && allPassed(replies.value(0), count);
                }
                rates.append(extra / std::max(seconds[1] - seconds[0], 1e-6));
            }
            std::sort(rates.begin(), rates.end());
            return rates.at(1);
        };
        checkRates.append(checkRate(ObservingScript, extraCases));
        arrayRates.append(checkRate(ArrayReadingScript, extraCases / 10));
        emulator->Stop();
        delete emulator;
    }
    std::printf("observations: check rate with 0 / 10 000 / 100 000 values gathered: %.0f / %.0f / %.0f checks/s (%s); "
                "ratio %.2f (target >= 0.50)\n",
                checkRates.at(0), checkRates.at(1), checkRates.at(2), observedOk ? "all passed" : "WRONG REPORT",
                checkRates.at(2) / checkRates.at(0));
    std::printf("observations, script that reads a whole array (a quarter of the values): %.0f / %.0f / %.0f checks/s; ratio %.2f\n",
                arrayRates.at(0), arrayRates.at(1), arrayRates.at(2), arrayRates.at(2) / arrayRates.at(0));

    client.close();
    host.Stop();
    return (jobOk && observedOk && correct == jobs) ? 0 : 1;
}
