#include "remote/RemoteReply.h"

#include <QNetworkRequest>

namespace {

// The error Qt's own HTTP transport gives each error status, so that callers
// that look at error() see no difference.
QNetworkReply::NetworkError errorOfStatus(int status)
{
    switch (status) {
    case 400:
    case 418:
        return QNetworkReply::ProtocolInvalidOperationError;
    case 401:
        return QNetworkReply::AuthenticationRequiredError;
    case 403:
        return QNetworkReply::ContentAccessDenied;
    case 404:
        return QNetworkReply::ContentNotFoundError;
    case 405:
        return QNetworkReply::ContentOperationNotPermittedError;
    case 407:
        return QNetworkReply::ProxyAuthenticationRequiredError;
    case 409:
        return QNetworkReply::ContentConflictError;
    case 410:
        return QNetworkReply::ContentGoneError;
    case 500:
        return QNetworkReply::InternalServerError;
    case 501:
        return QNetworkReply::OperationNotImplementedError;
    case 503:
        return QNetworkReply::ServiceUnavailableError;
    default:
        return status > 500 ? QNetworkReply::UnknownServerError : QNetworkReply::UnknownContentError;
    }
}

} // namespace

RemoteReply::RemoteReply(const QNetworkRequest& request, const QByteArray& body, qint64 maxBodySize, QObject* parent)
    : QNetworkReply(parent)
    , m_maxBodySize(maxBodySize)
{
    setRequest(request);
    setUrl(request.url());
    setOperation(QNetworkAccessManager::PostOperation);
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);

    const QUrl url = request.url();
    QByteArray path = url.path(QUrl::FullyEncoded).toLatin1();
    if (path.isEmpty())
        path = "/";
    if (url.hasQuery())
        path += '?' + url.query(QUrl::FullyEncoded).toLatin1();
    QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    if (url.port(80) != 80)
        host += ':' + QByteArray::number(url.port());
    m_outgoing = "POST " + path + " HTTP/1.1\r\nHost: " + host + "\r\n";
    for (const QByteArray& name : request.rawHeaderList()) {
        const QByteArray lower = name.toLower();
        if (lower != "host" && lower != "content-length" && lower != "connection")
            m_outgoing += name + ": " + request.rawHeader(name) + "\r\n";
    }
    m_outgoing += "Content-Length: " + QByteArray::number(body.size()) + "\r\nConnection: keep-alive\r\n\r\n" + body;
}

void RemoteReply::abort()
{
    if (isFinished())
        return;
    Q_EMIT AbortRequested();
    FinishWithError(OperationCanceledError, QStringLiteral("Operation canceled"));
}

qint64 RemoteReply::bytesAvailable() const
{
    return m_received - m_readPos + QNetworkReply::bytesAvailable();
}

qint64 RemoteReply::readData(char* data, qint64 maxSize)
{
    qint64 skip = m_readPos;
    qint64 copied = 0;
    for (const QByteArray& piece : qAsConst(m_pieces)) {
        if (copied == maxSize)
            break;
        if (skip >= piece.size()) {
            skip -= piece.size();
            continue;
        }
        const qint64 count = qMin(maxSize - copied, piece.size() - skip);
        memcpy(data + copied, piece.constData() + skip, size_t(count));
        copied += count;
        skip = 0;
    }
    m_readPos += copied;
    if (copied == 0 && isFinished())
        return -1;
    return copied;
}

QByteArray RemoteReply::Body()
{
    if (m_pieces.size() > 1)
        m_pieces = QByteArrayList{m_pieces.join()};
    return m_pieces.value(0);
}

void RemoteReply::SetHead(const HttpResponseReader& reader)
{
    setAttribute(QNetworkRequest::HttpStatusCodeAttribute, reader.StatusCode());
    setAttribute(QNetworkRequest::HttpReasonPhraseAttribute, reader.Reason());
    for (const auto& field : reader.HeaderFields()) {
        // Repeated fields are joined as Qt's transport joins them.
        const QByteArray earlier = rawHeader(field.first);
        setRawHeader(field.first, earlier.isEmpty() ? field.second : earlier + ", " + field.second);
    }
    const int status = reader.StatusCode();
    if (status >= 300 && status < 400 && hasRawHeader("Location"))
        setAttribute(QNetworkRequest::RedirectionTargetAttribute, url().resolved(QUrl::fromEncoded(rawHeader("Location"))));
    m_total = reader.ContentLength();
    if (m_total >= 0) {
        // The parser has refused a length beyond the limit already; the rest
        // of a huge one grows as it comes.
        QByteArray whole;
        whole.reserve(int(qMin<qint64>(m_total, ReserveLimit)));
        m_pieces.append(whole);
        m_growLast = true;
    }
    Q_EMIT metaDataChanged();
}

void RemoteReply::AppendBody(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return;
    // Small pieces are gathered into one: a server that trickles its body
    // a few bytes at a time would otherwise cost far more in bookkeeping
    // than in bytes.
    if (m_growLast || (!m_pieces.isEmpty() && m_pieces.constLast().size() < PieceSize)) {
        m_pieces.last().append(bytes);
    } else {
        // Gathered pieces may hold twice their size; they are done growing.
        if (!m_pieces.isEmpty() && m_pieces.constLast().capacity() > m_pieces.constLast().size() + PieceSize / 8)
            m_pieces.last().squeeze();
        m_pieces.append(bytes);
        if (bytes.capacity() > bytes.size() + PieceSize / 8)
            m_pieces.last().squeeze();
    }
    m_received += bytes.size();
    Q_EMIT readyRead();
    Q_EMIT downloadProgress(m_received, m_total);
}

void RemoteReply::FinishResponse()
{
    if (isFinished())
        return;
    const int status = attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 400) {
        QString text;
        if (status == 401)
            text = QStringLiteral("Host requires authentication");
        else if (status == 407)
            text = QStringLiteral("Proxy requires authentication");
        else {
            const QByteArray reason = attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray();
            text = QStringLiteral("Error transferring %1 - server replied: %2")
                       .arg(url().toString(QUrl::RemoveQuery | QUrl::RemoveUserInfo), reason.isEmpty() ? QString::number(status) : QString::fromLatin1(reason));
        }
        setError(errorOfStatus(status), text);
        Finish();
        Q_EMIT errorOccurred(error());
        Q_EMIT finished();
        return;
    }
    Finish();
    Q_EMIT finished();
}

void RemoteReply::FinishWithError(NetworkError code, const QString& text, bool tooLarge)
{
    if (isFinished())
        return;
    m_tooLarge = tooLarge;
    if (tooLarge) {
        // Nothing of an answer that was cut off is kept.
        m_pieces.clear();
        m_received = 0;
        m_readPos = 0;
    }
    setError(code, text);
    Finish();
    Q_EMIT errorOccurred(code);
    Q_EMIT finished();
}

void RemoteReply::Finish()
{
    m_growLast = false;
    setFinished(true);
    Q_EMIT readChannelFinished();
}
