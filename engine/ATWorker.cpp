#include "engine/ATWorker.h"

#include "local/JobVerdict.h"
#include "platform/Debugger.h"

#include <QJsonArray>
#include <QPointer>

namespace {

bool succeeded(const QJsonObject& ack)
{
    return ack.value(QStringLiteral("ERROR")).toString() == QLatin1String("SUCCESS");
}

// The verdict of a refused step keeps the controller's own words after its
// remark, when it gave any.
QString withAnswer(const QString& reason, const QJsonObject& ack)
{
    const QString said = ack.value(QStringLiteral("ERROR")).toString();
    return said.isEmpty() ? reason : reason + QStringLiteral(": ") + said;
}

} // namespace

ATWorker::ATWorker(const ControllerEndpoint& controller)
    : controller(controller)
{
    collector.SetConverter(&cov);
    scripts.SetObservations(&collector.Data());
    jobExecutor.SetComponentMap(&components);

    deviceProxy.onError = [this](const QString& error) {
        ReportFatal(QStringLiteral("Websocket to controller/auto_test/ | error: ") + error);
    };
    deviceProxy.onDisconnected = [this] {
        ReportFatal(QStringLiteral("Websocket to controller/auto_test/ is disconnected"));
    };
    connect(&simulator, &IDevSimulator::Errored, this, [this](const QString& msg) {
        ReportFatal(QStringLiteral("Websocket to controller/simulator/ | error: ") + msg);
    });
    connect(&simulator, &IDevSimulator::Stopped, this, [this] {
        ReportFatal(QStringLiteral("Websocket to controller/simulator/ is disconnected"));
    });
    deviceProxy.onTimeout = [this](const QString& command) { OnRequestTimedOut(command); };
    connect(&simulator, &IDevSimulator::TimedOut, this, &ATWorker::OnRequestTimedOut);
    collector.onFiled = [this](const QString& module, const QString& group, const QString& item, const QJsonValue& value) {
        scripts.Observe(module, group, item, value);
    };

    components.Register("ScriptProcess", &scripts);
    components.Register("DataCollector", &collector);
    components.Register(IdNameCov::ComponentName(), &cov);
    components.Register("ATDeviceProxy", &deviceProxy);
}

ATWorker::~ATWorker()
{
    Reset();
}

QString ATWorker::DeviceIdFromUrl(const QString& url)
{
    const QStringList segments = url.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    return segments.isEmpty() ? QString() : segments.last();
}

ReplyCallback ATWorker::Step(void (ATWorker::*handler)(const QJsonObject&))
{
    QPointer<ATWorker> self(this);
    return [self, handler](const QJsonObject& ack) {
        if (self && !self->reported)
            (self.data()->*handler)(ack);
    };
}

void ATWorker::SetLimits(const ScriptProcess::Limits& scriptLimits, int deviceMs)
{
    scripts.SetLimits(scriptLimits);
    deviceTimeLimitMs = deviceMs;
    deviceProxy.SetTimeLimit(deviceMs);
    simulator.SetTimeLimit(deviceMs);
}

void ATWorker::Start(const QString& url)
{
    deviceId = DeviceIdFromUrl(url);
    if (deviceId.isEmpty()) {
        ReportFatal(QStringLiteral("Job url has no device id: '") + url + QLatin1Char('\''));
        return;
    }
    if (!controller.IsValid()) {
        ReportFatal(QStringLiteral("No valid controller address"));
        return;
    }
    KIV_LOG("ATWorker", "ATWorker::Start", 2) << "Job " << request.value(QStringLiteral("jobid")).toInt()
                                              << " starts on device " << deviceId;
    connect(&simulator, &IDevSimulator::Started, this, &ATWorker::OnSimStarted);
    simulator.Open(controller.SimulatorUrl(deviceId));
}

void ATWorker::OnSimStarted()
{
    if (reported)
        return;
    SimParams params;
    params.latitude = 0.39;
    params.longitude = 1.98;
    params.frequency = 50;
    params.only_aircraft = 0;
    simulator.StartSim(params, Step(&ATWorker::OnStartSim));
}

void ATWorker::OnStartSim(const QJsonObject& ack)
{
    if (!succeeded(ack)) {
        Refused(QStringLiteral("Device Can't Start Simulator"), ack);
        return;
    }
    StartDevice();
}

void ATWorker::StartDevice()
{
    deviceProxy.SubscribeEvent(QStringLiteral("PushObseData"), [this](const QJsonObject& push) { collector.Add(push); });
    deviceProxy.onConnected = [this] { OnDeviceConnected(); };
    deviceProxy.Open(controller.AutoTestUrl(deviceId));
}

void ATWorker::OnDeviceConnected()
{
    if (reported)
        return;
    deviceProxy.EnterAutoTest(true, Step(&ATWorker::OnEnterAutoTest));
}

void ATWorker::OnEnterAutoTest(const QJsonObject& ack)
{
    if (!succeeded(ack)) {
        Refused(QStringLiteral("Device Can't Enter AT Mode"), ack);
        return;
    }
    const QJsonArray modules = ack.value(QStringLiteral("VALUE")).toObject().value(QStringLiteral("MODULES")).toArray();
    if (modules.isEmpty()) {
        ReportFatal(QStringLiteral("Device template from 'Enter AT Mode' is empty"));
        return;
    }
    cov.SetModules(modules);
    QString why;
    if (!jobExecutor.Init(request, &why, &failedCase)) {
        ReportFatal(QStringLiteral("Fail to init job info"), QStringLiteral("Fail to init job info: ") + why);
        return;
    }
    collector.collecting = true;
    RunJob();
}

void ATWorker::RunJob()
{
    casesStarted = true;
    connect(&jobExecutor, &JobExecutor::Overed, this, &ATWorker::OnJobOvered, Qt::DirectConnection);
    if (progressCallback)
        connect(&jobExecutor, &JobExecutor::TcFinished, this, &ATWorker::OnTcFinished, Qt::DirectConnection);
    jobExecutor.Start();
}

void ATWorker::OnJobOvered()
{
    if (reported)
        return;
    // No script of this job runs again.
    scripts.Stop();
    report = jobExecutor.Result().ToJsonWithVerdicts();
    deviceProxy.EnterAutoTest(false, Step(&ATWorker::OnLeaveAutoTest));
}

void ATWorker::OnTcFinished(const TcResult& result, int done, int total)
{
    // After a failure report the job is over for whoever follows it.
    if (reported)
        return;
    progressCallback({{QStringLiteral("EVENT"), QStringLiteral("JobProgress")},
                      {QStringLiteral("jobid"), request.value(QStringLiteral("jobid"))},
                      {QStringLiteral("done"), done},
                      {QStringLiteral("total"), total},
                      {QStringLiteral("tc"), result.ToJson()},
                      {QStringLiteral("verdict"), result.Verdict().ToJson()}});
}

void ATWorker::OnLeaveAutoTest(const QJsonObject& ack)
{
    if (!succeeded(ack)) {
        Refused(QStringLiteral("Device Can't Leave AT Mode"), ack);
        return;
    }
    simulator.StopSim(Step(&ATWorker::OnStopSim));
}

void ATWorker::OnStopSim(const QJsonObject&)
{
    SendResult(report);
}

void ATWorker::SendResult(const QJsonObject& result)
{
    KIV_LOG("ATWorker", "ATWorker::SendResult", 2) << "Job " << result.value(QStringLiteral("jobid")).toInt()
                                                   << " on device " << deviceId << " finished";
    Report(result);
}

void ATWorker::Refused(const QString& reason, const QJsonObject& ack)
{
    ReportFatal(reason, withAnswer(reason, ack));
}

void ATWorker::ReportFatal(const QString& reason, const QString& detail)
{
    ReportFailure(reason, QStringLiteral("Fatal Error"), detail.isEmpty() ? reason : detail);
}

bool ATWorker::Cancel()
{
    if (reported)
        return false;
    cancelling = true;
    Abandon(QStringLiteral("Cancelled"), QStringLiteral("Cancelled"));
    return true;
}

void ATWorker::OnRequestTimedOut(const QString& command)
{
    Abandon(QStringLiteral("Device request '%1' unanswered after %2 ms").arg(command).arg(deviceTimeLimitMs),
            QStringLiteral("Fatal Error"));
}

void ATWorker::Abandon(const QString& reason, const QString& caseRemark)
{
    if (reported)
        return;
    // Nothing waits for these answers: the job ends now, whatever comes back.
    if (deviceProxy.IsConnected())
        deviceProxy.EnterAutoTest(false, nullptr);
    if (simulator.IsConnected())
        simulator.StopSim(nullptr);
    // Out before the sockets are closed: the next job on the device may
    // start as soon as this worker is gone.
    deviceProxy.Flush();
    simulator.Flush();
    ReportFailure(reason, caseRemark, reason);
}

void ATWorker::ReportFailure(const QString& reason, const QString& caseRemark, const QString& detail)
{
    if (reported) {
        KIV_LOG("ATWorker", "ATWorker::ReportFatal", 2) << "Already reported, dropped: " << reason;
        return;
    }
    // A case whose device part went well while the device then failed the
    // next one keeps its script's verdict: the report waits for it (the
    // scripts' own limits bound the wait), and no further case starts.
    if (casesStarted && !cancelling) {
        if (failurePending)
            return;
        QPointer<ATWorker> self(this);
        failurePending = jobExecutor.Halt([self, reason, caseRemark, detail] {
            if (!self)
                return;
            self->failurePending = false;
            self->ReportFailure(reason, caseRemark, detail);
        });
        if (failurePending)
            return;
    }
    KIV_LOG("ATWorker", "ATWorker::ReportFatal", 1) << "Job " << request.value(QStringLiteral("jobid")).toInt()
                                                    << " on device " << deviceId << " failed: " << reason;
    // A script that runs ends now, and no verdict of it comes back.
    scripts.Stop();
    QJsonArray tcs;
    const QJsonArray cases = request.value(QStringLiteral("case_list")).toArray();
    const QList<TcResult>& finished = jobExecutor.Result().tcs;
    const int done = casesStarted ? int(finished.size()) : 0;
    // The cases that had started: one on the device, perhaps one before it
    // whose verdict a cancel cut off.
    const int started = casesStarted ? done + qMax(1, jobExecutor.CasesInFlight()) : 0;
    TcResult judged;
    for (int i = 0; i < cases.size(); ++i) {
        CaseVerdict verdict = CaseVerdict::Of(QStringLiteral("not run"));
        if (i < done)
            verdict = finished.at(i).Verdict();
        else if (casesStarted && i == done && jobExecutor.JudgedCase(judged))
            verdict = judged.Verdict(); // judged already, cut short in its post-delay
        else if (i < started || i == failedCase)
            verdict = CaseVerdict::Of(QStringLiteral("error"), detail);
        tcs.append(QJsonObject{{QStringLiteral("id"), cases.at(i).toObject().value(QStringLiteral("testcaseid"))},
                               {QStringLiteral("result"), false},
                               {QStringLiteral("remark"), caseRemark},
                               {QStringLiteral("verdict"), verdict.ToJson()}});
    }
    Report({{QStringLiteral("jobid"), request.value(QStringLiteral("jobid"))},
            {QStringLiteral("planid"), request.value(QStringLiteral("planid"))},
            {QStringLiteral("result"), false},
            {QStringLiteral("remark"), reason},
            {QStringLiteral("tcs"), tcs},
            {QStringLiteral("verdict"), JobVerdict::Failure(reason, detail).ToJson()}});
}

void ATWorker::Report(const QJsonObject& value)
{
    if (reported)
        return;
    reported = true;
    if (resultCallback)
        resultCallback({{QStringLiteral("VALUE"), value}});
}

void ATWorker::Reset()
{
    // Detach the link callbacks first: the aborts below may report a
    // disconnection, and this worker has reported already.
    deviceProxy.onConnected = nullptr;
    deviceProxy.onDisconnected = nullptr;
    deviceProxy.onError = nullptr;
    disconnect(&simulator, nullptr, this, nullptr);
    deviceProxy.Close();
    simulator.Close();
    scripts.Stop();
    collector.Clear();
    cov.Clear();
    jobExecutor.Reset();
    casesStarted = false;
    cancelling = false;
    failurePending = false;
    failedCase = -1;
    report = QJsonObject();
    request = QJsonObject();
    deviceId.clear();
}
