#include "platform/FilterStream.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>

FilterStream::FilterStream(bool enabled)
    : m_enabled(enabled)
{
}

void FilterStream::Append(const QString& piece)
{
    if (m_enabled)
        m_text += piece;
}

FilterStream& FilterStream::operator<<(const char* text)
{
    if (m_enabled)
        m_text += QString::fromUtf8(text);
    return *this;
}

FilterStream& FilterStream::operator<<(const QString& text)
{
    Append(text);
    return *this;
}

FilterStream& FilterStream::operator<<(const QByteArray& text)
{
    if (m_enabled)
        m_text += QString::fromUtf8(text);
    return *this;
}

FilterStream& FilterStream::operator<<(int value)
{
    if (m_enabled)
        m_text += QString::number(value);
    return *this;
}

FilterStream& FilterStream::operator<<(qint64 value)
{
    if (m_enabled)
        m_text += QString::number(value);
    return *this;
}

FilterStream& FilterStream::operator<<(double value)
{
    if (m_enabled)
        m_text += QString::number(value);
    return *this;
}

FilterStream& FilterStream::operator<<(const void* pointer)
{
    if (m_enabled)
        m_text += QStringLiteral("0x") + QString::number(quintptr(pointer), 16);
    return *this;
}

FilterStream& FilterStream::operator<<(const QJsonObject& object)
{
    if (m_enabled)
        m_text += QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
    return *this;
}
