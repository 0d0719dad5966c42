#include "engine/Verifier.h"

#include "engine/ScriptWatchdog.h"
#include "platform/Debugger.h"

#include <QJsonDocument>
#include <QJsonValue>

const QString& Verifier::WrapperText()
{
    static const QString text = QStringLiteral(
        "function(localStr,globalStr,verifyFunc){ \n"
        "     var lParams = JSON.parse(localStr); \n"
        "     var gParams = JSON.parse(globalStr); \n"
        "     return verifyFunc(lParams,gParams); \n"
        " }");
    return text;
}

bool Verifier::Init()
{
    // The text is a bare function expression, which this engine only yields
    // as a value when it stands in parentheses.
    wrapper = engine.evaluate(QLatin1Char('(') + WrapperText() + QLatin1Char(')'), QStringLiteral("Wrapper.js"), 1);
    if (wrapper.isError()) {
        KIV_LOG("AT Verifier", "Verifier::Init", 0) << wrapper.property(QStringLiteral("lineNumber")).toInt() << " : "
                                                    << wrapper.toString();
        return false;
    }
    if (!wrapper.isCallable()) {
        KIV_LOG("AT Verifier", "Verifier::Init", 0) << "Wrapper is not callable :\n" << WrapperText();
        return false;
    }
    if (!runtime.Init(engine, wrapper)) {
        KIV_LOG("AT Verifier", "Verifier::Init", 0) << "Verifier runtime failed: " << runtime.LastErrorText();
        return false;
    }
    return true;
}

void Verifier::SetTimeLimit(ScriptWatchdog* dog, int limitMs)
{
    watchdog = dog;
    timeLimitMs = limitMs;
}

void Verifier::SetJobBudget(int budget, qint64 spent)
{
    budgetMs = budget;
    spentMs = spent;
}

QString Verifier::TimeLimitRemark(int limitMs)
{
    return QStringLiteral("Script Exception: script ran longer than %1 ms").arg(limitMs);
}

QString Verifier::BudgetRemark(int budget)
{
    return QStringLiteral("Script Exception: the job's scripts ran longer than %1 ms in all").arg(budget);
}

void Verifier::Observe(const QString& module, const QString& group, const QString& item, const QJsonValue& value)
{
    runtime.Observe(module, group, item, value);
}

namespace {

QString jsonText(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

} // namespace

bool Verifier::Check(const QJsonObject& local, const QJsonObject& global, const QString& script, QString& remark)
{
    return Judge(jsonText(local), &global, script, remark);
}

bool Verifier::CheckObserved(const QJsonObject& local, const QString& script, QString& remark)
{
    return Judge(jsonText(local), nullptr, script, remark);
}

bool Verifier::CheckObservedText(const QString& localText, const QString& script, QString& remark)
{
    return Judge(localText, nullptr, script, remark);
}

bool Verifier::Judge(const QString& localStr, const QJsonObject* global, const QString& script, QString& remark)
{
    lastCheckErred = true;
    if (budgetMs > 0 && spentMs >= budgetMs) {
        remark = BudgetRemark(budgetMs);
        KIV_LOG("AT Verifier", "Verifier::Check", 1) << remark;
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    const bool verdict = Run(localStr, global, script, remark);
    spentMs += clock.elapsed();
    return verdict;
}

bool Verifier::Run(const QString& localStr, const QJsonObject* global, const QString& script, QString& remark)
{
    // The job's budget bounds a check when less of it is left than a check may take.
    int limitMs = timeLimitMs;
    bool budgetBinds = false;
    if (budgetMs > 0 && (limitMs <= 0 || budgetMs - spentMs < limitMs)) {
        limitMs = int(budgetMs - spentMs);
        budgetBinds = true;
    }
    const bool limited = watchdog && limitMs > 0;
    if (limited)
        watchdog->Arm(&engine, limitMs);

    ScriptRuntime::Outcome outcome;
    const QJSValue verifyFunc = VerifyFunction(script, outcome);
    const bool callable = !outcome.threw && !outcome.value.isError() && verifyFunc.isCallable();
    if (callable) {
        KIV_LOG("Verifier", "Verifier::Check", 3) << "Local Params: " << localStr;
        if (global) {
            const QString& globalStr = GlobalText(*global);
            KIV_LOG("Verifier", "Verifier::Check", 3) << "Global Params: " << globalStr;
            outcome = runtime.Call(localStr, globalStr, verifyFunc);
        } else {
            KIV_LOG("Verifier", "Verifier::Check", 3) << "Global Params: " << runtime.ObservedText();
            outcome = runtime.CallObserved(localStr, verifyFunc);
        }
    }
    // An interrupted script surfaces as an error; its reason is the time limit.
    if (limited && watchdog->Disarm()) {
        remark = budgetBinds ? BudgetRemark(budgetMs) : TimeLimitRemark(timeLimitMs);
        KIV_LOG("AT Verifier", "Verifier::Check", 1) << remark;
        return false;
    }
    if (outcome.threw || outcome.value.isError())
        return Fail(outcome, remark);
    if (!callable) {
        remark = QStringLiteral("Script is not callable");
        KIV_LOG("AT Verifier", "Verifier::Check", 1) << "VerifyFunc is not callable :\n" << script;
        return false;
    }
    lastCheckErred = false;
    return outcome.value.toBool();
}

QJSValue Verifier::VerifyFunction(const QString& script, ScriptRuntime::Outcome& outcome)
{
    if (const QJSValue* kept = scripts.Find(script)) {
        outcome.value = *kept;
        return *kept;
    }
    outcome = runtime.Evaluate(script);
    if (!outcome.threw && outcome.value.isCallable())
        scripts.Keep(script, outcome.value);
    return outcome.value;
}

bool Verifier::Fail(const ScriptRuntime::Outcome& outcome, QString& remark)
{
    // Whatever was thrown reads as an Error would; a value that is not an
    // Error has no line of its own, so its "lineNumber" reads as undefined.
    remark = outcome.value.isError() ? ErrorText(outcome.value)
        : QStringLiteral("Script Exception: LINE ( ") + outcome.value.property(QStringLiteral("lineNumber")).toString()
            + QStringLiteral(" ) ") + ScriptRuntime::ThrownText(outcome.value);
    KIV_LOG("AT Verifier", "Verifier::Check", 1) << remark;
    return false;
}

const QString& Verifier::GlobalText(const QJsonObject& global)
{
    if (!haveGlobalText || global != lastGlobal) {
        lastGlobal = global;
        lastGlobalText = QString::fromUtf8(QJsonDocument(global).toJson(QJsonDocument::Compact));
        haveGlobalText = true;
    }
    return lastGlobalText;
}

namespace {

// Whether the script starts with a "use strict" directive (after blanks
// only; a comment in front is not looked through).
bool strictScript(const QString& script)
{
    int at = 0;
    while (at < script.size() && script.at(at).isSpace())
        ++at;
    const QStringRef start = script.midRef(at, 12);
    return start == QLatin1String("'use strict'") || start == QLatin1String("\"use strict\"");
}

} // namespace

bool Verifier::Compile(const QString& script, QString& error, int& line)
{
    // The engine compiles the whole text before it runs the first statement,
    // and the first statement throws: nothing of the script runs (its
    // declarations are made, which runs no code). On the script's first line,
    // so that the engine's line numbers are the script's. A fresh engine, so
    // that no declaration of an earlier script (a global "eval") is met.
    // Eval is called from script code, as a check calls it: called from C++
    // this engine's eval has no caller's frame and crashes.
    QJSEngine engine;
    const QString guard = strictScript(script) ? QStringLiteral("'use strict';throw 0;") : QStringLiteral("throw 0;");
    QJSValue evaluate = engine.evaluate(QStringLiteral("(function (text) { return (0, eval)(text); })"));
    const QJSValue thrown = evaluate.call({QJSValue(guard + script)});
    if (thrown.isNumber() && thrown.toNumber() == 0)
        return true;
    error = thrown.toString();
    line = thrown.property(QStringLiteral("lineNumber")).toInt();
    return false;
}

QString Verifier::ErrorText(const QJSValue& value)
{
    if (!value.isError())
        return QStringLiteral("No Error");
    return QStringLiteral("Script Exception: LINE ( ") + value.property(QStringLiteral("lineNumber")).toString()
        + QStringLiteral(" ) ") + value.toString();
}
