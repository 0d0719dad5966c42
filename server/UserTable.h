#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

// Who a request is done as. Roles are ordered: each may do what the ones
// before it may.
enum class UserRole { Viewer, Engineer, Admin };

struct ServerUser
{
    QString name;
    UserRole role = UserRole::Admin;
    // False without a users file: the request is the one token's, or open.
    bool named = false;
};

// The people autotest-server knows (--users FILE): one per line, "NAME ROLE
// TOKEN" separated by blanks, "#" starting a comment. A request is done as
// the user whose token it carries. Tokens are kept only as digests, so no
// log line or dump can show one.
class UserTable
{
public:
    // False with the reason, naming the file and line, when the file cannot
    // be read or a line is wrong; the table is then unchanged.
    bool Load(const QString& file, QString& error);
    bool Parse(const QByteArray& text, const QString& source, QString& error);
    bool IsEmpty() const { return m_byToken.isEmpty(); }
    int Size() const { return m_byToken.size(); }

    // The user whose token a request head (request line and fields) carries,
    // as "Authorization: Bearer <token>" or ?token= in the target; null with
    // the reason when none does.
    const ServerUser* Identify(const QByteArray& head, QString& reason) const;

    static QString RoleName(UserRole role);
    // "an engineer", "a viewer": for refusals.
    static QString WithArticle(UserRole role);
    static bool ParseRole(const QString& name, UserRole& role);

private:
    static QByteArray Digest(const QByteArray& token);

    QHash<QByteArray, ServerUser> m_byToken;
};
