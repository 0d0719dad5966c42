#include "engine/ScriptCache.h"
#include "engine/ScriptProcess.h"
#include "engine/ScriptWatchdog.h"
#include "engine/Verifier.h"

#include "tests/support/LogSpy.h"

#include <QJSEngine>
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
    void earlierDeadlineAfterALaterOne();
    void jobBudget_data();
    void jobBudget();
    void memoryBound_data();
    void memoryBound();
    void stopEndsARunningScript();
};

namespace {

const char* const Loop = "(function() { for (;;) {} })";
const char* const Pass = "(function() { return true; })";

// Runs one check through `scripts` and waits for its verdict.
bool judge(ScriptProcess& scripts, const QString& script, ScriptProtocol::Verdict& verdict, int timeoutMs = 60000)
{
    bool done = false;
    scripts.Check({}, script, [&](const ScriptProtocol::Verdict& answer) {
        verdict = answer;
        done = true;
    });
    return QTest::qWaitFor([&] { return done; }, timeoutMs);
}

} // namespace

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

// The watchdog may sleep towards the deadline of a check that has ended; a
// shorter one armed next must still be kept.
void TestVerifier::earlierDeadlineAfterALaterOne()
{
    ScriptWatchdog watchdog;
    QJSEngine earlier;
    watchdog.Arm(&earlier, 60000);
    QTRY_VERIFY(watchdog.Sleeping());
    QVERIFY(!watchdog.Disarm());
    Verifier verifier;
    QVERIFY(verifier.Init());
    verifier.SetTimeLimit(&watchdog, 200);
    QString remark;
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!verifier.Check({}, {}, QStringLiteral("(function() { while (true) {} })"), remark));
    QCOMPARE(remark, QStringLiteral("Script Exception: script ran longer than 200 ms"));
    QVERIFY2(timer.elapsed() < 30000, qPrintable(QString::number(timer.elapsed())));
}

void TestVerifier::jobBudget_data()
{
    QTest::addColumn<int>("checkMs");
    QTest::addColumn<int>("budgetMs");
    QTest::addColumn<QStringList>("scripts");
    // "pass", "fail", "limit" (the check's own time limit), "budget" (the job's).
    QTest::addColumn<QStringList>("verdicts");

    const QString fail = QStringLiteral("(function() { return false; })");
    // The margins between the limits are half a check's limit, for a loaded machine.
    QTest::newRow("the budget ends inside a check") << 0 << 300 << QStringList{Pass, fail, Loop, Pass}
                                                    << QStringList{"pass", "fail", "budget", "budget"};
    QTest::newRow("the check's own limit comes first") << 200 << 5000 << QStringList{Loop, Pass, Loop}
                                                       << QStringList{"limit", "pass", "limit"};
    QTest::newRow("checks share the budget") << 300 << 750 << QStringList{Pass, Loop, Loop, Loop, Pass}
                                             << QStringList{"pass", "limit", "limit", "budget", "budget"};
    QTest::newRow("no budget") << 100 << 0 << QStringList{Loop, Loop, Loop, Pass}
                               << QStringList{"limit", "limit", "limit", "pass"};
}

// Checks after the job's budget is spent are refused at once; the earlier
// ones keep their verdicts.
void TestVerifier::jobBudget()
{
    QFETCH(int, checkMs);
    QFETCH(int, budgetMs);
    QFETCH(QStringList, scripts);
    QFETCH(QStringList, verdicts);
    ScriptWatchdog watchdog;
    Verifier verifier;
    QVERIFY(verifier.Init());
    verifier.SetTimeLimit(&watchdog, checkMs);
    verifier.SetJobBudget(budgetMs);
    QStringList seen;
    for (const QString& script : scripts) {
        QString remark;
        QElapsedTimer clock;
        clock.start();
        const bool verdict = verifier.CheckObserved({}, script, remark);
        const bool refused = remark == Verifier::BudgetRemark(budgetMs) && verifier.SpentMs() >= budgetMs && clock.elapsed() < 50;
        if (verdict)
            seen << "pass";
        else if (!verifier.LastCheckErred())
            seen << "fail";
        else if (remark == Verifier::TimeLimitRemark(checkMs))
            seen << "limit";
        else if (remark == Verifier::BudgetRemark(budgetMs))
            seen << "budget";
        else
            seen << remark;
        // Once the budget is spent a check does not run at all.
        QVERIFY2(!(seen.last() == "budget" && seen.count("budget") > 1) || refused, qPrintable(seen.join(' ')));
    }
    QCOMPARE(seen, verdicts);
    if (budgetMs > 0)
        QVERIFY2(verifier.SpentMs() >= budgetMs || !verdicts.contains("budget"), qPrintable(QString::number(verifier.SpentMs())));
}

void TestVerifier::memoryBound_data()
{
    QTest::addColumn<QString>("script");
    // Checks that pass before the one that goes past the bound; -1: none goes past it.
    QTest::addColumn<int>("leastPasses");

    // 64 MiB: each string character is two bytes. What the engine has not
    // collected yet counts too, so the scripts that stay under the bound keep
    // well under it.
    QTest::newRow("under the bound: a 12 MiB string") << "(function() { return 'x'.repeat(6 << 20).length === 6 << 20; })" << -1;
    QTest::newRow("under the bound: arrays made and dropped")
        << "(function() { var a = []; for (var i = 0; i < 300000; ++i) a.push({n: i}); return a.length === 300000; })" << -1;
    QTest::newRow("a string that doubles") << "(function(l, g) { var s = 'x'; for (;;) s = s + s; })" << 0;
    QTest::newRow("one string of 128 MiB") << "(function() { return 'x'.repeat(64 << 20).length > 0; })" << 0;
    QTest::newRow("a global array grown across checks")
        << "var kept = kept || []; (function() { for (var i = 0; i < 100000; ++i) kept.push({n: i, s: 'v' + i}); return true; })" << 2;
}

// A script past the memory bound fails its check with the remark and ends
// its process; the job's next check runs in a fresh one that has the job's
// observations and its time used so far.
void TestVerifier::memoryBound()
{
    QFETCH(QString, script);
    QFETCH(int, leastPasses);
    QJsonObject observed = json(R"({"M":{"G":{"I":[7]}}})");
    ScriptProcess scripts;
    scripts.SetLimits({5000, 0, 64});
    scripts.SetObservations(&observed);
    const QString remark = ScriptProcess::MemoryRemark(64);
    QCOMPARE(remark, QStringLiteral("Script used more than 64 MiB"));

    int passes = 0;
    ScriptProtocol::Verdict verdict;
    const int tries = leastPasses < 0 ? 3 : 40;
    for (int i = 0; i < tries; ++i) {
        QVERIFY(judge(scripts, script, verdict));
        if (!verdict.result)
            break;
        ++passes;
    }
    if (leastPasses < 0) {
        QCOMPARE(passes, tries);
    } else {
        QVERIFY2(!verdict.result && verdict.erred, qPrintable(verdict.remark));
        QCOMPARE(verdict.remark, remark);
        QVERIFY2(passes >= leastPasses && (leastPasses > 0 || passes == 0), qPrintable(QString::number(passes)));
        QVERIFY(!scripts.Running());
    }
    observed = json(R"({"M":{"G":{"I":[7,8]}}})");
    scripts.Observe("M", "G", "I", 8);
    QVERIFY(judge(scripts, "(function(l, g) { return g.M.G.I.join() === '7,8'; })", verdict));
    QVERIFY2(verdict.result, qPrintable(verdict.remark));
    QVERIFY(scripts.Running());
}

// Stop ends a script that would never end, and its verdict never comes.
void TestVerifier::stopEndsARunningScript()
{
    ScriptProcess scripts;
    ScriptProtocol::Verdict verdict;
    QVERIFY(judge(scripts, Pass, verdict) && verdict.result);
    QVERIFY(scripts.Running());
    bool called = false;
    scripts.Check({}, Loop, [&](const ScriptProtocol::Verdict&) { called = true; });
    QCoreApplication::processEvents();
    scripts.Stop();
    QVERIFY(!scripts.Running());
    QCoreApplication::processEvents();
    QVERIFY(!called);
    QVERIFY(judge(scripts, Pass, verdict) && verdict.result);
}

QTEST_GUILESS_MAIN(TestVerifier)
#include "tst_verifier.moc"
