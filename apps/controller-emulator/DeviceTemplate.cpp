#include "apps/controller-emulator/DeviceTemplate.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

namespace {

const QString kModules = QStringLiteral("MODULES");
const QString kSeq = QStringLiteral("SEQ");
const QString kItems = QStringLiteral("ITEMS");
const QString kIndex = QStringLiteral("INDEX");
const QString kBase = QStringLiteral("BASE");
const QString kStep = QStringLiteral("STEP");

// Takes an emulator-only number out of an observation item; a key that is
// there but not a number is a mistake in the template worth stopping for.
bool takeNumber(QJsonObject& item, const QString& key, double& number, QString& error)
{
    const auto found = item.constFind(key);
    if (found == item.constEnd())
        return true;
    if (!found->isDouble()) {
        error = QStringLiteral("\"%1\" is not a number").arg(key);
        return false;
    }
    number = found->toDouble();
    item.remove(key);
    return true;
}

} // namespace

bool DeviceTemplate::Load(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        m_error = path + QStringLiteral(": ") + file.errorString();
        return false;
    }
    if (!Parse(file.readAll())) {
        m_error = path + QStringLiteral(": ") + m_error;
        return false;
    }
    return true;
}

bool DeviceTemplate::Parse(const QByteArray& json)
{
    m_answer = QJsonObject();
    m_obseModules.clear();
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        m_error = QStringLiteral("not JSON: %1 at offset %2").arg(parseError.errorString()).arg(parseError.offset);
        return false;
    }
    if (!document.isObject()) {
        m_error = QStringLiteral("the template is not a JSON object");
        return false;
    }
    QJsonObject answer = document.object();
    if (!answer.value(kModules).isArray()) {
        m_error = QStringLiteral("\"MODULES\" is not an array");
        return false;
    }

    // Walks the observation items once: collects what to push and rewrites
    // the answer without the emulator's keys.
    QJsonArray modules = answer.value(kModules).toArray();
    for (int m = 0; m < modules.size(); ++m) {
        QJsonObject module = modules.at(m).toObject();
        const QJsonValue groupsValue = module.value(QStringLiteral("OBSE_GROUPS"));
        if (!modules.at(m).isObject() || !groupsValue.isArray())
            continue;
        ObseModule obse;
        obse.moduleSeq = module.value(kSeq).toInt();
        QJsonArray groups = groupsValue.toArray();
        for (int g = 0; g < groups.size(); ++g) {
            QJsonObject group = groups.at(g).toObject();
            if (!groups.at(g).isObject() || !group.value(kItems).isArray())
                continue;
            QJsonArray items = group.value(kItems).toArray();
            for (int i = 0; i < items.size(); ++i) {
                if (!items.at(i).isObject())
                    continue;
                QJsonObject item = items.at(i).toObject();
                ObseItem obseItem;
                obseItem.groupSeq = group.value(kSeq).toInt();
                obseItem.index = item.value(kIndex).toInt();
                QString error;
                if (!takeNumber(item, kBase, obseItem.base, error) || !takeNumber(item, kStep, obseItem.step, error)) {
                    m_error = QStringLiteral("module SEQ %1, observation group SEQ %2, item INDEX %3: %4")
                                  .arg(obse.moduleSeq)
                                  .arg(obseItem.groupSeq)
                                  .arg(obseItem.index)
                                  .arg(error);
                    return false;
                }
                obse.items.append(obseItem);
                items[i] = item;
            }
            group.insert(kItems, items);
            groups[g] = group;
        }
        module.insert(QStringLiteral("OBSE_GROUPS"), groups);
        modules[m] = module;
        if (!obse.items.isEmpty())
            m_obseModules.append(obse);
    }
    answer.insert(kModules, modules);
    m_answer = answer;
    m_error.clear();
    return true;
}

int DeviceTemplate::ModuleCount() const
{
    return m_answer.value(kModules).toArray().size();
}

bool DeviceTemplate::CaseGroupIndexes(int moduleSeq, int groupSeq, QSet<int>& indexes, QString& error) const
{
    const QJsonArray modules = m_answer.value(kModules).toArray();
    for (const QJsonValue& moduleValue : modules) {
        const QJsonObject module = moduleValue.toObject();
        const QJsonValue groups = module.value(QStringLiteral("CASE_GROUPS"));
        if (!moduleValue.isObject() || module.value(kSeq).toInt() != moduleSeq || !groups.isArray())
            continue;
        for (const QJsonValue& groupValue : groups.toArray()) {
            const QJsonObject group = groupValue.toObject();
            if (!groupValue.isObject() || group.value(kSeq).toInt() != groupSeq || !group.value(kItems).isArray())
                continue;
            indexes.clear();
            for (const QJsonValue& item : group.value(kItems).toArray()) {
                if (item.isObject())
                    indexes.insert(item.toObject().value(kIndex).toInt());
            }
            return true;
        }
        error = QStringLiteral("Module %1 has no case group %2").arg(moduleSeq).arg(groupSeq);
        return false;
    }
    error = QStringLiteral("No module %1 with case groups").arg(moduleSeq);
    return false;
}
