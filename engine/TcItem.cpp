#include "engine/TcItem.h"

#include "device/IdKey.h"
#include "device/IdNameCov.h"
#include "device/NameKey.h"
#include "engine/TcStPostDelay.h"
#include "local/RecordJson.h"
#include "platform/Debugger.h"

bool TcItem::Init(const QJsonObject& record, IdNameCov* cov, QString* error)
{
    tcId = record.value(QStringLiteral("testcaseid")).toInt();
    // Names the case as its user knows it, for a job that cannot start.
    const auto failure = [&record, error, this](const QString& why) {
        if (error) {
            const QString title = record.value(QStringLiteral("title")).toString();
            *error = QStringLiteral("test case %1%2: %3")
                         .arg(tcId)
                         .arg(title.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(title), why);
        }
        return false;
    };

    QJsonObject content;
    QString parseError;
    if (!ParseContent(record, content, parseError)) {
        KIV_LOG("TcItem::Init", "TcItem::Init", 0) << "[testcase content parse error]" << parseError;
        return failure(QStringLiteral("its content is not a JSON object: ") + parseError);
    }
    script = content.value(QStringLiteral("execute_script")).toString();

    if (!content.contains(QStringLiteral("MODULE_NAME"))) {
        KIV_LOG("TcItem::Init", "TcItem::Init", 0) << "[Content dont have MODULE_NAME]: " << content;
        return failure(QStringLiteral("its content has no MODULE_NAME"));
    }
    if (!content.contains(QStringLiteral("GROUP_NAME"))) {
        KIV_LOG("TcItem::Init", "TcItem::Init", 0) << "[Content dont have GROUP_NAME]" << content;
        return failure(QStringLiteral("its content has no GROUP_NAME"));
    }
    if (!content.contains(QStringLiteral("DATA"))) {
        KIV_LOG("TcItem::Init", "TcItem::Init", 0) << "[Content dont have DATA]" << content;
        return failure(QStringLiteral("its content has no DATA"));
    }

    NameKey names;
    names.moduleName = content.value(QStringLiteral("MODULE_NAME")).toString();
    names.groupName = content.value(QStringLiteral("GROUP_NAME")).toString();
    IdKey ids;
    if (!cov || !cov->NameToId(names, ids)) {
        KIV_LOG("TcItem::Init", "TcItem::Init", 0) << "[Can't covert mod/group name to mod/group seq]";
        IdKey moduleOnly;
        NameKey module;
        module.moduleName = names.moduleName;
        if (!cov || !cov->NameToId(module, moduleOnly))
            return failure(QStringLiteral("module '%1' is not in the device template").arg(names.moduleName));
        return failure(QStringLiteral("module '%1' has no case group '%2' in the device template")
                           .arg(names.moduleName, names.groupName));
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
