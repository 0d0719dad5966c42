// autotest-server's HTTP layer at its bounds: each limit holds at its edge
// (the last accepted size and the first refused one), ambiguous framing is
// refused, deadlines close silent connections, and a full server says 503.
// Requests go over raw sockets, byte for byte as written here.

#include "remote/HttpResponseReader.h"
#include "tests/support/HostProcess.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

const int kHeaderLimit = 16 * 1024;
const int kMiB = 1024 * 1024;
// The whole of the console page the tests ask for.
const QByteArray kPage = "<title>console</title>" + QByteArray(1000, '.');

// `{"cmd":"my_jobs"}` padded with spaces to `size` bytes.
QByteArray myJobs(int size = 0)
{
    QByteArray body = R"({"cmd":"my_jobs"})";
    return body + QByteArray(qMax(0, size - body.size()), ' ');
}

// A POST of `body` to /api whose header block (request line to blank line)
// is `headerBytes` long, padded by one field.
QByteArray postWithHeaderOf(int headerBytes, const QByteArray& body = myJobs())
{
    const QByteArray start = "POST /api HTTP/1.1\r\nHost: t\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\nX-Pad: ";
    const int pad = headerBytes - start.size() - 4;
    return start + QByteArray(pad, 'p') + "\r\n\r\n" + body;
}

// A POST of my_jobs with `fields` header fields in all.
QByteArray postWithFields(int fields)
{
    QByteArray head = "POST /api HTTP/1.1\r\nHost: t\r\nContent-Length: " + QByteArray::number(myJobs().size()) + "\r\n";
    for (int i = 2; i < fields; ++i)
        head += "X-F" + QByteArray::number(i) + ": v\r\n";
    return head + "\r\n" + myJobs();
}

QByteArray post(const QByteArray& fields, const QByteArray& body = QByteArray())
{
    return "POST /api HTTP/1.1\r\nHost: t\r\n" + fields + "\r\n" + body;
}

QByteArray get(const QByteArray& target, const QByteArray& fields = QByteArray())
{
    return "GET " + target + " HTTP/1.1\r\nHost: t\r\n" + fields + "\r\n";
}

struct Answer
{
    int status = 0;
    QByteArray body;
    HttpResponseReader::Headers headers;

    QString Result() const { return QJsonDocument::fromJson(body).object().value("result").toString(); }
    QByteArray Header(const QByteArray& name) const
    {
        for (const auto& field : headers)
            if (field.first.toLower() == name.toLower())
                return field.second;
        return QByteArray();
    }
};

// A client at the byte level: sends what it is told and reads answers with
// the station's own response reader.
class Peer
{
public:
    bool Connect(quint16 port)
    {
        m_socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        return m_socket.waitForConnected(10000);
    }

    // In pieces of `piece` bytes (0: at once), each handed to the kernel before the next.
    void Send(const QByteArray& bytes, int piece = 0)
    {
        for (int at = 0; at < bytes.size(); at += piece > 0 ? piece : bytes.size()) {
            m_socket.write(bytes.mid(at, piece > 0 ? piece : -1));
            while (m_socket.bytesToWrite() > 0 && m_socket.waitForBytesWritten(10000)) {
            }
        }
    }

    // The next whole answer (interim ones skipped); false when the
    // connection ended first or nothing came for 10 s.
    bool Read(Answer& answer)
    {
        HttpResponseReader reader(64 * kMiB);
        QByteArray input;
        input.swap(m_pending);
        for (;;) {
            if (!input.isEmpty() && reader.Feed(input.constData(), input.size()) != HttpResponseReader::Reading)
                break;
            input = Receive();
            if (input.isEmpty())
                return false;
        }
        if (reader.Status() != HttpResponseReader::Done)
            return false;
        m_pending = reader.Leftover();
        answer.status = reader.StatusCode();
        answer.body = reader.TakeBody();
        answer.headers = reader.HeaderFields();
        return true;
    }

    // Raw bytes up to and including the next blank line.
    QByteArray ReadHead()
    {
        while (!m_pending.contains("\r\n\r\n")) {
            const QByteArray more = Receive();
            if (more.isEmpty())
                return m_pending;
            m_pending += more;
        }
        const int end = m_pending.indexOf("\r\n\r\n") + 4;
        const QByteArray head = m_pending.left(end);
        m_pending.remove(0, end);
        return head;
    }

    // Everything until the server closes; false unless it closed within 10 s.
    bool ReadToEnd(QByteArray& rest)
    {
        rest = m_pending;
        m_pending.clear();
        for (;;) {
            const QByteArray more = Receive();
            if (more.isEmpty())
                return m_socket.state() != QAbstractSocket::ConnectedState;
            rest += more;
        }
    }

    // Bytes received before the close, empty when the server closed
    // nothing; false unless it closed within 10 s.
    bool WaitClosed(QByteArray& received) { return ReadToEnd(received); }

    QTcpSocket& Socket() { return m_socket; }
    // Every byte received so far.
    const QByteArray& Received() const { return m_received; }

private:
    QByteArray Receive()
    {
        if (m_socket.bytesAvailable() == 0 && m_socket.state() == QAbstractSocket::ConnectedState) {
            // Whichever comes first: bytes, the end, or 10 s of nothing.
            QEventLoop loop;
            QObject::connect(&m_socket, &QTcpSocket::readyRead, &loop, &QEventLoop::quit);
            QObject::connect(&m_socket, &QTcpSocket::disconnected, &loop, &QEventLoop::quit);
            QObject::connect(&m_socket, &QTcpSocket::errorOccurred, &loop, &QEventLoop::quit);
            QTimer::singleShot(10000, &loop, &QEventLoop::quit);
            loop.exec();
        }
        const QByteArray bytes = m_socket.readAll();
        m_received += bytes;
        return bytes;
    }

    QTcpSocket m_socket;
    QByteArray m_pending;
    QByteArray m_received;
};

} // namespace

class TstHttpServer : public QObject
{
    Q_OBJECT
    HostProcess m_server{QStringLiteral("autotest-server")};
    quint16 m_port = 0;

    // A server of its own with `arguments` (free port); its port, or 0.
    static quint16 Start(HostProcess& server, const QStringList& arguments)
    {
        if (!server.Start(arguments)) {
            qWarning("%s", qPrintable(server.ErrorText()));
            return 0;
        }
        return quint16(server.Url().port());
    }

    // One request on a new connection.
    Answer Ask(quint16 port, const QByteArray& request)
    {
        Peer peer;
        Answer answer;
        if (peer.Connect(port)) {
            peer.Send(request);
            peer.Read(answer);
        }
        return answer;
    }

    // For QTRY: asks my_jobs until one is answered with 200 and then stays
    // true, so that the macro's last look opens no connection that could
    // find the previous one's place still taken.
    bool AnsweredOnce(quint16 port)
    {
        if (m_answeredPort != port)
            m_answeredPort = Ask(port, post("Content-Length: 17\r\n", myJobs())).status == 200 ? port : 0;
        return m_answeredPort == port;
    }
    quint16 m_answeredPort = 0;

private Q_SLOTS:
    void initTestCase()
    {
        const QString console = m_server.AppDir() + "/console";
        QVERIFY(QDir().mkpath(console + "/sub"));
        QFile page(console + "/index.html");
        QVERIFY(page.open(QIODevice::WriteOnly) && page.write(kPage) == kPage.size());
        page.close();
        // Beside the console folder: what a path that climbs out would reach.
        QFile secret(m_server.AppDir() + "/secret.txt");
        QVERIFY(secret.open(QIODevice::WriteOnly) && secret.write("secret") == 6);
        secret.close();
        m_port = Start(m_server, {"--max-body-mib", "1", "--console", console});
        QVERIFY(m_port != 0);
    }

    void cleanupTestCase() { QVERIFY2(m_server.Stop(), qPrintable(m_server.Stderr())); }

    void init() { m_answeredPort = 0; }

    void bounds_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("piece"); // bytes per write, 0: all at once
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("result"); // the start of the JSON "result", or the whole body of a file
        QTest::addColumn<bool>("closes"); // a refusal ends the connection: what follows cannot be trusted
        const auto row = [](const char* name, const QByteArray& request, int status, const QString& result, bool closes, int piece = 0) {
            QTest::newRow(name) << request << piece << status << result << closes;
        };

        const QString tooLarge = "The request header is larger than the limit of 16384 bytes";
        row("header at the limit", postWithHeaderOf(kHeaderLimit), 200, "ok", false);
        row("header one byte over", postWithHeaderOf(kHeaderLimit + 1), 431, tooLarge, true);
        row("header at the limit, 8 bytes at a time", postWithHeaderOf(kHeaderLimit), 200, "ok", false, 8);
        // Beast bounds only what one call sees; fields that come one by one
        // would pass that.
        QByteArray longFields = "POST /api HTTP/1.1\r\nHost: t\r\nContent-Length: 17\r\n";
        for (int i = 0; longFields.size() <= kHeaderLimit; ++i)
            longFields += "X-Long" + QByteArray::number(i) + ": " + QByteArray(300, 'v') + "\r\n";
        row("header over the limit, a field at a time", longFields + "\r\n" + myJobs(), 431, tooLarge, true, 311);
        row("100 fields", postWithFields(100), 200, "ok", false);
        row("101 fields", postWithFields(101), 431, "The request header has more than 100 fields", true);

        const QString overBody = "The request body is larger than the limit of 1048576 bytes";
        row("body at the limit", post("Content-Length: 1048576\r\n", myJobs(kMiB)), 200, "ok", false);
        // Only the header is sent: the answer comes without the body.
        row("body one over", post("Content-Length: 1048577\r\n"), 413, overBody, true);
        row("body one over, expecting 100", post("Content-Length: 1048577\r\nExpect: 100-continue\r\n"), 413, overBody, true);
        row("chunk over the limit", post("Transfer-Encoding: chunked\r\n", "100001\r\n"), 413, overBody, true);
        row("chunked", post("Transfer-Encoding: chunked\r\n", "11\r\n" + myJobs() + "\r\n0\r\n\r\n"), 200, "ok", false);

        const QString ambiguous = "Ambiguous request framing: ";
        row("two equal Content-Length", post("Content-Length: 17\r\nContent-Length: 17\r\n", myJobs()), 400,
            ambiguous + "two Content-Length headers", true);
        row("two Content-Length", post("Content-Length: 17\r\nContent-Length: 18\r\n", myJobs()), 400,
            ambiguous + "two Content-Length headers", true);
        row("Content-Length, then chunked", post("Content-Length: 17\r\nTransfer-Encoding: chunked\r\n", myJobs()), 400,
            ambiguous + "Content-Length with Transfer-Encoding", true);
        row("chunked, then Content-Length", post("Transfer-Encoding: chunked\r\nContent-Length: 17\r\n", myJobs()), 400,
            ambiguous + "Content-Length with Transfer-Encoding", true);
        row("gzip, then Content-Length", post("Transfer-Encoding: gzip\r\nContent-Length: 17\r\n", myJobs()), 400,
            ambiguous + "Transfer-Encoding other than chunked: gzip", true);
        row("gzip, chunked", post("Transfer-Encoding: gzip, chunked\r\n", "11\r\n" + myJobs() + "\r\n0\r\n\r\n"), 400,
            ambiguous + "Transfer-Encoding other than chunked: gzip, chunked", true);
        row("two Transfer-Encoding", post("Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n"), 400,
            ambiguous + "two Transfer-Encoding headers", true);
        row("not HTTP", "HELLO\r\n\r\n", 400, "Malformed HTTP request: ", true);
        row("HTTP/2.0", "GET / HTTP/2.0\r\n\r\n", 400, "Malformed HTTP request: ", true);

        // 2 700 ranges of the whole file: one copy of it comes back.
        QByteArray ranges = "Range: bytes=0-";
        for (int i = 1; i < 2700; ++i)
            ranges += ",0-";
        row("2 700 ranges", get("/index.html", ranges + "\r\n"), 200, QString::fromLatin1(kPage), false);
        row("console page", get("/"), 200, QString::fromLatin1(kPage), false);
        const QString leaves = "The path leaves the console folder: ";
        row("..", get("/../secret.txt"), 400, leaves + "/../secret.txt", false);
        row(".. encoded", get("/%2e%2E/secret.txt"), 400, leaves + "/%2e%2E/secret.txt", false);
        row(".. in the middle", get("/sub/../../secret.txt"), 400, leaves, false);
        row("no such file", get("/secret.txt"), 404, "No such path: /secret.txt", false);
        row("POST elsewhere", post("Content-Length: 17\r\n", myJobs()).replace("/api", "/apix"), 404, "No such path: /apix", false);
    }

    void bounds()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, piece);
        QFETCH(QString, result);
        QFETCH(bool, closes);
        Peer peer;
        QVERIFY(peer.Connect(m_port));
        peer.Send(request, piece);
        Answer answer;
        QVERIFY(peer.Read(answer));
        // No "100 Continue" for a body that is refused.
        QVERIFY2(!peer.Received().startsWith("HTTP/1.1 100"), peer.Received().left(100).constData());
        QTEST(answer.status, "status");
        if (answer.Header("Content-Type") == "application/json")
            QVERIFY2(answer.Result().startsWith(result), answer.body.left(300).constData());
        else
            QCOMPARE(QString::fromLatin1(answer.body), result);
        QCOMPARE(answer.Header("Connection") == "close", closes);
        if (closes) {
            QByteArray rest;
            QVERIFY2(peer.WaitClosed(rest), "the connection stayed open");
            QCOMPARE(rest, QByteArray());
        } else {
            peer.Send(get("/api"));
            QVERIFY(peer.Read(answer));
            QCOMPARE(answer.status, 405);
        }
    }

    // What a client that waits for "100 Continue" gets: it, then the answer.
    void continueBeforeBody()
    {
        Peer peer;
        QVERIFY(peer.Connect(m_port));
        peer.Send(post("Content-Length: 1048576\r\nExpect: 100-continue\r\n"));
        QCOMPARE(peer.ReadHead(), QByteArray("HTTP/1.1 100 Continue\r\n\r\n"));
        peer.Send(myJobs(kMiB));
        Answer answer;
        QVERIFY(peer.Read(answer));
        QCOMPARE(answer.Result(), QStringLiteral("ok"));
    }

    void headAnswersWithoutBody()
    {
        Peer peer;
        QVERIFY(peer.Connect(m_port));
        peer.Send("HEAD /index.html HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n");
        QByteArray all;
        QVERIFY(peer.ReadToEnd(all));
        QVERIFY2(all.startsWith("HTTP/1.1 200 "), all.constData());
        QVERIFY2(all.contains("\r\nContent-Length: " + QByteArray::number(kPage.size()) + "\r\n"), all.constData());
        QVERIFY2(all.endsWith("\r\n\r\n"), all.constData());
    }

    void pipelinedInOrder()
    {
        Peer peer;
        QVERIFY(peer.Connect(m_port));
        peer.Send(post("Content-Length: 17\r\n", myJobs()) + get("/nothing") + get("/api") + get("/"));
        Answer answer;
        const int statuses[] = {200, 404, 405, 200};
        for (int status : statuses) {
            QVERIFY(peer.Read(answer));
            QCOMPARE(answer.status, status);
        }
        QCOMPARE(answer.body, kPage);
    }

    // Replies of about 60 KB pipelined to a client that reads nothing until
    // it has sent every request: the sockets fill, the rest of each reply
    // waits until the client reads, and every reply arrives whole and in order.
    void repliesWaitForASlowReader()
    {
        const QByteArray add = "{\"cmd\":\"add_tc\",\"testcase\":{\"projectid\":1,\"title\":\"big\",\"path\":\"slow/reader\",\"content\":\""
                               + QByteArray(60000, 'x') + "\"}}";
        const Answer added = Ask(m_port, post("Content-Length: " + QByteArray::number(add.size()) + "\r\n", add));
        QCOMPARE(added.Result(), QStringLiteral("ok"));
        const int id = QJsonDocument::fromJson(added.body).object().value("testcaseid").toInt();
        const QByteArray fetch = "{\"cmd\":\"fetch_tc\",\"testcaseid\":" + QByteArray::number(id) + "}";
        const QByteArray one = post("Content-Length: " + QByteArray::number(fetch.size()) + "\r\n", fetch);
        const int count = 150;
        Peer peer;
        QVERIFY(peer.Connect(m_port));
        // Set once connected: before, there is no socket to set it on.
        peer.Socket().setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 16 * 1024);
        peer.Send(one.repeated(count));
        Answer answer;
        for (int i = 0; i < count; ++i) {
            QVERIFY2(peer.Read(answer), qPrintable(QString::number(i)));
            QCOMPARE(answer.status, 200);
            const QJsonObject reply = QJsonDocument::fromJson(answer.body).object();
            QCOMPARE(reply.value("testcaseid").toInt(), id);
            QCOMPARE(reply.value("content").toString().size(), 60000);
        }
    }

    void methodsOnApi_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::newRow("GET") << QByteArray("GET");
        QTest::newRow("PUT") << QByteArray("PUT");
        QTest::newRow("OPTIONS") << QByteArray("OPTIONS");
    }

    void methodsOnApi()
    {
        QFETCH(QByteArray, method);
        const Answer answer = Ask(m_port, method + " /api HTTP/1.1\r\nHost: t\r\nContent-Length: 0\r\n\r\n");
        QCOMPARE(answer.status, 405);
        QCOMPARE(answer.Header("Allow"), QByteArray("POST"));
        QCOMPARE(answer.Result(), "Method " + method + " is not allowed on /api; send requests with POST");
    }

    // Each deadline counts from the start of its part; the connection is
    // closed without an answer when it passes.
    void deadlines_data()
    {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<int>("answers");
        QTest::newRow("nothing") << QByteArray() << 0;
        QTest::newRow("half a header line") << QByteArray("POST /api HTTP/1.1\r\nHo") << 0;
        QTest::newRow("header without its body") << post("Content-Length: 17\r\n", "{\"cmd\"") << 0;
        QTest::newRow("idle after an answer") << post("Content-Length: 17\r\n", myJobs()) << 1;
    }

    void deadlines()
    {
        QFETCH(QByteArray, sent);
        QFETCH(int, answers);
        HostProcess server(QStringLiteral("autotest-server"));
        const quint16 port = Start(server, {"--header-timeout-ms", "300", "--body-timeout-ms", "300", "--idle-timeout-ms", "300"});
        QVERIFY(port != 0);
        Peer peer;
        QVERIFY(peer.Connect(port));
        peer.Send(sent);
        for (int i = 0; i < answers; ++i) {
            Answer answer;
            QVERIFY(peer.Read(answer));
            QCOMPARE(answer.status, 200);
        }
        QByteArray rest;
        QVERIFY2(peer.WaitClosed(rest), "the connection stayed open");
        QCOMPARE(rest, QByteArray());
        QVERIFY2(server.Stop(), qPrintable(server.Stderr()));
    }

    void connectionLimit()
    {
        HostProcess server(QStringLiteral("autotest-server"));
        const quint16 port = Start(server, {"--max-connections", "2"});
        QVERIFY(port != 0);
        // Answered, so surely counted; both stay open.
        Peer first, second;
        for (Peer* peer : {&first, &second}) {
            Answer answer;
            QVERIFY(peer->Connect(port));
            peer->Send(post("Content-Length: 17\r\n", myJobs()));
            QVERIFY(peer->Read(answer));
            QCOMPARE(answer.status, 200);
        }
        Peer third;
        QVERIFY(third.Connect(port));
        third.Send(post("Content-Length: 17\r\n", myJobs()));
        Answer refused;
        QVERIFY(third.Read(refused));
        QCOMPARE(refused.status, 503);
        QCOMPARE(refused.Result(), QStringLiteral("Server busy, try again"));
        QByteArray rest;
        QVERIFY(third.WaitClosed(rest));
        // A connection that ends gives its place back.
        first.Socket().disconnectFromHost();
        QTRY_VERIFY_WITH_TIMEOUT(AnsweredOnce(port), 10000);
        QVERIFY2(server.Stop(), qPrintable(server.Stderr()));
    }

    void memoryBudget_data()
    {
        QTest::addColumn<bool>("sendBody"); // how the holder ends: its body sent, or its connection dropped
        QTest::newRow("body sent") << true;
        QTest::newRow("connection dropped") << false;
    }

    void memoryBudget()
    {
        QFETCH(bool, sendBody);
        HostProcess server(QStringLiteral("autotest-server"));
        const quint16 port = Start(server, {"--max-body-mib", "1", "--max-buffered-mib", "1"});
        QVERIFY(port != 0);
        // The server answers "100 Continue" once it has counted the body.
        Peer holder;
        QVERIFY(holder.Connect(port));
        holder.Send(post("Content-Length: 1048576\r\nExpect: 100-continue\r\n"));
        QCOMPARE(holder.ReadHead(), QByteArray("HTTP/1.1 100 Continue\r\n\r\n"));

        const Answer busy = Ask(port, post("Content-Length: 17\r\n", myJobs()));
        QCOMPARE(busy.status, 503);
        QCOMPARE(busy.body, QByteArray(R"({"result":"Server busy, try again"})"));

        if (sendBody) {
            holder.Send(myJobs(kMiB));
            Answer answer;
            QVERIFY(holder.Read(answer));
            QCOMPARE(answer.Result(), QStringLiteral("ok"));
        } else {
            holder.Socket().abort();
        }
        // Released once the reply is written or the connection is gone.
        QTRY_VERIFY_WITH_TIMEOUT(AnsweredOnce(port), 10000);
        QVERIFY2(server.Stop(), qPrintable(server.Stderr()));
    }

    // Bodies over 1 MiB may fill three quarters of the budget (4 MiB here);
    // smaller ones the rest. Each body is announced with "Expect:
    // 100-continue" and held unsent: "100 Continue" says it was counted.
    void budgetKeepsRoomForSmallBodies_data()
    {
        QTest::addColumn<QList<int>>("lengths");
        QTest::addColumn<QByteArray>("admitted"); // per body: + counted, - refused with 503
        QTest::newRow("large bodies stop at three quarters") << QList<int>{kMiB + 1, kMiB + 1, kMiB + 1} << QByteArray("++-");
        QTest::newRow("smaller ones fill the rest") << QList<int>{kMiB + 1, kMiB + 1, kMiB, kMiB} << QByteArray("+++-");
        QTest::newRow("a largest body fits") << QList<int>{2 * kMiB, 2 * kMiB} << QByteArray("+-");
    }

    void budgetKeepsRoomForSmallBodies()
    {
        QFETCH(QList<int>, lengths);
        QFETCH(QByteArray, admitted);
        HostProcess server(QStringLiteral("autotest-server"));
        const quint16 port = Start(server, {"--max-body-mib", "2", "--max-buffered-mib", "4"});
        QVERIFY(port != 0);
        std::vector<std::unique_ptr<Peer>> holders;
        QByteArray got;
        for (int length : lengths) {
            holders.push_back(std::make_unique<Peer>());
            QVERIFY(holders.back()->Connect(port));
            holders.back()->Send(post("Content-Length: " + QByteArray::number(length) + "\r\nExpect: 100-continue\r\n"));
            const QByteArray head = holders.back()->ReadHead();
            QVERIFY2(head.startsWith("HTTP/1.1 100 ") || head.startsWith("HTTP/1.1 503 "), head.constData());
            got += head.startsWith("HTTP/1.1 100 ") ? '+' : '-';
        }
        QCOMPARE(got, admitted);
        QVERIFY2(server.Stop(), qPrintable(server.Stderr()));
    }
};

QTEST_GUILESS_MAIN(TstHttpServer)
#include "tst_httpserver.moc"
