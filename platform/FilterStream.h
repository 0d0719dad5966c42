#pragma once

#include "platform/DebuggerGlobal.h"

#include <QString>

class QByteArray;
class QJsonObject;

// Collects the pieces of one log record. A disabled stream ignores everything
// streamed into it, so records below the threshold cost no formatting.
class KIVDEBUGGER_EXPORT FilterStream
{
public:
    explicit FilterStream(bool enabled);

    bool IsEnabled() const { return m_enabled; }
    const QString& Text() const { return m_text; }
    void Append(const QString& piece);

    FilterStream& operator<<(const char* text);
    FilterStream& operator<<(const QString& text);
    FilterStream& operator<<(const QByteArray& text);
    FilterStream& operator<<(int value);
    FilterStream& operator<<(qint64 value);
    FilterStream& operator<<(double value);
    FilterStream& operator<<(const void* pointer);
    FilterStream& operator<<(const QJsonObject& object);

private:
    bool m_enabled;
    QString m_text;
};
