#include "platform/WebSocketHandler.h"

#include "platform/Debugger.h"
#include "platform/PausableSocket.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QTcpSocket>
#include <QWebSocket>

WebSocketHandler::WebSocketHandler(QWebSocket* socket, QObject* parent)
    : QObject(parent)
    , m_socket(socket)
{
    m_socket->setParent(this);
    connect(m_socket, &QWebSocket::textMessageReceived, this, [this](const QString& message) {
        if (*m_alive)
            OnTextMessage(message);
    });
    connect(m_socket, &QWebSocket::binaryMessageReceived, this, [this](const QByteArray& message) {
        if (*m_alive)
            OnBlobMessage(message);
    });
    // Frames of a message in several parts wait inside the socket until the
    // last one arrives (text as UTF-16).
    connect(m_socket, &QWebSocket::textFrameReceived, this, [this](const QString& frame, bool last) {
        m_partialIncoming = last ? 0 : m_partialIncoming + qint64(frame.size()) * 2;
        if (!last)
            Q_EMIT Grew(qint64(frame.size()) * 2);
    });
    connect(m_socket, &QWebSocket::binaryFrameReceived, this, [this](const QByteArray& frame, bool last) {
        m_partialIncoming = last ? 0 : m_partialIncoming + frame.size();
        if (!last)
            Q_EMIT Grew(frame.size());
    });
    // The close frame has been written (by either side's wish): no data
    // frame may follow it.
    connect(m_socket, &QWebSocket::aboutToClose, this, [this] { m_writer.Stop(); });
    connect(m_socket, &QWebSocket::disconnected, this, [this] {
        *m_alive = false;
        m_writer.Stop();
    });
}

WebSocketHandler::~WebSocketHandler()
{
    *m_alive = false;
}

void WebSocketHandler::AttachTransport(QTcpSocket* transport)
{
    if (!transport)
        return;
    m_transport = qobject_cast<PausableSocket*>(transport);
    m_writer.Attach(transport, qint64(m_socket->outgoingFrameSize()));
    m_framesHere = true;
    // Runs after the WebSocket took every complete frame out of the buffer.
    connect(transport, &QTcpSocket::readyRead, this, [this, transport] {
        const qint64 buffered = m_transport ? m_transport->BufferedIncoming() : transport->bytesAvailable();
        if (buffered > m_lastBuffered)
            Q_EMIT Grew(buffered - m_lastBuffered);
        m_lastBuffered = buffered;
    });
    // Queued: QWebSocket::close() flushes its close frame, and the signal of
    // that flush comes before the WebSocket says it is closing; frames
    // written then would follow the close frame.
    connect(transport, &QTcpSocket::bytesWritten, this, &WebSocketHandler::OnDrained, Qt::QueuedConnection);
}

qint64 WebSocketHandler::UnsentBytes() const
{
    return m_writer.Queued() + m_socket->bytesToWrite();
}

qint64 WebSocketHandler::HeldBytes() const
{
    qint64 held = UnsentBytes() + m_partialIncoming;
    if (m_transport)
        held += m_transport->BufferedIncoming();
    return held;
}

bool WebSocketHandler::IsPaused() const
{
    return m_transport && m_transport->IsPaused();
}

void WebSocketHandler::Drop(const QString& why)
{
    if (!*m_alive)
        return;
    KIV_LOG("WebSocketServer", "WebSocketHandler::Drop", 1)
        << why << ", closing " << m_socket->peerAddress().toString() << ":" << int(m_socket->peerPort());
    *m_alive = false;
    m_writer.Stop();
    m_socket->abort();
}

void WebSocketHandler::OnDrained()
{
    if (!*m_alive)
        return;
    m_lastProgress = QDateTime::currentMSecsSinceEpoch();
    m_writer.Pump();
    if (IsPaused() && UnsentBytes() <= ResumeOutputMark) {
        KIV_LOG("WebSocketServer", "WebSocketHandler::OnDrained", 3)
            << "Reading requests from " << m_socket->peerAddress().toString() << ":" << int(m_socket->peerPort())
            << " again";
        m_transport->Resume();
    }
}

void WebSocketHandler::PauseReading()
{
    if (!m_transport || m_transport->IsPaused())
        return;
    KIV_LOG("WebSocketServer", "WebSocketHandler::PauseReading", 3)
        << "Not reading requests from " << m_socket->peerAddress().toString() << ":" << int(m_socket->peerPort())
        << " until " << UnsentBytes() << " bytes of replies have drained";
    m_transport->Pause();
}

bool WebSocketHandler::Draining(qint64 now) const
{
    const qint64 unsent = UnsentBytes();
    return *m_alive && unsent > 0 && unsent >= HeldBytes() - unsent && now - m_lastProgress < SlowReaderGraceMs;
}

void WebSocketHandler::CheckReader(qint64 now)
{
    const qint64 unsent = UnsentBytes();
    // A paused peer holds no more than the pause mark and a reply, so it
    // counts as a backlog however little that is.
    if (!*m_alive || (unsent <= MaxPendingOutput && !IsPaused())) {
        m_backlogSince = 0;
        return;
    }
    // A backlog is fine while the peer takes its replies.
    if (m_backlogSince == 0)
        m_backlogSince = now;
    const qint64 stalled = now - qMax(m_backlogSince, m_lastProgress);
    if (stalled >= SlowReaderGraceMs)
        Drop(QStringLiteral("Peer does not read its replies (%1 bytes unsent for %2 ms)").arg(unsent).arg(stalled));
}

void WebSocketHandler::WriteWebJSON(const QJsonObject& object)
{
    if (*m_alive)
        WriteWebText(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

void WebSocketHandler::WriteWebText(const QByteArray& utf8)
{
    if (!*m_alive)
        return;
    if (UnsentBytes() == 0)
        m_lastProgress = QDateTime::currentMSecsSinceEpoch();
    if (m_framesHere)
        m_writer.Write(utf8);
    else
        m_socket->sendTextMessage(QString::fromUtf8(utf8));
    Q_EMIT Grew(qint64(utf8.size()));
    // The budget may have dropped this connection meanwhile.
    if (*m_alive && UnsentBytes() > PauseOutputMark)
        PauseReading();
}

bool WebSocketHandler::ParseRequest(const QString& message, QJsonObject& request)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(message.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        // A well-formed array gets the parser's "no error" text, as the
        // parser did not fail.
        WriteWebJSON({{QStringLiteral("ERROR"), QStringLiteral("FAILURE")},
                      {QStringLiteral("ERROR_MESSAGE"), error.errorString()}});
        return false;
    }
    request = document.object();
    return true;
}

void WebSocketHandler::OnTextMessage(const QString& message)
{
    QJsonObject request;
    if (ParseRequest(message, request))
        DoJson(request);
}

void WebSocketHandler::OnBlobMessage(const QByteArray& message)
{
    KIV_LOG("WebSocketServer", "WebSocketHandler::OnBlobMessage", 1)
        << "Binary message of " << qint64(message.size()) << " bytes refused";
    WriteWebJSON({{QStringLiteral("ERROR"), QStringLiteral("FAILURE")},
                  {QStringLiteral("ERROR_MESSAGE"), QStringLiteral("binary messages are not supported, send JSON text")}});
}

void WebSocketHandler::OnConnect()
{
    KIV_LOG("WebSocketServer", "WebSocketHandler::OnConnect", 2)
        << "Client connected from " << m_socket->peerAddress().toString() << ":" << int(m_socket->peerPort());
}

void WebSocketHandler::DoJson(const QJsonObject&)
{
    WriteWebJSON({{QStringLiteral("ERROR"), QStringLiteral("FAILURE")},
                  {QStringLiteral("ERROR_MESSAGE"), QStringLiteral("no service handles this connection")}});
}
