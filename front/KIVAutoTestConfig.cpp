#include "front/KIVAutoTestConfig.h"

#include "front/KIVAutoTestService.h"

#include <QStringList>

#include <algorithm>

namespace {

void change(const std::function<void(KIVAutoTestOptions&)>& edit)
{
    KIVAutoTestService::instance().ChangeOptions(edit);
}

} // namespace

void KIVAutoTestSetRemoteHosts(const QString& first, const QString& second)
{
    change([&](KIVAutoTestOptions& options) {
        options.remoteFirst = first;
        options.remoteSecond = second;
    });
}

QStringList KIVAutoTestRemoteHosts()
{
    // Asking creates nothing: without a service these are the defaults.
    const KIVAutoTestOptions options = KIVAutoTestService::Exists() ? KIVAutoTestService::instance().Options() : KIVAutoTestOptions();
    return {options.remoteFirst, options.remoteSecond};
}

void KIVAutoTestSetScriptTimeout(int ms)
{
    change([ms](KIVAutoTestOptions& options) { options.scriptTimeoutMs = std::max(ms, 0); });
}

void KIVAutoTestSetJobScriptBudget(int ms)
{
    change([ms](KIVAutoTestOptions& options) { options.jobScriptBudgetMs = std::max(ms, 0); });
}

void KIVAutoTestSetScriptMemory(int mib)
{
    change([mib](KIVAutoTestOptions& options) { options.scriptMemoryMiB = std::max(mib, 0); });
}

void KIVAutoTestSetDeviceTimeout(int ms)
{
    change([ms](KIVAutoTestOptions& options) { options.deviceTimeoutMs = std::max(ms, 0); });
}

void KIVAutoTestSetMaxReplySize(qint64 bytes)
{
    change([bytes](KIVAutoTestOptions& options) { options.maxReplyBytes = bytes; });
}

void KIVAutoTestSetRemoteTimeout(int ms)
{
    change([ms](KIVAutoTestOptions& options) { options.remoteTimeoutMs = std::max(ms, 0); });
}

void KIVAutoTestSetMaxRemoteReplySize(qint64 bytes)
{
    change([bytes](KIVAutoTestOptions& options) { options.maxRemoteReplyBytes = bytes; });
}
