#include "base/JsonText.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>

namespace {

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

namespace JsonText {

QByteArray MemberText(const QByteArray& json, const QString& key)
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

QByteArray WithMemberText(QJsonObject object, const QString& key, const QByteArray& rawText)
{
    if (rawText.isEmpty())
        return QJsonDocument(object).toJson(QJsonDocument::Compact);
    // A marker no message holds stands in for the member, so that it keeps
    // its sorted place; its text is then swapped for the raw one.
    static const QString marker = QStringLiteral("\x01raw-%1\x01").arg(QRandomGenerator::global()->generate64());
    object.insert(key, marker);
    QByteArray text = QJsonDocument(object).toJson(QJsonDocument::Compact);
    const QByteArray name = QJsonDocument(QJsonArray{key}).toJson(QJsonDocument::Compact).mid(1).chopped(1) + ':';
    const QByteArray quoted = name + QJsonDocument(QJsonArray{marker}).toJson(QJsonDocument::Compact).mid(1).chopped(1);
    const int at = text.indexOf(quoted);
    if (at >= 0)
        text.replace(at + name.size(), quoted.size() - name.size(), rawText);
    return text;
}

qint64 StringBytes(const QByteArray& utf8)
{
    qint64 bytes = 2 + utf8.size();
    for (const char c : utf8) {
        if (c == '"' || c == '\\' || c == '\b' || c == '\f' || c == '\n' || c == '\r' || c == '\t')
            bytes += 1;
        else if (uchar(c) < 0x20)
            bytes += 5;
    }
    return bytes;
}

QByteArray Compact(const QByteArray& json)
{
    QByteArray out;
    out.reserve(json.size());
    for (int i = 0; i < json.size();) {
        if (json.at(i) == '"') {
            const int end = skipString(json, i);
            out += json.mid(i, end - i);
            i = end;
            continue;
        }
        const int next = skipSpace(json, i);
        if (next == i)
            out += json.at(i++);
        else
            i = next;
    }
    return out;
}

QString WithMembers(const QString& request, const QStringList& members)
{
    if (members.isEmpty())
        return request;
    const int brace = request.indexOf(QLatin1Char('{'));
    return request.left(brace + 1) + members.join(QLatin1Char(',')) + QLatin1Char(',') + request.mid(brace + 1);
}

bool StripVerdicts(QJsonObject& object)
{
    const QString key = QStringLiteral("verdict");
    bool changed = object.contains(key);
    object.remove(key);
    for (const QString& nested : {QStringLiteral("VALUE"), QStringLiteral("tc")}) {
        if (!object.value(nested).isObject())
            continue;
        QJsonObject inner = object.value(nested).toObject();
        bool innerChanged = inner.contains(key);
        inner.remove(key);
        QJsonArray tcs = inner.value(QStringLiteral("tcs")).toArray();
        for (int i = 0; i < tcs.size(); ++i) {
            QJsonObject entry = tcs.at(i).toObject();
            if (entry.contains(key)) {
                entry.remove(key);
                tcs.replace(i, entry);
                innerChanged = true;
            }
        }
        if (innerChanged) {
            if (inner.value(QStringLiteral("tcs")).isArray())
                inner.insert(QStringLiteral("tcs"), tcs);
            object.insert(nested, inner);
            changed = true;
        }
    }
    return changed;
}

} // namespace JsonText
