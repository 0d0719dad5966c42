#pragma once

#include "platform/Debugger.h"

#include <QList>

// Captures every log record, whatever its level, while it lives.
class LogSpy
{
public:
    LogSpy();
    ~LogSpy();

    const QList<Debugger::Record>& Records() const { return m_records; }
    void Clear() { m_records.clear(); }
    // Records of one section and function whose text equals `text`.
    int Count(const QString& section, const QByteArray& function, int level, const QString& text) const;
    // Records of one section whose text starts with `prefix`.
    QList<Debugger::Record> WithPrefix(const QString& section, const QString& prefix) const;
    // All records as one text, for failure messages.
    QString Dump() const;

private:
    QList<Debugger::Record> m_records;
    Debugger::Observer m_previous;
};
