#pragma once

#include "local/LocalJobContext.h"

#include <QJsonObject>
#include <QList>

class ComponentMap;

// Keeps the local jobs that are running and records each one's results in
// the database when its worker reports.
class LocalDispatcher
{
public:
    void SetComponentMap(ComponentMap* map) { components = map; }
    void StartJob(const LocalJobContext& context);
    void ExecResult(int jobId, const QJsonObject& report);
    LocalJobContext* FindJob(int jobId);
    void RemoveJob(int jobId);
    const QList<LocalJobContext>& Jobs() const { return jobs; }

    static void BuildJobRequest(const LocalJobContext& context, QJsonObject& out);

private:
    ComponentMap* components = nullptr;
    QList<LocalJobContext> jobs;
};
