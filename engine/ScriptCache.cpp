#include "engine/ScriptCache.h"

namespace {

bool isLineEnd(QChar c)
{
    return c == QLatin1Char('\n') || c == QLatin1Char('\r') || c == QChar(0x2028) || c == QChar(0x2029);
}

bool isNameChar(QChar c)
{
    return c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('$');
}

// Words after which a '/' would start a regular expression rather than divide.
bool precedesExpression(const QString& word)
{
    static const QStringList words{"return", "typeof", "instanceof", "in", "of", "new", "delete", "void", "throw",
                                   "case", "do", "else", "yield", "await", "extends", "default"};
    return words.contains(word);
}

bool opensControlHead(const QString& word)
{
    return word == QLatin1String("if") || word == QLatin1String("while") || word == QLatin1String("for")
        || word == QLatin1String("with");
}

// Reads JavaScript just far enough to match brackets. Every step that meets
// something it cannot classify for certain sets `failed`.
class Reader
{
public:
    explicit Reader(const QString& text) : text(text) {}

    bool Failed() const { return failed; }
    bool AtEnd() const { return pos >= text.size(); }
    QChar Peek() const { return AtEnd() ? QChar() : text.at(pos); }

    bool Take(char c)
    {
        if (Peek() != QLatin1Char(c))
            return false;
        ++pos;
        return true;
    }

    // Skips white space and comments.
    void SkipSpace()
    {
        while (!AtEnd() && !failed) {
            const QChar c = text.at(pos);
            if (c.isSpace()) {
                ++pos;
            } else if (c == QLatin1Char('/') && pos + 1 < text.size() && text.at(pos + 1) == QLatin1Char('/')) {
                while (!AtEnd() && !isLineEnd(text.at(pos)))
                    ++pos;
            } else if (c == QLatin1Char('/') && pos + 1 < text.size() && text.at(pos + 1) == QLatin1Char('*')) {
                const int end = text.indexOf(QLatin1String("*/"), pos + 2);
                failed = end < 0;
                pos = end < 0 ? text.size() : end + 2;
            } else {
                return;
            }
        }
    }

    QString Word()
    {
        const int start = pos;
        while (!AtEnd() && isNameChar(text.at(pos)))
            ++pos;
        return text.mid(start, pos - start);
    }

    // From an opening bracket to just past its matching closing one.
    void SkipBalanced()
    {
        enum class Before { Operand, Operator, ControlHead, Block, Step };
        Before before = Before::Operator;
        QString closers;
        QList<bool> controlHeads; // one per open '(': does it close an if/while/for/with head?
        QString lastWord;
        do {
            SkipSpace();
            if (AtEnd() || failed) {
                failed = true;
                return;
            }
            const QChar c = text.at(pos);
            const bool wordBefore = before == Before::Operand && !lastWord.isEmpty();
            if (c == QLatin1Char('(') || c == QLatin1Char('[') || c == QLatin1Char('{')) {
                closers.append(c == QLatin1Char('(') ? ')' : c == QLatin1Char('[') ? ']' : '}');
                if (c == QLatin1Char('('))
                    controlHeads.append(wordBefore && opensControlHead(lastWord));
                before = Before::Operator;
                ++pos;
            } else if (c == QLatin1Char(')') || c == QLatin1Char(']') || c == QLatin1Char('}')) {
                if (closers.isEmpty() || closers.back() != c) {
                    failed = true;
                    return;
                }
                closers.chop(1);
                if (c == QLatin1Char(')'))
                    before = controlHeads.takeLast() ? Before::ControlHead : Before::Operand;
                else
                    before = c == QLatin1Char(']') ? Before::Operand : Before::Block;
                ++pos;
            } else if (c == QLatin1Char('\'') || c == QLatin1Char('"')) {
                SkipString(c);
                before = Before::Operand;
            } else if (isNameChar(c)) {
                lastWord = Word();
                // Only through `arguments` or `eval` could a body reach its own
                // function object and keep state on it between checks.
                if (lastWord == QLatin1String("arguments") || lastWord == QLatin1String("eval"))
                    failed = true;
                before = c.isDigit() || !precedesExpression(lastWord) ? Before::Operand : Before::Operator;
                if (c.isDigit())
                    lastWord.clear();
                continue;
            } else if (c == QLatin1Char('/')) {
                // Division only after an operand; in every other place it may
                // start a regular expression, whose text this does not read.
                failed = before != Before::Operand;
                before = Before::Operator;
                ++pos;
            } else if ((c == QLatin1Char('+') || c == QLatin1Char('-')) && pos + 1 < text.size()
                       && text.at(pos + 1) == c) {
                before = Before::Step;
                pos += 2;
            } else if (c == QLatin1Char('`') || c == QLatin1Char('\\')) {
                failed = true;
            } else {
                before = Before::Operator;
                ++pos;
            }
            lastWord.clear();
        } while (!closers.isEmpty() && !failed);
    }

private:
    void SkipString(QChar quote)
    {
        ++pos;
        while (!AtEnd() && text.at(pos) != quote) {
            if (text.at(pos) == QLatin1Char('\\'))
                ++pos;
            else if (isLineEnd(text.at(pos)))
                break;
            ++pos;
        }
        failed = failed || AtEnd() || text.at(pos) != quote;
        ++pos;
    }

    const QString& text;
    int pos = 0;
    bool failed = false;
};

} // namespace

bool ScriptCache::IsReusable(const QString& script)
{
    Reader reader(script);
    reader.SkipSpace();
    if (!reader.Take('('))
        return false;
    reader.SkipSpace();
    if (reader.Word() != QLatin1String("function"))
        return false;
    reader.SkipSpace();
    // A name or a '*' would make it a named function or a generator.
    if (reader.Peek() != QLatin1Char('('))
        return false;
    reader.SkipBalanced();
    reader.SkipSpace();
    if (reader.Failed() || reader.Peek() != QLatin1Char('{'))
        return false;
    reader.SkipBalanced();
    reader.SkipSpace();
    if (reader.Failed() || !reader.Take(')'))
        return false;
    reader.SkipSpace();
    reader.Take(';');
    reader.SkipSpace();
    return !reader.Failed() && reader.AtEnd();
}

void ScriptCache::Keep(const QString& script, const QJSValue& function)
{
    if (IsReusable(script))
        functions.insert(script, new QJSValue(function));
}
