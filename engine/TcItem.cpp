#include "engine/TcItem.h"

#include "device/IdKey.h"
#include "device/IdNameCov.h"
#include "device/NameKey.h"
#include "engine/TcStPostDelay.h"
#include "local/RecordJson.h"
#include "platform/Debugger.h"

bool TcItem::Init(const QJsonObject& record, IdNameCov* cov)
{
    tcId = record.value(QStringLiteral("testcaseid")).toInt();

    QJsonObject content;
    QString error;
    if (!ParseContent(record, content, error)) {
        KIV_LOG("TcItem::Init", "TcItem::Init", 0) << "[testcase content parse error]" << error;
        return false;
    }
    script = content.value(QStringLiteral("execute_script")).toString();

    if (!content.contains(QStringLiteral("MODULE_NAME"))) {
        KIV_LOG("TcItem::Init", "TcItem::Init", 0) << "[Content dont have MODULE_NAME]: " << content;
        return false;
    }
    if (!content.contains(QStringLiteral("GROUP_NAME"))) {
        KIV_LOG("TcItem::Init", "TcItem::Init", 0) << "[Content dont have GROUP_NAME]" << content;
        return false;
    }
    if (!content.contains(QStringLiteral("DATA"))) {
        KIV_LOG("TcItem::Init", "TcItem::Init", 0) << "[Content dont have DATA]" << content;
        return false;
    }

    NameKey names;
    names.moduleName = content.value(QStringLiteral("MODULE_NAME")).toString();
    names.groupName = content.value(QStringLiteral("GROUP_NAME")).toString();
    IdKey ids;
    if (!cov || !cov->NameToId(names, ids)) {
        KIV_LOG("TcItem::Init", "TcItem::Init", 0) << "[Can't covert mod/group name to mod/group seq]";
        return false;
    }
    caseData.insert(QStringLiteral("MODULE_SEQ"), ids.moduleSeq);
    caseData.insert(QStringLiteral("GROUP_SEQ"), ids.groupSeq);
    caseData.insert(QStringLiteral("DATA"), content.value(QStringLiteral("DATA")));
    return true;
}

bool TcItem::ParseStrategies(const QJsonArray& entry)
{
    for (const QJsonValue& element : entry) {
        const QJsonObject strategy = element.toObject();
        if (strategy.value(QStringLiteral("type")).toString() != QLatin1String("s_deplay"))
            continue;
        strategies.append(std::make_shared<TcStPostDelay>(strategy.value(QStringLiteral("time")).toInt()));
    }
    return true;
}
