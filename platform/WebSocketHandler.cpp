#include "platform/WebSocketHandler.h"

#include "platform/Debugger.h"

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
    connect(m_socket, &QWebSocket::disconnected, this, [this] { *m_alive = false; });
}

WebSocketHandler::~WebSocketHandler()
{
    *m_alive = false;
}

void WebSocketHandler::AttachTransport(QTcpSocket* transport)
{
    m_transport = transport;
    if (!transport)
        return;
    // Runs after the WebSocket took every complete frame out of the buffer.
    connect(transport, &QTcpSocket::readyRead, this, [this] {
        const qint64 buffered = m_transport ? m_transport->bytesAvailable() : 0;
        if (buffered > m_lastBuffered)
            Q_EMIT Grew(buffered - m_lastBuffered);
        m_lastBuffered = buffered;
    });
}

qint64 WebSocketHandler::HeldBytes() const
{
    qint64 held = m_socket->bytesToWrite() + m_partialIncoming;
    if (m_transport)
        held += m_transport->bytesAvailable();
    return held;
}

void WebSocketHandler::Drop(const QString& why)
{
    if (!*m_alive)
        return;
    KIV_LOG("WebSocketServer", "WebSocketHandler::Drop", 1)
        << why << ", closing " << m_socket->peerAddress().toString() << ":" << int(m_socket->peerPort());
    *m_alive = false;
    m_socket->abort();
}

void WebSocketHandler::CheckReader(qint64 now)
{
    if (!*m_alive || m_socket->bytesToWrite() <= MaxPendingOutput) {
        m_backlogSince = 0;
        return;
    }
    if (m_backlogSince == 0)
        m_backlogSince = now;
    else if (now - m_backlogSince >= SlowReaderGraceMs)
        Drop(QStringLiteral("Peer does not read its replies (%1 bytes unsent for %2 ms)")
                 .arg(m_socket->bytesToWrite()).arg(now - m_backlogSince));
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
    m_socket->sendTextMessage(QString::fromUtf8(utf8));
    Q_EMIT Grew(qint64(utf8.size()));
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
