#pragma once

#include "device/IdKey.h"
#include "device/NameKey.h"

#include <QJsonArray>
#include <QJsonObject>

// Converts between the names that test cases and scripts use and the numbers
// the device uses, by the "MODULES" list of the device template that the
// device returns on entering auto-test mode.
//
// Every lookup takes the first element that fits at each level and commits to
// it: a deeper miss fails the conversion rather than trying a later element.
// Outputs written before a miss keep their values. Elements that are not
// objects are skipped; missing numbers read as 0 and missing names as "".
class IdNameCov
{
public:
    // The name under which a worker registers its converter for the executors.
    static const char* ComponentName() { return "IdNameCov"; }

    void Clear() { modules = QJsonArray(); }
    void SetModules(const QJsonArray& m) { modules = m; }
    const QJsonArray& Modules() const { return modules; }

    // Module, case group and item input name to numbers. Stops with true at the
    // first empty name, so a module name alone converts only the module.
    bool NameToId(const NameKey& names, IdKey& ids) const;
    // Result data of a set ("MODULE_SEQ", "GROUP_SEQ", "DATA") to values keyed
    // by the items' output names, inserted into nameData.
    bool IdDataToNameData(const QJsonObject& idData, QJsonObject& nameData) const;
    // Observation numbers to module, observation group and item names.
    bool ObseIdToName(const IdKey& ids, NameKey& names) const;

private:
    QJsonArray modules;
};
