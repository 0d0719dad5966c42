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
    // Sends `events` every "JobProgress" of a running job, then a "JobReport"
    // once its results are recorded.
    void Follow(int jobId, const EventCallback& events);
    LocalJobContext* FindJob(int jobId);
    void RemoveJob(int jobId);
    const QList<LocalJobContext>& Jobs() const { return jobs; }

    static void BuildJobRequest(const LocalJobContext& context, QJsonObject& out);

private:
    void OnProgress(int jobId, const QJsonObject& event);
    // Writes the job and its details in one transaction; false, logged, when
    // that failed.
    bool Record(LocalJobContext& context);

    ComponentMap* components = nullptr;
    QList<LocalJobContext> jobs;
};
