// The host's peak resident memory under each attack it bounds. Every attack
// runs against a fresh host (release build), and the figure is the host's
// VmHWM afterwards, beside what the host answered or logged.
// Prints one line per attack.

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

#include <cstdio>
#include <functional>
#include <memory>

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

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    ChunkedServer gigabyte(1024LL * kMB);
    FakeRemoteServer remote;
    remote.Listen(0);
    const auto remoteAt = [](quint16 port) {
        return QStringList{"--remote-hosts", QStringLiteral("http://127.0.0.1:%1/api,http://127.0.0.1:%1/api").arg(port)};
    };

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
    };

    std::printf("%-66s %10s  %s\n", "attack", "peak RSS", "outcome");
    // An argument picks the attacks whose name contains it.
    const QString only = app.arguments().value(1);
    for (const Attack& attack : attacks) {
        if (!QString::fromLatin1(attack.name).contains(only))
            continue;
        HostProcess host;
        TestClient client;
        if (!host.Start(attack.arguments) || !client.Connect(host.Url())) {
            std::printf("%-66s  host did not start: %s\n", attack.name, qPrintable(host.ErrorText()));
            continue;
        }
        const QString outcome = attack.run(host, client);
        const double peak = host.StatusKb("VmHWM") / 1024.0;
        std::printf("%-66s %7.0f MB  %s\n", attack.name, peak, qPrintable(outcome));
        std::fflush(stdout);
        host.Stop();
    }
    return 0;
}
