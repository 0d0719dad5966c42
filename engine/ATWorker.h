#pragma once

#include "device/ATDeviceProxy.h"
#include "device/IDevSimulator.h"
#include "device/IdNameCov.h"
#include "engine/DataCollector.h"
#include "engine/JobExecutor.h"
#include "engine/ScriptProcess.h"
#include "base/ComponentMap.h"
#include "base/ReplyCallback.h"
#include "platform/ControllerEndpoint.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QObject>

// Runs one job from start to report: starts the simulator, brings the device
// into auto-test mode, runs the test cases, takes both out again and reports.
// Any failure of a step or a link ends the job with a failure report, and the
// job's script process with it, a running script included. A worker reports
// exactly once.
class ATWorker : public QObject
{
    Q_OBJECT

public:
    // Opens the device's channels at `controller`.
    explicit ATWorker(const ControllerEndpoint& controller);
    ~ATWorker() override;

    void SetJob(const QJsonObject& job) { request = job; }
    void SetResultCallback(const ReplyCallback& callback) { resultCallback = callback; }
    // Told of every test case that ends before the job reports.
    void SetProgressCallback(const EventCallback& callback) { progressCallback = callback; }
    void Start(const QString& url);
    // Ends the job with a failure report whose remark is `reason`; `detail`
    // (the reason when empty) is the fuller account its verdict keeps.
    void ReportFatal(const QString& reason, const QString& detail = QString());
    // Ends a running job at once with the remark "Cancelled": takes the device
    // out of auto-test mode and stops the simulator without waiting for their
    // answers, and reports. False when the job has reported already.
    bool Cancel();
    // Applies to the next Start: the scripts' limits (see ScriptProcess), and
    // device and simulator requests given up after `deviceMs` (0: no limit).
    void SetLimits(const ScriptProcess::Limits& scriptLimits, int deviceMs);
    QJsonValue JobId() const { return request.value(QStringLiteral("jobid")); }
    // The device of the job's url, whether it has started or waits.
    QString DeviceId() const { return DeviceIdFromUrl(request.value(QStringLiteral("url")).toString()); }
    bool Reported() const { return reported; }
    // For the host's metrics: the device channel is open; the script process runs.
    bool DeviceConnected() const { return deviceProxy.IsConnected(); }
    bool ScriptsRunning() const { return scripts.Running(); }
    void SendResult(const QJsonObject& result);
    void Reset();

    // The last non-empty "/"-separated segment of a job url.
    static QString DeviceIdFromUrl(const QString& url);

private:
    void OnSimStarted();
    void OnStartSim(const QJsonObject& ack);
    void StartDevice();
    void OnDeviceConnected();
    void OnEnterAutoTest(const QJsonObject& ack);
    void RunJob();
    void OnJobOvered();
    void OnTcFinished(const TcResult& result, int done, int total);
    void OnLeaveAutoTest(const QJsonObject& ack);
    void OnStopSim(const QJsonObject& ack);
    void Report(const QJsonObject& value);
    // A failure report for a step the controller refused with `ack`.
    void Refused(const QString& reason, const QJsonObject& ack);
    // A failure report with `caseRemark` for every test case. Its verdicts
    // keep what happened: cases that finished keep theirs, the case that ran
    // (or could not be read) is an error of `detail`, the others never ran.
    void ReportFailure(const QString& reason, const QString& caseRemark, const QString& detail);
    // Ends the job with a failure report when the device or the simulator can
    // no longer be waited for, after telling both to stop.
    void Abandon(const QString& reason, const QString& caseRemark);
    void OnRequestTimedOut(const QString& command);
    // Wraps a member handler for an acknowledgement so that an answer arriving
    // after the first report is dropped.
    ReplyCallback Step(void (ATWorker::*handler)(const QJsonObject&));

    const ControllerEndpoint controller;
    DataCollector collector;
    ATDeviceProxy deviceProxy;
    IDevSimulator simulator;
    ScriptProcess scripts;
    IdNameCov cov;
    JobExecutor jobExecutor;
    ComponentMap components;
    QJsonObject report;
    QJsonObject request;
    ReplyCallback resultCallback;
    EventCallback progressCallback;
    QString deviceId;
    int deviceTimeLimitMs = 0;
    bool reported = false;
    // Whether the test cases had begun to run, and which case, if any, kept
    // the job from starting.
    bool casesStarted = false;
    // A cancel reports at once, without waiting for the scripts' verdicts.
    bool cancelling = false;
    // A failure waits for the verdicts of cases judged meanwhile; the first
    // failure is the one reported.
    bool failurePending = false;
    int failedCase = -1;
};
