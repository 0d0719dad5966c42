// autotest-script: runs one job's verification scripts for the service, which
// starts it beside its library and talks to it over standard input and output
// (engine/ScriptProtocol). A process of its own gives the scripts what a thread
// cannot: an address-space limit that the kernel enforces. The script engine
// aborts when an allocation fails, so a script past the bound ends this
// process, not the host; the status OutOfMemoryExit tells the service why.

#include "engine/ScriptProtocol.h"
#include "engine/ScriptServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <cerrno>
#include <csignal>
#include <cxxabi.h>
#include <exception>
#include <new>
#include <typeinfo>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
// A failed allocation comes back as null, as without the sanitizer, instead of
// a sanitizer report: the engine then stops as it would in a release build.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() { return "allocator_may_return_null=1"; }
#endif
#if defined(__SANITIZE_THREAD__)
extern "C" __attribute__((visibility("default"), used)) const char* __tsan_default_options() { return "allocator_may_return_null=1"; }
#endif

namespace {

[[noreturn]] void outOfMemory()
{
    ::_exit(ScriptProtocol::OutOfMemoryExit);
}

// Qt's containers throw std::bad_alloc when the C library refuses memory; the
// engine is built without exceptions, so it reaches std::terminate.
void onTerminate()
{
    const std::type_info* thrown = abi::__cxa_current_exception_type();
    if ((thrown && *thrown == typeid(std::bad_alloc)) || errno == ENOMEM)
        outOfMemory();
    std::abort();
}

// The engine's own page allocator crashes on purpose when the kernel refuses
// a mapping, by writing to this address; errno says why too, unless a
// sanitizer's handler ran first.
const quintptr DeliberateCrashAddress = 0xbbadbeef;

void onFatalSignal(int, siginfo_t* info, void*)
{
    if (errno == ENOMEM || (info && quintptr(info->si_addr) == DeliberateCrashAddress))
        outOfMemory();
    // SA_RESETHAND has put the default action back: the fault repeats or the
    // abort goes on, and the process ends with its signal.
}

void catchOutOfMemory()
{
    std::set_terminate(onTerminate);
    struct sigaction action = {};
    action.sa_sigaction = onFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_RESETHAND | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGSEGV, SIGBUS, SIGILL, SIGTRAP, SIGABRT})
        sigaction(signal, &action, nullptr);
}

// The limit is counted from what is mapped once the engine is ready (the
// libraries, the engine's first heap, the watchdog's stack), so `mib` is what
// the scripts may add.
bool limitMemory(qint64 mib)
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return false;
    const qint64 pages = statm.readAll().split(' ').value(0).toLongLong();
    if (pages <= 0)
        return false;
    const rlim_t limit = rlim_t(pages * ::sysconf(_SC_PAGESIZE) + (mib << 20));
    struct rlimit bound = {limit, limit};
    return ::setrlimit(RLIMIT_AS, &bound) == 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Runs one job's verification scripts for the auto-test service, which starts it and sends its\n"
        "requests on standard input. Not meant to be run by hand."));
    parser.addHelpOption();
    const QCommandLineOption checkOption(QStringLiteral("check-ms"), QStringLiteral("Time limit of one check (0 = none)."),
                                         QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption budgetOption(QStringLiteral("budget-ms"), QStringLiteral("Time limit of all checks (0 = none)."),
                                          QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption spentOption(QStringLiteral("spent-ms"), QStringLiteral("Of the budget, used before."),
                                         QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption memoryOption(QStringLiteral("memory-mib"), QStringLiteral("Memory the scripts may use (0 = no bound)."),
                                          QStringLiteral("MiB"), QStringLiteral("0"));
    parser.addOptions({checkOption, budgetOption, spentOption, memoryOption});
    parser.process(app);

    // A host that dies without stopping its jobs takes their scripts with it,
    // a script that loops with no time limit included.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    catchOutOfMemory();
    ScriptServer server;
    if (!server.Init(parser.value(checkOption).toInt(), parser.value(budgetOption).toInt(), parser.value(spentOption).toLongLong()))
        return 3;
    const qint64 memoryMiB = parser.value(memoryOption).toLongLong();
    if (memoryMiB > 0 && !limitMemory(memoryMiB))
        return 3;
    return server.Run(STDIN_FILENO, STDOUT_FILENO);
}
