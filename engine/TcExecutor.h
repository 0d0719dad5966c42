#pragma once

#include "engine/ScriptProtocol.h"
#include "engine/TcResult.h"

#include <QElapsedTimer>
#include <QObject>

class ComponentMap;
class TcItem;

// Runs one test case as a small state machine: set the data on the device,
// judge the answer (in the job's script process, waited for as the device
// is), wait the post-delay, announce the result. Reused for every test case
// of a job.
//
// A case without a post-delay needs the device no more once its check is on
// its way: it says so with DeviceFreed, and the job may set the next case's
// data while the script judges this one.
class TcExecutor : public QObject
{
    Q_OBJECT

public:
    explicit TcExecutor(QObject* parent = nullptr);

    void SetComponentMap(ComponentMap* map) { components = map; }
    void Init(TcItem* tc);
    void Start();
    void Reset();
    int State() const { return state; }
    // Whether the device's part is done and only the script's verdict is awaited.
    bool AwaitsVerdict() const { return state == 1 && awaitingVerdict; }
    // The outcome so far: judged once the state has passed 1 (exec).
    const TcResult& Result() const { return tcResult; }

    // Set by the strategies before the test case starts.
    int postDelay = 0;

Q_SIGNALS:
    void Overed(TcResult res);
    void DeviceFreed();

private Q_SLOTS:
    void StateOvered();

private:
    void NextState();
    void OnStateExec();
    void OnStateExecResult(const QJsonObject& ack);
    void OnVerdict(const ScriptProtocol::Verdict& verdict);
    // The case is judged: its time is taken and the post-delay follows.
    void Judged();
    void OnStatePostDelay();
    void OnOver();

    ComponentMap* components = nullptr;
    TcItem* item = nullptr;
    int state = 0;
    TcResult tcResult;
    // From the data sent to the verdict: the case's own duration.
    QElapsedTimer clock;
    // Counts the cases this executor ran, so that an answer meant for an
    // earlier one (its job ended) never reaches a later one.
    quint64 runs = 0;
    bool awaitingVerdict = false;
};
