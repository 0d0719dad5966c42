// autotest-client: sends JSON requests to an auto-test host and prints every
// reply as one line on stdout.

#include "apps/autotest-client/ClientSession.h"
#include "apps/common/ProgramOptions.h"
#include "apps/common/SignalQuit.h"
#include "base/JsonText.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QNetworkRequest>
#include <QTextStream>

#include <cstdio>
#include <limits>

#include <unistd.h>

namespace {

void logLine(const QString& text)
{
    std::fprintf(stderr, "autotest-client: %s\n", qPrintable(text));
}

// A file holding one JSON document is sent on one line, anything else as it
// is. Only white space goes: written anew from its value, a "SEQ" past 2^53
// would change.
QString messageFromFile(const QByteArray& content)
{
    if (!QJsonDocument::fromJson(content).isNull())
        return QString::fromUtf8(JsonText::Compact(content));
    return QString::fromUtf8(content);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    ProgramOptions options(QStringLiteral("autotest-client"), QStringLiteral(
        "Sends requests to an auto-test host and prints each reply as one JSON line.\n"
        "Each REQUEST argument is sent as one text message, then each --file, then, with '-',\n"
        "every line of standard input. With --junit, --fail-on-failure or --progress it follows the\n"
        "jobs it starts (\"ExecuteJob\", \"execute_job_local\") to their end and prints a summary of\n"
        "each on stderr; a time-out or Ctrl-C cancels them first and waits up to 5 s for their reports.\n"
        "\n"
        "Exit status (when several apply, the first of 2, 4, 1, 3, 5 in this order):\n"
        "  0    every reply came, nothing below applies\n"
        "  1    timed out (--timeout)\n"
        "  2    no connection, or it closed before the replies came (also: a --file that can't be\n"
        "       read, a wrong option value, a JUnit file that can't be written)\n"
        "  3    with --fail-on-failure: a test case failed or ended in error, or a job's verdict was false\n"
        "  4    the host rejected a request: broken JSON (\"ERROR\":\"FAILURE\"), a \"result\" other\n"
        "       than \"ok\", or a job that could not start (its report false, without a test case)\n"
        "  5    with --fail-on-failure: every job followed finished without a test case\n"
        "  130  SIGINT, 143 SIGTERM (in the place of 1)\n"
        "\n"
        "Example: autotest-client '{\"CMD\":\"get_state\",\"SEQ\":1}'"));
    QCommandLineParser& parser = options.Parser();
    const QCommandLineOption urlOption({QStringLiteral("u"), QStringLiteral("url")},
        QStringLiteral("Host to connect to (default ws://127.0.0.1:8765)."), QStringLiteral("url"),
        QStringLiteral("ws://127.0.0.1:8765"));
    const QCommandLineOption fileOption({QStringLiteral("f"), QStringLiteral("file")},
        QStringLiteral("Send the content of this file as one request (repeatable)."), QStringLiteral("path"));
    const QCommandLineOption waitOption({QStringLiteral("w"), QStringLiteral("wait")},
        QStringLiteral("Replies to wait for (default: one per request sent); followed jobs are waited for too."),
        QStringLiteral("count"));
    const QCommandLineOption timeoutOption({QStringLiteral("t"), QStringLiteral("timeout")},
        QStringLiteral("Give up after this many milliseconds, cancelling the jobs started; 0 waits for ever "
                       "(default 30000)."),
        QStringLiteral("ms"), QStringLiteral("30000"));
    const QCommandLineOption tokenOption(QStringLiteral("token"),
        QStringLiteral("File holding the host's secret, sent as \"Authorization: Bearer <token>\"."), QStringLiteral("file"));
    const QCommandLineOption junitOption(QStringLiteral("junit"),
        QStringLiteral("Write every job as JUnit XML to this file, even when the run fails: a stored plan's from its "
                       "records (\"job_detail\" with verdicts), an \"ExecuteJob\" from its report."),
        QStringLiteral("file"));
    const QCommandLineOption failOption(QStringLiteral("fail-on-failure"),
        QStringLiteral("Exit with 3 when a test case failed or ended in error, or a job's verdict was false; "
                       "with 5 when the jobs ran no test case."));
    const QCommandLineOption progressOption(QStringLiteral("progress"),
        QStringLiteral("Show the jobs' progress on stderr (the default when stderr is a terminal, which then "
                       "does not wait for stored-plan jobs unless this is given)."));
    options.Add({urlOption, tokenOption, fileOption, waitOption, timeoutOption, junitOption, failOption, progressOption});
    parser.addPositionalArgument(QStringLiteral("request"), QStringLiteral("JSON request text, or '-' for stdin lines."),
                                 QStringLiteral("[request...]"));
    options.Process(app);

    ClientSession::Settings settings;
    for (const QString& argument : parser.positionalArguments()) {
        if (argument == QLatin1String("-")) {
            QTextStream in(stdin);
            while (!in.atEnd()) {
                const QString line = in.readLine();
                if (!line.trimmed().isEmpty())
                    settings.messages.append(line);
            }
        } else {
            settings.messages.append(argument);
        }
    }
    for (const QString& path : parser.values(fileOption)) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            logLine(QStringLiteral("can't read %1: %2").arg(path, file.errorString()));
            return ClientSession::NoConnection;
        }
        settings.messages.append(messageFromFile(file.readAll()));
    }

    const qint64 most = std::numeric_limits<int>::max();
    settings.expected = settings.messages.size();
    QByteArray token;
    if ((parser.isSet(waitOption) && !options.ReadNumber(waitOption, 0, most, settings.expected))
        || !options.ReadNumber(timeoutOption, 0, most, settings.timeoutMs) || !options.ReadToken(tokenOption, token))
        return ClientSession::NoConnection;

    settings.junitPath = parser.value(junitOption);
    settings.failOnFailure = parser.isSet(failOption);
    JobFollower::Options& follow = settings.follow;
    follow.redraw = isatty(STDERR_FILENO) != 0;
    follow.bar = follow.redraw || parser.isSet(progressOption);
    // A terminal's default bar follows what it can without holding the
    // prompt for a stored plan's whole job.
    follow.follow = parser.isSet(progressOption) || parser.isSet(junitOption) || parser.isSet(failOption);
    follow.ask = follow.follow || follow.bar;
    settings.request = QNetworkRequest(QUrl(parser.value(urlOption)));
    if (!token.isEmpty())
        settings.request.setRawHeader("Authorization", "Bearer " + token);

    ClientSession session(settings);
    SignalQuit signalQuit;
    QObject::connect(&signalQuit, &SignalQuit::Received, &session, &ClientSession::Interrupt);
    session.Start();
    // A signal quits the event loop; the session then still cancels its jobs
    // and waits for their reports.
    while (!session.Done())
        app.exec();
    return session.ExitStatus();
}
