// autotest-client: sends JSON requests to an auto-test host and prints every
// reply as one line on stdout.

#include "apps/autotest-client/JobFollower.h"
#include "apps/common/ProgramOptions.h"
#include "apps/common/SignalQuit.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QNetworkRequest>
#include <QTextStream>
#include <QTimer>
#include <QWebSocket>

#include <cstdio>
#include <limits>

#include <unistd.h>

namespace {

void logLine(const QString& text)
{
    std::fprintf(stderr, "autotest-client: %s\n", qPrintable(text));
}

// A file holding one JSON document is sent compacted, anything else as it is.
QString messageFromFile(const QByteArray& content)
{
    const QJsonDocument document = QJsonDocument::fromJson(content);
    if (!document.isNull())
        return QString::fromUtf8(document.toJson(QJsonDocument::Compact));
    return QString::fromUtf8(content);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    ProgramOptions options(QStringLiteral("autotest-client"), QStringLiteral(
        "Sends requests to an auto-test host and prints each reply as one JSON line.\n"
        "Each REQUEST argument is sent as one text message, then each --file, then, with '-',\n"
        "every line of standard input. Exits 0 once the expected replies arrived, 1 on time-out,\n"
        "2 when the connection failed or closed first, 3 with --fail-on-failure when a test case\n"
        "failed.\n\n"
        "Example: autotest-client '{\"CMD\":\"get_state\",\"SEQ\":1}'"));
    QCommandLineParser& parser = options.Parser();
    const QCommandLineOption urlOption({QStringLiteral("u"), QStringLiteral("url")},
        QStringLiteral("Host to connect to (default ws://127.0.0.1:8765)."), QStringLiteral("url"),
        QStringLiteral("ws://127.0.0.1:8765"));
    const QCommandLineOption fileOption({QStringLiteral("f"), QStringLiteral("file")},
        QStringLiteral("Send the content of this file as one request (repeatable)."), QStringLiteral("path"));
    const QCommandLineOption waitOption({QStringLiteral("w"), QStringLiteral("wait")},
        QStringLiteral("Replies to wait for (default: one per request sent)."), QStringLiteral("count"));
    const QCommandLineOption timeoutOption({QStringLiteral("t"), QStringLiteral("timeout")},
        QStringLiteral("Give up after this many milliseconds; 0 waits for ever (default 30000)."),
        QStringLiteral("ms"), QStringLiteral("30000"));
    const QCommandLineOption tokenOption(QStringLiteral("token"),
        QStringLiteral("File holding the host's secret, sent as \"Authorization: Bearer <token>\"."), QStringLiteral("file"));
    const QCommandLineOption junitOption(QStringLiteral("junit"),
        QStringLiteral("Write every job report received as JUnit XML to this file; waits for the end of the "
                       "stored-plan jobs it starts."), QStringLiteral("file"));
    const QCommandLineOption failOption(QStringLiteral("fail-on-failure"),
        QStringLiteral("Exit with 3 when a test case of a job report failed or ended in error, or a job's verdict was false."));
    const QCommandLineOption progressOption(QStringLiteral("progress"),
        QStringLiteral("Ask for the jobs' progress and show it on stderr (the default when stderr is a terminal); "
                       "waits for the end of the stored-plan jobs it starts."));
    options.Add({urlOption, tokenOption, fileOption, waitOption, timeoutOption, junitOption, failOption, progressOption});
    parser.addPositionalArgument(QStringLiteral("request"), QStringLiteral("JSON request text, or '-' for stdin lines."),
                                 QStringLiteral("[request...]"));
    options.Process(app);

    QStringList messages;
    for (const QString& argument : parser.positionalArguments()) {
        if (argument == QLatin1String("-")) {
            QTextStream in(stdin);
            while (!in.atEnd()) {
                const QString line = in.readLine();
                if (!line.trimmed().isEmpty())
                    messages.append(line);
            }
        } else {
            messages.append(argument);
        }
    }
    for (const QString& path : parser.values(fileOption)) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            logLine(QStringLiteral("can't read %1: %2").arg(path, file.errorString()));
            return 2;
        }
        messages.append(messageFromFile(file.readAll()));
    }

    const qint64 most = std::numeric_limits<int>::max();
    qint64 expected = messages.size();
    qint64 timeout = 0;
    QByteArray token;
    if ((parser.isSet(waitOption) && !options.ReadNumber(waitOption, 0, most, expected))
        || !options.ReadNumber(timeoutOption, 0, most, timeout) || !options.ReadToken(tokenOption, token))
        return 2;

    JobFollower::Options follow;
    follow.redraw = isatty(STDERR_FILENO) != 0;
    follow.bar = follow.redraw || parser.isSet(progressOption);
    follow.askProgress = follow.bar || parser.isSet(junitOption);
    follow.awaitLocalReports = parser.isSet(progressOption) || parser.isSet(junitOption);
    JobFollower follower(follow);

    SignalQuit signalQuit;
    QWebSocket socket;
    int received = 0;
    int status = 0;
    bool finished = false;
    auto finish = [&](int code) {
        if (finished)
            return;
        finished = true;
        status = code;
        QString error;
        if (parser.isSet(junitOption) && !follower.Report().Write(parser.value(junitOption), error)) {
            logLine(QStringLiteral("can't write %1: %2").arg(parser.value(junitOption), error));
            status = 2;
        }
        if (status == 0 && parser.isSet(failOption) && follower.Report().AnyFailed())
            status = 3;
        socket.close();
        QCoreApplication::exit(status);
    };

    QObject::connect(&socket, &QWebSocket::connected, &app, [&] {
        logLine(QStringLiteral("connected to %1, sending %2 request(s)").arg(socket.requestUrl().toString()).arg(messages.size()));
        for (const QString& message : qAsConst(messages))
            socket.sendTextMessage(follower.Outgoing(message));
        if (expected == 0)
            finish(0);
    });
    QObject::connect(&socket, &QWebSocket::textMessageReceived, &app, [&](const QString& message) {
        const bool reply = follower.Incoming(message);
        if (reply || follower.PrintEvents()) {
            std::fprintf(stdout, "%s\n", qPrintable(message));
            std::fflush(stdout);
        }
        // Events answer no request.
        if (reply)
            ++received;
        if (received >= expected && !follower.Waiting())
            finish(0);
    });
    QObject::connect(&socket, &QWebSocket::binaryMessageReceived, &app, [&](const QByteArray& reply) {
        logLine(QStringLiteral("binary reply of %1 bytes ignored").arg(reply.size()));
    });
    QObject::connect(&socket, &QWebSocket::disconnected, &app, [&] {
        if (!finished) {
            logLine(QStringLiteral("connection closed after %1 of %2 replies: %3")
                        .arg(received).arg(expected).arg(socket.errorString()));
            finish(2);
        }
    });
    QObject::connect(&socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), &app, [&] {
        if (!finished) {
            logLine(QStringLiteral("connection error: %1").arg(socket.errorString()));
            finish(2);
        }
    });
    if (timeout > 0) {
        QTimer::singleShot(int(timeout), &app, [&] {
            logLine(QStringLiteral("timed out after %1 ms with %2 of %3 replies").arg(timeout).arg(received).arg(expected));
            finish(1);
        });
    }

    QNetworkRequest request{QUrl(parser.value(urlOption))};
    if (!token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + token);
    socket.open(request);
    const int code = app.exec();
    if (!finished && SignalQuit::LastSignal() != 0)
        return 130;
    return finished ? status : code;
}
