#include "engine/CaseNameCheck.h"

#include "device/IdKey.h"
#include "device/IdNameCov.h"
#include "device/NameKey.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QStringList>

#include <algorithm>
#include <climits>
#include <cmath>

namespace {

const QString kResult = QStringLiteral("result");

// The first object of `list` named `name` that holds an array under
// `childKey`: the one IdNameCov commits to.
QJsonObject firstNamed(const QJsonArray& list, const QString& name, const char* childKey)
{
    for (const QJsonValue& value : list) {
        const QJsonObject object = value.toObject();
        if (object.value(QLatin1String("NAME")).toString() == name && object.value(QLatin1String(childKey)).isArray())
            return object;
    }
    return {};
}

// The names a list offers, for the message that says which to use.
QString namesOf(const QJsonArray& list, const char* childKey)
{
    QStringList names;
    for (const QJsonValue& value : list) {
        const QJsonObject object = value.toObject();
        const QString name = object.value(QLatin1String("NAME")).toString();
        if (!name.isEmpty() && object.value(QLatin1String(childKey)).isArray() && !names.contains(name))
            names << name;
    }
    return names.isEmpty() ? QStringLiteral("none") : names.join(QStringLiteral(", "));
}

bool wholeNumber(const QJsonValue& value, int& out)
{
    const double number = value.toDouble(0.5);
    if (!value.isDouble() || number != std::floor(number) || std::fabs(number) > 2147483647.0)
        return false;
    out = int(number);
    return true;
}

using Problems = QList<CaseNameCheck::Problem>;

void checkData(const QJsonValue& data, const QJsonObject& group, const QString& module, const QString& device, Problems& out)
{
    if (!data.isArray()) {
        out.append({QStringLiteral("DATA"), data,
                    QStringLiteral("DATA must be a list of entries {\"INDEX\": n, \"VALUE\": v}; write it as a JSON array.")});
        return;
    }
    QStringList offered;
    QList<int> indexes;
    for (const QJsonValue& value : group.value(QLatin1String("ITEMS")).toArray()) {
        const QJsonObject item = value.toObject();
        const int index = item.value(QLatin1String("INDEX")).toInt();
        indexes << index;
        const QString name = item.value(QLatin1String("INPUT_NAME")).toString();
        offered << (name.isEmpty() ? QString::number(index) : QStringLiteral("%1 %2").arg(index).arg(name));
    }
    const QJsonArray entries = data.toArray();
    for (int i = 0; i < entries.size(); ++i) {
        const QString at = QStringLiteral("DATA[%1]").arg(i);
        const QJsonValue indexValue = entries.at(i).toObject().value(QLatin1String("INDEX"));
        int index = 0;
        if (!entries.at(i).isObject() || !wholeNumber(indexValue, index)) {
            out.append({at, entries.at(i),
                        QStringLiteral("%1 needs a whole-number \"INDEX\" (the item to set) and a \"VALUE\".").arg(at)});
        } else if (!indexes.contains(index)) {
            out.append({at + QStringLiteral(".INDEX"), indexValue,
                        QStringLiteral("%1 sets item INDEX %2, which case group '%3' of module '%4' in device template "
                                       "'%5' does not have (its items: %6). Use one of those indexes.")
                            .arg(at).arg(index).arg(group.value(QLatin1String("NAME")).toString(), module, device,
                                                    offered.isEmpty() ? QStringLiteral("none") : offered.join(QStringLiteral(", ")))});
        }
    }
}

// How far a job would get with the template: past the module, past the
// group, then the fewer DATA problems the better.
int reach(const Problems& problems)
{
    if (problems.isEmpty())
        return INT_MAX;
    const QString& first = problems.first().field;
    const int stage = first == QLatin1String("MODULE_NAME") ? 0 : first == QLatin1String("GROUP_NAME") ? 1 : 2;
    return stage * 1000000 - int(qMin(problems.size(), 999999));
}

QJsonArray problemsToJson(const Problems& problems)
{
    QJsonArray out;
    for (const CaseNameCheck::Problem& problem : problems)
        out.append(QJsonObject{{QStringLiteral("field"), problem.field},
                               {QStringLiteral("value"), problem.value},
                               {QStringLiteral("message"), problem.message}});
    return out;
}

} // namespace

QList<CaseNameCheck::Device> CaseNameCheck::Devices(const QJsonArray& templates)
{
    QList<Device> devices;
    for (const QJsonValue& file : templates) {
        const QString name = file.toObject().value(QLatin1String("name")).toString();
        QList<Device> ofFile;
        for (const QJsonValue& entry : file.toObject().value(QLatin1String("content")).toArray()) {
            const QJsonValue modules = entry.toObject().value(QLatin1String("MODULES"));
            if (modules.isArray())
                ofFile.append({name, modules.toArray()});
        }
        for (int i = 0; ofFile.size() > 1 && i < ofFile.size(); ++i)
            ofFile[i].name += QStringLiteral("[%1]").arg(i);
        devices += ofFile;
    }
    // The files come in the directory's order; ties between templates go the same way every time.
    std::stable_sort(devices.begin(), devices.end(), [](const Device& a, const Device& b) { return a.name < b.name; });
    return devices;
}

QList<CaseNameCheck::Problem> CaseNameCheck::Check(const QJsonObject& content, const Device& device)
{
    Problems problems;
    for (const char* member : {"MODULE_NAME", "GROUP_NAME", "DATA"}) {
        if (!content.contains(QLatin1String(member)))
            problems.append({QLatin1String(member), QJsonValue(),
                             QStringLiteral("The test case has no %1; a job would refuse it. Add it.").arg(QLatin1String(member))});
    }
    if (!problems.isEmpty())
        return problems;
    const QJsonValue moduleValue = content.value(QLatin1String("MODULE_NAME"));
    const QJsonValue groupValue = content.value(QLatin1String("GROUP_NAME"));
    NameKey names;
    names.moduleName = moduleValue.toString();
    names.groupName = groupValue.toString();
    // An empty name passes a job's lookup (it stops there), but no device has such a module or group.
    IdNameCov cov;
    cov.SetModules(device.modules);
    NameKey moduleOnly;
    moduleOnly.moduleName = names.moduleName;
    IdKey ids;
    if (names.moduleName.isEmpty() || !cov.NameToId(moduleOnly, ids)) {
        problems.append({QStringLiteral("MODULE_NAME"), moduleValue,
                         QStringLiteral("Module '%1' is not in device template '%2' (its modules: %3). Correct MODULE_NAME.")
                             .arg(names.moduleName, device.name, namesOf(device.modules, "CASE_GROUPS"))});
        return problems;
    }
    const QJsonArray groups = firstNamed(device.modules, names.moduleName, "CASE_GROUPS").value(QLatin1String("CASE_GROUPS")).toArray();
    if (names.groupName.isEmpty() || !cov.NameToId(names, ids)) {
        problems.append({QStringLiteral("GROUP_NAME"), groupValue,
                         QStringLiteral("Module '%1' has no case group '%2' in device template '%3' (its groups: %4). "
                                        "Correct GROUP_NAME.")
                             .arg(names.moduleName, names.groupName, device.name, namesOf(groups, "ITEMS"))});
        return problems;
    }
    checkData(content.value(QLatin1String("DATA")), firstNamed(groups, names.groupName, "ITEMS"), names.moduleName,
              device.name, problems);
    return problems;
}

QJsonObject CaseNameCheck::Answer(const QJsonObject& request, const QJsonObject& templates)
{
    if (!templates.contains(QLatin1String("VALUE")))
        return {{kResult, QStringLiteral("The station's templates could not be read (%1), so the names were not checked.")
                              .arg(templates.value(kResult).toString())}};
    QJsonObject content;
    const QJsonValue given = request.value(QLatin1String("content"));
    if (given.isString()) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(given.toString().toUtf8(), &error);
        if (!document.isObject())
            return {{kResult, QStringLiteral("The test case's content is not a JSON object (%1); a job would refuse it. "
                                             "Correct the content, then check it again.")
                                  .arg(error.error == QJsonParseError::NoError ? QStringLiteral("it is not an object")
                                                                              : error.errorString())}};
        content = document.object();
    } else if (given.isObject()) {
        content = given.toObject();
    } else {
        return {{kResult, QStringLiteral("check_testcase needs the test case's \"content\": its JSON text as stored, or "
                                         "the object itself.")}};
    }

    QList<Device> devices = Devices(templates.value(QLatin1String("VALUE")).toArray());
    const QJsonValue wanted = request.value(QLatin1String("template"));
    if (wanted.isString()) {
        QStringList known;
        for (const Device& device : qAsConst(devices))
            known << device.name;
        devices.erase(std::remove_if(devices.begin(), devices.end(),
                                     [&wanted](const Device& device) { return device.name != wanted.toString(); }),
                      devices.end());
        if (devices.isEmpty())
            return {{kResult, QStringLiteral("The station has no device template named '%1' (it has: %2). Choose one of "
                                             "those, or leave \"template\" out to check against all.")
                                  .arg(wanted.toString(), known.isEmpty() ? QStringLiteral("none") : known.join(QStringLiteral(", ")))}};
    }
    if (devices.isEmpty())
        return {{kResult, QStringLiteral("The station has no device template to check the names against. Put the "
                                         "device's template ({\"MODULES\": [...]}, as the device reports it) in a JSON "
                                         "array in Data/AutoTestTpl/ on the host, then check again.")}};

    // The template that knows the most of the case is the one it was meant for.
    int best = 0;
    Problems fewest = Check(content, devices.first());
    for (int i = 1; i < devices.size() && !fewest.isEmpty(); ++i) {
        const Problems problems = Check(content, devices.at(i));
        if (reach(problems) > reach(fewest)) {
            fewest = problems;
            best = i;
        }
    }
    QJsonObject reply{{QStringLiteral("template"), devices.at(best).name}};
    if (fewest.isEmpty()) {
        reply.insert(kResult, QStringLiteral("ok"));
        return reply;
    }
    reply.insert(kResult, fewest.size() == 1 ? fewest.first().message
                                             : QStringLiteral("%1 problems; the first: %2 \"problems\" lists them all.")
                                                   .arg(fewest.size()).arg(fewest.first().message));
    reply.insert(QStringLiteral("problems"), problemsToJson(fewest));
    return reply;
}
