#include "engine/ScriptCache.h"
#include "engine/ScriptWatchdog.h"
#include "engine/Verifier.h"

#include "tests/support/LogSpy.h"

#include <QJsonDocument>
#include <QtTest>

static QJsonObject json(const char* text) { return QJsonDocument::fromJson(text).object(); }

class TestVerifier : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void verdict_data();
    void verdict();
    void globalScopeIsPerVerifier();
    void reusableScripts_data();
    void reusableScripts();
    void effectsRepeatOnEveryCheck_data();
    void effectsRepeatOnEveryCheck();
    void observationsAreFreshOnEveryCheck();
    void scriptsRunOutOfTime();
};

void TestVerifier::verdict_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<QJsonObject>("local");
    QTest::addColumn<QJsonObject>("global");
    QTest::addColumn<bool>("verdict");
    QTest::addColumn<QString>("remark"); // "preset" when the caller's text must survive

    // The call stack proves the verify function is reached from line 4 of the
    // wrapper, compiled as "Wrapper.js" from line 1, with parsed objects.
    const QString viaWrapper = QStringLiteral("(function(l, g) { return l.a === 1 && g.M.G.I[1] === 7"
                                              " && new Error().stack.indexOf('Wrapper.js:4') >= 0; })");
    const auto returns = [](const char* value) { return QStringLiteral("(function() { return %1; })").arg(value); };
    const QString preset = QStringLiteral("preset");
    const QJsonObject none;

    QTest::newRow("through wrapper") << viaWrapper << json(R"({"a":1})") << json(R"({"M":{"G":{"I":[6,7]}}})")
                                     << true << preset;
    QTest::newRow("member missing") << viaWrapper << none << none << false << preset;
    QTest::newRow("non-ASCII text") << QStringLiteral("(function(l) { return l.s === 'Grüße €'; })")
                                    << json(R"({"s":"Grüße €"})") << none << true << preset;
    for (const char* falsy : {"0", "''", "null", "undefined"})
        QTest::newRow(falsy) << returns(falsy) << none << none << false << preset;
    for (const char* truthy : {"'x'", "{}", "[]"})
        QTest::newRow(truthy) << returns(truthy) << none << none << true << preset;
    const QString notCallable = QStringLiteral("Script is not callable");
    QTest::newRow("declaration") << QStringLiteral("function verify(l, g) { return true; }") << none << none << false
                                 << notCallable;
    QTest::newRow("empty script") << QString() << none << none << false << notCallable;
    QTest::newRow("throws while evaluated") << QStringLiteral("var x = 1;\nthrow new TypeError('early');") << none
                                            << none << false << "Script Exception: LINE ( 2 ) TypeError: early";
    QTest::newRow("body throws") << QStringLiteral("(function(l, g) {\n throw new Error('bad'); })") << none << none
                                 << false << "Script Exception: LINE ( 2 ) Error: bad";
    // A thrown value that is not an Error fails as one would; it has no line of its own.
    const QStringList thrown{"5", "'x'", "{message: 'm'}", "[1]", "0", "null", "undefined", "function() { return 1; }"};
    const QStringList texts{"5", "x", R"({"message":"m"})", "[1]", "0", "null", "undefined", "function() { [native code] }"};
    for (int i = 0; i < thrown.size(); ++i) {
        const QString remark = "Script Exception: LINE ( undefined ) " + texts.at(i);
        QTest::newRow(qPrintable("body throws " + thrown.at(i)))
            << "(function() { throw " + thrown.at(i) + "; })" << none << none << false << remark;
        QTest::newRow(qPrintable("throws while evaluated " + thrown.at(i)))
            << "throw " + thrown.at(i) + ";" << none << none << false << remark;
    }
}

void TestVerifier::verdict()
{
    QFETCH(QString, script);
    QFETCH(QJsonObject, local);
    QFETCH(QJsonObject, global);
    QFETCH(QString, remark);

    QCOMPARE(Verifier::WrapperText().size(), 171);
    Verifier verifier;
    QVERIFY(verifier.Init());
    LogSpy log;
    QString actual = QStringLiteral("preset");
    QTEST(verifier.Check(local, global, script, actual), "verdict");
    QCOMPARE(actual, remark);
    // Every failure, and only a failure, leaves one record for the operator.
    QCOMPARE(log.WithPrefix("AT Verifier", QString()).size(), remark == "preset" ? 0 : 1);
}

void TestVerifier::globalScopeIsPerVerifier()
{
    Verifier first, second;
    QVERIFY(first.Init() && second.Init());
    QString remark;
    const QString reader = QStringLiteral("(function(l, g) { return typeof seen === 'number' && g.n === 2; })");
    QVERIFY(first.Check({}, {}, QStringLiteral("var seen = 5; (function() { return true; })"), remark));
    QVERIFY(first.Check({}, json(R"({"n":2})"), reader, remark)); // new globals after the first check's
    QVERIFY(!second.Check({}, json(R"({"n":2})"), reader, remark));
}

void TestVerifier::reusableScripts_data()
{
    QTest::addColumn<QString>("script");
    QTest::addColumn<bool>("reusable");

    const auto row = [](const char* name, const char* script, bool reusable) {
        QTest::newRow(name) << QString::fromUtf8(script) << reusable;
    };
    row("one line", "(function(l, g) { return l.Voltage === 1; })", true);
    row("comments, semicolon, CRLF", " /* v1 */\r\n(function (l, g) {\r\n  // ok\r\n  return true;\r\n});\r\n", true);
    row("division, nesting, defaults", "(function(l, g = {a: [1]}) { var f = function(x) { return (x + 1) / 2; };"
                                       " return f(l.a[0]) / g.a.length > 0 && l.s === '})' && \"/\" ; })", true);
    row("statement before", "var n = 1; (function() { return n; })", false);
    row("comma after", "(function() {}, n = 1, function() { return n; })", false);
    row("called at once", "(function() { return function() { return 1; }; })()", false);
    row("named", "(function f() { return f.n; })", false);
    row("generator", "(function*() { yield 1; })", false);
    row("arguments", "(function() { return arguments.callee.n; })", false);
    row("eval", "(function() { return eval('1'); })", false);
    row("regular expression", "(function(l) { return /'})/.test(l.s); })", false);
    row("after a control head", "(function(l) { if (l) /a/.test(l); })", false);
    row("after a step", "(function(l) { return l.n++ / 2; })", false);
    row("template", "(function(l) { return `${l}`; })", false);
    row("unterminated string", "(function() { return '})", false);
    row("unterminated comment", "(function() { return 1; }) /*", false);
    row("line separator ends a comment", "(function() { return 1; }) // x\u2028, 5", false);
}

void TestVerifier::reusableScripts()
{
    QFETCH(QString, script);
    QTEST(ScriptCache::IsReusable(script), "reusable");
}

void TestVerifier::effectsRepeatOnEveryCheck_data()
{
    QTest::addColumn<QString>("script");

    // Each passes on its second check only if that check ran it anew.
    QTest::newRow("top-level code")
        << "var k1 = typeof k1 === 'number' ? k1 + 1 : 1; (function() { return k1 === 2; })";
    QTest::newRow("called at once")
        << "(function() { k2 = typeof k2 === 'number' ? k2 + 1 : 1; return function() { return k2 === 2; }; })()";
    QTest::newRow("state on the function")
        << "(function() { var f = arguments.callee; f.n = (f.n || 0) + 1; return f.n === 1; })";
}

void TestVerifier::effectsRepeatOnEveryCheck()
{
    QFETCH(QString, script);
    Verifier verifier;
    QVERIFY(verifier.Init());
    QString remark;
    verifier.Check({}, {}, script, remark);
    QVERIFY2(verifier.Check({}, {}, script, remark), qPrintable(remark));
}

// The observations reach every check as the collector's object would, and a
// script may change what it got without the next check seeing it.
void TestVerifier::observationsAreFreshOnEveryCheck()
{
    Verifier verifier;
    QVERIFY(verifier.Init());
    verifier.Observe("Radio", "Signal", "RSSI", -90);
    verifier.Observe("Power", "Battery", "Voltage", 11.5);
    verifier.Observe("Power", "Battery", "Amps", json(R"({"a":[1]})"));
    verifier.Observe("Power", "Battery", "Voltage", 12);
    const QString expected = R"({"Power":{"Battery":{"Amps":[{"a":[1]}],"Voltage":[11.5,12]}},"Radio":{"Signal":{"RSSI":[-90]}}})";
    const QString same = "(function(l, g) { return JSON.stringify(g) === '" + expected + "' && Object.keys(g).join() === 'Power,Radio'"
                         " && 'Radio' in g && JSON.stringify(l) === '{\"x\":1}'; })";
    const QString meddle = "(function(l, g) { g.Power.Battery.Voltage.push(1); g.Power.Battery.Amps[0].a.push(2);"
                           " g.Radio.Signal = 5; delete g.Power; g.New = 1; return g.Radio.Signal === 5 && !('Power' in g); })";
    QString remark;
    for (const QString& script : {same, meddle, same, meddle}) {
        QVERIFY2(verifier.CheckObserved(json(R"({"x":1})"), script, remark), qPrintable(script + remark));
        QVERIFY2(remark.isEmpty(), qPrintable(remark));
    }
    verifier.ClearObservations();
    QVERIFY(verifier.CheckObserved({}, "(function(l, g) { return JSON.stringify(g) === '{}'; })", remark));
}

void TestVerifier::scriptsRunOutOfTime()
{
    ScriptWatchdog watchdog;
    Verifier verifier;
    QVERIFY(verifier.Init());
    verifier.SetTimeLimit(&watchdog, 200);
    QElapsedTimer timer;
    timer.start();
    for (const char* script : {"(function() { while (true) {} })", "while (true) {}", "(function() { for (;;) { try { for (;;) {} } catch (e) {} } })"}) {
        QString remark;
        QVERIFY(!verifier.Check({}, {}, QString::fromLatin1(script), remark));
        QCOMPARE(remark, QStringLiteral("Script Exception: script ran longer than 200 ms"));
        // The engine is usable again at once.
        QVERIFY2(verifier.CheckObserved({}, "(function() { return true; })", remark), qPrintable(remark));
    }
    QVERIFY2(timer.elapsed() < 5000, qPrintable(QString::number(timer.elapsed())));
}

QTEST_GUILESS_MAIN(TestVerifier)
#include "tst_verifier.moc"
