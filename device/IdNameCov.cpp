#include "device/IdNameCov.h"

#include <QHash>
#include <QJsonValue>
#include <QLatin1String>

namespace {

QString text(const QJsonObject& object, const char* key)
{
    return object.value(QLatin1String(key)).toString();
}

int number(const QJsonObject& object, const char* key, int fallback = 0)
{
    return object.value(QLatin1String(key)).toInt(fallback);
}

// Finds the first object of `list` that `accept`s and that holds an array under
// `childKey`, and hands out that array. `accept` may write outputs as it goes;
// they stay written when the scan moves on to a later element or fails.
template <typename Accept>
bool firstWithArray(const QJsonArray& list, const char* childKey, Accept accept, QJsonArray& child)
{
    for (const QJsonValue& value : list) {
        if (!value.isObject())
            continue;
        const QJsonObject object = value.toObject();
        if (!accept(object))
            continue;
        const QJsonValue found = object.value(QLatin1String(childKey));
        if (found.isArray()) {
            child = found.toArray();
            return true;
        }
    }
    return false;
}

} // namespace

bool IdNameCov::NameToId(const NameKey& names, IdKey& ids) const
{
    if (names.moduleName.isEmpty())
        return true;
    QJsonArray groups;
    const bool moduleFound = firstWithArray(modules, "CASE_GROUPS", [&](const QJsonObject& module) {
        if (text(module, "NAME") != names.moduleName)
            return false;
        ids.moduleSeq = number(module, "SEQ");
        return true;
    }, groups);
    if (!moduleFound)
        return false;

    if (names.groupName.isEmpty())
        return true;
    QJsonArray items;
    const bool groupFound = firstWithArray(groups, "ITEMS", [&](const QJsonObject& group) {
        if (text(group, "NAME") != names.groupName)
            return false;
        ids.groupSeq = number(group, "SEQ");
        return true;
    }, items);
    if (!groupFound)
        return false;

    if (names.itemName.isEmpty())
        return true;
    for (const QJsonValue& value : items) {
        const QJsonObject item = value.toObject();
        if (value.isObject() && text(item, "INPUT_NAME") == names.itemName) {
            ids.index = number(item, "INDEX");
            return true;
        }
    }
    return false;
}

bool IdNameCov::IdDataToNameData(const QJsonObject& idData, QJsonObject& nameData) const
{
    // A set without data has nothing to name, so it needs no template at all.
    const QJsonArray data = idData.value(QLatin1String("DATA")).toArray();
    if (data.isEmpty())
        return true;
    const int moduleSeq = number(idData, "MODULE_SEQ");
    const int groupSeq = number(idData, "GROUP_SEQ");

    // A nameless module or group is not a real entry of the template, so it
    // never takes the numbers.
    const auto bySeq = [](int seq) {
        return [seq](const QJsonObject& object) {
            return number(object, "SEQ") == seq && !text(object, "NAME").isEmpty();
        };
    };
    QJsonArray groups;
    if (!firstWithArray(modules, "CASE_GROUPS", bySeq(moduleSeq), groups) || groups.isEmpty())
        return false;
    QJsonArray items;
    if (!firstWithArray(groups, "ITEMS", bySeq(groupSeq), items))
        return false;

    QHash<int, QString> outputNames;
    for (const QJsonValue& value : items) {
        const QJsonObject item = value.toObject();
        const QString output = text(item, "OUTPUT_NAME");
        if (value.isObject() && !output.isEmpty())
            outputNames.insert(number(item, "INDEX"), output);
    }
    // An entry without "INDEX" reads as -1 so it cannot fall onto item 0.
    for (const QJsonValue& value : data) {
        const QJsonObject entry = value.toObject();
        const auto output = outputNames.constFind(number(entry, "INDEX", -1));
        if (output != outputNames.constEnd())
            nameData.insert(output.value(), entry.value(QLatin1String("VALUE")));
    }
    return true;
}

bool IdNameCov::ObseIdToName(const IdKey& ids, NameKey& names) const
{
    QJsonArray groups;
    const bool moduleFound = firstWithArray(modules, "OBSE_GROUPS", [&](const QJsonObject& module) {
        if (number(module, "SEQ") != ids.moduleSeq)
            return false;
        names.moduleName = text(module, "NAME");
        return !names.moduleName.isEmpty();
    }, groups);
    if (!moduleFound)
        return false;

    QJsonArray items;
    const bool groupFound = firstWithArray(groups, "ITEMS", [&](const QJsonObject& group) {
        if (number(group, "SEQ") != ids.groupSeq)
            return false;
        names.groupName = text(group, "NAME");
        return !names.groupName.isEmpty();
    }, items);
    if (!groupFound)
        return false;

    // A nameless item is a gap in the template; a later item with the same
    // index may still name it.
    for (const QJsonValue& value : items) {
        const QJsonObject item = value.toObject();
        if (!value.isObject() || number(item, "INDEX") != ids.index)
            continue;
        names.itemName = text(item, "NAME");
        if (!names.itemName.isEmpty())
            return true;
    }
    return false;
}
