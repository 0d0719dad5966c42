#include "engine/ScriptServer.h"

#include "engine/ScriptProtocol.h"
#include "platform/Debugger.h"

#include <cerrno>
#include <limits>
#include <unistd.h>

bool ScriptServer::Init(int checkMs, int budgetMs, qint64 spentMs)
{
    if (!verifier.Init())
        return false;
    verifier.SetTimeLimit(&watchdog, checkMs);
    verifier.SetJobBudget(budgetMs, spentMs);
    if (checkMs > 0 || budgetMs > 0)
        watchdog.Start();
    return true;
}

int ScriptServer::Run(int in, int out)
{
    QByteArray buffer;
    QByteArray payload;
    char chunk[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(in, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0 ? 0 : 1;
        buffer.append(chunk, int(got));
        int offset = 0;
        bool broken = false;
        while (ScriptProtocol::TakeFrame(buffer, offset, payload, broken)) {
            if (!Serve(payload, out))
                return 1;
        }
        if (broken) {
            KIV_LOG("Script Engine", "ScriptServer::Run", 0) << "Broken frame from the service";
            return 1;
        }
        buffer.remove(0, offset);
    }
}

bool ScriptServer::Serve(const QByteArray& payload, int out)
{
    switch (ScriptProtocol::Kind(ScriptProtocol::KindOf(payload))) {
    case ScriptProtocol::Kind::Observe: {
        ScriptProtocol::Observation observation;
        if (!ScriptProtocol::Decode(payload, observation))
            return false;
        verifier.Observe(observation.module, observation.group, observation.item, observation.value);
        return true;
    }
    case ScriptProtocol::Kind::Check: {
        ScriptProtocol::Check check;
        if (!ScriptProtocol::Decode(payload, check))
            return false;
        ScriptProtocol::Verdict verdict;
        verdict.seq = check.seq;
        const qint64 before = verifier.SpentMs();
        verdict.result = verifier.CheckObservedText(check.local, check.script, verdict.remark);
        verdict.erred = !verdict.result && verifier.LastCheckErred();
        verdict.ms = qint32(qMin<qint64>(verifier.SpentMs() - before, std::numeric_limits<qint32>::max()));
        if (verdict.remark.size() > ScriptProtocol::MaxRemarkChars)
            verdict.remark = verdict.remark.left(ScriptProtocol::MaxRemarkChars) + QStringLiteral("...");
        QByteArray frame;
        ScriptProtocol::AppendFrame(frame, ScriptProtocol::EncodeVerdict(verdict));
        return WriteAll(out, frame);
    }
    case ScriptProtocol::Kind::Compile: {
        ScriptProtocol::Compile compile;
        if (!ScriptProtocol::Decode(payload, compile))
            return false;
        ScriptProtocol::Verdict verdict;
        verdict.seq = compile.seq;
        verdict.erred = false;
        verdict.result = Verifier::Compile(compile.script, verdict.remark, verdict.line);
        if (verdict.remark.size() > ScriptProtocol::MaxRemarkChars)
            verdict.remark = verdict.remark.left(ScriptProtocol::MaxRemarkChars) + QStringLiteral("...");
        QByteArray frame;
        ScriptProtocol::AppendFrame(frame, ScriptProtocol::EncodeVerdict(verdict));
        return WriteAll(out, frame);
    }
    default:
        KIV_LOG("Script Engine", "ScriptServer::Serve", 0) << "Unknown request " << int(ScriptProtocol::KindOf(payload));
        return false;
    }
}

bool ScriptServer::WriteAll(int fd, const QByteArray& bytes)
{
    const char* data = bytes.constData();
    qint64 left = bytes.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, size_t(left));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        left -= written;
    }
    return true;
}
