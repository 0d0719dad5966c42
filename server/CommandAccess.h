#pragma once

#include "server/UserTable.h"

#include <QJsonObject>
#include <QString>

// Which role each command of the server needs, and which commands change
// records and so go into the audit table: the one place that says so.
class CommandAccess
{
public:
    enum Kind { Read, Write, Admin };

    // A command missing from the table is for admins: one added to the
    // server without an entry here is closed, not open. (Commands the server
    // does not handle at all are not checked: they answer that they are not
    // supported, whoever asks.)
    static Kind KindOf(const QString& cmd);
    static UserRole Needs(const QString& cmd);
    static bool Audited(const QString& cmd);
    // The refusal of `cmd` for `user`, or an empty text when the role allows it.
    static QString Refusal(const QString& cmd, const ServerUser& user);
    // The ids a change touched, from its request and its "ok" reply, as one
    // object: {"testcaseid":3}, {"planid":1,"jobid":7}.
    static QJsonObject Ids(const QString& cmd, const QJsonObject& request, const QJsonObject& reply);
};
