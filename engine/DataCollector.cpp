#include "engine/DataCollector.h"

#include "device/IdKey.h"
#include "device/IdNameCov.h"
#include "device/NameKey.h"
#include "platform/Debugger.h"

#include <QJsonArray>
#include <QList>

void DataCollector::Add(const QJsonObject& push)
{
    if (!collecting)
        return;
    const int moduleSeq = push.value(QStringLiteral("MODULE_SEQ")).toInt();
    QList<ObseEntry> entries;
    for (const QJsonValue& element : push.value(QStringLiteral("VALUE")).toArray()) {
        const QJsonObject observed = element.toObject();
        ObseEntry entry;
        entry.moduleSeq = moduleSeq;
        entry.groupSeq = observed.value(QStringLiteral("GROUP_SEQ")).toInt();
        entry.index = observed.value(QStringLiteral("INDEX")).toInt();
        // A missing value is filed as null; an undefined one has no place in a JSON array.
        const auto value = observed.constFind(QStringLiteral("VALUE"));
        entry.value = value == observed.constEnd() ? QJsonValue(QJsonValue::Null) : value.value();
        entries.append(entry);
    }
    for (const ObseEntry& entry : qAsConst(entries)) {
        IdKey ids;
        ids.moduleSeq = entry.moduleSeq;
        ids.groupSeq = entry.groupSeq;
        ids.index = entry.index;
        NameKey names;
        if (cov && cov->ObseIdToName(ids, names)) {
            Merge(names.moduleName, names.groupName, names.itemName, entry.value);
            if (onFiled)
                onFiled(names.moduleName, names.groupName, names.itemName, entry.value);
        } else {
            KIV_LOG("DataCollector", "DataCollector::Add", 1) << " Fail to covert id data to name data " << "( "
                << entry.moduleSeq << " ," << entry.groupSeq << " ," << entry.index << " )";
        }
    }
}

void DataCollector::Clear()
{
    data = QJsonObject();
    collecting = false;
}

void DataCollector::Merge(const QString& module, const QString& group, const QString& item, const QJsonValue& value)
{
    QJsonObject moduleObject = data.take(module).toObject();
    QJsonObject groupObject = moduleObject.take(group).toObject();
    QJsonArray values = groupObject.take(item).toArray();
    values.append(value);
    groupObject.insert(item, values);
    moduleObject.insert(group, groupObject);
    data.insert(module, moduleObject);
}
