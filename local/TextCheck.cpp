#include "local/TextCheck.h"

#include "local/DBT_Job.h"
#include "local/DBT_Plan.h"
#include "local/DBT_Testcase.h"

#include <initializer_list>
#include <utility>

namespace {

// The place of the first character that cannot be stored, or -1.
int firstBad(const QString& text)
{
    const int size = text.size();
    for (int i = 0; i < size; ++i) {
        const QChar c = text.at(i);
        if (c.unicode() == 0)
            return i;
        if (c.isHighSurrogate() && i + 1 < size && text.at(i + 1).isLowSurrogate()) {
            ++i;
            continue;
        }
        if (c.isSurrogate())
            return i;
    }
    return -1;
}

QString refusal(std::initializer_list<std::pair<const char*, const QString*>> fields)
{
    for (const auto& field : fields) {
        const QString problem = TextCheck::Problem(*field.second);
        if (!problem.isEmpty())
            return QStringLiteral("%1 holds %2; nothing was stored").arg(QLatin1String(field.first), problem);
    }
    return QString();
}

} // namespace

namespace TextCheck {

QString Problem(const QString& text)
{
    const int at = firstBad(text);
    if (at < 0)
        return QString();
    if (text.at(at).unicode() == 0)
        return QStringLiteral("a NUL character");
    return QStringLiteral("an unpaired surrogate (U+%1)").arg(QString::number(text.at(at).unicode(), 16).toUpper());
}

QString Refusal(const DBT_Testcase& tc)
{
    return refusal({{"title", &tc.title}, {"path", &tc.path}, {"author", &tc.author}, {"remark", &tc.remark}, {"hw", &tc.hw},
                    {"sw", &tc.sw}, {"constraints", &tc.constraints}, {"tags", &tc.tags}, {"content", &tc.content}});
}

QString Refusal(const DBT_Plan& plan)
{
    return refusal({{"name", &plan.name}, {"author", &plan.author}, {"remark", &plan.remark}, {"tags", &plan.tag},
                    {"content", &plan.content}});
}

QString Refusal(const DBT_Job& job)
{
    return refusal({{"starter", &job.starter}});
}

QString Storable(const QString& text)
{
    if (firstBad(text) < 0)
        return text;
    QString clean = text;
    const int size = clean.size();
    for (int i = 0; i < size; ++i) {
        const QChar c = clean.at(i);
        if (c.isHighSurrogate() && i + 1 < size && clean.at(i + 1).isLowSurrogate()) {
            ++i;
            continue;
        }
        if (c.unicode() == 0 || c.isSurrogate())
            clean[i] = QChar(QChar::ReplacementCharacter);
    }
    return clean;
}

} // namespace TextCheck
