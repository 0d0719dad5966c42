#pragma once

#include "engine/JobItem.h"
#include "engine/JobResult.h"
#include "engine/TcExecutorPool.h"
#include "engine/TcResult.h"

#include <QList>
#include <QObject>

#include <functional>

class ComponentMap;

// Runs a job's test cases one after another on the device, then the
// job-level script, and announces the end with Overed(). While a case's
// script judges it, the next case may already be on the device (see
// TcExecutor::DeviceFreed); results and TcFinished still come in the cases'
// order, and the scripts judge in that order too.
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
    // Test cases started and not yet finished (at most two).
    int CasesInFlight() const { return int(inFlight.size()); }
    // Starts no further test case. When a started one awaits its script's
    // verdict, `settled` is called once no started case does any more (those
    // judged then are in Result()) and true is returned; false otherwise.
    bool Halt(std::function<void()> settled);

Q_SIGNALS:
    void Overed();
    // A test case ended: `done` of the job's `total` have.
    void TcFinished(const TcResult& result, int done, int total);

private Q_SLOTS:
    void TcOvered(TcResult res);
    void OnDeviceFreed();

private:
    void StartTc(int index);
    // Finishes the cases at the head of the line that are over, in order.
    void Drain();
    // Starts the next case if the device and an executor are free, or ends
    // the job when no case is left.
    void Advance();
    bool VerdictAwaited() const;
    void LastStep();
    // Ends the job once its own script, if it has one, has judged it.
    void VerifyJob();

    JobItem job;
    ComponentMap* components = nullptr;
    QList<int> queue;
    JobResult jobResult;
    TcExecutorPool pool;
    // Executors of the started cases, in the cases' order, until they finish.
    QList<TcExecutor*> inFlight;
    // Whether the last started case still has the device.
    bool deviceBusy = false;
    bool halted = false;
    std::function<void()> onSettled;
    // Counts Start and Reset, so that the job-level verdict of a job that has
    // ended another way is dropped.
    quint64 runs = 0;
};
