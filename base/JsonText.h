#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

// Work on JSON message text where writing it anew from its parsed value would
// lose something: a "SEQ" past 2^53 changes when it passes through a double,
// so the host echoes a client's own text and the client keeps what it sent.
// Shared by the service and autotest-client.
namespace JsonText {

// The text of the last top-level member `key` of a JSON object text, empty
// when there is none. The text must have parsed as an object.
QByteArray MemberText(const QByteArray& json, const QString& key);

// `object` as compact JSON with member `key` written as `rawText`, in the
// place its name sorts to; without `rawText`, just the object.
QByteArray WithMemberText(QJsonObject object, const QString& key, const QByteArray& rawText);

// The bytes plain UTF-8 takes as a JSON string as Qt's writer makes it,
// quotes included: the quote, the backslash and control characters escaped
// (the five with short forms so, the rest as \u00xx), the rest as it is.
qint64 StringBytes(const QByteArray& utf8);

// JSON text without the white space between its tokens; numbers and strings
// stay as they are written.
QByteArray Compact(const QByteArray& json);

// `request` (a JSON object text that holds a member already) with `members`
// ("\"progress\":true") written first, after its opening brace.
QString WithMembers(const QString& request, const QStringList& members);

// Removes the "verdict" members a job's report or event carries beyond its
// plain form: its own, those of its "VALUE", of each entry of that "tcs" and
// of its "tc". True when there were any.
bool StripVerdicts(QJsonObject& object);

} // namespace JsonText
