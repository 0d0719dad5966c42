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

void Verifier::Observe(const QString& module, const QString& group, const QString& item, const QJsonValue& value)
{
    runtime.Observe(module, group, item, value);
}

bool Verifier::Check(const QJsonObject& local, const QJsonObject& global, const QString& script, QString& remark)
{
    return Judge(local, &global, script, remark);
}

bool Verifier::CheckObserved(const QJsonObject& local, const QString& script, QString& remark)
{
    return Judge(local, nullptr, script, remark);
}

bool Verifier::Judge(const QJsonObject& local, const QJsonObject* global, const QString& script, QString& remark)
{
    lastCheckErred = true;
    const bool limited = watchdog && timeLimitMs > 0;
    if (limited)
        watchdog->Arm(&engine, timeLimitMs);

    ScriptRuntime::Outcome outcome;
    const QJSValue verifyFunc = VerifyFunction(script, outcome);
    const bool callable = !outcome.threw && !outcome.value.isError() && verifyFunc.isCallable();
    if (callable) {
        const QString localStr = QString::fromUtf8(QJsonDocument(local).toJson(QJsonDocument::Compact));
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
        remark = QStringLiteral("Script Exception: script ran longer than %1 ms").arg(timeLimitMs);
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

QString Verifier::ErrorText(const QJSValue& value)
{
    if (!value.isError())
        return QStringLiteral("No Error");
    return QStringLiteral("Script Exception: LINE ( ") + value.property(QStringLiteral("lineNumber")).toString()
        + QStringLiteral(" ) ") + value.toString();
}
