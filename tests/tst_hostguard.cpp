// Who may connect to the host, and how many: the browser origin allow-list,
// the token beyond loopback, the connection limit, a flood of connections.

#include "tests/support/HostProcess.h"
#include "tests/support/RawPeer.h"
#include "tests/support/TestClient.h"

#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

class TstHostGuard : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void handshakes_data();
    void handshakes();
    void clientToolSendsItsToken();
    void beyondLoopbackNeedsAToken();
    void connectionLimit();
    void floodOfClosingConnectionsLeavesNothing();

private:
    QTemporaryFile m_tokenFile;
    QMap<QString, HostProcess*> m_hosts;
};

void TstHostGuard::initTestCase()
{
    QVERIFY(m_tokenFile.open());
    m_tokenFile.write("s3cret/+token\n");
    m_tokenFile.flush();
    const QMap<QString, QStringList> flavours{
        {"default", {}},
        {"listed", {"--allow-origin", "null", "--allow-origin", "http://a.example"}},
        {"token", {"--token", m_tokenFile.fileName()}},
    };
    for (auto it = flavours.begin(); it != flavours.end(); ++it) {
        auto* host = new HostProcess;
        m_hosts.insert(it.key(), host);
        QVERIFY2(host->Start(it.value()), qPrintable(host->ErrorText()));
    }
}

void TstHostGuard::cleanupTestCase()
{
    for (HostProcess* host : qAsConst(m_hosts)) {
        QVERIFY2(host->Stop() && host->Stderr().contains("Stopped"), qPrintable(host->Stderr()));
        delete host;
    }
}

void TstHostGuard::handshakes_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("logged"); // the refusal's log line, when refused

    QTest::newRow("program without origin") << "default" << QByteArray("/") << QByteArray() << 101 << "";
    QTest::newRow("own console") << "default" << QByteArray("/") << QByteArray("Origin: http://localhost:8080\r\n") << 101 << "";
    QTest::newRow("own console, capitals") << "default" << QByteArray("/") << QByteArray("Origin: HTTP://127.0.0.1:8080\r\n") << 101 << "";
    QTest::newRow("foreign page") << "default" << QByteArray("/") << QByteArray("Origin: http://evil.example\r\n") << 403
                                  << "origin http://evil.example is not allowed";
    QTest::newRow("other port") << "default" << QByteArray("/") << QByteArray("Origin: http://localhost:8081\r\n") << 403 << "not allowed";
    QTest::newRow("sandboxed frame") << "default" << QByteArray("/") << QByteArray("Origin: null\r\n") << 403 << "origin null";
    QTest::newRow("old header name") << "default" << QByteArray("/") << QByteArray("Sec-WebSocket-Origin: http://evil.example\r\n")
                                     << 403 << "not allowed";
    // A list given replaces the defaults; "null" works only when listed.
    QTest::newRow("listed null") << "listed" << QByteArray("/") << QByteArray("Origin: null\r\n") << 101 << "";
    QTest::newRow("listed site") << "listed" << QByteArray("/") << QByteArray("Origin: http://a.example\r\n") << 101 << "";
    QTest::newRow("default no longer") << "listed" << QByteArray("/") << QByteArray("Origin: http://localhost:8080\r\n") << 403 << "not allowed";
    // The token comes as a bearer header or a query parameter.
    QTest::newRow("no token") << "token" << QByteArray("/") << QByteArray() << 403 << "no token given";
    QTest::newRow("bearer") << "token" << QByteArray("/") << QByteArray("Authorization: Bearer s3cret/+token\r\n") << 101 << "";
    QTest::newRow("bearer lower case") << "token" << QByteArray("/") << QByteArray("authorization: bearer s3cret/+token\r\n") << 101 << "";
    QTest::newRow("query") << "token" << QByteArray("/?a=1&token=s3cret%2F%2Btoken") << QByteArray() << 101 << "";
    QTest::newRow("wrong bearer") << "token" << QByteArray("/") << QByteArray("Authorization: Bearer s3cret/+tokeN\r\n") << 403 << "wrong token";
    QTest::newRow("prefix") << "token" << QByteArray("/?token=s3cret") << QByteArray() << 403 << "wrong token";
    QTest::newRow("basic") << "token" << QByteArray("/") << QByteArray("Authorization: Basic czNjcmV0\r\n") << 403 << "no token given";
    QTest::newRow("token, foreign page") << "token" << QByteArray("/?token=s3cret%2F%2Btoken")
                                         << QByteArray("Origin: http://evil.example\r\n") << 403 << "not allowed";
}

void TstHostGuard::handshakes()
{
    QFETCH(QString, host);
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, headers);
    QFETCH(int, status);
    QFETCH(QString, logged);
    HostProcess* process = m_hosts.value(host);
    RawPeer peer;
    peer.Open(process->Url(), target, headers);
    const QByteArray line = peer.StatusLine();
    QVERIFY2(line.startsWith("HTTP/1.1 " + QByteArray::number(status) + ' '), line.constData());
    if (status != 101)
        QTRY_VERIFY2(process->Stderr().contains(QRegularExpression(
                         "\\[1\\] WebSocketServer KIVWebSocketServer::Refuse: Refused handshake from 127\\.0\\.0\\.1: 403 Forbidden, .*"
                         + QRegularExpression::escape(logged))),
                     qPrintable(process->Stderr()));
}

void TstHostGuard::clientToolSendsItsToken()
{
    QProcess client;
    const auto run = [&](const QStringList& arguments) {
        client.start(HostProcess::BinDir() + "/autotest-client", QStringList{"--url", m_hosts.value("token")->Url().toString()} + arguments);
        return client.waitForFinished(30000) ? client.exitCode() : -1;
    };
    const QStringList token{"--token", m_tokenFile.fileName()};
    // One line per reply, in either order; a request the host could not read makes the run fail.
    QCOMPARE(run(token + QStringList{R"({"CMD":"get_state","SEQ":1})", "[1,2]"}), 4);
    QList<QByteArray> lines = client.readAllStandardOutput().trimmed().split('\n');
    std::sort(lines.begin(), lines.end());
    QCOMPARE(lines, (QList<QByteArray>{R"({"ERROR":"FAILURE","ERROR_MESSAGE":"no error occurred"})",
                                       R"({"ERROR":"SUCCESS","SEQ":1,"result":"ok","state":"remote"})"}));
    // Waiting for more replies than come times out, and a refused handshake fails, each with its own exit code.
    QCOMPARE(run(token + QStringList{"--wait", "2", "--timeout", "300", R"({"CMD":"get_state"})"}), 1);
    QCOMPARE(run({R"({"CMD":"get_state"})"}), 2);
}

void TstHostGuard::beyondLoopbackNeedsAToken()
{
    HostProcess refused;
    refused.Launch({"--address", "0.0.0.0", "--port", "0"});
    QVERIFY(refused.Process().waitForFinished(30000));
    QCOMPARE(refused.Process().exitCode(), 2);
    QVERIFY2(refused.Stderr().contains("refusing to listen on 0.0.0.0 without --token FILE"), qPrintable(refused.Stderr()));

    HostProcess withToken;
    QVERIFY2(withToken.Start({"--address", "0.0.0.0", "--token", m_tokenFile.fileName()}), qPrintable(withToken.ErrorText()));
    QVERIFY(withToken.Stderr().contains("clients must send the token"));
    QVERIFY2(withToken.Stop(), qPrintable(withToken.Stderr()));
}

void TstHostGuard::connectionLimit()
{
    HostProcess host;
    QVERIFY2(host.Start({"--max-connections", "3"}), qPrintable(host.ErrorText()));
    QList<TestClient*> clients;
    for (int i = 0; i < 3; ++i) {
        clients << new TestClient;
        QVERIFY(clients.last()->Connect(host.Url()));
    }
    RawPeer refused;
    QVERIFY(!refused.Open(host.Url()));
    QCOMPARE(refused.StatusLine(), QByteArray("HTTP/1.1 503 Service Unavailable"));
    // Handshakes that Qt's server refuses itself take no place for good.
    delete clients.takeLast();
    QTRY_COMPARE(host.Stderr().count("Client disconnected"), 1);
    for (int i = 0; i < 3; ++i) {
        QTcpSocket socket;
        socket.connectToHost(host.Url().host(), quint16(host.Url().port()));
        QVERIFY(socket.waitForConnected(5000));
        socket.write("GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n");
        // Qt's server closes such a connection without an answer.
        QVERIFY(socket.state() == QAbstractSocket::UnconnectedState || socket.waitForDisconnected(5000));
        QCOMPARE(socket.readAll(), QByteArray());
    }
    clients << new TestClient;
    QVERIFY(clients.last()->Connect(host.Url()));
    QTRY_VERIFY(host.Stderr().contains("503 Service Unavailable, 3 connections already open"));
    // The open ones are served as before, and a closed one frees its place.
    QCOMPARE(clients.at(0)->Request({{"CMD", "get_state"}}).value("result").toString(), QStringLiteral("ok"));
    delete clients.takeLast();
    QTRY_COMPARE(host.Stderr().count("Client disconnected"), 2);
    RawPeer admitted;
    QVERIFY2(admitted.Open(host.Url()), admitted.StatusLine().constData());
    qDeleteAll(clients);
    QVERIFY2(host.Stop(), qPrintable(host.Stderr()));
}

void TstHostGuard::floodOfClosingConnectionsLeavesNothing()
{
    HostProcess host;
    QVERIFY2(host.Start({"--max-connections", "3"}), qPrintable(host.ErrorText()));
    TestClient established;
    QVERIFY(established.Connect(host.Url()));
    // 3000 connections, each closed right after the first line of its
    // upgrade request, from a thread of their own while this one reads the
    // host's log.
    std::atomic<bool> done{false};
    std::thread flood([&done, port = quint16(host.Url().port())] {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; i < 3000; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
                ::send(fd, "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL);
            ::close(fd);
        }
        done = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(done, 120000);
    flood.join();
    // Answered afterwards, and the places the flood took are free again: two
    // more clients get in, without waiting for any handshake to time out.
    QCOMPARE(established.Request({{"CMD", "get_state"}}, 30000).value("result").toString(), QStringLiteral("ok"));
    TestClient second, third;
    // Refused while the host still closes what the flood left in its
    // backlog; no handshake may have to time out for them to get in (below).
    // Not QTRY: it evaluates its condition again after success, and a
    // second Connect would reopen the socket.
    const auto admitted = [&host](TestClient& client) {
        const QDeadlineTimer deadline(30000);
        while (!client.Connect(host.Url())) {
            if (deadline.hasExpired())
                return false;
            QTest::qWait(50);
        }
        return true;
    };
    QVERIFY2(admitted(second), qPrintable(host.Stderr().right(3000)));
    QVERIFY2(admitted(third), qPrintable(host.Stderr().right(3000)));
    QCOMPARE(third.Request({{"CMD", "get_state"}}).value("result").toString(), QStringLiteral("ok"));
    QVERIFY2(!host.Stderr().contains("timed out"), qPrintable(host.Stderr().right(2000)));
    QVERIFY2(host.Stop(), qPrintable(host.Stderr().right(2000)));
}

QTEST_GUILESS_MAIN(TstHostGuard)
#include "tst_hostguard.moc"
