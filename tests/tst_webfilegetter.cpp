// The HTTP transport in one process against the scripted server.

#include "remote/WebFileGetter.h"
#include "tests/support/FakeRemoteServer.h"
#include "tests/support/RefusingPort.h"

#include <QNetworkReply>
#include <QtTest>

class TstWebFileGetter : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void eachRequestCompletesOnceAfterItsProgress();
    void answers_data();
    void answers();
    void connectionsAreBoundedAndReused();
};

namespace {

struct Outcome
{
    int code = -1;
    QString text; // the body when Finished, else the error text
};

QString apiUrl(const FakeRemoteServer& server)
{
    return QStringLiteral("http://127.0.0.1:%1/api").arg(server.Port());
}

// Posts one request and waits for its completion.
Outcome post(WebFileGetter& getter, const QString& url)
{
    auto outcome = std::make_shared<Outcome>();
    getter.wGet(url, "{}", [outcome](int code, QNetworkReply* reply) {
        if (code < WebFileGetter::Finished)
            return;
        outcome->code = code;
        outcome->text = code == WebFileGetter::Finished ? QString::fromLatin1(WebFileGetter::Body(reply))
                                                        : WebFileGetter::ErrorText(reply);
    });
    if (!QTest::qWaitFor([&] { return outcome->code >= 0; }, 10000))
        outcome->text = QStringLiteral("no completion within 10 s");
    return *outcome;
}

} // namespace

void TstWebFileGetter::eachRequestCompletesOnceAfterItsProgress()
{
    FakeRemoteServer server;
    QVERIFY(server.Listen());
    const QByteArray body(300 * 1024, 'x');
    // Seven pieces 40 ms apart, so that progress comes in several steps.
    server.Queue({200, body, {}, 7, 40});

    // Two requests at once, one of them to a port where nothing listens.
    const RemoteSettings settings;
    WebFileGetter getter(settings);
    QList<int> codes, failedCodes;
    QByteArray received;
    QString error;
    getter.wGet(apiUrl(server), "{}", [&](int code, QNetworkReply* r) {
        codes.append(code);
        if (code == WebFileGetter::Finished)
            received = WebFileGetter::Body(r);
    });
    const RefusingPort refusing;
    getter.wGet(QStringLiteral("http://127.0.0.1:%1/api").arg(refusing.Port()), "{}", [&](int code, QNetworkReply* r) {
        failedCodes.append(code);
        error = r->errorString();
    });
    QCOMPARE(getter.Outstanding(), 2);
    QTRY_COMPARE(getter.Outstanding(), 0);

    QCOMPARE(failedCodes, QList<int>{WebFileGetter::NetworkError});
    QVERIFY2(error.contains("refused", Qt::CaseInsensitive), qPrintable(error));
    QCOMPARE(received, body);
    QCOMPARE(codes.takeLast(), int(WebFileGetter::Finished));
    // What came before is progress in whole percents, climbing to 100.
    QString shown;
    QDebug(&shown) << codes;
    QVERIFY2(codes.size() >= 3 && std::is_sorted(codes.begin(), codes.end()) && codes.first() >= 0
                 && codes.first() < 100 && codes.last() == 100,
             qPrintable(shown));
}

void TstWebFileGetter::answers_data()
{
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<bool>("close"); // the server closes after sending
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");
    const int finished = WebFileGetter::Finished, failed = WebFileGetter::NetworkError, tooLarge = WebFileGetter::TooLarge;
    const QByteArray chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    const QString overLimit = QStringLiteral("the remote reply was too large: more than 1024 bytes");

    QTest::newRow("length") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello") << false << finished << "hello";
    QTest::newRow("chunked, extension, trailer")
        << chunked + "5;x=y\r\nhello\r\n6\r\n world\r\n0\r\nX-Sum: 1\r\n\r\n" << false << finished << "hello world";
    QTest::newRow("interim answer first")
        << QByteArray("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok") << false << finished << "ok";
    QTest::newRow("body to the end") << QByteArray("HTTP/1.1 200 OK\r\n\r\nto the end") << true << finished << "to the end";
    QTest::newRow("chunked at the limit") << chunked + "400\r\n" + QByteArray(1024, 'x') + "\r\n0\r\n\r\n" << false << finished
                                          << QString(1024, 'x');
    // Worded as Qt's own transport words it.
    QTest::newRow("error status") << QByteArray("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 2\r\n\r\n{}") << false << failed
                                  << "Error transferring %url - server replied: Service Unavailable";
    QTest::newRow("malformed status line") << QByteArray("HTTX/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}") << false << failed
                                           << "Malformed HTTP answer (bad version)";
    QTest::newRow("bad chunk size") << chunked + "zz\r\nhello\r\n0\r\n\r\n" << false << failed << "Malformed HTTP answer (bad chunk)";
    QTest::newRow("endless chunk line") << chunked + "5;" + QByteArray(40000, 'e') << false << failed
                                        << "Malformed HTTP answer (a chunk line or trailer of more than 32768 bytes)";
    QTest::newRow("header too large") << "HTTP/1.1 200 OK\r\nX-Big: " + QByteArray(40000, 'a') + "\r\n\r\n" << false << tooLarge
                                      << "the remote reply was too large: a header of more than 32768 bytes";
    // The body follows in the same read as the header.
    QTest::newRow("announced too large") << "HTTP/1.1 200 OK\r\nContent-Length: 1025\r\n\r\n" + QByteArray(1025, 'x') << false
                                         << tooLarge << overLimit;
    QTest::newRow("chunked too large") << chunked + "400\r\n" + QByteArray(1024, 'x') + "\r\n1\r\nx\r\n0\r\n\r\n" << false
                                       << tooLarge << overLimit;
    QTest::newRow("closed mid-body") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"a\":") << true << failed
                                     << "Connection closed";
    QTest::newRow("closed mid-chunk") << chunked + "5\r\nab" << true << failed << "Connection closed";
    QTest::newRow("closed mid-header") << QByteArray("HTTP/1.1 200 OK\r\nContent-Le") << true << failed << "Connection closed";
}

void TstWebFileGetter::answers()
{
    QFETCH(QByteArray, raw);
    QFETCH(bool, close);
    QFETCH(int, code);
    QFETCH(QString, text);
    FakeRemoteServer server;
    QVERIFY(server.Listen());
    // In pieces, so that heads and chunk lines arrive split.
    FakeRemoteServer::Reply reply;
    reply.raw = raw;
    reply.close = close;
    reply.pieces = 3;
    reply.pauseMs = 20;
    server.Queue(reply);
    RemoteSettings settings;
    settings.maxReplyBytes = 1024;
    WebFileGetter getter(settings);
    const Outcome outcome = post(getter, apiUrl(server));
    QCOMPARE(outcome.text, text.replace("%url", apiUrl(server)));
    QCOMPARE(outcome.code, code);
    QCOMPARE(getter.Outstanding(), 0);
}

void TstWebFileGetter::connectionsAreBoundedAndReused()
{
    FakeRemoteServer server;
    QVERIFY(server.Listen());
    const RemoteSettings settings;
    WebFileGetter getter(settings);
    // Six connections carry twenty requests; the rest wait their turn.
    int finished = 0;
    for (int i = 0; i < 20; ++i) {
        getter.wGet(apiUrl(server), "{}", [&finished](int code, QNetworkReply*) {
            finished += code == WebFileGetter::Finished ? 1 : 0;
        });
    }
    QTRY_COMPARE(getter.Outstanding(), 0);
    QCOMPARE(finished, 20);
    QCOMPARE(server.Connections(), 6);
    QCOMPARE(post(getter, apiUrl(server)).code, int(WebFileGetter::Finished));
    QCOMPARE(server.Connections(), 6);

    // A kept-alive connection that the server closes as a request arrives:
    // the request goes again on another connection, once.
    FakeRemoteServer::Reply dropped;
    dropped.silent = true;
    dropped.close = true;
    server.Queue(dropped);
    QCOMPARE(post(getter, apiUrl(server)).text, QStringLiteral("{\"result\":\"ok\"}"));
    server.Queue(dropped);
    server.Queue(dropped);
    const Outcome twice = post(getter, apiUrl(server));
    QCOMPARE(twice.text, QStringLiteral("Connection closed"));
    QCOMPARE(server.Received().size(), 20 + 1 + 2 + 2);

    // Host names are looked up, and failures worded as before.
    QCOMPARE(post(getter, QStringLiteral("http://no-such-host.invalid/api")).text,
             QStringLiteral("Host no-such-host.invalid not found"));
}

QTEST_GUILESS_MAIN(TstWebFileGetter)
#include "tst_webfilegetter.moc"
