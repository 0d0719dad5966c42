#include "server/CommandAccess.h"

#include <iterator>

namespace {

struct Entry
{
    const char* cmd;
    CommandAccess::Kind kind;
    bool audited;
};

// Every command the server answers. "job_progress" changes a running job's
// verdicts but comes every few minutes per job; its "job_report" is audited.
// "station_beat" comes every few seconds from each station, and says only
// what its station holds now.
const Entry kCommands[] = {
    {"proj_tcs", CommandAccess::Read, false},
    {"fetch_tc", CommandAccess::Read, false},
    {"plan_info", CommandAccess::Read, false},
    {"plan_tcs", CommandAccess::Read, false},
    {"my_plans", CommandAccess::Read, false},
    {"my_jobs", CommandAccess::Read, false},
    {"my_reports", CommandAccess::Read, false},
    {"job_info", CommandAccess::Read, false},
    {"job_detail", CommandAccess::Read, false},
    {"lab_state", CommandAccess::Read, false},
    {"tc_history", CommandAccess::Read, false},
    {"add_tc", CommandAccess::Write, true},
    {"update_tc", CommandAccess::Write, true},
    {"create_plan", CommandAccess::Write, true},
    {"update_plan", CommandAccess::Write, true},
    {"sync_plan", CommandAccess::Write, true},
    {"execute_job_local", CommandAccess::Write, true},
    {"queue_job", CommandAccess::Write, true},
    {"cancel_job", CommandAccess::Write, true},
    {"job_report", CommandAccess::Write, true},
    {"job_progress", CommandAccess::Write, false},
    {"station_beat", CommandAccess::Write, false},
    {"del_tc", CommandAccess::Admin, true},
    {"del_plan", CommandAccess::Admin, true},
    {"audit_log", CommandAccess::Admin, false},
};

const Entry* find(const QString& cmd)
{
    for (const Entry& entry : kCommands) {
        if (cmd == QLatin1String(entry.cmd))
            return &entry;
    }
    return nullptr;
}

} // namespace

CommandAccess::Kind CommandAccess::KindOf(const QString& cmd)
{
    const Entry* entry = find(cmd);
    return entry ? entry->kind : Admin;
}

UserRole CommandAccess::Needs(const QString& cmd)
{
    switch (KindOf(cmd)) {
    case Read:
        return UserRole::Viewer;
    case Write:
        return UserRole::Engineer;
    case Admin:
        break;
    }
    return UserRole::Admin;
}

bool CommandAccess::Audited(const QString& cmd)
{
    const Entry* entry = find(cmd);
    return entry && entry->audited;
}

QString CommandAccess::Refusal(const QString& cmd, const ServerUser& user)
{
    const UserRole needed = Needs(cmd);
    if (user.role >= needed)
        return QString();
    return QStringLiteral("%1 needs the %2 role; %3 is %4")
        .arg(cmd, UserTable::RoleName(needed), user.name, UserTable::WithArticle(user.role));
}

QJsonObject CommandAccess::Ids(const QString& cmd, const QJsonObject& request, const QJsonObject& reply)
{
    // New records have their ids in the reply, changed ones in the request.
    const bool created = cmd == QLatin1String("add_tc") || cmd == QLatin1String("create_plan")
        || cmd == QLatin1String("execute_job_local") || cmd == QLatin1String("queue_job");
    const QJsonObject& from = created ? reply : request;
    QJsonObject ids;
    for (const char* key : {"testcaseid", "planid", "jobid"}) {
        const QJsonValue id = from.value(QLatin1String(key));
        if (id.isDouble())
            ids.insert(QLatin1String(key), id);
    }
    return ids;
}
