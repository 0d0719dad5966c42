#include "engine/Verifier.h"

#include "tests/support/LogSpy.h"

#include <QJsonDocument>
#include <QtTest>

namespace {

QJsonObject json(const char* text)
{
    return QJsonDocument::fromJson(text).object();
}

} // namespace

class TestVerifier : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void passesThroughWrapper();
    void verdict_data();
    void verdict();
    void globalScopeIsPerVerifier();
};

void TestVerifier::passesThroughWrapper()
{
    QCOMPARE(Verifier::WrapperText().size(), 171);
    LogSpy log;
    Verifier verifier;
    QVERIFY(verifier.Init());

    // The call stack proves the verify function is reached from line 4 of the
    // wrapper, compiled as "Wrapper.js" from line 1, with parsed objects.
    const QString script = QStringLiteral("(function(l, g) { return typeof l === 'object' && g.M.G.I[1] === 7"
                                          " && new Error().stack.indexOf('Wrapper.js:4') >= 0; })");
    QString remark = QStringLiteral("preset");
    const bool verdict = verifier.Check(json(R"({"a":1})"), json(R"({"M":{"G":{"I":[6,7]}}})"), script, remark);
    QVERIFY2(verdict, qPrintable(log.Dump()));
    QCOMPARE(remark, QStringLiteral("preset"));
    QCOMPARE(log.Count("Verifier", "Verifier::Check", 3, R"(Local Params: {"a":1})"), 1);
    QCOMPARE(log.Count("Verifier", "Verifier::Check", 3, R"(Global Params: {"M":{"G":{"I":[6,7]}}})"), 1);
    QVERIFY2(log.WithPrefix("AT Verifier", QString()).isEmpty(), qPrintable(log.Dump()));
    QCOMPARE(Verifier::ErrorText(QJSValue(true)), QStringLiteral("No Error"));
}

void TestVerifier::verdict_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QJsonObject>("local");
    QTest::addColumn<QJsonObject>("global");
    QTest::addColumn<bool>("verdict");
    QTest::addColumn<QString>("remark"); // "preset" when the caller's text must survive
    QTest::addColumn<QString>("logged"); // level-1 "AT Verifier" record, if any

    const QString isOne = QStringLiteral("(function(l, g) { return l.a === 1; })");
    const auto returns = [](const char* value) { return QStringLiteral("(function() { return %1; })").arg(value); };
    const QString preset = QStringLiteral("preset");
    const QJsonObject none;

    QTest::newRow("member is 1") << isOne << json(R"({"a":1})") << none << true << preset << QString();
    QTest::newRow("member missing") << isOne << none << none << false << preset << QString();
    QTest::newRow("non-ASCII text") << QStringLiteral("(function(l) { return l.s === 'Grüße €'; })")
                                    << json(R"({"s":"Grüße €"})") << none << true << preset << QString();
    for (const char* falsy : {"0", "''", "null", "undefined"})
        QTest::newRow(falsy) << returns(falsy) << none << none << false << preset << QString();
    for (const char* truthy : {"'x'", "{}", "[]"})
        QTest::newRow(truthy) << returns(truthy) << none << none << true << preset << QString();

    const QString notCallable = QStringLiteral("Script is not callable");
    const QString declaration = QStringLiteral("function verify(l, g) { return true; }");
    QTest::newRow("declaration") << declaration << none << none << false << notCallable
                                 << QStringLiteral("VerifyFunc is not callable :\n") + declaration;
    QTest::newRow("empty script") << QString() << none << none << false << notCallable
                                  << QStringLiteral("VerifyFunc is not callable :\n");
    const QString early = QStringLiteral("Script Exception: LINE ( 2 ) TypeError: early");
    QTest::newRow("throws while evaluated") << QStringLiteral("var x = 1;\nthrow new TypeError('early');")
                                            << none << none << false << early << early;
    const QString late = QStringLiteral("Script Exception: LINE ( 2 ) Error: bad");
    QTest::newRow("body throws") << QStringLiteral("(function(l, g) {\n throw new Error('bad'); })")
                                 << none << none << false << late << late;
}

void TestVerifier::verdict()
{
    QFETCH(QString, script);
    QFETCH(QJsonObject, local);
    QFETCH(QJsonObject, global);
    QFETCH(QString, remark);
    QFETCH(QString, logged);

    Verifier verifier;
    QVERIFY(verifier.Init());
    LogSpy log;
    QString actual = QStringLiteral("preset");
    QTEST(verifier.Check(local, global, script, actual), "verdict");
    QCOMPARE(actual, remark);
    const int expectedRecords = logged.isEmpty() ? 0 : 1;
    QCOMPARE(log.WithPrefix("AT Verifier", QString()).size(), expectedRecords);
    if (!logged.isEmpty())
        QVERIFY2(log.Count("AT Verifier", "Verifier::Check", 1, logged) == 1, qPrintable(log.Dump()));
}

void TestVerifier::globalScopeIsPerVerifier()
{
    Verifier first;
    Verifier second;
    QVERIFY(first.Init() && second.Init());
    QString remark;
    QVERIFY(first.Check({}, {}, QStringLiteral("var seen = 5; (function() { return true; })"), remark));
    const QString reader = QStringLiteral("(function() { return seen === 5; })");
    QVERIFY(first.Check({}, {}, reader, remark));
    QVERIFY(!second.Check({}, {}, reader, remark));
    QVERIFY2(remark.startsWith(QStringLiteral("Script Exception: LINE ( 1 ) ReferenceError")), qPrintable(remark));
}

QTEST_GUILESS_MAIN(TestVerifier)
#include "tst_verifier.moc"
