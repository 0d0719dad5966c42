#include "local/JobVerdict.h"

#include "base/JsonText.h"
#include "local/CaseVerdict.h"

#include <QJsonArray>

QJsonObject JobVerdict::ToJson() const
{
    return {{QStringLiteral("result"), result == Unknown ? QJsonValue() : QJsonValue(result == Passed)},
            {QStringLiteral("remark"), remark},
            {QStringLiteral("reason"), reason}};
}

JobVerdict JobVerdict::OfReport(const QJsonObject& value)
{
    JobVerdict verdict;
    verdict.result = value.value(QStringLiteral("result")).toBool(false) ? Passed : Failed;
    verdict.remark = value.value(QStringLiteral("remark")).toString();
    const QJsonValue given = value.value(QStringLiteral("verdict"));
    if (given.isObject()) {
        verdict.reason = given.toObject().value(QStringLiteral("reason")).toString();
        return verdict;
    }
    // Without verdicts a whole-job failure shows as a false report whose
    // cases all carry the failure's remark, or that has no case at all.
    if (verdict.result == Passed)
        return verdict;
    const QJsonArray tcs = value.value(QStringLiteral("tcs")).toArray();
    bool whole = true;
    for (const QJsonValue& entry : tcs) {
        const QString remark = entry.toObject().value(QStringLiteral("remark")).toString();
        if (remark != QLatin1String("Fatal Error") && remark != QLatin1String("Cancelled"))
            whole = false;
    }
    if (whole)
        verdict.reason = verdict.remark.isEmpty() ? QStringLiteral("The job's report has no result") : verdict.remark;
    return verdict;
}

JobVerdict JobVerdict::Failure(const QString& remark, const QString& reason)
{
    JobVerdict verdict;
    verdict.result = Failed;
    verdict.remark = remark;
    verdict.reason = reason;
    return verdict;
}

EventCallback JobVerdict::Filter(const EventCallback& events, bool keep)
{
    if (keep || !events)
        return events;
    return [events](const QJsonObject& event) {
        QJsonObject plain = event;
        Strip(plain);
        events(plain);
    };
}

void JobVerdict::Strip(QJsonObject& object)
{
    JsonText::StripVerdicts(object);
}
