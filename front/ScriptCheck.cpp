#include "front/ScriptCheck.h"

#include "engine/Verifier.h"

namespace {

const QString kResult = QStringLiteral("result");

// What went wrong when the process gave no answer of its own.
QString unchecked(const ScriptProtocol::Verdict& verdict, int timeMs, int memoryMiB)
{
    if (verdict.remark == Verifier::TimeLimitRemark(timeMs))
        return QStringLiteral("Compiling the script took longer than %1 ms, so it was stopped. Shorten the script, "
                              "then check it again.").arg(timeMs);
    if (verdict.remark == ScriptProcess::MemoryRemark(memoryMiB))
        return QStringLiteral("Compiling the script needed more than %1 MiB, so it was stopped. Shorten the script, "
                              "then check it again.").arg(memoryMiB);
    return QStringLiteral("The script could not be checked (%1). Check it again; if this persists, the host's log "
                          "says more.").arg(verdict.remark);
}

} // namespace

void ScriptCheck::Check(const QJsonObject& request, const ReplyCallback& done)
{
    const QJsonValue script = request.value(QStringLiteral("script"));
    if (!script.isString()) {
        done({{kResult, QStringLiteral("check_script needs the verification script as text in \"script\"; send it "
                                       "as a JSON string.")}});
        return;
    }
    const QString text = script.toString();
    if (text.size() > MaxScriptChars) {
        done({{kResult, QStringLiteral("The script has %1 characters, more than the %2 a script may have to be "
                                       "checked. Shorten it (move shared data into the test case's DATA), then "
                                       "check it again.").arg(text.size()).arg(MaxScriptChars)}});
        return;
    }
    // Compiling takes no script time of its own; a script that has no time
    // limit to run still gets one to compile.
    const int timeMs = limits.scriptTimeoutMs > 0 ? limits.scriptTimeoutMs : JobLimits::DefaultScriptTimeoutMs;
    const int memoryMiB = limits.scriptMemoryMiB;
    process.SetLimits({timeMs, 0, memoryMiB});
    process.Compile(text, [done, timeMs, memoryMiB](const ScriptProtocol::Verdict& verdict) {
        if (verdict.result) {
            done({{kResult, QStringLiteral("ok")}});
            return;
        }
        if (verdict.erred) {
            done({{kResult, unchecked(verdict, timeMs, memoryMiB)}});
            return;
        }
        const QString where = verdict.line > 0 ? QStringLiteral("line %1: ").arg(verdict.line) : QString();
        QJsonObject reply{{kResult, QStringLiteral("The script does not compile (%1%2). Correct it, then check it "
                                                   "again.").arg(where, verdict.remark)},
                          {QStringLiteral("error"), verdict.remark}};
        if (verdict.line > 0)
            reply.insert(QStringLiteral("line"), verdict.line);
        done(reply);
    });
}
