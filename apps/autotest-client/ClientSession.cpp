#include "apps/autotest-client/ClientSession.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

ClientSession::ClientSession(const Settings& settings)
    : settings(settings)
    , follower(settings.follow, [this](const QString& text) { socket.sendTextMessage(text); })
{
    // A coarse timer may fire 5% early.
    timeout.setTimerType(Qt::PreciseTimer);
    timeout.setSingleShot(true);
    grace.setSingleShot(true);
}

void ClientSession::Start()
{
    connect(&socket, &QWebSocket::connected, this, &ClientSession::OnConnected);
    connect(&socket, &QWebSocket::textMessageReceived, this, &ClientSession::OnMessage);
    connect(&socket, &QWebSocket::binaryMessageReceived, this, [this](const QByteArray& message) {
        follower.Log(QStringLiteral("binary message of %1 bytes ignored").arg(message.size()));
    });
    // A refused connection reports both, in either order.
    connect(&socket, &QWebSocket::disconnected, this, [this] {
        OnLost(QStringLiteral("connection closed after %1 of %2 replies: %3")
                   .arg(received).arg(settings.expected).arg(socket.errorString()));
    });
    connect(&socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this,
            [this] { OnLost(QStringLiteral("connection error: %1").arg(socket.errorString())); });
    connect(&timeout, &QTimer::timeout, this, [this] {
        Stop(TimedOut, QStringLiteral("timed out after %1 ms with %2 of %3 replies")
                           .arg(settings.timeoutMs).arg(received).arg(settings.expected));
    });
    connect(&grace, &QTimer::timeout, this, [this] {
        follower.Log(QStringLiteral("no more waiting for reports"));
        Finish();
    });
    if (settings.timeoutMs > 0)
        timeout.start(int(settings.timeoutMs));
    socket.open(settings.request);
}

void ClientSession::Interrupt(int signal)
{
    Stop(128 + signal, signal == SIGTERM ? QStringLiteral("terminated") : QStringLiteral("interrupted"));
}

void ClientSession::OnConnected()
{
    follower.Log(QStringLiteral("connected to %1, sending %2 request(s)")
                     .arg(socket.requestUrl().toString(QUrl::RemoveQuery)).arg(settings.messages.size()));
    for (const QString& message : qAsConst(settings.messages))
        socket.sendTextMessage(follower.Outgoing(message));
    CheckDone();
}

void ClientSession::OnMessage(const QString& message)
{
    const JobFollower::Received in = follower.Incoming(message);
    if (!in.print.isEmpty()) {
        std::fprintf(stdout, "%s\n", qPrintable(in.print));
        std::fflush(stdout);
    }
    if (in.reply)
        ++received;
    CheckDone();
}

void ClientSession::OnLost(const QString& why)
{
    if (done)
        return;
    lost = true;
    follower.Log(why);
    Finish();
}

void ClientSession::Stop(int code, const QString& why)
{
    if (done)
        return;
    // A second signal does not wait for the reports.
    if (stopping) {
        follower.Log(why + QStringLiteral(" again: not waiting any longer"));
        Finish();
        return;
    }
    stopping = true;
    stopCode = code;
    timeout.stop();
    follower.Log(why);
    if (socket.state() != QAbstractSocket::ConnectedState) {
        Finish();
        return;
    }
    follower.Cancel();
    if (!follower.Busy()) {
        Finish();
        return;
    }
    follower.Log(QStringLiteral("waiting up to %1 s for the jobs' reports").arg(kGraceMs / 1000));
    grace.start(kGraceMs);
}

void ClientSession::CheckDone()
{
    if (done || follower.Busy())
        return;
    if (stopping || received >= settings.expected)
        Finish();
}

int ClientSession::StatusNow() const
{
    // The first that applies, in this order.
    if (lost || writeFailed)
        return NoConnection;
    if (follower.Rejected())
        return Rejected;
    if (stopCode != 0)
        return stopCode;
    if (settings.failOnFailure && follower.Report().AnyFailed())
        return Failed;
    if (settings.failOnFailure && follower.NoCaseRan())
        return NothingRan;
    return Passed;
}

void ClientSession::Finish()
{
    if (done)
        return;
    done = true;
    timeout.stop();
    grace.stop();
    // What finished is written, whatever ended the run.
    follower.GiveUp();
    QString error;
    if (!settings.junitPath.isEmpty() && !follower.Report().Write(settings.junitPath, error)) {
        follower.Log(QStringLiteral("can't write %1: %2").arg(settings.junitPath, error));
        writeFailed = true;
    }
    status = StatusNow();
    follower.Bar().Close();
    for (const QString& line : follower.Summary())
        std::fprintf(stderr, "%s\n", qPrintable(line));
    std::fflush(stderr);
    socket.close();
    QCoreApplication::exit(status);
}
