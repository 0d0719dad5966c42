#pragma once

#include "base/ComponentMap.h"
#include "engine/ATWorkerMng.h"
#include "front/AtTplMng.h"
#include "base/ReplyCallback.h"
#include "local/LocalCommandTable.h"
#include "local/LocalDispatcher.h"
#include "remote/RemoteJobs.h"
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
    explicit ATServerProxy(const ControllerEndpoint& controller);
    ~ATServerProxy();
    ATServerProxy(const ATServerProxy&) = delete;
    ATServerProxy& operator=(const ATServerProxy&) = delete;

    void DoJson(const QJsonObject& request, const ReplyCallback& reply);

private:
    using JobHandler = void (ATServerProxy::*)(const QJsonObject& request, const ReplyCallback& reply);
    using ImmediateHandler = void (ATServerProxy::*)(const QJsonObject& request, QJsonObject& reply);
    struct JobEntry { const char* name; JobHandler handler; };
    struct ImmediateEntry { const char* name; ImmediateHandler handler; };
    static const JobEntry s_jobTable[];
    static const ImmediateEntry s_immediateTable[];

    void Init();

    void OnExecuteJob(const QJsonObject& request, const ReplyCallback& reply);
    void OnNoCmd(const QJsonObject& request, QJsonObject& reply);
    void OnGetState(const QJsonObject& request, QJsonObject& reply);
    void OnSwitchState(const QJsonObject& request, QJsonObject& reply);
    void OnGetTemplates(const QJsonObject& request, const ReplyCallback& reply);
    void OnCancelJob(const QJsonObject& request, QJsonObject& reply);

    void RouteRemote(const QJsonObject& request, const ReplyCallback& reply);
    void RouteLocal(const QString& cmd, const QJsonObject& request, const ReplyCallback& reply);
    // "fetch_tc" for a client of this host, written from the content's UTF-8;
    // false when the command table should answer instead.
    bool FetchTestcase(const QJsonObject& request, const ReplyCallback& reply);

    // Declaration order is construction order; destruction runs backwards.
    LocalCommandTable m_commands;
    LocalModel m_model;
    // Held while this service uses the database: only the host that holds it
    // may take the jobs it finds running for its own.
    QLockFile m_databaseLock{LocalModel::FilePath() + QStringLiteral(".lock")};
    WebFileGetter m_webGetter;
    AtTplMng m_templates;
    ATWorkerMng m_workerMng;
    ComponentMap m_components;
    LocalDispatcher m_dispatcher;
    // Jobs that the remote server hands back to run here.
    RemoteJobs m_remoteJobs{m_webGetter};
    // 1 selects the first remote host, anything else the second.
    int m_remoteHost = 0;
    bool m_remoteMode = true;
};
