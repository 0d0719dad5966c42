#include "front/RequestEnvelope.h"

#include "base/JsonText.h"
#include "front/KIVAutoTestConfig.h"
#include "front/StrictJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

namespace {

qint64& maxReplySize()
{
    static qint64 bytes = RequestEnvelope::DefaultMaxReplySize;
    return bytes;
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
    m_seqText = JsonText::MemberText(text, QStringLiteral("SEQ"));
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

QByteArray RequestEnvelope::WithSeq(const QJsonObject& envelope, const QByteArray& seqText)
{
    return JsonText::WithMemberText(envelope, QStringLiteral("SEQ"), seqText);
}

QByteArray RequestEnvelope::FailureReply(const QString& errorText)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("ERROR"), QStringLiteral("FAILURE")},
                                     {QStringLiteral("ERROR_MESSAGE"), errorText}})
        .toJson(QJsonDocument::Compact);
}
