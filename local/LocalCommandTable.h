#pragma once

#include <QHash>
#include <QJsonObject>
#include <QString>

class ComponentMap;

// Handler of one local test-management command: reads the request, fills the
// reply's "result" and data keys, never answers the client itself.
using LocalHandler = void (*)(ComponentMap* components, const QJsonObject& request, QJsonObject& reply);

// The commands that mode "local" answers from the database.
class LocalCommandTable
{
public:
    LocalCommandTable();

    void SetComponentMap(ComponentMap* map) { components = map; }
    // False, with `reply` untouched, when the command is not in the table.
    bool Dispatch(const QJsonObject& request, QJsonObject& reply);

private:
    QHash<QString, LocalHandler> handlers;
    ComponentMap* components = nullptr;
};
