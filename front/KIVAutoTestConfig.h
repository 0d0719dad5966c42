#pragma once

#include "front/KIVAutoTestGlobal.h"

#include <QList>
#include <QString>
#include <QStringList>

// Defaults of the options below that the host's --help shows.
constexpr int KIVAutoTestDefaultJobScriptBudgetMs = 60000;
constexpr int KIVAutoTestDefaultScriptMemoryMiB = 256;
constexpr int KIVAutoTestDefaultRemoteTimeoutMs = 30000;
// Bounds of a station's description, which goes to the server with every beat.
constexpr int KIVAutoTestMaxStationName = 100;
constexpr int KIVAutoTestMaxStationDevices = 64;
constexpr int KIVAutoTestMaxDeviceTags = 50;
constexpr int KIVAutoTestMaxDeviceUrl = 500;
constexpr int KIVAutoTestMaxTag = 100;

// A device that a station offers to the lab.
struct KIVAutoTestStationDevice
{
    // As jobs give it in their "url".
    QString url;
    QStringList tags;
};

// What a KIVAutoTestService runs with: given at its creation, changed later
// by the KIVAutoTestSet... functions below. Each value is described at its
// function.
struct KIVAutoTestOptions
{
    // The local controller process, "ws://HOST:PORT": jobs open its channels
    // /controller/auto_test/<device id> and /controller/simulator/<device id>.
    // Fixed for the service's life.
    QString controller = QStringLiteral("ws://127.0.0.1:19870");
    QString remoteFirst = QStringLiteral("http://127.0.0.1:8080/api");
    QString remoteSecond = QStringLiteral("http://localhost:8080/api");
    int remoteTimeoutMs = KIVAutoTestDefaultRemoteTimeoutMs;
    qint64 maxRemoteReplyBytes = 64 * 1024 * 1024;
    int scriptTimeoutMs = 5000;
    int jobScriptBudgetMs = KIVAutoTestDefaultJobScriptBudgetMs;
    int scriptMemoryMiB = KIVAutoTestDefaultScriptMemoryMiB;
    int deviceTimeoutMs = 0;
    qint64 maxReplyBytes = 64 * 1024 * 1024;
    // The longest "tclist" that "sync_plan" stores.
    int maxTcList = 100000;
    // With a name, the host is a station of the lab: it checks in with the
    // remote server it uses, listing `stationDevices` and whether a job holds
    // each, whatever the mode. Fixed for the service's life.
    QString station;
    QList<KIVAutoTestStationDevice> stationDevices;
    // What the station reports as its version: KIVAutoTestVersion() of the
    // library the host loaded.
    QString version;
};

// The KIVAutoTestSet... functions change the service's options: they take
// effect at once for what starts afterwards (a request, a job). When no
// service exists yet, they create one with the default options first.

// Whether `url` is a controller address KIVAutoTestOptions takes; when it is
// not, `error` (if given) says why.
KIVAUTOTEST_EXPORT bool KIVAutoTestCheckController(const QString& url, QString* error);

// Version of the loaded service library, for the host's start-up log.
KIVAUTOTEST_EXPORT const char* KIVAutoTestVersion();

// Replaces the two base URLs of the remote test-management API (for example
// "http://10.0.0.5:8080/api"); requests sent afterwards go to them.
KIVAUTOTEST_EXPORT void KIVAutoTestSetRemoteHosts(const QString& first, const QString& second);

// Milliseconds a verification script may run before it is interrupted and its
// check fails (default 5000; 0 = no limit). Applies to jobs started afterwards.
KIVAUTOTEST_EXPORT void KIVAutoTestSetScriptTimeout(int ms);

// Milliseconds all verification scripts of one job may run together; past it
// the job's remaining checks fail at once (default 60000; 0 = no limit).
// Applies to jobs started afterwards.
KIVAUTOTEST_EXPORT void KIVAutoTestSetJobScriptBudget(int ms);

// MiB of memory a job's verification scripts may use; a script past it fails
// its check with "Script used more than N MiB" (default 256; 0 = no bound).
// Applies to jobs started afterwards.
KIVAUTOTEST_EXPORT void KIVAutoTestSetScriptMemory(int mib);

// Milliseconds a device or simulator request may stay unanswered before its
// job ends (default 0 = wait for ever). Applies to jobs started afterwards.
KIVAUTOTEST_EXPORT void KIVAutoTestSetDeviceTimeout(int ms);

// Largest reply the service writes (default 64 MiB); a larger one is
// answered with a failure "result" that says so.
KIVAUTOTEST_EXPORT void KIVAutoTestSetMaxReplySize(qint64 bytes);

// The two base URLs of the remote API in use, first and second.
KIVAUTOTEST_EXPORT QStringList KIVAutoTestRemoteHosts();

// A remote request unanswered after this many milliseconds fails as a
// network error (and moves later requests to the other host); 0 waits for
// ever. A server that never answers must not hold a request, nor the client
// waiting for it, for ever: the default is 30 s.
KIVAUTOTEST_EXPORT void KIVAutoTestSetRemoteTimeout(int ms);

// Largest remote reply accepted (default 64 MiB); a larger one fails with
// "Network Error: " and a text that says so.
KIVAUTOTEST_EXPORT void KIVAutoTestSetMaxRemoteReplySize(qint64 bytes);
