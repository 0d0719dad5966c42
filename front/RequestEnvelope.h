#pragma once

#include "front/KIVAutoTestGlobal.h"

#include <QByteArray>
#include <QJsonObject>
#include <QLatin1String>
#include <QString>
#include <QVector>

// The request envelope of one text message: parses the request, takes out
// "SEQ" and folds "CMD" into "cmd", and writes the replies with "SEQ" as it
// came and "ERROR" "SUCCESS". "SEQ" is echoed with the client's own text, as
// a double could not hold every whole number a client may send, as long as
// that text is strict JSON; otherwise it is written from its value.
class KIVAUTOTEST_EXPORT RequestEnvelope
{
public:
    static constexpr qint64 DefaultMaxReplySize = 64 * 1024 * 1024;

    // A top-level member of a reply written from its own text, as "SEQ"
    // is; its name is ASCII. With `isString`, the text is plain UTF-8
    // (LocalModel::PlainUtf8) written as the JSON string Qt's writer makes of
    // it, escaped as it is copied into the reply.
    struct RawMember
    {
        QLatin1String name;
        QByteArray text;
        bool isString = false;
    };

    // False when the text is not a JSON object; ErrorText() then has the
    // parser's message.
    bool Parse(const QString& message);
    const QJsonObject& Request() const { return m_request; }
    QString ErrorText() const { return m_error; }
    // The JSON text of "SEQ" for the replies, empty when the request had none
    // or null.
    const QByteArray& SeqText() const { return m_seqText; }

    // The reply text (compact JSON, UTF-8) to `answer` for a request whose
    // "SEQ" was `seqText`. An answer larger than `maxBytes` is replaced by a
    // failure "result" that says so. Each of `raw` is written in place of the
    // member of its name in `answer` (or where its name sorts to).
    static QByteArray Reply(const QJsonObject& answer, const QByteArray& seqText, bool* tooLarge = nullptr,
                            const QVector<RawMember>& raw = {}, qint64 maxBytes = DefaultMaxReplySize);
    static QByteArray FailureReply(const QString& errorText);
    // The text of an event for a request whose "SEQ" was `seqText`: like a
    // reply but without "ERROR", which speaks of replies only. An event larger
    // than `maxBytes` keeps only "EVENT" and "jobid", and a "result" that
    // says why.
    static QByteArray Event(const QJsonObject& event, const QByteArray& seqText, bool* tooLarge = nullptr,
                            qint64 maxBytes = DefaultMaxReplySize);

    static QString TooLargeText(qint64 size, qint64 limit);

private:
    static QByteArray WithSeq(const QJsonObject& envelope, const QByteArray& seqText);

    QJsonObject m_request;
    QString m_error;
    QByteArray m_seqText;
};
