#include "tests/support/LogSpy.h"

LogSpy::LogSpy()
{
    m_previous = Debugger::SetObserver([this](const Debugger::Record& record) { m_records.append(record); });
}

LogSpy::~LogSpy()
{
    Debugger::SetObserver(std::move(m_previous));
}

int LogSpy::Count(const QString& section, const QByteArray& function, int level, const QString& text) const
{
    int count = 0;
    for (const Debugger::Record& record : m_records) {
        if (record.section == section && record.function == function && record.level == level && record.text == text)
            ++count;
    }
    return count;
}

QList<Debugger::Record> LogSpy::WithPrefix(const QString& section, const QString& prefix) const
{
    QList<Debugger::Record> found;
    for (const Debugger::Record& record : m_records) {
        if (record.section == section && record.text.startsWith(prefix))
            found.append(record);
    }
    return found;
}

QString LogSpy::Dump() const
{
    QString text;
    for (const Debugger::Record& record : m_records)
        text += QStringLiteral("[%1] %2 %3: %4\n").arg(record.level).arg(record.section,
            QString::fromUtf8(record.function), record.text);
    return text;
}
