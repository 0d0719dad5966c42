#include "front/RequestEnvelope.h"

#include "front/KIVAutoTestConfig.h"
#include "front/StrictJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QRandomGenerator>

namespace {

qint64& maxReplySize()
{
    static qint64 bytes = RequestEnvelope::DefaultMaxReplySize;
    return bytes;
}

int skipSpace(const QByteArray& text, int at)
{
    while (at < text.size() && (text.at(at) == ' ' || text.at(at) == '\t' || text.at(at) == '\n' || text.at(at) == '\r'))
        ++at;
    return at;
}

// Index just past the string that starts (with its quote) at `at`.
int skipString(const QByteArray& text, int at)
{
    for (++at; at < text.size(); ++at) {
        if (text.at(at) == '\\')
            ++at;
        else if (text.at(at) == '"')
            return at + 1;
    }
    return int(text.size());
}

// Index just past the value that starts at `at`.
int skipValue(const QByteArray& text, int at)
{
    int depth = 0;
    while (at < text.size()) {
        const char c = text.at(at);
        if (c == '"') {
            at = skipString(text, at);
            if (depth == 0)
                return at;
            continue;
        }
        if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            if (depth == 0)
                return at;
            if (--depth == 0)
                return at + 1;
        } else if (depth == 0 && (c == ',' || c == ' ' || c == '\t' || c == '\n' || c == '\r')) {
            return at;
        }
        ++at;
    }
    return at;
}

} // namespace

void KIVAutoTestSetMaxReplySize(qint64 bytes)
{
    RequestEnvelope::SetMaxReplySize(bytes);
}

qint64 RequestEnvelope::MaxReplySize()
{
    return maxReplySize();
}

void RequestEnvelope::SetMaxReplySize(qint64 bytes)
{
    maxReplySize() = bytes;
}

QString RequestEnvelope::TooLargeText(qint64 size)
{
    return QStringLiteral("Reply too large: about %1 bytes, more than the limit of %2 bytes").arg(size).arg(MaxReplySize());
}

QByteArray RequestEnvelope::MemberText(const QByteArray& json, const QString& key)
{
    QByteArray found;
    int at = skipSpace(json, 0);
    if (at >= json.size() || json.at(at) != '{')
        return found;
    at = skipSpace(json, at + 1);
    while (at < json.size() && json.at(at) == '"') {
        const int keyEnd = skipString(json, at);
        const QByteArray rawKey = json.mid(at + 1, keyEnd - at - 2);
        // Escapes in a key are rare; the parser decodes them for us.
        const QString name = rawKey.contains('\\')
            ? QJsonDocument::fromJson("[\"" + rawKey + "\"]").array().at(0).toString()
            : QString::fromUtf8(rawKey);
        at = skipSpace(json, keyEnd);
        if (at >= json.size() || json.at(at) != ':')
            break;
        const int valueStart = skipSpace(json, at + 1);
        const int valueEnd = skipValue(json, valueStart);
        if (name == key)
            found = json.mid(valueStart, valueEnd - valueStart);
        at = skipSpace(json, valueEnd);
        if (at >= json.size() || json.at(at) != ',')
            break;
        at = skipSpace(json, at + 1);
    }
    return found;
}

bool RequestEnvelope::Parse(const QString& message)
{
    const QByteArray text = message.toUtf8();
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        // A well-formed array gets the parser's "no error" text, as the
        // parser did not fail.
        m_error = error.errorString();
        return false;
    }
    m_request = document.object();
    const QString cmdKey = QStringLiteral("CMD");
    if (m_request.contains(cmdKey))
        m_request.insert(QStringLiteral("cmd"), m_request.take(cmdKey));
    const QJsonValue seq = m_request.take(QStringLiteral("SEQ"));
    m_seqText.clear();
    if (seq.isNull() || seq.isUndefined())
        return true;
    // The client's own text, numbers in it untouched: written out again, a
    // number past 2^53 changes, nested or not. Text that only Qt's lax parser
    // takes ("1.", a raw tab in a string) is written anew from its value, so
    // that a browser's JSON.parse takes every reply.
    m_seqText = MemberText(text, QStringLiteral("SEQ"));
    if (!StrictJson::IsValue(m_seqText))
        m_seqText = QJsonDocument(QJsonArray{seq}).toJson(QJsonDocument::Compact).mid(1).chopped(1);
    return true;
}

QByteArray RequestEnvelope::Reply(const QJsonObject& answer, const QByteArray& seqText, bool* tooLarge)
{
    // Written out whole before it is measured: the text is about the size of
    // the answer already held, and walking the answer to estimate its size
    // cost a third as much as writing it.
    QJsonObject envelope = answer;
    envelope.insert(QStringLiteral("ERROR"), QStringLiteral("SUCCESS"));
    QByteArray text = WithSeq(envelope, seqText);
    const bool refused = text.size() > MaxReplySize();
    if (tooLarge)
        *tooLarge = refused;
    if (!refused)
        return text;
    envelope = {{QStringLiteral("result"), TooLargeText(text.size())}, {QStringLiteral("ERROR"), QStringLiteral("SUCCESS")}};
    if (answer.contains(QStringLiteral("cmd")))
        envelope.insert(QStringLiteral("cmd"), answer.value(QStringLiteral("cmd")));
    return WithSeq(envelope, seqText);
}

QByteArray RequestEnvelope::Event(const QJsonObject& event, const QByteArray& seqText, bool* tooLarge)
{
    QByteArray text = WithSeq(event, seqText);
    const bool refused = text.size() > MaxReplySize();
    if (tooLarge)
        *tooLarge = refused;
    if (!refused)
        return text;
    // Whoever waits for the event still learns that it came, and why it is empty.
    return WithSeq({{QStringLiteral("EVENT"), event.value(QStringLiteral("EVENT"))},
                    {QStringLiteral("jobid"), event.value(QStringLiteral("jobid"))},
                    {QStringLiteral("result"), TooLargeText(text.size())}},
                   seqText);
}

QByteArray RequestEnvelope::WithSeq(QJsonObject envelope, const QByteArray& seqText)
{
    if (seqText.isEmpty())
        return QJsonDocument(envelope).toJson(QJsonDocument::Compact);
    // A marker no answer holds stands in for "SEQ", so that the key keeps
    // its sorted place; its text is then swapped for the original one.
    static const QString marker = QStringLiteral("\x01seq-%1\x01").arg(QRandomGenerator::global()->generate64());
    envelope.insert(QStringLiteral("SEQ"), marker);
    QByteArray text = QJsonDocument(envelope).toJson(QJsonDocument::Compact);
    const QByteArray quoted = "\"SEQ\":" + QJsonDocument(QJsonArray{marker}).toJson(QJsonDocument::Compact).mid(1).chopped(1);
    const int at = text.indexOf(quoted);
    if (at >= 0)
        text.replace(at + 6, quoted.size() - 6, seqText);
    return text;
}

QByteArray RequestEnvelope::FailureReply(const QString& errorText)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("ERROR"), QStringLiteral("FAILURE")},
                                     {QStringLiteral("ERROR_MESSAGE"), errorText}})
        .toJson(QJsonDocument::Compact);
}
