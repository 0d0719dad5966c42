// The HTTP transport in one process against the scripted server.

#include "remote/WebFileGetter.h"
#include "tests/support/FakeRemoteServer.h"

#include <QNetworkReply>
#include <QtTest>

class TstWebFileGetter : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void eachRequestCompletesOnceAfterItsProgress();
};

void TstWebFileGetter::eachRequestCompletesOnceAfterItsProgress()
{
    FakeRemoteServer server;
    QVERIFY(server.Listen(8080));
    const QByteArray body(300 * 1024, 'x');
    // Seven pieces 40 ms apart, so that progress comes in several steps.
    server.Queue({200, body, {}, 7, 40});

    // Two requests at once, one of them to a port where nothing listens.
    WebFileGetter getter;
    QList<int> codes, failedCodes;
    QByteArray received;
    QString error;
    getter.wGet(QStringLiteral("http://127.0.0.1:8080/api"), "{}", [&](int code, QNetworkReply* r) {
        codes.append(code);
        if (code == WebFileGetter::Finished)
            received = WebFileGetter::Body(r);
    });
    getter.wGet(QStringLiteral("http://127.0.0.1:1/api"), "{}", [&](int code, QNetworkReply* r) {
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

QTEST_GUILESS_MAIN(TstWebFileGetter)
#include "tst_webfilegetter.moc"
