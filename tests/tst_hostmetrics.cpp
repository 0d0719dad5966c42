// The host's GET /metrics and /healthz, on its WebSocket port and on a port
// of their own: what they answer, what they refuse, and that counts move.

#include "tests/support/HostProcess.h"
#include "tests/support/RefusingPort.h"
#include "tests/support/TestClient.h"

#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryFile>
#include <QtTest>

namespace {

const QString kTemplate = QStringLiteral(KIV_SOURCE_DIR "/examples/device-template.json");

// The samples of a Prometheus text page by name and labels as written.
QHash<QString, double> samples(const QByteArray& page)
{
    QHash<QString, double> values;
    for (const QByteArray& line : page.split('\n')) {
        if (!line.isEmpty() && !line.startsWith('#'))
            values.insert(QString::fromUtf8(line.left(line.lastIndexOf(' '))), line.mid(line.lastIndexOf(' ') + 1).toDouble());
    }
    return values;
}

} // namespace

class TstHostMetrics : public QObject
{
    Q_OBJECT

    HostProcess m_emulator{QStringLiteral("controller-emulator")};
    // Pages on its WebSocket port, a token for clients, the emulator as controller.
    HostProcess m_host;
    // Pages on --metrics-port, a controller that refuses connections.
    HostProcess m_apart;
    RefusingPort m_refusing;
    QTemporaryFile m_token;
    quint16 m_metricsPort = 0;

    quint16 PortOf(const QString& which) const
    {
        return which == "host" ? quint16(m_host.Url().port()) : which == "apart" ? quint16(m_apart.Url().port()) : m_metricsPort;
    }

    // Sends `request` as it is and returns everything the host wrote back
    // before it closed the connection.
    static QByteArray Exchange(quint16 port, const QByteArray& request)
    {
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), port);
        if (!socket.waitForConnected(5000))
            return "not connected";
        socket.write(request);
        QByteArray answer;
        QObject::connect(&socket, &QTcpSocket::readyRead, [&] { answer += socket.readAll(); });
        if (!QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, 15000))
            return "not closed: " + answer;
        return answer + socket.readAll();
    }

    static QByteArray Get(quint16 port, const QByteArray& path)
    {
        return Exchange(port, "GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n");
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_token.open() && m_token.write("s3cret\n") > 0 && m_token.flush());
        QVERIFY2(m_emulator.Start({"--template", kTemplate}), qPrintable(m_emulator.ErrorText()));
        QVERIFY2(m_host.Start(m_emulator.ControllerOption() + QStringList{"--token", m_token.fileName()}),
                 qPrintable(m_host.ErrorText()));
        QVERIFY2(m_apart.Start({"--controller", m_refusing.Url(), "--metrics-port", "0"}), qPrintable(m_apart.ErrorText()));
        const QRegularExpressionMatch pages =
            QRegularExpression(QStringLiteral("Metrics and health on http://[^:]+:(\\d+)/")).match(m_apart.Stderr());
        QVERIFY2(pages.hasMatch(), qPrintable(m_apart.Stderr()));
        m_metricsPort = quint16(pages.captured(1).toUInt());
        QVERIFY(m_metricsPort != m_apart.Url().port());
    }

    void cleanupTestCase()
    {
        QVERIFY2(m_host.Stop(), qPrintable(m_host.Stderr()));
        QVERIFY2(m_apart.Stop(), qPrintable(m_apart.Stderr()));
        QVERIFY2(m_emulator.Stop(), qPrintable(m_emulator.Stderr()));
    }

    void pages_data()
    {
        QTest::addColumn<QString>("port"); // "host", "apart" (its WebSocket port) or "metrics" (its --metrics-port)
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<QByteArray>("body"); // the start of the body

        const QByteArray host = "\r\nHost: x\r\n\r\n";
        QTest::newRow("healthz") << "host" << "GET /healthz HTTP/1.1" + host << QByteArray("200") << QByteArray("ok\n");
        QTest::newRow("metrics") << "host" << "GET /metrics?x=1 HTTP/1.1" + host << QByteArray("200")
                                 << QByteArray("# HELP autotest_host_requests_total ");
        QTest::newRow("HEAD") << "host" << "HEAD /metrics HTTP/1.1" + host << QByteArray("200") << QByteArray();
        QTest::newRow("controller down") << "metrics" << "GET /healthz HTTP/1.1" + host << QByteArray("503")
                                         << QByteArray("controller not reachable\n");
        QTest::newRow("metrics port") << "metrics" << "GET /metrics HTTP/1.0" + host << QByteArray("200") << QByteArray("# HELP");
        // Where there are no pages, a plain request is refused, not dropped without a word.
        QTest::newRow("moved away") << "apart" << "GET /metrics HTTP/1.1" + host << QByteArray("426") << QByteArray("not a WebSocket");
        QTest::newRow("other page") << "host" << "GET /other HTTP/1.1" + host << QByteArray("426") << QByteArray("not a WebSocket");
        QTest::newRow("upgrade on metrics port")
            << "metrics"
            << QByteArray("GET /metrics HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n")
            << QByteArray("404") << QByteArray("no such page");
        QTest::newRow("POST") << "metrics" << QByteArray("POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 2\r\n\r\n{}")
                              << QByteArray("405") << QByteArray("method not allowed");
        QTest::newRow("malformed") << "host" << QByteArray("GET /metrics HTTP/1.1\r\nno colon here\r\n\r\n") << QByteArray("400")
                                   << QByteArray("malformed request");
        QTest::newRow("oversized") << "host" << "GET /metrics HTTP/1.1\r\nX-Pad: " + QByteArray(17000, 'a') + host << QByteArray("400")
                                   << QByteArray("request head larger than");
    }

    void pages()
    {
        QFETCH(QString, port);
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, body);
        const QByteArray answer = Exchange(PortOf(port), request);
        QVERIFY2(answer.startsWith("HTTP/1.1 "), answer.constData());
        QTEST(answer.mid(9, 3), "status");
        const int headEnd = answer.indexOf("\r\n\r\n");
        QVERIFY2(answer.mid(headEnd + 4).startsWith(body), answer.constData());
        QVERIFY(!answer.contains("s3cret"));
    }

    // Requests count under their command and result, once in the histogram;
    // the WebSocket upgrade on the same port still needs the token and works.
    void countsMove()
    {
        const QHash<QString, double> before = samples(Get(PortOf("host"), "/metrics"));
        QTRY_COMPARE(samples(Get(PortOf("host"), "/metrics")).value("autotest_host_controller_up"), 1.0);
        QCOMPARE(before.value("autotest_host_database_up"), 1.0);
        TestClient client;
        QNetworkRequest request(m_host.Url());
        request.setRawHeader("Authorization", "Bearer s3cret");
        QSignalSpy connected(&client.Socket(), &QWebSocket::connected);
        client.Socket().open(request);
        QVERIFY(connected.wait(10000));
        QCOMPARE(client.Request({{"CMD", "switch_state"}, {"state", "local"}}).value("result"), QJsonValue("ok"));
        QCOMPARE(client.Request({{"CMD", "get_state"}}).value("result"), QJsonValue("ok"));
        QVERIFY(client.Request({{"CMD", "no_such_cmd"}}).value("result").toString().contains("not support"));
        client.Send(QStringLiteral("not JSON"));
        QVERIFY(client.WaitReplies(4));

        const QByteArray page = Get(PortOf("host"), "/metrics");
        const QHash<QString, double> after = samples(page);
        const QHash<QString, double> expected{
            {"autotest_host_requests_total{cmd=\"switch_state\",result=\"ok\"}", 1},
            {"autotest_host_requests_total{cmd=\"get_state\",result=\"ok\"}", 1},
            {"autotest_host_requests_total{cmd=\"other\",result=\"failed\"}", 1},
            {"autotest_host_requests_total{cmd=\"none\",result=\"failed\"}", 1},
            {"autotest_host_request_seconds_count", 4},
        };
        for (auto it = expected.cbegin(); it != expected.cend(); ++it)
            QVERIFY2(after.value(it.key()) - before.value(it.key()) == it.value(), qPrintable(it.key()));
        QVERIFY(!page.contains("no_such_cmd"));
        QCOMPARE(after.value("autotest_host_request_seconds_bucket{le=\"+Inf\"}"), after.value("autotest_host_request_seconds_count"));
        // Connections of the rows before may still be on their way out.
        QTRY_COMPARE(samples(Get(PortOf("host"), "/metrics")).value("autotest_host_open_connections"), 1.0);
        QCOMPARE(after.value("autotest_host_jobs_running"), 0.0);
    }
};

QTEST_GUILESS_MAIN(TstHostMetrics)
#include "tst_hostmetrics.moc"
