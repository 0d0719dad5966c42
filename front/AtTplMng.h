#pragma once

#include <QJsonArray>
#include <QJsonObject>

class QFileInfo;

// Serves the test templates that operators drop into Data/AutoTestTpl/.
// Nothing is cached: every request reads the directory anew.
class AtTplMng
{
public:
    // A template file larger than this is skipped with a log line.
    static constexpr qint64 MaxTemplateSize = 16 * 1024 * 1024;

    void Init();
    void GetTemplates(QJsonArray& out);
    // Reads one file: only a regular file (or a link to one) of at most
    // MaxTemplateSize bytes. A FIFO or a device would block the service or
    // feed it without end.
    static bool File2JsonObj(const QFileInfo& file, QJsonObject& out);
    // The template of one file's content, named after `fileName`.
    static bool Content2JsonObj(const QByteArray& content, const QString& fileName, QJsonObject& out);
    static QString Directory();
};
