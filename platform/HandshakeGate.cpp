#include "platform/HandshakeGate.h"

#include <QCryptographicHash>
#include <QUrl>
#include <QUrlQuery>

namespace {

// Value of one header (name in lower case) of a request head, or a null
// array when it is missing.
QByteArray headerValue(const QList<QByteArray>& lines, const QByteArray& name)
{
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray& line = lines.at(i);
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().toLower() == name)
            return line.mid(colon + 1).trimmed();
    }
    return QByteArray();
}

} // namespace

HandshakeGate::HandshakeGate()
    : m_origins(DefaultOrigins())
{
}

QStringList HandshakeGate::DefaultOrigins()
{
    return {QStringLiteral("http://127.0.0.1:8080"), QStringLiteral("http://localhost:8080")};
}

void HandshakeGate::SetAllowedOrigins(const QStringList& origins)
{
    m_origins = origins;
}

bool HandshakeGate::SameSecret(const QByteArray& a, const QByteArray& b)
{
    // Hashing first gives equal lengths, so the loop leaks neither the
    // length nor the position of the first difference.
    const QByteArray x = QCryptographicHash::hash(a, QCryptographicHash::Sha256);
    const QByteArray y = QCryptographicHash::hash(b, QCryptographicHash::Sha256);
    unsigned char difference = 0;
    for (int i = 0; i < x.size(); ++i)
        difference |= static_cast<unsigned char>(x.at(i) ^ y.at(i));
    return difference == 0;
}

QByteArray HandshakeGate::OfferedToken(const QByteArray& head)
{
    const QList<QByteArray> lines = head.split('\n');
    const QByteArray authorization = headerValue(lines, "authorization");
    if (authorization.size() > 7 && authorization.left(7).toLower() == "bearer ")
        return authorization.mid(7).trimmed();
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    const QUrlQuery query(QUrl(QString::fromLatin1(requestLine.value(1))));
    if (!query.hasQueryItem(QStringLiteral("token")))
        return QByteArray();
    return query.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toUtf8();
}

bool HandshakeGate::Admit(const QByteArray& head, QString& reason) const
{
    const QList<QByteArray> lines = head.split('\n');
    // Older drafts of the protocol named the header Sec-WebSocket-Origin.
    QByteArray origin = headerValue(lines, "origin");
    if (origin.isNull())
        origin = headerValue(lines, "sec-websocket-origin");
    if (!origin.isNull() && !m_origins.contains(QString::fromLatin1(origin), Qt::CaseInsensitive)) {
        reason = QStringLiteral("origin %1 is not allowed").arg(QString::fromLatin1(origin.left(200)));
        return false;
    }
    if (m_token.isEmpty())
        return true;

    const QByteArray offered = OfferedToken(head);
    if (offered.isEmpty()) {
        reason = QStringLiteral("no token given");
        return false;
    }
    if (!SameSecret(offered, m_token)) {
        reason = QStringLiteral("wrong token");
        return false;
    }
    return true;
}
