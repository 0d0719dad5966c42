#include "engine/TcResult.h"

QJsonObject TcResult::ToJson() const
{
    return {{QStringLiteral("id"), id}, {QStringLiteral("result"), result}, {QStringLiteral("remark"), remark}};
}
