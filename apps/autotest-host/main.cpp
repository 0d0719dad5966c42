// autotest-host: a desktop host's stand-in. It serves the auto-test service to
// WebSocket clients, one KIVAutoTestView per connection.

#include "apps/common/SignalQuit.h"
#include "front/KIVAutoTestConfig.h"
#include "front/KIVAutoTestService.h"
#include "front/KIVAutoTestView.h"
#include "platform/Debugger.h"
#include "platform/KIVWebSocketServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("autotest-host"));
    QCoreApplication::setApplicationVersion(QStringLiteral("0.1"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Runs the device auto-test service behind a WebSocket server. Clients send one JSON request\n"
        "per text message and get JSON replies on the same connection.\n"
        "Data (the database and test templates) lives in Data/ beside this program.\n"
        "Log lines go to stderr; KIV_LOG_LEVEL=0..3 sets how much is shown (default 2)."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption addressOption({QStringLiteral("a"), QStringLiteral("address")},
        QStringLiteral("Address to listen on (default 127.0.0.1)."), QStringLiteral("address"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption({QStringLiteral("p"), QStringLiteral("port")},
        QStringLiteral("Port to listen on; 0 picks a free one and logs it (default 8765)."), QStringLiteral("port"),
        QStringLiteral("8765"));
    const QCommandLineOption remoteOption(QStringLiteral("remote-hosts"),
        QStringLiteral("Base URLs of the remote test-management API, first and second host separated by a comma\n"
                       "(default http://127.0.0.1:8080/api,http://localhost:8080/api)."),
        QStringLiteral("first,second"));
    const QCommandLineOption scriptTimeoutOption(QStringLiteral("script-timeout-ms"),
        QStringLiteral("Milliseconds a verification script may run before it is interrupted and its check\n"
                       "fails (default 5000; 0 = no limit)."),
        QStringLiteral("ms"), QStringLiteral("5000"));
    const QCommandLineOption deviceTimeoutOption(QStringLiteral("device-timeout-ms"),
        QStringLiteral("Milliseconds a device or simulator request may stay unanswered before its job ends\n"
                       "(default 0 = wait for ever)."),
        QStringLiteral("ms"), QStringLiteral("0"));
    parser.addOption(addressOption);
    parser.addOption(portOption);
    parser.addOption(remoteOption);
    parser.addOption(scriptTimeoutOption);
    parser.addOption(deviceTimeoutOption);
    parser.process(app);

    QHostAddress address;
    if (!address.setAddress(parser.value(addressOption))) {
        std::fprintf(stderr, "autotest-host: not an IP address: %s\n", qPrintable(parser.value(addressOption)));
        return 2;
    }
    bool portOk = false;
    const uint port = parser.value(portOption).toUInt(&portOk);
    if (!portOk || port > 65535) {
        std::fprintf(stderr, "autotest-host: not a port number: %s\n", qPrintable(parser.value(portOption)));
        return 2;
    }

    for (const QCommandLineOption* option : {&scriptTimeoutOption, &deviceTimeoutOption}) {
        bool ok = false;
        const int ms = parser.value(*option).toInt(&ok);
        if (!ok || ms < 0) {
            std::fprintf(stderr, "autotest-host: --%s takes a whole number of milliseconds, 0 or more\n",
                         qPrintable(option->names().constFirst()));
            return 2;
        }
        if (option == &scriptTimeoutOption)
            KIVAutoTestSetScriptTimeout(ms);
        else
            KIVAutoTestSetDeviceTimeout(ms);
    }

    if (parser.isSet(remoteOption)) {
        const QStringList hosts = parser.value(remoteOption).split(QLatin1Char(','));
        if (hosts.size() != 2 || hosts.at(0).isEmpty() || hosts.at(1).isEmpty()) {
            std::fprintf(stderr, "autotest-host: --remote-hosts takes two URLs separated by a comma\n");
            return 2;
        }
        KIVAutoTestSetRemoteHosts(hosts.at(0), hosts.at(1));
    }

    // The service keeps its database and templates here but never creates the
    // directory itself.
    const QString dataDir = QCoreApplication::applicationDirPath() + QStringLiteral("/Data");
    if (!QDir().mkpath(dataDir))
        KIV_LOG("Host", "main", 0) << "Can't create " << dataDir;

    SignalQuit signalQuit;
    QObject::connect(&signalQuit, &SignalQuit::Received, &app, [](int signal) {
        KIV_LOG("Host", "main", 2) << "Signal " << signal << " received, shutting down";
    });

    // Created up front so that start-up problems (the database) show at once.
    KIVAutoTestService* service = KIVAutoTestService::instancePtr();

    KIVWebSocketServer server(QStringLiteral("autotest-host"));
    server.SetHandlerFactory([](QWebSocket* socket, QObject* parent) -> WebSocketHandler* {
        return new KIVAutoTestView(socket, parent);
    });
    if (!server.Listen(address, quint16(port))) {
        KIV_LOG("Host", "main", 0) << "Can't listen on " << address.toString() << ":" << int(port) << ": "
                                   << server.LastErrorText();
        delete service;
        return 1;
    }
    KIV_LOG("Host", "main", 2) << "Service library " << KIVAutoTestVersion();
    KIV_LOG("Host", "main", 2) << "Listening on ws://" << address.toString() << ":" << int(server.Port());

    const int status = app.exec();
    server.Close();
    delete service;
    KIV_LOG("Host", "main", 2) << "Stopped";
    return status;
}
