// The HTTP transport in one process against the scripted server.

#include "remote/WebFileGetter.h"
#include "tests/support/FakeRemoteServer.h"

#include <QNetworkReply>
#include <QtTest>

class TstWebFileGetter : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void progressClimbsAndCompletionComesLastOnce();
    void errorsCompleteWithTheErrorCode();
};

void TstWebFileGetter::progressClimbsAndCompletionComesLastOnce()
{
    FakeRemoteServer server;
    QVERIFY(server.Listen(8080));
    FakeRemoteServer::Reply reply;
    reply.body = QByteArray(300 * 1024, 'x');
    reply.pieces = 7;
    reply.pauseMs = 40;
    server.Queue(reply);

    WebFileGetter getter;
    QList<int> codes;
    QByteArray body;
    getter.wGet(QStringLiteral("http://127.0.0.1:8080/api"), "{}", [&](int code, QNetworkReply* r) {
        codes.append(code);
        if (code == WebFileGetter::Finished)
            body = r->readAll();
    });
    QCOMPARE(getter.Outstanding(), 1);
    QTRY_VERIFY(codes.contains(WebFileGetter::Finished));
    QCOMPARE(body.size(), reply.body.size());
    QCOMPARE(codes.last(), int(WebFileGetter::Finished));
    QCOMPARE(codes.count(WebFileGetter::Finished), 1);
    // Progress climbs in several steps, in whole percents, to 100.
    const QList<int> progress = codes.mid(0, codes.size() - 1);
    QVERIFY2(progress.size() >= 3, qPrintable(QString::number(progress.size())));
    QVERIFY(std::is_sorted(progress.begin(), progress.end()));
    QVERIFY(progress.first() >= 0 && progress.first() < 100);
    QCOMPARE(progress.last(), 100);
    QCOMPARE(getter.Outstanding(), 0);
}

void TstWebFileGetter::errorsCompleteWithTheErrorCode()
{
    WebFileGetter getter;
    int code = 0;
    QString error;
    // Nothing listens on this port.
    getter.wGet(QStringLiteral("http://127.0.0.1:1/api"), "{}", [&](int c, QNetworkReply* r) {
        code = c;
        error = r->errorString();
    });
    QTRY_COMPARE(code, int(WebFileGetter::NetworkError));
    QVERIFY(error.contains("refused", Qt::CaseInsensitive));
    QCOMPARE(getter.Outstanding(), 0);
}

QTEST_GUILESS_MAIN(TstWebFileGetter)
#include "tst_webfilegetter.moc"
