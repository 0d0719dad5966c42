#include "front/ATServerProxy.h"

#include "engine/ATWorker.h"
#include "engine/CaseNameCheck.h"
#include "front/RequestEnvelope.h"
#include "local/JobVerdict.h"
#include "local/RecordJson.h"
#include "platform/Debugger.h"
#include "remote/RemoteHandler.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QPointer>

namespace {

// Progress events are opt-in: only JSON true asks for them. They carry
// verdicts only for a request that asked for those too.
EventCallback progressEvents(const QJsonObject& request, const RequestContext& context)
{
    if (request.value(QStringLiteral("progress")) != QJsonValue(true) || !context.events)
        return nullptr;
    return JobVerdict::Filter(context.events, JobVerdict::Asked(request));
}

StationInfo stationOf(const KIVAutoTestOptions& options)
{
    StationInfo station;
    station.name = options.station;
    station.version = options.version;
    for (const KIVAutoTestStationDevice& device : options.stationDevices)
        station.devices.append({device.url, device.tags});
    return station;
}

} // namespace

const ATServerProxy::JobEntry ATServerProxy::s_jobTable[] = {
    {"ExecuteJob", &ATServerProxy::OnExecuteJob},
    {"GetAutoTestTemplate", &ATServerProxy::OnGetTemplates},
    {"check_script", &ATServerProxy::OnCheckScript},
    {"check_testcase", &ATServerProxy::OnCheckTestcase},
};

const ATServerProxy::ImmediateEntry ATServerProxy::s_immediateTable[] = {
    {"", &ATServerProxy::OnNoCmd},
    {"get_state", &ATServerProxy::OnGetState},
    {"switch_state", &ATServerProxy::OnSwitchState},
    {"CancelJob", &ATServerProxy::OnCancelJob},
};

ATServerProxy::ATServerProxy(const KIVAutoTestOptions& options)
    : m_workerMng(ControllerEndpoint::FromText(options.controller), m_jobLimits)
    , m_stationBeat(stationOf(options), m_webGetter, m_remoteSettings, m_remoteHost,
                    [this](const QString& url) { return StateOf(url); },
                    {[this] { return m_remoteJobs.Held(); },
                     [this](QJsonObject entry, const QString& url) { m_remoteJobs.TakeJob(entry, url); },
                     [this](int jobId) { CancelHeld(jobId); }})
{
    Apply(options);
    Init();
    if (!options.station.isEmpty())
        m_stationBeat.Start();
}

void ATServerProxy::StationJobs::NewJob(const QJsonObject& request, const ReplyCallback& report, const EventCallback& progress)
{
    if (!beat.Started()) {
        engine.NewJob(request, report, progress);
        return;
    }
    QPointer<StationBeat> station(&beat);
    engine.NewJob(request,
                  [report, station](const QJsonObject& end) {
                      report(end);
                      if (station)
                          station->Now();
                  },
                  progress);
    beat.Now();
}

StationBeat::DeviceState ATServerProxy::StateOf(const QString& url) const
{
    // Jobs name their device by its id, whatever the rest of their "url".
    StationBeat::DeviceState state;
    state.busy = m_workerMng.Holder(ATWorker::DeviceIdFromUrl(url), &state.jobId);
    return state;
}

void ATServerProxy::CancelHeld(int jobId)
{
    // Only on the job's own device: a client's "ExecuteJob" may use the same id.
    const QString device = m_remoteJobs.DeviceOf(jobId);
    if (!device.isNull())
        m_workerMng.CancelJob(jobId, device);
}

void ATServerProxy::Apply(const KIVAutoTestOptions& options)
{
    m_jobLimits.scriptTimeoutMs = options.scriptTimeoutMs;
    m_jobLimits.jobScriptBudgetMs = options.jobScriptBudgetMs;
    m_jobLimits.scriptMemoryMiB = options.scriptMemoryMiB;
    m_jobLimits.deviceTimeoutMs = options.deviceTimeoutMs;
    m_remoteSettings.first = options.remoteFirst;
    m_remoteSettings.second = options.remoteSecond;
    m_remoteSettings.timeoutMs = options.remoteTimeoutMs;
    m_remoteSettings.maxReplyBytes = options.maxRemoteReplyBytes;
    m_commands.SetMaxTcList(options.maxTcList);
    // A page or plan whose test cases alone pass the reply limit fails
    // before it is read whole.
    m_model.SetReadLimit(options.maxReplyBytes);
    m_templates.SetMaxReplyBytes(options.maxReplyBytes);
}

ATServerProxy::~ATServerProxy()
{
    m_model.Close();
}

void ATServerProxy::Init()
{
    if (!m_model.Open()) {
        KIV_LOG("AutoTestProxy", "ATServerProxy::Init", 0) << "[Local DB Init Fail : " << m_model.LastErrorText() << " ]";
        return;
    }
    // Jobs a stopped host ran cannot report any more: they end now, keeping
    // the verdicts of the cases that finished. Another host running on the
    // same database owns its jobs, and then none is touched.
    m_databaseLock.setStaleLockTime(0);
    QList<int> ended;
    if (!m_databaseLock.tryLock(0))
        KIV_LOG("AutoTestProxy", "ATServerProxy::Init", 1) << "Another host uses " << LocalModel::FilePath()
                                                           << "; the jobs it lists as running are left to it";
    else if (!m_model.AbandonJobs(QStringLiteral("Host stopped during the job"), -1, ended))
        KIV_LOG("AutoTestProxy", "ATServerProxy::Init", 0) << "Can't finish the jobs left running: " << m_model.LastErrorText();
    for (const int job : qAsConst(ended))
        KIV_LOG("AutoTestProxy", "ATServerProxy::Init", 1) << "Job " << job << " was running when the host stopped; finished as failed";
    m_templates.Init();
    m_components.Register("LocalModel", &m_model);
    m_components.Register("LocalDispatcher", &m_dispatcher);
    m_components.Register("JobRunner", static_cast<JobRunner*>(&m_dispatcher));
    m_commands.SetComponentMap(&m_components);
    m_dispatcher.SetComponentMap(&m_components);
}

void ATServerProxy::DoJson(const QJsonObject& request, const RequestContext& context)
{
    // A missing or non-string "cmd" reads as the empty command.
    const QString cmd = request.value(QStringLiteral("cmd")).toString();

    for (const JobEntry& entry : s_jobTable) {
        if (cmd == QLatin1String(entry.name)) {
            (this->*entry.handler)(request, context);
            return;
        }
    }
    for (const ImmediateEntry& entry : s_immediateTable) {
        if (cmd == QLatin1String(entry.name)) {
            QJsonObject answer;
            (this->*entry.handler)(request, answer);
            context.reply(answer);
            return;
        }
    }
    if (m_remoteMode)
        RouteRemote(request, context);
    else
        RouteLocal(cmd, request, context);
}

void ATServerProxy::OnExecuteJob(const QJsonObject& request, const RequestContext& context)
{
    // The worker answers through the callback, once, whenever the job ends.
    const EventCallback events = progressEvents(request, context);
    const ReplyCallback reply = context.reply;
    if (JobVerdict::Asked(request)) {
        m_jobs.NewJob(request.value(QStringLiteral("VALUE")).toObject(), reply, events);
        return;
    }
    m_jobs.NewJob(request.value(QStringLiteral("VALUE")).toObject(),
                  [reply](const QJsonObject& report) {
                      QJsonObject plain = report;
                      JobVerdict::Strip(plain);
                      reply(plain);
                  },
                  events);
}

bool ATServerProxy::Knows(const QString& cmd) const
{
    for (const JobEntry& entry : s_jobTable) {
        if (cmd == QLatin1String(entry.name))
            return true;
    }
    for (const ImmediateEntry& entry : s_immediateTable) {
        if (cmd == QLatin1String(entry.name))
            return true;
    }
    return m_commands.Has(cmd);
}

void ATServerProxy::OnNoCmd(const QJsonObject&, QJsonObject& reply)
{
    reply.insert(QStringLiteral("result"), QStringLiteral("No cmd Section"));
}

void ATServerProxy::OnGetState(const QJsonObject&, QJsonObject& reply)
{
    reply.insert(QStringLiteral("result"), QStringLiteral("ok"));
    reply.insert(QStringLiteral("state"), m_remoteMode ? QStringLiteral("remote") : QStringLiteral("local"));
}

void ATServerProxy::OnSwitchState(const QJsonObject& request, QJsonObject& reply)
{
    m_remoteMode = request.value(QStringLiteral("state")).toString(QStringLiteral("local")) == QLatin1String("remote");
    OnGetState(request, reply);
}

void ATServerProxy::OnGetTemplates(const QJsonObject&, const RequestContext& context)
{
    // Large templates are read over several turns of the event loop.
    m_templates.Read(context);
}

void ATServerProxy::OnCheckScript(const QJsonObject& request, const RequestContext& context)
{
    const ReplyCallback reply = context.reply;
    m_scriptCheck.Check(request, [reply](const QJsonObject& answer) {
        QJsonObject named = answer;
        named.insert(QStringLiteral("cmd"), QStringLiteral("check_script"));
        reply(named);
    });
}

void ATServerProxy::OnCheckTestcase(const QJsonObject& request, const RequestContext& context)
{
    // Against the templates as they are now: the files are read for every request.
    const ReplyCallback reply = context.reply;
    m_templates.Read(RequestContext([request, reply](const QJsonObject& templates) {
        QJsonObject answer = CaseNameCheck::Answer(request, templates);
        answer.insert(QStringLiteral("cmd"), QStringLiteral("check_testcase"));
        reply(answer);
    }));
}

void ATServerProxy::OnCancelJob(const QJsonObject& request, QJsonObject& reply)
{
    // Jobs run here whatever the mode, so cancelling never goes to a server.
    const QJsonValue jobId = request.value(QStringLiteral("jobid"));
    if (jobId.isUndefined() || jobId.isNull()) {
        reply.insert(QStringLiteral("result"), QStringLiteral("CancelJob needs the \"jobid\" of the job to end"));
        reply.insert(QStringLiteral("cancelled"), 0);
        return;
    }
    reply.insert(QStringLiteral("result"), QStringLiteral("ok"));
    // With "url", only the jobs on that device: "ExecuteJob" ids are chosen
    // by the clients and may repeat.
    const QJsonValue url = request.value(QStringLiteral("url"));
    reply.insert(QStringLiteral("cancelled"), m_workerMng.CancelJob(jobId, url.isString() ? url.toString() : QString()));
}

void ATServerProxy::RouteRemote(const QJsonObject& request, const RequestContext& context)
{
    const ReplyCallback reply = context.reply;
    const QByteArray body = QJsonDocument(request).toJson(QJsonDocument::Compact);
    // The switch computes from the selector as it was when this request went
    // out, so requests that fail together all move to the same other host.
    const int sentTo = m_remoteHost;
    int* selector = &m_remoteHost;
    const auto switchHost = [selector, sentTo](QNetworkReply*) { *selector = (sentTo + 1) % 2; };
    const QString url = m_remoteSettings.ForSelector(sentTo);
    if (request.value(QStringLiteral("cmd")).toString() == QLatin1String("execute_job_local")) {
        // The server may hand the job back to run here. Not tied to the
        // client: the server has stored the job whether the client stays or not.
        QPointer<RemoteJobs> jobs(&m_remoteJobs);
        const EventCallback events = progressEvents(request, context);
        const RemoteHandler handler([jobs, url, reply, events](const QJsonObject& answer) {
            QJsonObject forClient = answer;
            if (jobs)
                jobs->TakeJob(forClient, url, events);
            reply(forClient);
        }, switchHost);
        m_webGetter.wGet(url, body, handler);
        return;
    }
    // Requests of a client that has gone are aborted, queued or running.
    m_webGetter.wGet(url, body, RemoteHandler(reply, switchHost), context.alive);
}

bool ATServerProxy::FetchTestcase(const QJsonObject& request, const RequestContext& context)
{
    // The content goes from the database's UTF-8 into the reply text as it
    // is. Through QString and QJsonObject a text of N bytes takes about ten
    // times that at the peak (UTF-16 copies, the object's own copy, the
    // writer's temporaries); this way about three. The reply is the command
    // table's, byte for byte.
    if (!context.rawReply || !m_model.IsOpen())
        return false;
    DBT_Testcase tc;
    JsonToTestcase(request, tc);
    QByteArray content;
    QJsonObject answer;
    if (m_model.GetTestcase(tc, &content)) {
        answer.insert(QStringLiteral("result"), QStringLiteral("ok"));
        TestcaseToJson(tc, answer);
    } else {
        answer.insert(QStringLiteral("result"), m_model.LastErrorText());
    }
    answer.insert(QStringLiteral("cmd"), QStringLiteral("fetch_tc"));
    if (content.isNull()) {
        context.reply(answer);
        return true;
    }
    // Escaped as it is copied into the reply: the text is held once more, not twice.
    QVector<RequestEnvelope::RawMember> raw{{QLatin1String("content"), content, true}};
    content = QByteArray();
    context.rawReply(answer, raw);
    return true;
}

void ATServerProxy::RouteLocal(const QString& cmd, const QJsonObject& request, const RequestContext& context)
{
    if (cmd == QLatin1String("fetch_tc") && FetchTestcase(request, context))
        return;
    QJsonObject answer;
    if (!m_commands.Dispatch(request, answer))
        answer.insert(QStringLiteral("result"), QStringLiteral("Local AT Server not support cmd: ") + cmd);
    answer.insert(QStringLiteral("cmd"), cmd);
    context.reply(answer);
    // The job started is still connecting to its device (or waiting for it):
    // no test case can have finished before it is followed here, after the
    // answer that names the job.
    if (cmd == QLatin1String("execute_job_local") && answer.value(QStringLiteral("result")) == QLatin1String("ok")) {
        if (const EventCallback events = progressEvents(request, context))
            m_dispatcher.Follow(answer.value(QStringLiteral("jobid")).toInt(), events);
    }
}
