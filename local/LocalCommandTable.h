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
    // The longest "tclist" that "sync_plan" stores; longer ones are refused.
    void SetMaxTcList(int limit) { maxTcList = limit; }
    // Adds a command, or replaces the handler of one (the server's own commands).
    void Add(const QString& command, LocalHandler handler);
    bool Has(const QString& command) const { return handlers.contains(command); }
    // False, with `reply` untouched, when the command is not in the table.
    bool Dispatch(const QJsonObject& request, QJsonObject& reply);

private:
    // A plan's list is stored and answered in one piece, on the loop every
    // client shares, so its length bounds how long they all wait.
    bool TooLong(const QJsonObject& request, QJsonObject& reply) const;

    QHash<QString, LocalHandler> handlers;
    ComponentMap* components = nullptr;
    int maxTcList = 100000;
};
