#include "engine/JobItem.h"

#include "platform/Debugger.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

bool JobItem::Init(const QJsonObject& request, IdNameCov* cov)
{
    Clear();
    jobId = request.value(QStringLiteral("jobid")).toInt();
    planId = request.value(QStringLiteral("planid")).toInt();

    QJsonParseError error;
    const QJsonDocument document =
        QJsonDocument::fromJson(request.value(QStringLiteral("content")).toString().toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        KIV_LOG("JobItem", "JobItem::Init", 0) << "[Parse Plan Content Json Fail]" << error.errorString();
        return false;
    }
    const QJsonObject content = document.object();
    script = content.value(QStringLiteral("execute_script")).toString();
    const QJsonArray strategies = content.value(QStringLiteral("case_stratepy")).toArray();
    const QJsonArray cases = request.value(QStringLiteral("case_list")).toArray();
    if (strategies.size() != cases.size()) {
        KIV_LOG("JobItem", "JobItem::Init", 0) << "Tc cnt: " << int(cases.size()) << " || Tc Strategy cnt: "
                                               << int(strategies.size()) << " || Not Match ";
        return false;
    }
    for (int i = 0; i < cases.size(); ++i) {
        TcItem item;
        if (!item.Init(cases.at(i).toObject(), cov))
            return false;
        item.ParseStrategies(strategies.at(i).toArray());
        tcItems.append(item);
    }
    return true;
}

void JobItem::Clear()
{
    script.clear();
    tcItems.clear();
}
