#pragma once

#include <QString>

// An item of the device named by module, group and item name.
struct NameKey
{
    QString moduleName;
    QString groupName;
    QString itemName;
};
