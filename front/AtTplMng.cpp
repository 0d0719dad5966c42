#include "front/AtTplMng.h"

#include "platform/Debugger.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>

QString AtTplMng::Directory()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/Data/AutoTestTpl/");
}

void AtTplMng::Init()
{
    // Data/ exists already (the database lives there); a failure shows up
    // later as an empty template list.
    QDir(QCoreApplication::applicationDirPath() + QStringLiteral("/Data/")).mkdir(QStringLiteral("AutoTestTpl"));
}

void AtTplMng::GetTemplates(QJsonArray& out)
{
    const QDir directory(Directory());
    const QFileInfoList files =
        directory.entryInfoList({QStringLiteral("*.json")}, QDir::Files, QDir::Unsorted);
    for (const QFileInfo& file : files) {
        QJsonObject templ;
        if (File2JsonObj(file, templ))
            out.append(templ);
    }
}

bool AtTplMng::File2JsonObj(const QFileInfo& file, QJsonObject& out)
{
    QFile input(file.absoluteFilePath());
    if (!input.open(QIODevice::ReadOnly)) {
        KIV_LOG("AtTplMng", "AtTplMng::File2JsonObj", 1) << "Can't Open File " << file.fileName();
        return false;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(input.readAll(), &error);
    input.close();
    if (error.error != QJsonParseError::NoError) {
        KIV_LOG("AtTplMng", "AtTplMng::File2JsonObj", 1) << file.fileName() << "Parse Error: " << error.errorString();
        return false;
    }
    if (!document.isArray()) {
        KIV_LOG("AtTplMng", "AtTplMng::File2JsonObj", 1) << file.fileName() << "Is Not A Json Array";
        return false;
    }
    out.insert(QStringLiteral("content"), document.array());
    out.insert(QStringLiteral("name"), file.baseName());
    return true;
}
