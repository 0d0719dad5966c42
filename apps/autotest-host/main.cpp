// autotest-host: a desktop host's stand-in. It serves the auto-test service to
// WebSocket clients, one KIVAutoTestView per connection.

#include "apps/common/ReuseFreedMemory.h"
#include "apps/common/SignalQuit.h"
#include "front/KIVAutoTestConfig.h"
#include "front/KIVAutoTestService.h"
#include "front/KIVAutoTestView.h"
#include "platform/Debugger.h"
#include "platform/KIVWebSocketServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStringList>

#include <cstdio>

int main(int argc, char* argv[])
{
    // Every client and job shares one thread here, so no arena multiplies
    // what the C library keeps.
    ReuseFreedMemory();
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
    const QCommandLineOption originOption(QStringLiteral("allow-origin"),
        QStringLiteral("Browser origin allowed to connect (repeatable; replaces the defaults "
                       "http://127.0.0.1:8080 and http://localhost:8080). Clients that send no Origin "
                       "header (programs) are always let in; \"null\" only when given here."),
        QStringLiteral("origin"));
    const QCommandLineOption tokenOption(QStringLiteral("token"),
        QStringLiteral("File holding a secret that every client must send, as \"Authorization: Bearer <token>\" "
                       "or as ?token=<token> in the URL. Required with an --address other than loopback."),
        QStringLiteral("file"));
    const QCommandLineOption maxConnectionsOption(QStringLiteral("max-connections"),
        QStringLiteral("Connections served at once; further handshakes get HTTP 503 (default 256)."),
        QStringLiteral("count"), QString::number(KIVWebSocketServer::DefaultMaxConnections));
    const QCommandLineOption maxHeldOption(QStringLiteral("max-buffered-mib"),
        QStringLiteral("Unsent replies plus unfinished incoming messages of all connections together; "
                       "past it the connection holding the most is dropped (default 256)."),
        QStringLiteral("MiB"), QString::number(KIVWebSocketServer::DefaultMaxHeldBytes >> 20));
    const QCommandLineOption remoteTimeoutOption(QStringLiteral("remote-timeout-ms"),
        QStringLiteral("A remote request unanswered after this many milliseconds fails as a network error "
                       "and moves later requests to the other host; 0 waits for ever (default 0)."),
        QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption maxReplyOption(QStringLiteral("max-reply-mib"),
        QStringLiteral("Largest reply sent to a client; a larger one becomes a failure \"result\" (default 64)."),
        QStringLiteral("MiB"), QStringLiteral("64"));
    const QCommandLineOption maxRemoteReplyOption(QStringLiteral("max-remote-reply-mib"),
        QStringLiteral("Largest reply accepted from the remote server (default 64)."), QStringLiteral("MiB"),
        QStringLiteral("64"));
    parser.addOption(addressOption);
    parser.addOption(portOption);
    parser.addOption(remoteOption);
    parser.addOption(originOption);
    parser.addOption(tokenOption);
    parser.addOption(maxConnectionsOption);
    parser.addOption(maxHeldOption);
    parser.addOption(remoteTimeoutOption);
    parser.addOption(maxReplyOption);
    parser.addOption(maxRemoteReplyOption);
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

    const auto positive = [&parser](const QCommandLineOption& option, qint64& value) {
        bool ok = false;
        value = parser.value(option).toLongLong(&ok);
        if (ok && value > 0)
            return true;
        std::fprintf(stderr, "autotest-host: --%s takes a number above 0, not %s\n", qPrintable(option.names().constLast()),
                     qPrintable(parser.value(option)));
        return false;
    };
    qint64 maxConnections = 0;
    qint64 maxHeldMiB = 0;
    qint64 maxReplyMiB = 0;
    qint64 maxRemoteReplyMiB = 0;
    if (!positive(maxConnectionsOption, maxConnections) || !positive(maxHeldOption, maxHeldMiB)
        || !positive(maxReplyOption, maxReplyMiB) || !positive(maxRemoteReplyOption, maxRemoteReplyMiB))
        return 2;
    bool timeoutOk = false;
    const int remoteTimeout = parser.value(remoteTimeoutOption).toInt(&timeoutOk);
    if (!timeoutOk || remoteTimeout < 0) {
        std::fprintf(stderr, "autotest-host: --remote-timeout-ms takes 0 or more, not %s\n",
                     qPrintable(parser.value(remoteTimeoutOption)));
        return 2;
    }
    KIVAutoTestSetRemoteTimeout(remoteTimeout);
    KIVAutoTestSetMaxReplySize(qMin<qint64>(maxReplyMiB, 1 << 20) << 20);
    KIVAutoTestSetMaxRemoteReplySize(qMin<qint64>(maxRemoteReplyMiB, 1 << 20) << 20);

    QByteArray token;
    if (parser.isSet(tokenOption)) {
        QFile file(parser.value(tokenOption));
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "autotest-host: can't read the token file %s: %s\n", qPrintable(file.fileName()),
                         qPrintable(file.errorString()));
            return 2;
        }
        token = file.read(4096).trimmed();
        if (token.isEmpty()) {
            std::fprintf(stderr, "autotest-host: the token file %s is empty\n", qPrintable(file.fileName()));
            return 2;
        }
    }
    // Anyone who can reach the port could drive the devices and the records;
    // beyond this machine only clients that know the secret may.
    if (!address.isLoopback() && token.isEmpty()) {
        std::fprintf(stderr, "autotest-host: refusing to listen on %s without --token FILE: any machine that can "
                             "reach it could run jobs and change test records; only loopback addresses work without one\n",
                     qPrintable(address.toString()));
        return 2;
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
    if (parser.isSet(originOption))
        server.Gate().SetAllowedOrigins(parser.values(originOption));
    server.Gate().SetToken(token);
    server.SetMaxConnections(int(qMin<qint64>(maxConnections, 1 << 20)));
    server.SetMaxHeldBytes(qMin<qint64>(maxHeldMiB, 1 << 20) << 20);
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
    const QStringList remoteHosts = KIVAutoTestRemoteHosts();
    KIV_LOG("Host", "main", 2) << "Remote test-management hosts: first " << remoteHosts.value(0) << ", second "
                               << remoteHosts.value(1) << (parser.isSet(remoteOption) ? "" : " (the defaults, both this machine; "
                                                                                            "--remote-hosts names a real second host)");
    KIV_LOG("Host", "main", 2) << "Browser origins allowed: " << server.Gate().AllowedOrigins().join(QStringLiteral(", "))
                               << (token.isEmpty() ? "; no token required" : "; clients must send the token");
    KIV_LOG("Host", "main", 2) << "Listening on ws://" << address.toString() << ":" << int(server.Port());

    const int status = app.exec();
    server.Close();
    delete service;
    KIV_LOG("Host", "main", 2) << "Stopped";
    return status;
}
