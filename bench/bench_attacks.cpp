// The host's peak resident memory under each attack it bounds. Every attack
// runs against a fresh host (release build), and the figure is the host's
// VmHWM afterwards, beside what the host answered or logged.
// Prints one line per attack.

#include "bench/ServerAttacks.h"
#include "tests/support/FakeRemoteServer.h"
#include "tests/support/HostProcess.h"
#include "tests/support/RawPeer.h"
#include "tests/support/TestClient.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <QThread>
#include <QWebSocket>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const int kMB = 1024 * 1024;

QByteArray compact(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QString shortText(const QJsonObject& reply)
{
    return reply.value(QStringLiteral("result")).toString().left(90);
}

// Answers every POST with an endless (up to `total` bytes) chunked body,
// written as fast as the client takes it.
class ChunkedServer : public QObject
{
public:
    explicit ChunkedServer(qint64 total) : m_total(total)
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection()) {
                auto sent = std::make_shared<qint64>(-1);
                QPointer<QTcpSocket> guarded(socket);
                const auto pump = [this, guarded, sent] {
                    if (!guarded || *sent < 0)
                        return;
                    const QByteArray chunk(kMB, 'x');
                    while (guarded->bytesToWrite() < 4 * kMB && *sent < m_total) {
                        guarded->write(QByteArray::number(chunk.size(), 16) + "\r\n" + chunk + "\r\n");
                        *sent += chunk.size();
                    }
                    if (*sent >= m_total)
                        guarded->write("0\r\n\r\n");
                };
                connect(socket, &QTcpSocket::readyRead, this, [socket, sent, pump] {
                    if (*sent >= 0 || !socket->readAll().contains("\r\n\r\n"))
                        return;
                    socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n\r\n");
                    *sent = 0;
                    pump();
                });
                connect(socket, &QTcpSocket::bytesWritten, this, pump);
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    quint16 Port() const { return m_server.serverPort(); }

private:
    QTcpServer m_server;
    qint64 m_total;
};

struct Attack
{
    const char* name;
    QStringList arguments;
    // Runs against the started host; returns what happened, for the table.
    std::function<QString(HostProcess&, TestClient&)> run;
};

bool addTestcases(TestClient& client, int count, int size)
{
    client.Request({{"CMD", "switch_state"}, {"state", "local"}});
    for (int i = 0; i < count; ++i) {
        const QJsonObject added = client.Request(
            {{"CMD", "add_tc"}, {"testcase", QJsonObject{{"title", "big"}, {"path", "big"}, {"content", QString(size, 'c')}}}},
            60000);
        if (added.value("result").toString() != QLatin1String("ok"))
            return false;
    }
    return true;
}

// Host attacks that measure what other clients see: a client on a thread of
// its own asks "get_state" every 10 ms (one request in flight), so that work
// this process does for the attacker never delays its answers.
class Bystander : public QThread
{
public:
    explicit Bystander(const QUrl& url) : m_url(url) { start(); }
    ~Bystander() override { Finish(); }

    // Stops asking; returns how long each answer took, in ms, sorted.
    const QVector<double>& Finish()
    {
        if (isRunning()) {
            quit();
            wait();
            std::sort(m_waits.begin(), m_waits.end());
        }
        return m_waits;
    }
    QString Summary()
    {
        const QVector<double>& waits = Finish();
        if (waits.isEmpty())
            return QStringLiteral("bystander got no answer");
        return QStringLiteral("bystander p50 %1 ms, p99 %2 ms, longest %3 ms (%4 answers)")
            .arg(waits.at(waits.size() / 2), 0, 'f', 1)
            .arg(waits.at(waits.size() * 99 / 100), 0, 'f', 1)
            .arg(waits.last(), 0, 'f', 0)
            .arg(waits.size());
    }

protected:
    void run() override
    {
        QWebSocket socket;
        QTimer tick;
        QElapsedTimer clock;
        bool inFlight = false;
        QObject::connect(&tick, &QTimer::timeout, &socket, [&] {
            if (inFlight || socket.state() != QAbstractSocket::ConnectedState)
                return;
            inFlight = true;
            clock.start();
            socket.sendTextMessage(QStringLiteral("{\"CMD\":\"get_state\"}"));
        });
        QObject::connect(&socket, &QWebSocket::textMessageReceived, &socket, [&](const QString&) {
            m_waits.append(clock.nsecsElapsed() / 1e6);
            inFlight = false;
        });
        socket.open(m_url);
        tick.start(10);
        exec();
        // An answer still outstanding is the longest wait of all.
        if (inFlight)
            m_waits.append(clock.nsecsElapsed() / 1e6);
    }

private:
    QUrl m_url;
    QVector<double> m_waits;
};

// Peak resident memory of the host from now on: clears its high-water mark
// (Linux's clear_refs) and returns what it holds now, in MB.
double restartPeak(HostProcess& host)
{
    QFile clear(QStringLiteral("/proc/%1/clear_refs").arg(host.Process().processId()));
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
    clear.close();
    return host.StatusKb("VmRSS") / 1024.0;
}

QString growthText(HostProcess& host, double before, double replyMB)
{
    const double grown = host.StatusKb("VmHWM") / 1024.0 - before;
    return QStringLiteral("host grew %1 MB (%2x the reply)").arg(grown, 0, 'f', 0).arg(grown / replyMB, 0, 'f', 1);
}

// Opens TCP connections to the host for `ms`, from another thread while this
// one's event loop keeps running: up to 256 connecting at once (a blocking
// connect would wait out every SYN the kernel drops when the host's accept
// queue is full), each closed right after the first line of its upgrade
// request, mid-handshake. Returns how many got that far.
qint64 floodConnections(quint16 port, int ms)
{
    std::atomic<qint64> opened{0};
    std::atomic<bool> stop{false};
    std::thread flood([&] {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        static const char line[] = "GET / HTTP/1.1\r\n";
        const int poller = ::epoll_create1(EPOLL_CLOEXEC);
        int connecting = 0;
        epoll_event ready[64];
        while (!stop.load(std::memory_order_relaxed)) {
            while (connecting < 256) {
                const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
                if (fd < 0)
                    break;
                if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
                    ::close(fd);
                    break;
                }
                epoll_event wanted{};
                wanted.events = EPOLLOUT;
                wanted.data.fd = fd;
                ::epoll_ctl(poller, EPOLL_CTL_ADD, fd, &wanted);
                ++connecting;
            }
            const int count = ::epoll_wait(poller, ready, 64, 50);
            for (int i = 0; i < count; ++i) {
                const int fd = ready[i].data.fd;
                int error = 0;
                socklen_t size = sizeof error;
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
                if (error == 0 && ::send(fd, line, sizeof line - 1, MSG_NOSIGNAL) > 0)
                    ++opened;
                ::close(fd);
                --connecting;
            }
        }
        ::close(poller);
    });
    QTest::qWait(ms);
    stop = true;
    flood.join();
    return opened;
}

// One test case of `mb` MiB of content, fetched from a host started afresh
// on the database that holds it (what adding it left in the allocator would
// hide the cost); the host's growth beside the reply's size.
std::function<QString(HostProcess&, TestClient&)> fetchAttack(int mb, const QStringList& arguments = {})
{
    return [mb, arguments](HostProcess& host, TestClient& adder) {
        if (!addTestcases(adder, 1, mb * kMB))
            return QStringLiteral("setup failed");
        adder.Socket().close();
        host.Stop();
        TestClient client;
        if (!host.Start(arguments) || !client.Connect(host.Url()))
            return QStringLiteral("host did not start again");
        client.Request({{"CMD", "switch_state"}, {"state", "local"}});
        const double before = restartPeak(host);
        Bystander bystander(host.Url());
        QTest::qWait(100);
        const int at = client.Replies().size();
        client.Send(QJsonObject{{"CMD", "fetch_tc"}, {"testcaseid", 1}});
        if (!client.WaitReplies(at + 1, 120000))
            return QStringLiteral("no answer");
        QTest::qWait(200);
        const QString reply = client.Replies().at(at);
        const double replyMB = reply.toUtf8().size() / double(kMB);
        return QStringLiteral("%1 MB reply \"%2\"; %3; %4")
            .arg(replyMB, 0, 'f', 1)
            .arg(shortText(client.Reply(at)).left(40))
            .arg(growthText(host, before, mb))
            .arg(bystander.Summary());
    };
}

// `count` template files of `size` bytes each (a JSON array of one string).
bool writeTemplates(HostProcess& host, int count, qint64 size)
{
    const QByteArray content = "[\"" + QByteArray(int(size - 4), 't') + "\"]";
    for (int i = 0; i < count; ++i) {
        QFile file(host.AppDir() + QStringLiteral("/Data/AutoTestTpl/t%1.json").arg(i));
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            return false;
    }
    return true;
}

std::function<QString(HostProcess&, TestClient&)> templateAttack(int count, qint64 size)
{
    return [count, size](HostProcess& host, TestClient& client) {
        if (!writeTemplates(host, count, size))
            return QStringLiteral("setup failed");
        const double before = restartPeak(host);
        Bystander bystander(host.Url());
        QTest::qWait(100);
        QElapsedTimer clock;
        clock.start();
        const QJsonObject reply = client.Request({{"CMD", "GetAutoTestTemplate"}}, 120000);
        const qint64 ms = clock.elapsed();
        QTest::qWait(200);
        const QString outcome = reply.contains("VALUE") ? QStringLiteral("%1 templates").arg(reply.value("VALUE").toArray().size())
                                                        : shortText(reply).left(40);
        return QStringLiteral("\"%1\" in %2 ms; %3; %4")
            .arg(outcome)
            .arg(ms)
            .arg(growthText(host, before, count * size / double(kMB)))
            .arg(bystander.Summary());
    };
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    if (app.arguments().contains(QLatin1String("--help")) || app.arguments().contains(QLatin1String("-h"))) {
        std::printf("Usage: bench_attacks [--server] [NAME]\n"
                    "Attacks a release build of autotest-host (and autotest-server), each from a fresh directory,\n"
                    "and prints per attack the program's peak RSS, a bystander client's waits and what happened.\n"
                    "NAME runs only the attacks whose name contains it; --server runs only the server's.\n");
        return 0;
    }
    ChunkedServer gigabyte(1024LL * kMB);
    FakeRemoteServer remote;
    remote.Listen(0);
    const auto remoteAt = [](quint16 port) {
        return QStringList{"--remote-hosts", QStringLiteral("http://127.0.0.1:%1/api,http://127.0.0.1:%1/api").arg(port)};
    };

    // Script attacks: a job on the controller emulator (every host's, see
    // below) while the bystander asks "get_state" one request after another;
    // returns the job's case remarks (runs of equal ones counted) and the
    // bystander's waits.
    const auto scriptAttack = [](const QStringList& scripts) {
        return [scripts](HostProcess& host, TestClient& bystander) {
            QJsonArray cases, strategies;
            for (int i = 0; i < scripts.size(); ++i) {
                const QJsonObject content{{"MODULE_NAME", "Power"}, {"GROUP_NAME", "Supply"},
                                          {"DATA", QJsonArray{QJsonObject{{"INDEX", 0}, {"VALUE", 1}}}},
                                          {"execute_script", scripts.at(i)}};
                cases.append(QJsonObject{{"testcaseid", i + 1}, {"content", QString::fromUtf8(compact(content))}});
                strategies.append(QJsonArray());
            }
            const QJsonObject job{{"url", "attack/dev-script"}, {"jobid", 1}, {"planid", 1}, {"case_list", cases},
                                  {"content", QString::fromUtf8(compact({{"case_stratepy", strategies}}))}};
            TestClient runner;
            if (!runner.Connect(host.Url()))
                return QStringLiteral("no connection");
            runner.Send(QJsonObject{{"CMD", "ExecuteJob"}, {"VALUE", job}});
            QList<double> waits;
            QElapsedTimer clock;
            // A spy wakes at the answer itself; TestClient::Request waits in steps of milliseconds.
            QSignalSpy answered(&bystander.Socket(), &QWebSocket::textMessageReceived);
            while (runner.Replies().isEmpty()) {
                clock.start();
                bystander.Send(QJsonObject{{"CMD", "get_state"}});
                if (!answered.wait(30000))
                    return QStringLiteral("the bystander got no answer within 30 s");
                waits << clock.nsecsElapsed() / 1e6;
                answered.clear();
            }
            std::sort(waits.begin(), waits.end());
            QStringList remarks;
            int repeats = 0;
            for (const QJsonValue& tc : runner.Reply(0).value("VALUE")["tcs"].toArray()) {
                const QString remark = tc["result"].toBool() ? QStringLiteral("pass") : tc["remark"].toString();
                if (!remarks.isEmpty() && remarks.last() == remark) {
                    ++repeats;
                    continue;
                }
                if (repeats > 0)
                    remarks.last() += QStringLiteral(" x%1").arg(repeats + 1);
                repeats = 0;
                remarks << remark;
            }
            if (repeats > 0)
                remarks.last() += QStringLiteral(" x%1").arg(repeats + 1);
            return QStringLiteral("%1; bystander p50 %2 ms, p99 %3 ms over %4 answers")
                .arg(remarks.join(QStringLiteral(", ")))
                .arg(waits.value(waits.size() / 2), 0, 'f', 2)
                .arg(waits.value(waits.size() * 99 / 100), 0, 'f', 2)
                .arg(waits.size());
        };
    };
    QStringList growing, looping;
    for (int i = 0; i < 60; ++i)
        growing << QStringLiteral("var kept = kept || []; (function(l, g) {"
                                  " for (var i = 0; i < 100000; ++i) kept.push({n: i, s: 'v' + i}); return true; })");
    for (int i = 0; i < 10; ++i)
        looping << QStringLiteral("(function(l, g) { for (;;) {} })");

    const QList<Attack> attacks{
        {"sync_plan: one 1 MB test case 200 times, then plan_tcs x5", {}, [](HostProcess&, TestClient& client) {
             if (!addTestcases(client, 1, kMB))
                 return QStringLiteral("setup failed");
             const int plan = client.Request({{"CMD", "create_plan"}, {"name", "p"}}).value("planid").toInt();
             QJsonArray ids;
             for (int i = 0; i < 200; ++i)
                 ids.append(1);
             QString text = shortText(client.Request({{"CMD", "sync_plan"}, {"planid", plan}, {"tclist", ids}}, 120000));
             for (int i = 0; i < 5; ++i)
                 text = shortText(client.Request({{"CMD", "plan_tcs"}, {"planid", plan}}, 120000));
             return text;
         }},
        {"proj_tcs size 2147483647 over 100 test cases of 1 MB", {}, [](HostProcess&, TestClient& client) {
             if (!addTestcases(client, 100, kMB))
                 return QStringLiteral("setup failed");
             return shortText(client.Request({{"CMD", "proj_tcs"}, {"page", 1}, {"size", 2147483647}}, 120000));
         }},
        {"10 peers pipeline 60 fetch_tc of 1 MB each, never read", {}, [](HostProcess& host, TestClient& client) {
             if (!addTestcases(client, 1, kMB))
                 return QStringLiteral("setup failed");
             std::vector<std::unique_ptr<RawPeer>> peers;
             for (int i = 0; i < 10; ++i) {
                 peers.push_back(std::make_unique<RawPeer>());
                 peers.back()->Open(host.Url());
                 for (int j = 0; j < 60; ++j)
                     peers.back()->SendFrame(compact({{"CMD", "fetch_tc"}, {"testcaseid", 1}}));
             }
             QTest::qWait(4000);
             return QStringLiteral("%1 of 10 dropped; bystander: %2")
                 .arg(host.Stderr().count("Connections hold "))
                 .arg(client.Request({{"CMD", "get_state"}}).value("result").toString());
         }},
        {"20 peers trickle 1 byte/s into 30 MiB frames (29 MiB sent)", {}, [](HostProcess& host, TestClient& client) {
             std::vector<std::unique_ptr<RawPeer>> peers;
             for (int i = 0; i < 20; ++i) {
                 peers.push_back(std::make_unique<RawPeer>());
                 peers.back()->Open(host.Url());
                 peers.back()->SendFrame(QByteArray(29 * kMB, ' '), 30 * kMB);
             }
             for (int second = 0; second < 4; ++second) {
                 QTest::qWait(1000);
                 for (auto& peer : peers)
                     peer->SendRaw(" ");
             }
             return QStringLiteral("%1 of 20 dropped; bystander: %2")
                 .arg(host.Stderr().count("Connections hold "))
                 .arg(client.Request({{"CMD", "get_state"}}).value("result").toString());
         }},
        {"70 pipelined fetch_tc of 1 MB, client reading", {}, [](HostProcess& host, TestClient& client) {
             if (!addTestcases(client, 1, kMB))
                 return QStringLiteral("setup failed");
             const int before = client.Replies().size();
             for (int i = 0; i < 70; ++i)
                 client.Send(QJsonObject{{"CMD", "fetch_tc"}, {"testcaseid", 1}});
             client.WaitReplies(before + 70, 120000);
             return QStringLiteral("%1 of 70 replies; dropped: %2")
                 .arg(client.Replies().size() - before)
                 .arg(host.Stderr().contains("Peer does not read") ? "yes" : "no");
         }},
        {"remote answer of 1 GB, chunked", remoteAt(gigabyte.Port()), [](HostProcess&, TestClient& client) {
             return shortText(client.Request({{"CMD", "my_plans"}}, 120000));
         }},
        {"remote answer of 100 MB with its length", remoteAt(remote.Port()), [&remote](HostProcess&, TestClient& client) {
             remote.Queue({200, "{\"pad\":\"" + QByteArray(100 * kMB, 'x') + "\"}", {}});
             return shortText(client.Request({{"CMD", "my_plans"}}, 120000));
         }},
        {"3000 remote requests queued behind 6 unanswered, client vanishes", remoteAt(remote.Port()),
         [&remote](HostProcess& host, TestClient& client) {
             for (int i = 0; i < 6; ++i)
                 remote.Queue({200, "{}", {}, 1, 0, true});
             {
                 TestClient gone;
                 gone.Connect(host.Url());
                 const QString pad(100 * 1024, 'p');
                 for (int i = 0; i < 3000; ++i)
                     gone.Send(QJsonObject{{"CMD", "my_plans"}, {"pad", pad}});
                 QTest::qWait(2000);
             }
             QTest::qWait(1000);
             return QStringLiteral("next request: %1").arg(client.Request({{"CMD", "my_plans"}}, 10000).value("result").toString());
         }},
        {"script: a string that doubles (scripts' memory 256 MiB)", {},
         scriptAttack({QStringLiteral("(function(l, g) { var s = 'x'; for (;;) s = s + s; })"),
                       QStringLiteral("(function(l, g) { return l.Voltage === 1; })")})},
        {"script: a global array grown by 8 MB on each of 60 checks", {}, scriptAttack(growing)},
        {"script: 10 checks that loop (5 s limit each)", {}, scriptAttack(looping)},
        {"300 connections at once (limit 256)", {}, [](HostProcess& host, TestClient&) {
             std::vector<std::unique_ptr<TestClient>> clients;
             int open = 0;
             for (int i = 0; i < 300; ++i) {
                 clients.push_back(std::make_unique<TestClient>());
                 open += clients.back()->Connect(host.Url()) ? 1 : 0;
             }
             return QStringLiteral("%1 open (with the bystander), %2 refused with 503")
                 .arg(open + 1)
                 .arg(host.Stderr().count("503 Service Unavailable"));
         }},
        {"connection churn: connect, first line, close, 20 s; then answered?", {}, [](HostProcess& host, TestClient& client) {
             Bystander bystander(host.Url());
             QTest::qWait(200);
             const qint64 opened = floodConnections(quint16(host.Url().port()), 20000);
             QElapsedTimer clock;
             clock.start();
             const QString state = client.Request({{"CMD", "get_state"}}, 300000).value("result").toString();
             return QStringLiteral("%1 connections; afterwards answered \"%2\" in %3 ms (target < 1000); %4")
                 .arg(opened)
                 .arg(state)
                 .arg(clock.elapsed())
                 .arg(bystander.Summary());
         }},
        {"fetch_tc of a 10 MiB test case", {}, fetchAttack(10)},
        {"fetch_tc of a 30 MiB test case", {}, fetchAttack(30)},
        {"fetch_tc of a 10 MiB test case, refused (--max-reply-mib 8)", {"--max-reply-mib", "8"}, fetchAttack(10, {"--max-reply-mib", "8"})},
        {"fetch_tc of a 30 MiB test case, refused (--max-reply-mib 8)", {"--max-reply-mib", "8"}, fetchAttack(30, {"--max-reply-mib", "8"})},
        {"40 templates of 14.4 MiB (reply bound 64 MiB)", {}, templateAttack(40, qint64(14.4 * kMB))},
        {"4 templates of 14.4 MiB, answered", {}, templateAttack(4, qint64(14.4 * kMB))},
        {"300 pipelined fetch_tc of 1 MiB, client reading", {}, [](HostProcess& host, TestClient& client) {
             if (!addTestcases(client, 1, kMB))
                 return QStringLiteral("setup failed");
             Bystander bystander(host.Url());
             QTest::qWait(100);
             const int before = client.Replies().size();
             for (int i = 0; i < 300; ++i)
                 client.Send(QJsonObject{{"CMD", "fetch_tc"}, {"testcaseid", 1}, {"SEQ", i}});
             client.WaitReplies(before + 300, 120000);
             int answered = 0;
             for (int i = before; i < client.Replies().size(); ++i)
                 answered += client.Reply(i).value("result").toString() == QLatin1String("ok") ? 1 : 0;
             return QStringLiteral("%1 of 300 answered; dropped: %2; %3")
                 .arg(answered)
                 .arg(host.Stderr().contains("Connections hold ") || host.Stderr().contains("Peer does not read") ? "yes" : "no")
                 .arg(bystander.Summary());
         }},
    };

    // An argument picks the attacks whose name contains it; "--server" runs
    // only autotest-server's (bench/ServerAttacks), which a plain run adds.
    const bool serverOnly = app.arguments().value(1) == QLatin1String("--server");
    const QString only = app.arguments().value(serverOnly ? 2 : 1);
    HostProcess emulator(QStringLiteral("controller-emulator"));
    if (!serverOnly) {
        if (!emulator.Start({"--push-interval", "100", "--template", QStringLiteral(KIV_SOURCE_DIR "/examples/device-template.json")})) {
            std::fprintf(stderr, "bench_attacks: emulator did not start: %s\n", qPrintable(emulator.ErrorText()));
            return 1;
        }
        std::printf("%-66s %10s  %s\n", "attack", "peak RSS", "outcome");
    }
    for (const Attack& attack : attacks) {
        if (serverOnly || !QString::fromLatin1(attack.name).contains(only))
            continue;
        HostProcess host;
        TestClient client;
        if (!host.Start(attack.arguments + emulator.ControllerOption()) || !client.Connect(host.Url())) {
            std::printf("%-66s  host did not start: %s\n", attack.name, qPrintable(host.ErrorText()));
            continue;
        }
        const QString outcome = attack.run(host, client);
        const double peak = host.StatusKb("VmHWM") / 1024.0;
        std::printf("%-66s %7.0f MB  %s\n", attack.name, peak, qPrintable(outcome));
        std::fflush(stdout);
        host.Stop();
    }
    if (!serverOnly)
        emulator.Stop();
    return ServerAttacks().Run(only) ? 0 : 2;
}
