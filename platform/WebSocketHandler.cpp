#include "platform/WebSocketHandler.h"

#include "platform/Debugger.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
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
    connect(m_socket, &QWebSocket::disconnected, this, [this] { *m_alive = false; });
}

WebSocketHandler::~WebSocketHandler()
{
    *m_alive = false;
}

void WebSocketHandler::WriteWebJSON(const QJsonObject& object)
{
    if (!*m_alive)
        return;
    if (m_socket->bytesToWrite() > MaxPendingOutput) {
        KIV_LOG("WebSocketServer", "WebSocketHandler::WriteWebJSON", 1)
            << "Peer does not read its replies, closing " << m_socket->peerAddress().toString();
        *m_alive = false;
        m_socket->abort();
        return;
    }
    m_socket->sendTextMessage(QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact)));
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
