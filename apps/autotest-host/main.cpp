// autotest-host: a desktop host's stand-in. It serves the auto-test service to
// WebSocket clients, one KIVAutoTestView per connection.

#include "apps/common/ProgramOptions.h"
#include "apps/common/ReuseFreedMemory.h"
#include "apps/common/SignalQuit.h"
#include "front/HostMetrics.h"
#include "front/KIVAutoTestConfig.h"
#include "front/KIVAutoTestService.h"
#include "front/KIVAutoTestView.h"
#include "platform/Debugger.h"
#include "platform/KIVWebSocketServer.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QHostAddress>
#include <QStringList>
#include <QUrl>

#include <limits>

namespace {

// Fills the station's part of `service` from --station and its --device list;
// false (the reason printed) when they are wrong.
bool ReadStation(const ProgramOptions& options, const QCommandLineOption& stationOption,
                 const QCommandLineOption& deviceOption, KIVAutoTestOptions& service)
{
    const QCommandLineParser& parser = options.Parser();
    const QStringList devices = parser.values(deviceOption);
    if (!parser.isSet(stationOption))
        return devices.isEmpty() || options.Fail(QStringLiteral("--device needs --station: only a station offers devices"));
    const QString name = parser.value(stationOption);
    if (name.trimmed().isEmpty() || name.size() > KIVAutoTestMaxStationName)
        return options.Fail(QStringLiteral("--station takes a name of 1 to %1 characters").arg(KIVAutoTestMaxStationName));
    if (devices.size() > KIVAutoTestMaxStationDevices)
        return options.Fail(QStringLiteral("--device: a station offers at most %1 devices").arg(KIVAutoTestMaxStationDevices));
    QStringList ids;
    for (const QString& given : devices) {
        const int equals = given.indexOf(QLatin1Char('='));
        KIVAutoTestStationDevice device;
        device.url = given.left(equals);
        if (equals >= 0)
            device.tags = given.mid(equals + 1).split(QLatin1Char(','));
        // Jobs name their device by the last part of their "url": two URLs
        // that end alike are one device.
        const QStringList parts = device.url.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        const QString id = parts.isEmpty() ? QString() : parts.last();
        // Without a query, where a token may be.
        const QString shown = QStringLiteral("--device ") + QUrl(device.url).toString(QUrl::RemoveQuery | QUrl::RemoveUserInfo);
        if (id.isEmpty())
            return options.Fail(shown + QStringLiteral(": the URL names no device"));
        if (device.url.size() > KIVAutoTestMaxDeviceUrl)
            return options.Fail(shown + QStringLiteral(": the URL is longer than %1 characters").arg(KIVAutoTestMaxDeviceUrl));
        if (ids.contains(id))
            return options.Fail(shown + QStringLiteral(": device %1 is given twice").arg(QUrl(id).toString(QUrl::RemoveQuery)));
        for (const QString& tag : qAsConst(device.tags)) {
            if (tag.isEmpty() || tag.size() > KIVAutoTestMaxTag)
                return options.Fail(shown + QStringLiteral(": a tag takes 1 to %1 characters").arg(KIVAutoTestMaxTag));
        }
        if (device.tags.size() > KIVAutoTestMaxDeviceTags)
            return options.Fail(shown + QStringLiteral(": at most %1 tags").arg(KIVAutoTestMaxDeviceTags));
        ids.append(id);
        service.stationDevices.append(device);
    }
    service.station = name;
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    // Every client and job shares one thread here, so no arena multiplies
    // what the C library keeps.
    ReuseFreedMemory();
    QCoreApplication app(argc, argv);
    ProgramOptions options(QStringLiteral("autotest-host"), QStringLiteral(
        "Runs the device auto-test service behind a WebSocket server. Clients send one JSON request\n"
        "per text message and get JSON replies on the same connection.\n"
        "Data (the database and test templates) lives in Data/ beside this program.\n"
        "Plain HTTP GET /metrics (Prometheus text) and GET /healthz (200 \"ok\", else 503 and the reason)\n"
        "are answered on the same port, or on --metrics-port; neither needs the token.\n"
        "Log lines go to stderr; KIV_LOG_LEVEL=0..3 sets how much is shown (default 2)."));
    const QCommandLineOption addressOption = ProgramOptions::AddressOption();
    const QCommandLineOption portOption = ProgramOptions::PortOption(8765, QStringLiteral(" and logs it (default 8765)"));
    const QCommandLineOption remoteOption(QStringLiteral("remote-hosts"),
        QStringLiteral("Base URLs of the remote test-management API, first and second host separated by a comma\n"
                       "(default http://127.0.0.1:8080/api,http://localhost:8080/api)."),
        QStringLiteral("first,second"));
    const QCommandLineOption scriptTimeoutOption(QStringLiteral("script-timeout-ms"),
        QStringLiteral("Milliseconds a verification script may run before it is interrupted and its check\n"
                       "fails (default 5000; 0 = no limit)."),
        QStringLiteral("ms"), QStringLiteral("5000"));
    const QCommandLineOption jobScriptBudgetOption(QStringLiteral("job-script-budget-ms"),
        QStringLiteral("Milliseconds all verification scripts of one job may run together; past it the job's\n"
                       "remaining checks fail at once (default 60000; 0 = no limit)."),
        QStringLiteral("ms"), QString::number(KIVAutoTestDefaultJobScriptBudgetMs));
    const QCommandLineOption scriptMemoryOption(QStringLiteral("script-memory-mib"),
        QStringLiteral("Memory a job's verification scripts may use; a script past it fails its check\n"
                       "(default 256; 0 = no bound)."),
        QStringLiteral("MiB"), QString::number(KIVAutoTestDefaultScriptMemoryMiB));
    const QCommandLineOption deviceTimeoutOption(QStringLiteral("device-timeout-ms"),
        QStringLiteral("Milliseconds a device or simulator request may stay unanswered before its job ends\n"
                       "(default 0 = wait for ever)."),
        QStringLiteral("ms"), QStringLiteral("0"));
    const QCommandLineOption controllerOption(QStringLiteral("controller"),
        QStringLiteral("The local controller process whose device and simulator channels jobs open\n"
                       "(default ws://127.0.0.1:19870)."),
        QStringLiteral("ws://HOST:PORT"));
    const QCommandLineOption originOption = ProgramOptions::OriginOption(
        QStringLiteral("connect"), QStringLiteral("http://127.0.0.1:8080 and http://localhost:8080"));
    const QCommandLineOption tokenOption = ProgramOptions::TokenOption(QStringLiteral("every client must send"));
    const QCommandLineOption maxConnectionsOption(QStringLiteral("max-connections"),
        QStringLiteral("Connections served at once; further handshakes get HTTP 503 (default 256)."),
        QStringLiteral("count"), QString::number(KIVWebSocketServer::DefaultMaxConnections));
    const QCommandLineOption maxHeldOption(QStringLiteral("max-buffered-mib"),
        QStringLiteral("Unsent replies plus unfinished incoming messages of all connections together; past it\n"
                       "readers wait for their replies to drain, and the connection holding the most that does\n"
                       "not read is dropped (default 256)."),
        QStringLiteral("MiB"), QString::number(KIVWebSocketServer::DefaultMaxHeldBytes >> 20));
    const QCommandLineOption remoteTimeoutOption(QStringLiteral("remote-timeout-ms"),
        QStringLiteral("A remote request unanswered after this many milliseconds fails as a network error "
                       "and moves later requests to the other host; 0 waits for ever (default 30000)."),
        QStringLiteral("ms"), QString::number(KIVAutoTestDefaultRemoteTimeoutMs));
    const QCommandLineOption maxReplyOption(QStringLiteral("max-reply-mib"),
        QStringLiteral("Largest reply sent to a client; a larger one becomes a failure \"result\" (default 64)."),
        QStringLiteral("MiB"), QStringLiteral("64"));
    const QCommandLineOption maxRemoteReplyOption(QStringLiteral("max-remote-reply-mib"),
        QStringLiteral("Largest reply accepted from the remote server (default 64)."), QStringLiteral("MiB"),
        QStringLiteral("64"));
    const QCommandLineOption metricsPortOption(QStringLiteral("metrics-port"),
        QStringLiteral("Serves GET /metrics and /healthz on this port (same --address) instead of the WebSocket\n"
                       "port, whose clients then get no such page; 0 picks a free port and logs it."),
        QStringLiteral("port"));
    const QCommandLineOption stationOption(QStringLiteral("station"),
        QStringLiteral("Makes this host the lab station <name> (1 to %1 characters): every few seconds, whatever "
                       "the mode, it posts \"station_beat\" to the remote server in use, listing its --device entries "
                       "and the job that holds each.").arg(KIVAutoTestMaxStationName),
        QStringLiteral("name"));
    const QCommandLineOption deviceOption(QStringLiteral("device"),
        QStringLiteral("A device the station offers, as jobs give it in their \"url\" (at most %1 characters), with its "
                       "tags (at most %2, each 1 to %3 characters); repeat for each device, at most %4 (needs --station).")
            .arg(KIVAutoTestMaxDeviceUrl).arg(KIVAutoTestMaxDeviceTags).arg(KIVAutoTestMaxTag).arg(KIVAutoTestMaxStationDevices),
        QStringLiteral("url[=tag,tag...]"));
    options.Add({addressOption, portOption, metricsPortOption, remoteOption, originOption, tokenOption, maxConnectionsOption, maxHeldOption,
                 remoteTimeoutOption, maxReplyOption, maxRemoteReplyOption, scriptTimeoutOption, jobScriptBudgetOption,
                 scriptMemoryOption, deviceTimeoutOption, controllerOption, stationOption, deviceOption});
    options.Process(app);
    const QCommandLineParser& parser = options.Parser();

    // Sizes in MiB and counts are capped where they would overflow, not refused.
    const qint64 most = std::numeric_limits<int>::max();
    const qint64 unbounded = std::numeric_limits<qint64>::max();
    QHostAddress address;
    quint16 port = 0;
    quint16 metricsPort = 0;
    QByteArray token;
    qint64 scriptTimeout = 0, jobScriptBudget = 0, scriptMemoryMiB = 0, deviceTimeout = 0, remoteTimeout = 0;
    qint64 maxConnections = 0, maxHeldMiB = 0, maxReplyMiB = 0, maxRemoteReplyMiB = 0;
    if (!options.ReadAddress(addressOption, address) || !options.ReadPort(portOption, port)
        || (parser.isSet(metricsPortOption) && !options.ReadPort(metricsPortOption, metricsPort))
        || !options.ReadNumber(scriptTimeoutOption, 0, most, scriptTimeout)
        || !options.ReadNumber(jobScriptBudgetOption, 0, most, jobScriptBudget)
        || !options.ReadNumber(scriptMemoryOption, 0, 1 << 20, scriptMemoryMiB)
        || !options.ReadNumber(deviceTimeoutOption, 0, most, deviceTimeout)
        || !options.ReadNumber(remoteTimeoutOption, 0, most, remoteTimeout)
        || !options.ReadNumber(maxConnectionsOption, 1, unbounded, maxConnections)
        || !options.ReadNumber(maxHeldOption, 1, unbounded, maxHeldMiB)
        || !options.ReadNumber(maxReplyOption, 1, unbounded, maxReplyMiB)
        || !options.ReadNumber(maxRemoteReplyOption, 1, unbounded, maxRemoteReplyMiB)
        || !options.ReadToken(tokenOption, token)
        || !options.TokenGuards(address, token, QStringLiteral("run jobs and change test records")))
        return 2;
    // The service's whole configuration, given at its creation.
    KIVAutoTestOptions serviceOptions;
    serviceOptions.scriptTimeoutMs = int(scriptTimeout);
    serviceOptions.jobScriptBudgetMs = int(jobScriptBudget);
    serviceOptions.scriptMemoryMiB = int(scriptMemoryMiB);
    serviceOptions.deviceTimeoutMs = int(deviceTimeout);
    serviceOptions.remoteTimeoutMs = int(remoteTimeout);
    serviceOptions.maxReplyBytes = qMin<qint64>(maxReplyMiB, 1 << 20) << 20;
    serviceOptions.maxRemoteReplyBytes = qMin<qint64>(maxRemoteReplyMiB, 1 << 20) << 20;
    ProgramOptions::ReadTcListLimit(serviceOptions.maxTcList);
    if (parser.isSet(controllerOption)) {
        serviceOptions.controller = parser.value(controllerOption);
        QString why;
        if (!KIVAutoTestCheckController(serviceOptions.controller, &why)) {
            options.Fail(QStringLiteral("--controller ") + serviceOptions.controller + QStringLiteral(": ") + why);
            return 2;
        }
    }

    if (parser.isSet(remoteOption)) {
        const QStringList hosts = parser.value(remoteOption).split(QLatin1Char(','));
        if (hosts.size() != 2 || hosts.at(0).isEmpty() || hosts.at(1).isEmpty()) {
            options.Fail(QStringLiteral("--remote-hosts takes two URLs separated by a comma"));
            return 2;
        }
        serviceOptions.remoteFirst = hosts.at(0);
        serviceOptions.remoteSecond = hosts.at(1);
    }

    if (!ReadStation(options, stationOption, deviceOption, serviceOptions))
        return 2;
    serviceOptions.version = QString::fromLatin1(KIVAutoTestVersion());

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
    auto* service = new KIVAutoTestService(serviceOptions, nullptr);

    KIVWebSocketServer server(QStringLiteral("autotest-host"));
    if (parser.isSet(originOption))
        server.Gate().SetAllowedOrigins(parser.values(originOption));
    server.Gate().SetToken(token);
    server.SetMaxConnections(int(qMin<qint64>(maxConnections, 1 << 20)));
    server.SetMaxHeldBytes(qMin<qint64>(maxHeldMiB, 1 << 20) << 20);
    // Outlives the service, which is deleted before main returns: answers
    // given while it stops still find their counters.
    HostMetrics metrics(*service, server, serviceOptions.controller);
    server.SetHandlerFactory([&metrics](QWebSocket* socket, QObject* parent) -> WebSocketHandler* {
        return new KIVAutoTestView(socket, parent, &metrics);
    });
    const auto servePage = [&metrics](const QByteArray& path, const KIVWebSocketServer::PageAnswer& answer) {
        metrics.Serve(path, answer);
    };
    // Pages only, bounded as the WebSocket port is.
    KIVWebSocketServer metricsServer(QStringLiteral("autotest-host metrics"));
    metricsServer.SetPagesOnly(true);
    metricsServer.SetMaxConnections(int(qMin<qint64>(maxConnections, 1 << 20)));
    if (parser.isSet(metricsPortOption)) {
        metricsServer.SetPages(HostMetrics::Paths(), servePage);
        if (!metricsServer.Listen(address, metricsPort)) {
            KIV_LOG("Host", "main", 0) << "Can't listen on " << address.toString() << ":" << int(metricsPort) << " for metrics: "
                                       << metricsServer.LastErrorText();
            delete service;
            return 1;
        }
    } else {
        server.SetPages(HostMetrics::Paths(), servePage);
    }
    if (!server.Listen(address, quint16(port))) {
        KIV_LOG("Host", "main", 0) << "Can't listen on " << address.toString() << ":" << int(port) << ": "
                                   << server.LastErrorText();
        delete service;
        return 1;
    }
    KIV_LOG("Host", "main", 2) << "Service library " << KIVAutoTestVersion();
    const QStringList remoteHosts = KIVAutoTestRemoteHosts();
    // Without the query, where a station may carry its token.
    const auto logged = [](const QString& url) { return QUrl(url).toString(QUrl::RemoveQuery | QUrl::RemoveUserInfo); };
    KIV_LOG("Host", "main", 2) << "Remote test-management hosts: first " << logged(remoteHosts.value(0)) << ", second "
                               << logged(remoteHosts.value(1)) << (parser.isSet(remoteOption) ? "" : " (the defaults, both this machine; "
                                                                                            "--remote-hosts names a real second host)");
    KIV_LOG("Host", "main", 2) << "Controller " << serviceOptions.controller;
    KIV_LOG("Host", "main", 2) << "Browser origins allowed: " << server.Gate().AllowedOrigins().join(QStringLiteral(", "))
                               << (token.isEmpty() ? "; no token required" : "; clients must send the token");
    const quint16 pagesPort = parser.isSet(metricsPortOption) ? metricsServer.Port() : server.Port();
    KIV_LOG("Host", "main", 2) << "Metrics and health on http://" << address.toString() << ":" << int(pagesPort)
                               << "/metrics and /healthz";
    KIV_LOG("Host", "main", 2) << "Listening on ws://" << address.toString() << ":" << int(server.Port());

    const int status = app.exec();
    metricsServer.Close();
    server.Close();
    delete service;
    KIV_LOG("Host", "main", 2) << "Stopped";
    return status;
}
