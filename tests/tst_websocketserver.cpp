// The host's WebSocket server in one process: the text frames it writes
// itself, a client that pipelines faster than it reads, and a flood of
// connections that close mid-handshake.

#include "platform/KIVWebSocketServer.h"
#include "platform/TextFrameWriter.h"
#include "platform/WebSocketHandler.h"
#include "tests/support/TestClient.h"

#include <QAbstractEventDispatcher>
#include <QPointer>
#include <QWebSocket>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

namespace {

// Answers every text message through `answer`.
class ScriptedHandler : public WebSocketHandler
{
public:
    using Answer = std::function<void(ScriptedHandler&, const QString&)>;
    ScriptedHandler(QWebSocket* socket, QObject* parent, Answer answer)
        : WebSocketHandler(socket, parent)
        , m_answer(std::move(answer))
    {
    }
    int Handled() const { return m_handled; }

protected:
    void OnTextMessage(const QString& message) override
    {
        ++m_handled;
        m_answer(*this, message);
    }

private:
    Answer m_answer;
    int m_handled = 0;
};

struct Server
{
    KIVWebSocketServer server{QStringLiteral("test")};
    QPointer<ScriptedHandler> newest;

    // Listens on a free port; each connection's frames carry at most `frameSize` bytes.
    bool Start(ScriptedHandler::Answer answer, quint64 frameSize = TextFrameWriter::DefaultFrameSize)
    {
        server.SetHandlerFactory([this, answer, frameSize](QWebSocket* socket, QObject* parent) -> WebSocketHandler* {
            socket->setOutgoingFrameSize(frameSize);
            return newest = new ScriptedHandler(socket, parent, answer);
        });
        return server.Listen(QHostAddress::LocalHost, 0);
    }
    QUrl Url() const { return QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(server.Port())); }
};

// Server frames (never masked) as they arrive on a plain TCP socket.
class FrameReader
{
public:
    // Takes what the socket holds; true while the frames parse.
    bool Take(QTcpSocket& socket)
    {
        m_buffer += socket.readAll();
        for (;;) {
            if (m_buffer.size() < 2)
                return true;
            const auto byte = [this](int i) { return quint64(uchar(m_buffer.at(i))); };
            if (byte(1) & 0x80)
                return false;
            quint64 length = byte(1) & 0x7f;
            int header = 2;
            if (length == 126) {
                header = 4;
                length = m_buffer.size() < 4 ? 0 : byte(2) << 8 | byte(3);
            } else if (length == 127) {
                header = 10;
                length = 0;
                for (int i = 2; i < 10 && m_buffer.size() >= 10; ++i)
                    length = length << 8 | byte(i);
            }
            if (quint64(m_buffer.size()) < header + length)
                return true;
            m_message += m_buffer.mid(header, int(length));
            if (byte(0) & 0x80)
                m_messages.append(std::exchange(m_message, QByteArray()));
            m_buffer.remove(0, header + int(length));
        }
    }
    const QList<QByteArray>& Messages() const { return m_messages; }

private:
    QByteArray m_buffer;
    QByteArray m_message;
    QList<QByteArray> m_messages;
};

// A client at the byte level that reads nothing until told to, so that the
// server's replies back up. Unlike RawPeer it never blocks, the server being
// in this same thread.
class LazyPeer
{
public:
    bool Open(const QUrl& url)
    {
        m_socket.connectToHost(url.host(), quint16(url.port()));
        m_socket.write("GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                       "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
        QSignalSpy arrived(&m_socket, &QIODevice::readyRead);
        QByteArray head;
        while (!(head += m_socket.readAll()).contains("\r\n\r\n")) {
            if (!arrived.wait(10000))
                return false;
        }
        // From here on Qt takes almost nothing from the kernel.
        m_socket.setReadBufferSize(16);
        return head.startsWith("HTTP/1.1 101 ");
    }
    // One text frame, masked with a zero mask as a client must.
    void Send(const QByteArray& payload)
    {
        QByteArray frame("\x81", 1);
        frame += char(0x80 | payload.size());
        frame += QByteArray(4, '\0');
        m_socket.write(frame + payload);
    }
    QTcpSocket& Socket() { return m_socket; }

private:
    QTcpSocket m_socket;
};

// Opens `count` TCP connections to `port` one after another and closes each
// right away: after nothing, after the first line of an upgrade request, or
// after the whole request. Done on a thread of its own, so that the server
// keeps running on this one.
class Flood
{
public:
    Flood(quint16 port, int count)
        : m_thread([this, port, count] { Run(port, count); })
    {
    }
    ~Flood() { m_thread.join(); }
    bool Done() const { return m_done; }
    int Connected() const { return m_connected; }

private:
    void Run(quint16 port, int count)
    {
        static const QByteArray parts[] = {
            QByteArray(),
            QByteArray("GET / HTTP/1.1\r\n"),
            QByteArray("GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                       "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"),
        };
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        for (int i = 0; i < count; ++i) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
                ++m_connected;
                const QByteArray& part = parts[i % 3];
                if (!part.isEmpty())
                    ::send(fd, part.constData(), size_t(part.size()), MSG_NOSIGNAL);
            }
            ::close(fd);
        }
        m_done = true;
    }

    std::atomic<bool> m_done{false};
    std::atomic<int> m_connected{0};
    std::thread m_thread;
};

} // namespace

class TstWebSocketServer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void frameHeaders_data();
    void frameHeaders();
    void textFramesReadByQWebSocket_data();
    void textFramesReadByQWebSocket();
    void pipeliningPeerIsPausedUntilItReads();
    void churnLeavesNothingBehind();
};

void TstWebSocketServer::frameHeaders_data()
{
    QTest::addColumn<bool>("first");
    QTest::addColumn<bool>("last");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<QByteArray>("header");
    // The length takes 7 bits up to 125, 16 bits up to 65535, 64 bits beyond.
    QTest::newRow("whole, empty") << true << true << 0LL << QByteArray::fromHex("8100");
    QTest::newRow("whole, 125") << true << true << 125LL << QByteArray::fromHex("817d");
    QTest::newRow("whole, 126") << true << true << 126LL << QByteArray::fromHex("817e007e");
    QTest::newRow("whole, 65535") << true << true << 65535LL << QByteArray::fromHex("817effff");
    QTest::newRow("whole, 65536") << true << true << 65536LL << QByteArray::fromHex("817f0000000000010000");
    QTest::newRow("first of several") << true << false << 524288LL << QByteArray::fromHex("017f0000000000080000");
    QTest::newRow("middle") << false << false << 5LL << QByteArray::fromHex("0005");
    QTest::newRow("last") << false << true << 5LL << QByteArray::fromHex("8005");
}

void TstWebSocketServer::frameHeaders()
{
    QFETCH(bool, first);
    QFETCH(bool, last);
    QFETCH(qint64, size);
    QFETCH(QByteArray, header);
    QCOMPARE(TextFrameWriter::FrameHeader(first, last, size).toHex(), header.toHex());
}

void TstWebSocketServer::textFramesReadByQWebSocket_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("frameSize");
    const QByteArray e = QByteArray("\xc3\xa9");             // é, two bytes
    const QByteArray smile = QByteArray("\xf0\x9f\x98\x80"); // U+1F600, a surrogate pair in UTF-16
    const QByteArray han = QByteArray("\xe6\xbc\xa2");       // 漢, three bytes
    QTest::newRow("empty") << QByteArray() << 1000;
    QTest::newRow("125 bytes") << QByteArray(125, 'a') << 1000;
    QTest::newRow("126 bytes") << QByteArray(126, 'a') << 1000;
    QTest::newRow("one frame exactly") << QByteArray(1000, 'a') << 1000;
    QTest::newRow("one byte into a second frame") << QByteArray(1001, 'a') << 1000;
    QTest::newRow("two-byte character across frames") << QByteArray(999, 'a') + e + QByteArray(500, 'b') << 1000;
    QTest::newRow("surrogate pair across frames") << QByteArray(998, 'a') + smile + QByteArray(500, 'b') << 1000;
    QTest::newRow("three-byte character across frames") << QByteArray(999, 'a') + han + QByteArray(2, 'b') << 1000;
    QByteArray mixed;
    while (mixed.size() < 3 * 1024 * 1024 + 17)
        mixed += "{\"k\":\"" + e + smile + han + "\\n\"}, ";
    QTest::newRow("3 MiB mixed, 512 KiB frames") << mixed << int(TextFrameWriter::DefaultFrameSize);
    QTest::newRow("65536 bytes in one frame") << QByteArray(65536, 'z') << int(TextFrameWriter::DefaultFrameSize);
}

void TstWebSocketServer::textFramesReadByQWebSocket()
{
    QFETCH(QByteArray, text);
    QFETCH(int, frameSize);
    Server server;
    QVERIFY(server.Start([text](ScriptedHandler& handler, const QString&) { handler.WriteWebText(text); }, quint64(frameSize)));
    TestClient client;
    QVERIFY(client.Connect(server.Url()));
    QByteArray frames;
    int frameCount = 0;
    connect(&client.Socket(), &QWebSocket::textFrameReceived, this, [&](const QString& frame, bool) {
        frames += frame.toUtf8();
        ++frameCount;
    });
    QSignalSpy pong(&client.Socket(), &QWebSocket::pong);
    client.Send(QStringLiteral("go"));
    // A control frame of the server's own QWebSocket may come between the frames.
    client.Socket().ping("between");
    QVERIFY(client.WaitReplies(1, 30000));
    QCOMPARE(client.Replies().first().toUtf8().size(), text.size());
    QVERIFY(client.Replies().first() == QString::fromUtf8(text));
    QCOMPARE(frameCount, qMax(1, (text.size() + frameSize - 1) / frameSize));
    QVERIFY(frames == text);
    QVERIFY(pong.count() == 1 || pong.wait());
}

void TstWebSocketServer::pipeliningPeerIsPausedUntilItReads()
{
    // Each request gets 1 MiB that starts with its number.
    Server server;
    QVERIFY(server.Start([](ScriptedHandler& handler, const QString& message) {
        handler.WriteWebText(message.toUtf8() + ':' + QByteArray(1024 * 1024, 'r'));
    }));
    LazyPeer peer;
    QVERIFY(peer.Open(server.Url()));
    const int requests = 100;
    for (int i = 0; i < requests; ++i)
        peer.Send(QByteArray::number(i));
    // The peer reads nothing: past the pause mark its next requests wait unread.
    QTRY_VERIFY(server.newest && server.newest->IsPaused());
    const int handled = server.newest->Handled();
    QVERIFY2(handled < requests, qPrintable(QString::number(handled)));

    // Once it reads, every request is answered, in order; none is lost.
    FrameReader reader;
    peer.Socket().setReadBufferSize(0);
    connect(&peer.Socket(), &QTcpSocket::readyRead, this, [&] { QVERIFY(reader.Take(peer.Socket())); });
    QVERIFY(reader.Take(peer.Socket()));
    QTRY_COMPARE_WITH_TIMEOUT(reader.Messages().size(), requests, 60000);
    for (int i = 0; i < requests; ++i)
        QVERIFY(reader.Messages().at(i).startsWith(QByteArray::number(i) + ':'));
    QCOMPARE(server.newest->Handled(), requests);
    QVERIFY(!server.newest->IsPaused());
    QCOMPARE(server.server.ConnectionCount(), 1);
}

void TstWebSocketServer::churnLeavesNothingBehind()
{
    Server server;
    QVERIFY(server.Start([](ScriptedHandler& handler, const QString&) { handler.WriteWebText("answer"); }));
    // Room for a few: most of the flood is refused with 503.
    server.server.SetMaxConnections(4);
    TestClient established;
    QVERIFY(established.Connect(server.Url()));
    established.Send(QStringLiteral("before"));
    QVERIFY(established.WaitReplies(1));
    const int timers = QAbstractEventDispatcher::instance()->children().size();

    {
        Flood flood(server.server.Port(), 3000);
        QTRY_VERIFY_WITH_TIMEOUT(flood.Done(), 120000);
        QVERIFY(flood.Connected() > 2900);
    }
    // Nothing is kept for connections that have gone: no handshake state, no
    // handler, no timer waiting for them.
    QTRY_COMPARE_WITH_TIMEOUT(server.server.HandshakeCount(), 0, 10000);
    QTRY_COMPARE(server.server.ConnectionCount(), 1);
    QVERIFY2(QAbstractEventDispatcher::instance()->children().size() <= timers,
             qPrintable(QStringLiteral("%1 objects under the event dispatcher, %2 before")
                            .arg(QAbstractEventDispatcher::instance()->children().size())
                            .arg(timers)));
    // The established client is answered.
    established.Send(QStringLiteral("after"));
    QVERIFY(established.WaitReplies(2));
    QCOMPARE(established.Replies().value(1), QStringLiteral("answer"));
}

QTEST_GUILESS_MAIN(TstWebSocketServer)
#include "tst_websocketserver.moc"
