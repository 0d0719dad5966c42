#pragma once

#include <QJsonArray>
#include <QJsonObject>

class QFileInfo;

// Serves the test templates that operators drop into Data/AutoTestTpl/.
// Nothing is cached: every request reads the directory anew.
class AtTplMng
{
public:
    void Init();
    void GetTemplates(QJsonArray& out);
    static bool File2JsonObj(const QFileInfo& file, QJsonObject& out);
    static QString Directory();
};
