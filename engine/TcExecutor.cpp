#include "engine/TcExecutor.h"

#include "device/ATDeviceProxy.h"
#include "device/IdNameCov.h"
#include "engine/TcItem.h"
#include "engine/TcStrategy.h"
#include "engine/Verifier.h"
#include "front/ComponentMap.h"
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
    state = 0;
    tcResult.id = item->tcId;
    tcResult.result = false;
    tcResult.remark.clear();
    tcResult.status.clear();
    tcResult.ms = -1;
    NextState();
}

void TcExecutor::Reset()
{
    disconnect(this, nullptr, nullptr, nullptr);
    postDelay = 0;
    components = nullptr;
    item = nullptr;
    state = 0;
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
    auto* verifier = components->Get<Verifier>("Verifier");

    // A case that could not be judged is an error, apart from a script's "no".
    bool erred = true;
    const QString err = ack.value(QStringLiteral("ERROR")).toString();
    if (err != QLatin1String("SUCCESS")) {
        tcResult.result = false;
        tcResult.remark = QStringLiteral("Set Data Ack: ") + err;
    } else if (!item->script.isEmpty()) {
        QJsonObject local;
        if (cov->IdDataToNameData(ack, local)) {
            tcResult.result = verifier->CheckObserved(local, item->script, tcResult.remark);
            erred = !tcResult.result && verifier->LastCheckErred();
        } else {
            tcResult.result = false;
            tcResult.remark = QStringLiteral("Fail to Convert id data to name data");
        }
    } else {
        tcResult.result = true;
        tcResult.remark = QStringLiteral("No Script to Exec");
    }
    tcResult.status = tcResult.result ? QStringLiteral("pass") : erred ? QStringLiteral("error") : QStringLiteral("fail");
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
