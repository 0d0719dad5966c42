#include "local/CaseVerdict.h"

QJsonObject CaseVerdict::ToJson() const
{
    return {{QStringLiteral("status"), status}, {QStringLiteral("remark"), remark}, {QStringLiteral("ms"), ms}};
}

CaseVerdict CaseVerdict::FromJson(const QJsonObject& verdict)
{
    return Of(verdict.value(QStringLiteral("status")).toString(), verdict.value(QStringLiteral("remark")).toString(),
              verdict.value(QStringLiteral("ms")).toInt(-1));
}

CaseVerdict CaseVerdict::Of(const QString& status, const QString& remark, int ms)
{
    CaseVerdict verdict;
    verdict.status = status;
    verdict.remark = remark;
    verdict.ms = ms;
    return verdict;
}

CaseVerdict CaseVerdict::OfEntry(const QJsonObject& entry)
{
    const QJsonValue given = entry.value(QStringLiteral("verdict"));
    if (given.isObject()) {
        CaseVerdict verdict = FromJson(given.toObject());
        static const QStringList known = {QStringLiteral("pass"), QStringLiteral("fail"), QStringLiteral("error"),
                                          QStringLiteral("not run")};
        if (known.contains(verdict.status))
            return verdict;
    }
    const QString remark = entry.value(QStringLiteral("remark")).toString();
    if (entry.value(QStringLiteral("result")).toBool(false))
        return Of(QStringLiteral("pass"), remark);
    return Of(IsErrorRemark(remark) ? QStringLiteral("error") : QStringLiteral("fail"), remark);
}

bool CaseVerdict::IsErrorRemark(const QString& remark)
{
    return remark == QLatin1String("Fatal Error") || remark == QLatin1String("Cancelled")
        || remark.startsWith(QLatin1String("Script Exception")) || remark == QLatin1String("Script is not callable")
        || remark.startsWith(QLatin1String("Set Data Ack")) || remark == QLatin1String("Fail to Convert id data to name data");
}
