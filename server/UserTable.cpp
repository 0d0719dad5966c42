#include "server/UserTable.h"

#include "platform/HandshakeGate.h"

#include <QCryptographicHash>
#include <QFile>
#include <QList>
#include <QSet>

namespace {

// The largest users file read: a lab's people fit many times over.
const qint64 kMaxFileBytes = 1 << 20;

} // namespace

QString UserTable::RoleName(UserRole role)
{
    switch (role) {
    case UserRole::Viewer:
        return QStringLiteral("viewer");
    case UserRole::Engineer:
        return QStringLiteral("engineer");
    case UserRole::Admin:
        break;
    }
    return QStringLiteral("admin");
}

QString UserTable::WithArticle(UserRole role)
{
    return (role == UserRole::Viewer ? QStringLiteral("a ") : QStringLiteral("an ")) + RoleName(role);
}

bool UserTable::ParseRole(const QString& name, UserRole& role)
{
    for (const UserRole known : {UserRole::Viewer, UserRole::Engineer, UserRole::Admin}) {
        if (name == RoleName(known)) {
            role = known;
            return true;
        }
    }
    return false;
}

QByteArray UserTable::Digest(const QByteArray& token)
{
    return QCryptographicHash::hash(token, QCryptographicHash::Sha256);
}

bool UserTable::Load(const QString& file, QString& error)
{
    QFile users(file);
    if (!users.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("can't read the users file %1: %2").arg(file, users.errorString());
        return false;
    }
    if (users.size() > kMaxFileBytes) {
        error = QStringLiteral("the users file %1 is larger than %2 bytes").arg(file).arg(kMaxFileBytes);
        return false;
    }
    const QByteArray text = users.readAll();
    if (users.error() != QFileDevice::NoError) {
        error = QStringLiteral("can't read the users file %1: %2").arg(file, users.errorString());
        return false;
    }
    return Parse(text, file, error);
}

bool UserTable::Parse(const QByteArray& text, const QString& source, QString& error)
{
    QHash<QByteArray, ServerUser> byToken;
    QSet<QString> names;
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        QByteArray line = lines.at(i);
        // A comment starts a line or follows a space: "#" inside a token is
        // part of it.
        for (int at = line.indexOf('#'); at >= 0; at = line.indexOf('#', at + 1)) {
            if (at == 0 || line.at(at - 1) == ' ' || line.at(at - 1) == '\t') {
                line.truncate(at);
                break;
            }
        }
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() == 1 && fields.first().isEmpty())
            continue;
        // Never the line itself in a message: it holds a token.
        const QString where = QStringLiteral("%1 line %2: ").arg(source).arg(i + 1);
        if (fields.size() != 3) {
            error = where + QStringLiteral("%1 fields, not the three of \"NAME ROLE TOKEN\"").arg(fields.size());
            return false;
        }
        ServerUser user;
        user.named = true;
        user.name = QString::fromUtf8(fields.at(0));
        if (user.name.toUtf8() != fields.at(0) || user.name == QLatin1String("-")) {
            error = where + QStringLiteral("the name is not UTF-8 text or is \"-\" (the name without a users file)");
            return false;
        }
        if (!ParseRole(QString::fromUtf8(fields.at(1)), user.role)) {
            // Not shown: with the fields swapped, it would be the token.
            error = where + QStringLiteral("the second field is not a role (viewer, engineer or admin)");
            return false;
        }
        if (names.contains(user.name)) {
            error = where + QStringLiteral("the name %1 is given twice").arg(user.name);
            return false;
        }
        const QByteArray digest = Digest(fields.at(2));
        if (byToken.contains(digest)) {
            error = where + QStringLiteral("the token of %1 is %2's too; each user needs a token of their own")
                                .arg(user.name, byToken.value(digest).name);
            return false;
        }
        names.insert(user.name);
        byToken.insert(digest, user);
    }
    if (byToken.isEmpty()) {
        error = QStringLiteral("%1 names no user (one per line: NAME ROLE TOKEN)").arg(source);
        return false;
    }
    m_byToken = byToken;
    return true;
}

const ServerUser* UserTable::Identify(const QByteArray& head, QString& reason) const
{
    // Where HandshakeGate looks for the one token.
    const QByteArray offered = HandshakeGate::OfferedToken(head);
    if (offered.isEmpty()) {
        reason = QStringLiteral("no token given");
        return nullptr;
    }
    // Looked up by digest: how long the lookup takes says nothing of the token.
    const auto found = m_byToken.constFind(Digest(offered));
    if (found == m_byToken.constEnd()) {
        reason = QStringLiteral("the token is not one of a user");
        return nullptr;
    }
    return &found.value();
}
