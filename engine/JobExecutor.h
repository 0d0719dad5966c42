#pragma once

#include "engine/JobItem.h"
#include "engine/JobResult.h"
#include "engine/TcExecutorPool.h"
#include "engine/TcResult.h"

#include <QList>
#include <QObject>

class ComponentMap;

// Runs a job's test cases strictly one after another, then the job-level
// script, and announces the end with Overed().
class JobExecutor : public QObject
{
    Q_OBJECT

public:
    JobExecutor();
    ~JobExecutor() override;

    void SetComponentMap(ComponentMap* map) { components = map; }
    // `error` and `failedCase` as JobItem::Init gives them.
    bool Init(const QJsonObject& request, QString* error = nullptr, int* failedCase = nullptr);
    void Start();
    const JobResult& Result() const { return jobResult; }
    void Reset();
    const TcExecutorPool& Pool() const { return pool; }
    // The verdict of the test case that is waiting its post-delay, if one is.
    bool JudgedCase(TcResult& out) const;

Q_SIGNALS:
    void Overed();
    // A test case ended: `done` of the job's `total` have.
    void TcFinished(const TcResult& result, int done, int total);

private Q_SLOTS:
    void TcOvered(TcResult res);

private:
    void StartTc(int index);
    void NextTc();
    void LastStep();
    // Ends the job once its own script, if it has one, has judged it.
    void VerifyJob();

    JobItem job;
    ComponentMap* components = nullptr;
    QList<int> queue;
    JobResult jobResult;
    TcExecutorPool pool;
    // The executor of the test case that runs, between its start and its end.
    TcExecutor* running = nullptr;
    // Counts Start and Reset, so that the job-level verdict of a job that has
    // ended another way is dropped.
    quint64 runs = 0;
};
