// controller-emulator: stands in for the local controller process so that
// auto-test jobs run without a device. See --help for the device model.

#include "apps/common/ProgramOptions.h"
#include "apps/common/SignalQuit.h"
#include "apps/controller-emulator/ControllerEmulator.h"
#include "apps/controller-emulator/EmulatorConfig.h"
#include "platform/Debugger.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>

#include <limits>

namespace {

const char kDescription[] =
    "Stands in for the local controller process, so that auto-test jobs run without a device.\n"
    "\n"
    "Serves WebSocket on ws://ADDRESS:PORT with two channels per device id:\n"
    "  /controller/auto_test/<device id>   the device channel\n"
    "  /controller/simulator/<device id>   the simulator channel\n"
    "Connections to any other path are closed with a reason. Any number of device ids may be\n"
    "used at once; each has its own state, created on first contact.\n"
    "\n"
    "Every request is one JSON object text with \"CMD\" and a \"SEQ\" text. It gets exactly one\n"
    "answer, a JSON object with the same \"SEQ\" and \"ERROR\": \"SUCCESS\" or what went wrong.\n"
    "Text that is not a JSON object is logged and not answered.\n"
    "\n"
    "Device channel:\n"
    "  EnterAutoTest, VALUE 1: enter auto-test mode; the answer's \"VALUE\" is the device template\n"
    "    (the --template file without the keys BASE and STEP). VALUE 0: leave it. Anything else\n"
    "    (true, \"1\", 2) is an error.\n"
    "  SetCaseData, VALUE {\"MODULE_SEQ\":m, \"GROUP_SEQ\":g, \"DATA\":[{\"INDEX\":i, \"VALUE\":v}, ...]}:\n"
    "    only in auto-test mode. Each case item's output is its input: the answer holds\n"
    "    \"MODULE_SEQ\", \"GROUP_SEQ\" and \"DATA\" with the entries whose INDEX is an item of that\n"
    "    case group. An unknown module or group, or a DATA that is not an array, is an error.\n"
    "  While a device is in auto-test mode it pushes, every --push-interval ms, one event per\n"
    "  module with observation items, to the connection that last entered the mode:\n"
    "    {\"EVENT\":\"PushObseData\", \"MODULE_SEQ\":m, \"VALUE\":[{\"GROUP_SEQ\":g, \"INDEX\":i, \"VALUE\":v}, ...]}\n"
    "  with v = BASE + STEP * n for the n-th push since entering the mode; BASE (default 0) and\n"
    "  STEP (default 1) are optional numbers on the template's observation items. Leaving the\n"
    "  mode, or losing that connection, stops the pushes.\n"
    "\n"
    "Simulator channel:\n"
    "  start_sim with the numbers \"latitude\", \"longitude\", \"frequency\" and \"only_aircraft\",\n"
    "  and stop_sim: both succeed and only record the simulator's state.\n"
    "\n"
    "Any other command is answered with an error that names it. Faults to test against are\n"
    "injected with --refuse, --ignore, --drop-after, --drop-sim-after and --empty-template;\n"
    "--burst pushes many observation values at once.\n"
    "Log lines go to stderr; KIV_LOG_LEVEL=0..3 sets how much is shown (default 2; 3 shows\n"
    "every message).";

// An option that leaves `count` as it is when not given.
bool readCount(const ProgramOptions& options, const QCommandLineOption& option, int& count)
{
    qint64 value = count;
    if (options.Parser().isSet(option) && !options.ReadNumber(option, 0, std::numeric_limits<int>::max(), value))
        return false;
    count = int(value);
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    ProgramOptions options(QStringLiteral("controller-emulator"), QString::fromUtf8(kDescription));
    const QCommandLineOption templateOption(QStringLiteral("template"),
        QStringLiteral("JSON file holding the device template {\"MODULES\":[...]} (required)."), QStringLiteral("path"));
    const QCommandLineOption addressOption = ProgramOptions::AddressOption();
    const QCommandLineOption portOption = ProgramOptions::PortOption(
        19870, QStringLiteral(". The actual one is logged as \"Listening on ws://ADDRESS:PORT\" (default 19870)"));
    const QCommandLineOption pushOption(QStringLiteral("push-interval"),
        QStringLiteral("Milliseconds between observation pushes; 0 never pushes (default 100)."), QStringLiteral("ms"),
        QStringLiteral("100"));
    const QCommandLineOption refuseOption(QStringLiteral("refuse"),
        QStringLiteral("Answer the command with \"ERROR\": \"Refused by emulator\" instead of running it. "
                       "Repeatable."),
        QStringLiteral("command"));
    const QCommandLineOption ignoreOption(QStringLiteral("ignore"),
        QStringLiteral("Never answer the command (nor run it). Repeatable."), QStringLiteral("command"));
    const QCommandLineOption dropOption(QStringLiteral("drop-after"),
        QStringLiteral("Abort every device-channel connection when it receives its n-th message, "
                       "which is not answered; 0 never (default)."),
        QStringLiteral("n"));
    const QCommandLineOption dropSimOption(QStringLiteral("drop-sim-after"),
        QStringLiteral("The same for simulator-channel connections."), QStringLiteral("n"));
    const QCommandLineOption emptyOption(QStringLiteral("empty-template"),
        QStringLiteral("Answer \"EnterAutoTest\" 1 with {\"MODULES\": []}; nothing is pushed then."));
    const QCommandLineOption burstOption(QStringLiteral("burst"),
        QStringLiteral("Right after entering auto-test mode, push n observation values at once, round the\n"
                       "template's observation items (for measuring jobs that have gathered much data)."),
        QStringLiteral("n"));
    options.Add({templateOption, addressOption, portOption, pushOption, refuseOption, ignoreOption, dropOption,
                 dropSimOption, emptyOption, burstOption});
    options.Process(app);
    const QCommandLineParser& parser = options.Parser();

    if (!parser.positionalArguments().isEmpty()) {
        options.Fail(QStringLiteral("unexpected argument \"%1\"; see --help").arg(parser.positionalArguments().constFirst()));
        return 2;
    }
    QHostAddress address;
    quint16 port = 0;
    if (!options.ReadAddress(addressOption, address) || !options.ReadPort(portOption, port))
        return 2;

    EmulatorConfig config;
    if (!readCount(options, pushOption, config.pushInterval) || !readCount(options, dropOption, config.dropAfter)
        || !readCount(options, dropSimOption, config.dropSimAfter) || !readCount(options, burstOption, config.burst))
        return 2;
    const QStringList refused = parser.values(refuseOption);
    const QStringList ignored = parser.values(ignoreOption);
    config.refused = QSet<QString>(refused.cbegin(), refused.cend());
    config.ignored = QSet<QString>(ignored.cbegin(), ignored.cend());
    config.emptyTemplate = parser.isSet(emptyOption);

    if (!parser.isSet(templateOption)) {
        options.Fail(QStringLiteral("--template is required; see --help"));
        return 2;
    }
    if (!config.deviceTemplate.Load(parser.value(templateOption))) {
        KIV_LOG("Emulator", "main", 0) << "Can't use the device template " << config.deviceTemplate.LastErrorText();
        return 2;
    }
    if (config.deviceTemplate.ModuleCount() == 0)
        KIV_LOG("Emulator", "main", 1) << "The device template has no modules; the service will refuse it";

    SignalQuit signalQuit;
    QObject::connect(&signalQuit, &SignalQuit::Received, &app, [](int signal) {
        KIV_LOG("Emulator", "main", 2) << "Signal " << signal << " received, shutting down";
    });

    ControllerEmulator emulator(config);
    if (!emulator.Listen(address, quint16(port))) {
        KIV_LOG("Emulator", "main", 0) << "Can't listen on " << address.toString() << ":" << int(port) << ": "
                                       << emulator.LastErrorText();
        return 1;
    }
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
        ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
        : address.toString();
    KIV_LOG("Emulator", "main", 2) << "Device template " << parser.value(templateOption) << ": "
                                   << config.deviceTemplate.ModuleCount() << " modules; pushes every "
                                   << config.pushInterval << " ms";
    KIV_LOG("Emulator", "main", 2) << "Listening on ws://" << host << ":" << int(emulator.Port());

    const int status = app.exec();
    KIV_LOG("Emulator", "main", 2) << "Stopped";
    return status;
}
