#include "engine/TcExecutor.h"

#include "device/ATDeviceProxy.h"
#include "device/IdNameCov.h"
#include "engine/ScriptProcess.h"
#include "engine/TcItem.h"
#include "engine/TcStrategy.h"
#include "base/ComponentMap.h"
#include "platform/Debugger.h"

#include <QPointer>
#include <QTime>
#include <QTimer>

#include <limits>

namespace {

QString now()
{
    return QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"));
}

} // namespace

TcExecutor::TcExecutor(QObject* parent)
    : QObject(parent)
{
}

void TcExecutor::Init(TcItem* tc)
{
    item = tc;
    for (const auto& strategy : qAsConst(item->strategies))
        strategy->Apply(this);
}

void TcExecutor::Start()
{
    ++runs;
    state = 0;
    awaitingVerdict = false;
    tcResult.id = item->tcId;
    tcResult.result = false;
    tcResult.remark.clear();
    tcResult.status.clear();
    tcResult.ms = -1;
    NextState();
}

void TcExecutor::Reset()
{
    ++runs;
    disconnect(this, nullptr, nullptr, nullptr);
    postDelay = 0;
    components = nullptr;
    item = nullptr;
    state = 0;
    awaitingVerdict = false;
    tcResult.id = 0;
    tcResult.result = false;
    tcResult.remark.clear();
    tcResult.status.clear();
    tcResult.ms = -1;
}

void TcExecutor::NextState()
{
    ++state;
    switch (state) {
    case 1:
        OnStateExec();
        break;
    case 2:
        OnStatePostDelay();
        break;
    case 3:
        OnOver();
        break;
    default:
        break;
    }
}

void TcExecutor::OnStateExec()
{
    KIV_LOG("TcExecutor", "TcExecutor::OnStateExec", 3) << " OnStateExec " << item->tcId << " Time: " << now();
    auto* device = components->Get<ATDeviceProxy>("ATDeviceProxy");
    // The executor outlives its pending answer only while the job runs; a
    // guarded pointer keeps a late answer from reaching a deleted executor.
    QPointer<TcExecutor> self(this);
    clock.start();
    device->SetCaseData(item->caseData, [self](const QJsonObject& ack) {
        if (self)
            self->OnStateExecResult(ack);
    });
}

void TcExecutor::OnStateExecResult(const QJsonObject& ack)
{
    KIV_LOG("TcExecutor", "TcExecutor::OnStateExecResult", 3) << " OnStateExecResult " << item->tcId;
    auto* cov = components->Get<IdNameCov>(IdNameCov::ComponentName());

    // A case that could not be judged is an error, apart from a script's "no".
    const QString err = ack.value(QStringLiteral("ERROR")).toString();
    if (err != QLatin1String("SUCCESS")) {
        tcResult.result = false;
        tcResult.remark = QStringLiteral("Set Data Ack: ") + err;
        tcResult.status = QStringLiteral("error");
    } else if (!item->script.isEmpty()) {
        QJsonObject local;
        if (cov->IdDataToNameData(ack, local)) {
            auto* scripts = components->Get<ScriptProcess>("ScriptProcess");
            QPointer<TcExecutor> self(this);
            const quint64 run = runs;
            scripts->Check(local, item->script, [self, run](const ScriptProtocol::Verdict& verdict) {
                if (self && self->runs == run)
                    self->OnVerdict(verdict);
            });
            // Observations filed from now on reach the script process after
            // this check, so the next case cannot change what it judges.
            if (postDelay <= 0 && self && runs == run && state == 1) {
                awaitingVerdict = true;
                Q_EMIT DeviceFreed();
            }
            return;
        }
        tcResult.result = false;
        tcResult.remark = QStringLiteral("Fail to Convert id data to name data");
        tcResult.status = QStringLiteral("error");
    } else {
        tcResult.result = true;
        tcResult.remark = QStringLiteral("No Script to Exec");
        tcResult.status = QStringLiteral("pass");
    }
    Judged();
}

void TcExecutor::OnVerdict(const ScriptProtocol::Verdict& verdict)
{
    if (state != 1)
        return;
    awaitingVerdict = false;
    tcResult.result = verdict.result;
    tcResult.remark = verdict.remark;
    tcResult.status = verdict.result ? QStringLiteral("pass") : verdict.erred ? QStringLiteral("error") : QStringLiteral("fail");
    Judged();
}

void TcExecutor::Judged()
{
    tcResult.ms = int(qMin<qint64>(clock.elapsed(), std::numeric_limits<int>::max()));
    NextState();
}

void TcExecutor::OnStatePostDelay()
{
    KIV_LOG("TcExecutor", "TcExecutor::OnStatePostDelay", 3) << " OnStatePostDelay " << item->tcId;
    if (postDelay <= 0) {
        NextState();
        return;
    }
    QTimer::singleShot(postDelay, this, &TcExecutor::StateOvered);
    KIV_LOG("TcExecutor", "TcExecutor::OnStatePostDelay", 3) << "[Timer Start] " << now();
}

void TcExecutor::StateOvered()
{
    KIV_LOG("TcExecutor", "TcExecutor::StateOvered", 3) << "[Timer End] " << now();
    NextState();
}

void TcExecutor::OnOver()
{
    KIV_LOG("TcExecutor", "TcExecutor::OnOver", 3) << " OnOver " << item->tcId << " Time: " << now();
    Q_EMIT Overed(tcResult);
}
