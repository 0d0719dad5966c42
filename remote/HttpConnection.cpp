#include "remote/HttpConnection.h"

#include "remote/HttpResponseReader.h"
#include "remote/RemoteReply.h"

HttpConnection::HttpConnection(const QString& host, quint16 port, QObject* parent)
    : QObject(parent)
    , m_host(host)
    , m_port(port)
{
    m_socket.setReadBufferSize(ReadBufferSize);
    m_idle.setSingleShot(true);
    m_idle.setInterval(IdleTimeoutMs);
    connect(&m_idle, &QTimer::timeout, this, [this] { Close(nullptr); });
    connect(&m_socket, &QTcpSocket::connected, this, &HttpConnection::Send);
    connect(&m_socket, &QTcpSocket::readyRead, this, &HttpConnection::OnReadyRead);
    connect(&m_socket, &QTcpSocket::disconnected, this, &HttpConnection::OnClosed);
    connect(&m_socket, &QTcpSocket::errorOccurred, this, &HttpConnection::OnClosed);
}

HttpConnection::~HttpConnection()
{
    // The socket's own destructor would report its closing to this half-gone
    // object.
    QObject::disconnect(&m_socket, nullptr, this, nullptr);
    m_socket.abort();
}

void HttpConnection::Start(RemoteReply* reply)
{
    m_idle.stop();
    m_reply = reply;
    m_reader = std::make_unique<HttpResponseReader>(reply->MaxBodySize());
    m_headSent = false;
    if (m_socket.state() == QAbstractSocket::ConnectedState)
        Send();
    else if (m_socket.state() == QAbstractSocket::UnconnectedState)
        m_socket.connectToHost(m_host, m_port);
}

void HttpConnection::Send()
{
    if (m_reply)
        m_socket.write(m_reply->Outgoing());
}

void HttpConnection::Drop()
{
    m_closed = true;
    m_reply = nullptr;
    m_idle.stop();
    QObject::disconnect(&m_socket, nullptr, this, nullptr);
    m_socket.abort();
}

void HttpConnection::OnReadyRead()
{
    // Everything that is buffered is read now: the socket announces only
    // bytes that arrive later.
    while (!m_closed && m_reply && m_socket.bytesAvailable() > 0) {
        const QByteArray bytes = m_socket.read(ReadBufferSize);
        m_reader->Feed(bytes.constData(), bytes.size());
        if (!Deliver())
            break;
    }
    // Bytes nobody asked for: this connection is out of step with the server.
    if (!m_closed && !m_reply && m_socket.bytesAvailable() > 0)
        Close(nullptr);
}

bool HttpConnection::Deliver()
{
    RemoteReply* reply = m_reply;
    if (m_reader->HeaderReady() && !m_headSent) {
        m_headSent = true;
        reply->SetHead(*m_reader);
        if (m_reply != reply)
            return false;
    }
    const QByteArray body = m_reader->TakeBody();
    if (!body.isEmpty()) {
        // Callers may abort the request from here.
        reply->AppendBody(body);
        if (m_reply != reply)
            return false;
    }
    switch (m_reader->Status()) {
    case HttpResponseReader::Reading:
        return true;
    case HttpResponseReader::Done:
        Complete();
        return false;
    case HttpResponseReader::Failed:
        break;
    }
    m_reply = nullptr;
    const bool tooLarge = m_reader->FailureKind() == HttpResponseReader::TooLarge;
    const QNetworkReply::NetworkError code = m_reader->FailureKind() == HttpResponseReader::Closed
        ? QNetworkReply::RemoteHostClosedError
        : tooLarge ? QNetworkReply::UnknownContentError : QNetworkReply::ProtocolFailure;
    const QString text = m_reader->ErrorText();
    Close(nullptr);
    reply->FinishWithError(code, text, tooLarge);
    return false;
}

void HttpConnection::Complete()
{
    RemoteReply* reply = m_reply;
    m_reply = nullptr;
    ++m_served;
    const bool reusable = m_reader->KeepAlive() && m_reader->Leftover().isEmpty()
        && m_socket.state() == QAbstractSocket::ConnectedState;
    m_reader.reset();
    if (reusable) {
        m_idle.start();
        Q_EMIT Released(this);
    } else {
        Close(nullptr);
    }
    reply->FinishResponse();
}

void HttpConnection::Close(RemoteReply* retry)
{
    if (m_closed)
        return;
    m_closed = true;
    m_idle.stop();
    QObject::disconnect(&m_socket, nullptr, this, nullptr);
    m_socket.abort();
    Q_EMIT Closed(this, retry);
}

void HttpConnection::OnClosed()
{
    if (m_closed)
        return;
    // What the server sent before it closed still counts.
    OnReadyRead();
    if (m_closed)
        return;
    RemoteReply* reply = m_reply;
    m_reply = nullptr;
    if (!reply) {
        Close(nullptr);
        return;
    }
    if (m_reader->Started()) {
        m_reader->Eof();
        m_reply = reply;
        Deliver();
        return;
    }
    // A kept-alive connection the server closed as the request went out: the
    // server has not seen it, so another connection may carry it.
    if (m_served > 0 && reply->MayRetry()) {
        reply->SetRetried();
        Close(reply);
        return;
    }
    QNetworkReply::NetworkError code = QNetworkReply::UnknownNetworkError;
    QString text = m_socket.errorString();
    // Qt's HTTP transport words these its own way; callers compare the words.
    switch (m_socket.error()) {
    case QAbstractSocket::HostNotFoundError:
        code = QNetworkReply::HostNotFoundError;
        text = QStringLiteral("Host %1 not found").arg(m_host);
        break;
    case QAbstractSocket::ConnectionRefusedError:
        code = QNetworkReply::ConnectionRefusedError;
        text = QStringLiteral("Connection refused");
        break;
    case QAbstractSocket::SocketTimeoutError:
        code = QNetworkReply::TimeoutError;
        text = QStringLiteral("Socket operation timed out");
        break;
    case QAbstractSocket::RemoteHostClosedError:
    case QAbstractSocket::UnknownSocketError:
        code = QNetworkReply::RemoteHostClosedError;
        text = QStringLiteral("Connection closed");
        break;
    default:
        break;
    }
    Close(nullptr);
    reply->FinishWithError(code, text);
}
