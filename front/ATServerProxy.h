#pragma once

#include "base/ComponentMap.h"
#include "base/JobEngine.h"
#include "engine/ATWorkerMng.h"
#include "front/AtTplMng.h"
#include "front/KIVAutoTestConfig.h"
#include "front/RequestContext.h"
#include "front/ScriptCheck.h"
#include "local/LocalCommandTable.h"
#include "local/LocalDispatcher.h"
#include "remote/RemoteJobs.h"
#include "remote/RemoteSettings.h"
#include "remote/StationBeat.h"
#include "remote/WebFileGetter.h"
#include "storage/LocalModel.h"

#include <QJsonObject>
#include <QLockFile>
#include <QString>

// Owns the long-lived back end, holds the service mode and routes each
// request: the job runner, its own immediate commands, then the local or the
// remote test-management server depending on the mode.
class ATServerProxy
{
public:
    // Runs with `options` (the service's, which outlive the proxy).
    explicit ATServerProxy(const KIVAutoTestOptions& options);
    ~ATServerProxy();
    ATServerProxy(const ATServerProxy&) = delete;
    ATServerProxy& operator=(const ATServerProxy&) = delete;

    void DoJson(const QJsonObject& request, const RequestContext& context);
    // Takes changed options (the controller and the station stay) for what
    // starts afterwards.
    void Apply(const KIVAutoTestOptions& options);

    // For the host's metrics.
    ATWorkerMng::Load Load() const { return m_workerMng.Count(); }
    bool DatabaseOpen() const { return m_model.IsOpen(); }
    // Whether `cmd` is one this host answers or routes to a command table.
    bool Knows(const QString& cmd) const;

private:
    using JobHandler = void (ATServerProxy::*)(const QJsonObject& request, const RequestContext& context);
    using ImmediateHandler = void (ATServerProxy::*)(const QJsonObject& request, QJsonObject& reply);
    struct JobEntry { const char* name; JobHandler handler; };
    struct ImmediateEntry { const char* name; ImmediateHandler handler; };
    static const JobEntry s_jobTable[];
    static const ImmediateEntry s_immediateTable[];

    // Hands jobs to the worker manager. On a station a job that starts or
    // ends beats at once, so that the server sees its device taken or freed.
    class StationJobs : public JobEngine
    {
    public:
        StationJobs(ATWorkerMng& engine, StationBeat& beat) : engine(engine), beat(beat) {}
        void NewJob(const QJsonObject& request, const ReplyCallback& report, const EventCallback& progress = nullptr) override;
        bool Waiting(const QJsonValue& jobId) const override { return engine.Waiting(jobId); }

    private:
        ATWorkerMng& engine;
        StationBeat& beat;
    };

    void Init();
    StationBeat::DeviceState StateOf(const QString& url) const;
    // A cancel that a station's server sends for a job it handed out here.
    void CancelHeld(int jobId);

    void OnExecuteJob(const QJsonObject& request, const RequestContext& context);
    void OnNoCmd(const QJsonObject& request, QJsonObject& reply);
    void OnGetState(const QJsonObject& request, QJsonObject& reply);
    void OnSwitchState(const QJsonObject& request, QJsonObject& reply);
    void OnGetTemplates(const QJsonObject& request, const RequestContext& context);
    void OnCancelJob(const QJsonObject& request, QJsonObject& reply);
    // Checks before a test case is saved, answered here in either mode: they
    // need this station's script engine and device templates.
    void OnCheckScript(const QJsonObject& request, const RequestContext& context);
    void OnCheckTestcase(const QJsonObject& request, const RequestContext& context);

    void RouteRemote(const QJsonObject& request, const RequestContext& context);
    void RouteLocal(const QString& cmd, const QJsonObject& request, const RequestContext& context);
    // "fetch_tc" for a client of this host, written from the content's UTF-8;
    // false when the command table should answer instead.
    bool FetchTestcase(const QJsonObject& request, const RequestContext& context);

    // Declaration order is construction order; destruction runs backwards.
    // The options as each floor reads them, kept in step by Apply.
    JobLimits m_jobLimits;
    RemoteSettings m_remoteSettings;
    // 1 selects the first remote host, anything else the second.
    int m_remoteHost = 0;
    LocalCommandTable m_commands;
    LocalModel m_model;
    // Held while this service uses the database: only the host that holds it
    // may take the jobs it finds running for its own.
    QLockFile m_databaseLock{LocalModel::FilePath() + QStringLiteral(".lock")};
    WebFileGetter m_webGetter{m_remoteSettings};
    AtTplMng m_templates;
    ScriptCheck m_scriptCheck{m_jobLimits};
    ATWorkerMng m_workerMng;
    // Beats only when the options name a station. Its jobs go to
    // m_remoteJobs, built later but before the first beat's answer.
    StationBeat m_stationBeat;
    // Every job starts through this one.
    StationJobs m_jobs{m_workerMng, m_stationBeat};
    ComponentMap m_components;
    LocalDispatcher m_dispatcher{&m_jobs};
    // Jobs that the remote server hands back to run here.
    RemoteJobs m_remoteJobs{m_webGetter, m_jobs};
    bool m_remoteMode = true;
};
