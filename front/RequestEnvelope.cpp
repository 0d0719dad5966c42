#include "front/RequestEnvelope.h"

#include "base/JsonText.h"
#include "front/KIVAutoTestConfig.h"
#include "front/StrictJson.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace {

using RawMember = RequestEnvelope::RawMember;

// Index just past the string of compact JSON `text` that starts at `at`
// (its quote).
int skipString(const QByteArray& text, int at)
{
    const char* data = text.constData();
    for (int from = at + 1;;) {
        const void* quote = std::memchr(data + from, '"', size_t(text.size() - from));
        if (!quote)
            return text.size();
        const int end = int(static_cast<const char*>(quote) - data);
        int backslashes = 0;
        while (end - backslashes - 1 > at && data[end - backslashes - 1] == '\\')
            ++backslashes;
        if (backslashes % 2 == 0)
            return end + 1;
        from = end + 1;
    }
}

// Index just past the value of compact JSON `text` that starts at `at`.
int skipValue(const QByteArray& text, int at)
{
    int depth = 0;
    for (int i = at; i < text.size();) {
        const char c = text.at(i);
        if (c == '"') {
            i = skipString(text, i);
            if (depth == 0)
                return i;
            continue;
        }
        if (c == '{' || c == '[') {
            ++depth;
        } else if (c == '}' || c == ']') {
            if (depth == 0)
                return i;
            if (--depth == 0)
                return i + 1;
        } else if (depth == 0 && c == ',') {
            return i;
        }
        ++i;
    }
    return text.size();
}

// How the key written at text[from, to) (quotes included) sorts against an
// ASCII `name`, as QJsonObject sorts its keys (by UTF-16 code units). A key
// without escapes compares by its UTF-8 bytes: it differs from an ASCII name
// first where one of them is ASCII, and there both orders agree.
int compareKey(const QByteArray& text, int from, int to, QLatin1String name)
{
    const char* key = text.constData() + from + 1;
    const int size = to - from - 2;
    if (std::memchr(key, '\\', size_t(size))) {
        const QString decoded = QJsonDocument::fromJson("[" + text.mid(from, to - from) + "]").array().at(0).toString();
        return decoded.compare(name);
    }
    const int common = qMin(size, name.size());
    const int order = std::memcmp(key, name.data(), size_t(common));
    return order != 0 ? order : size - name.size();
}

// Writes `utf8` as a JSON string at `out`, which has JsonText::StringBytes() room;
// returns the end.
char* writeJsonString(char* out, const QByteArray& utf8)
{
    static const char hex[] = "0123456789abcdef";
    *out++ = '"';
    for (const char c : utf8) {
        if (uchar(c) >= 0x20 && c != '"' && c != '\\') {
            *out++ = c;
            continue;
        }
        *out++ = '\\';
        switch (c) {
        case '"': *out++ = '"'; break;
        case '\\': *out++ = '\\'; break;
        case '\b': *out++ = 'b'; break;
        case '\f': *out++ = 'f'; break;
        case '\n': *out++ = 'n'; break;
        case '\r': *out++ = 'r'; break;
        case '\t': *out++ = 't'; break;
        default:
            *out++ = 'u';
            *out++ = '0';
            *out++ = '0';
            *out++ = hex[uchar(c) >> 4];
            *out++ = hex[uchar(c) & 0xf];
        }
    }
    *out++ = '"';
    return out;
}

// `object` as compact JSON with each of `members` (in the order of their
// names) written as its own text, in the place its name sorts to, and in
// place of a member of that name. Written from the object's own text: a copy
// of the object to insert them into would cost as much as the object, which
// may be the bulk of a large reply. Only the members sorting before the last
// name are walked, and the lower-case keys of replies all sort after it.
QByteArray withRawMembers(const QJsonObject& object, const QVector<RawMember>& members)
{
    const QByteArray text = QJsonDocument(object).toJson(QJsonDocument::Compact);
    // A member's text goes in between `before` and `after`, in place of
    // `removed` bytes at `at`; it is copied only into the reply itself.
    struct Edit
    {
        int at;
        int removed;
        QByteArray before;
        const RawMember* member;
        QByteArray after;
    };
    QVector<Edit> edits;
    int at = 1; // just past the opening brace
    bool first = true;
    for (const RawMember& member : members) {
        const QByteArray name = '"' + QByteArray(member.name.data(), member.name.size()) + "\":";
        for (;;) {
            if (at >= text.size() - 1 || text.at(at) != '"') {
                // No key sorts after it: the member goes last.
                edits.append({at, 0, first ? name : ',' + name, &member, QByteArray()});
                first = false;
                break;
            }
            const int keyEnd = skipString(text, at);
            const int order = compareKey(text, at, keyEnd, member.name);
            if (order >= 0) {
                if (order == 0)
                    edits.append({at, skipValue(text, keyEnd + 1) - at, name, &member, QByteArray()});
                else
                    edits.append({at, 0, name, &member, QByteArrayLiteral(",")});
                break;
            }
            at = skipValue(text, keyEnd + 1);
            if (at < text.size() && text.at(at) == ',')
                ++at;
            first = false;
        }
    }
    // Written once at its final size.
    const auto written = [](const RawMember& member) {
        return member.isString ? JsonText::StringBytes(member.text) : qint64(member.text.size());
    };
    qint64 size = text.size();
    for (const Edit& edit : qAsConst(edits))
        size += edit.before.size() + written(*edit.member) + edit.after.size() - edit.removed;
    QByteArray reply(int(size), Qt::Uninitialized);
    char* out = reply.data();
    const auto copy = [&out](const char* from, int count) {
        std::memcpy(out, from, size_t(count));
        out += count;
    };
    int from = 0;
    for (const Edit& edit : qAsConst(edits)) {
        copy(text.constData() + from, edit.at - from);
        copy(edit.before.constData(), edit.before.size());
        if (edit.member->isString)
            out = writeJsonString(out, edit.member->text);
        else
            copy(edit.member->text.constData(), edit.member->text.size());
        copy(edit.after.constData(), edit.after.size());
        from = edit.at + edit.removed;
    }
    copy(text.constData() + from, text.size() - from);
    return reply;
}

} // namespace

QString RequestEnvelope::TooLargeText(qint64 size, qint64 limit)
{
    return QStringLiteral("Reply too large: about %1 bytes, more than the limit of %2 bytes").arg(size).arg(limit);
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

QByteArray RequestEnvelope::Reply(const QJsonObject& answer, const QByteArray& seqText, bool* tooLarge,
                                  const QVector<RawMember>& raw, qint64 maxBytes)
{
    // Written out whole before it is measured: the text is about the size of
    // the answer already held, and walking the answer to estimate its size
    // cost a third as much as writing it. Reads that could make an answer
    // too large measure what they read before they build it (LocalModel's
    // read limit, the template store).
    QVector<RawMember> members{{QLatin1String("ERROR"), QByteArrayLiteral("\"SUCCESS\"")}};
    if (!seqText.isEmpty())
        members.append({QLatin1String("SEQ"), seqText});
    members += raw;
    std::sort(members.begin(), members.end(), [](const RawMember& a, const RawMember& b) {
        return std::string_view(a.name.data(), size_t(a.name.size())) < std::string_view(b.name.data(), size_t(b.name.size()));
    });
    QByteArray text = withRawMembers(answer, members);
    const bool refused = text.size() > maxBytes;
    if (tooLarge)
        *tooLarge = refused;
    if (!refused)
        return text;
    const qint64 size = text.size();
    text.clear();
    QJsonObject envelope{{QStringLiteral("result"), TooLargeText(size, maxBytes)}, {QStringLiteral("ERROR"), QStringLiteral("SUCCESS")}};
    if (answer.contains(QStringLiteral("cmd")))
        envelope.insert(QStringLiteral("cmd"), answer.value(QStringLiteral("cmd")));
    return WithSeq(envelope, seqText);
}

QByteArray RequestEnvelope::Event(const QJsonObject& event, const QByteArray& seqText, bool* tooLarge, qint64 maxBytes)
{
    QByteArray text = WithSeq(event, seqText);
    const bool refused = text.size() > maxBytes;
    if (tooLarge)
        *tooLarge = refused;
    if (!refused)
        return text;
    const qint64 size = text.size();
    text.clear();
    // Whoever waits for the event still learns that it came, and why it is empty.
    return WithSeq({{QStringLiteral("EVENT"), event.value(QStringLiteral("EVENT"))},
                    {QStringLiteral("jobid"), event.value(QStringLiteral("jobid"))},
                    {QStringLiteral("result"), TooLargeText(size, maxBytes)}},
                   seqText);
}

QByteArray RequestEnvelope::WithSeq(const QJsonObject& envelope, const QByteArray& seqText)
{
    if (seqText.isEmpty())
        return QJsonDocument(envelope).toJson(QJsonDocument::Compact);
    return withRawMembers(envelope, {{QLatin1String("SEQ"), seqText}});
}

QByteArray RequestEnvelope::FailureReply(const QString& errorText)
{
    return QJsonDocument(QJsonObject{{QStringLiteral("ERROR"), QStringLiteral("FAILURE")},
                                     {QStringLiteral("ERROR_MESSAGE"), errorText}})
        .toJson(QJsonDocument::Compact);
}
