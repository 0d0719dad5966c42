#include "engine/Verifier.h"

#include "platform/Debugger.h"

#include <QJsonDocument>

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
    return true;
}

bool Verifier::Check(const QJsonObject& local, const QJsonObject& global, const QString& script, QString& remark)
{
    const QJSValue verifyFunc = scripts.Evaluate(engine, script);
    if (verifyFunc.isError()) {
        remark = ErrorText(verifyFunc);
        KIV_LOG("AT Verifier", "Verifier::Check", 1) << remark;
        return false;
    }
    if (!verifyFunc.isCallable()) {
        remark = QStringLiteral("Script is not callable");
        KIV_LOG("AT Verifier", "Verifier::Check", 1) << "VerifyFunc is not callable :\n" << script;
        return false;
    }
    const QString localStr = QString::fromUtf8(QJsonDocument(local).toJson(QJsonDocument::Compact));
    const QString& globalStr = GlobalText(global);
    KIV_LOG("Verifier", "Verifier::Check", 3) << "Local Params: " << localStr;
    KIV_LOG("Verifier", "Verifier::Check", 3) << "Global Params: " << globalStr;

    const QJSValue ret = wrapper.call({QJSValue(localStr), QJSValue(globalStr), verifyFunc});
    if (ret.isError()) {
        remark = ErrorText(ret);
        KIV_LOG("AT Verifier", "Verifier::Check", 1) << remark;
        return false;
    }
    return ret.toBool();
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
