#pragma once

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>

// The one-line JSON text of an object, as the service and its peers send it.
inline QString compact(const QJsonObject& object)
{
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

// The fields `keys` of a record (or of each record of a list), to compare the part that matters in one go.
inline QJsonObject pick(const QJsonObject& object, const QStringList& keys)
{
    QJsonObject picked;
    for (const QString& key : keys)
        if (object.contains(key))
            picked.insert(key, object.value(key));
    return picked;
}

inline QJsonArray pick(const QJsonArray& array, const QStringList& keys)
{
    QJsonArray picked;
    for (const QJsonValue& value : array)
        picked.append(pick(value.toObject(), keys));
    return picked;
}

// The JSON object a file holds; {} when it cannot be read.
inline QJsonObject readJsonFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object() : QJsonObject();
}
