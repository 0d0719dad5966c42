#include "engine/JobItem.h"

#include "platform/Debugger.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

bool JobItem::Init(const QJsonObject& request, IdNameCov* cov, QString* error, int* failedCase)
{
    const auto failure = [error, failedCase](const QString& why, int at) {
        if (error)
            *error = why;
        if (failedCase)
            *failedCase = at;
        return false;
    };
    Clear();
    jobId = request.value(QStringLiteral("jobid")).toInt();
    planId = request.value(QStringLiteral("planid")).toInt();

    QJsonParseError parse;
    const QJsonDocument document =
        QJsonDocument::fromJson(request.value(QStringLiteral("content")).toString().toUtf8(), &parse);
    if (parse.error != QJsonParseError::NoError || !document.isObject()) {
        KIV_LOG("JobItem", "JobItem::Init", 0) << "[Parse Plan Content Json Fail]" << parse.errorString();
        return failure(QStringLiteral("the plan's content is not a JSON object: ") + parse.errorString(), -1);
    }
    const QJsonObject content = document.object();
    script = content.value(QStringLiteral("execute_script")).toString();
    const QJsonArray strategies = content.value(QStringLiteral("case_stratepy")).toArray();
    const QJsonArray cases = request.value(QStringLiteral("case_list")).toArray();
    if (strategies.size() != cases.size()) {
        KIV_LOG("JobItem", "JobItem::Init", 0) << "Tc cnt: " << int(cases.size()) << " || Tc Strategy cnt: "
                                               << int(strategies.size()) << " || Not Match ";
        return failure(QStringLiteral("the plan's case_stratepy has %1 entries for %2 test cases")
                           .arg(strategies.size()).arg(cases.size()), -1);
    }
    for (int i = 0; i < cases.size(); ++i) {
        TcItem item;
        QString why;
        if (!item.Init(cases.at(i).toObject(), cov, &why))
            return failure(why, i);
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
