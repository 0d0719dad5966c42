#pragma once

#include "device/ATDeviceProxy.h"
#include "device/IDevSimulator.h"
#include "device/IdNameCov.h"
#include "engine/DataCollector.h"
#include "engine/JobExecutor.h"
#include "engine/Verifier.h"
#include "front/ComponentMap.h"
#include "front/ReplyCallback.h"

#include <QJsonObject>
#include <QObject>

// Runs one job from start to report: starts the simulator, brings the device
// into auto-test mode, runs the test cases, takes both out again and reports.
// Any failure of a step or a link ends the job with a failure report. A worker
// reports exactly once.
class ATWorker : public QObject
{
    Q_OBJECT

public:
    ATWorker();
    ~ATWorker() override;

    void SetJob(const QJsonObject& job) { request = job; }
    void SetResultCallback(const ReplyCallback& callback) { resultCallback = callback; }
    void Start(const QString& url);
    void ReportFatal(const QString& reason);
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
    void OnLeaveAutoTest(const QJsonObject& ack);
    void OnStopSim(const QJsonObject& ack);
    void Report(const QJsonObject& value);
    // Wraps a member handler for an acknowledgement so that an answer arriving
    // after the first report is dropped.
    ReplyCallback Step(void (ATWorker::*handler)(const QJsonObject&));

    DataCollector collector;
    ATDeviceProxy deviceProxy;
    IDevSimulator simulator;
    Verifier verifier;
    IdNameCov cov;
    JobExecutor jobExecutor;
    ComponentMap components;
    QJsonObject report;
    QJsonObject request;
    ReplyCallback resultCallback;
    QString deviceId;
    bool reported = false;
};
