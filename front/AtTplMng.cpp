#include "front/AtTplMng.h"

#include "platform/Debugger.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonParseError>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
    // Opened without blocking and checked on the open descriptor, so that
    // what is read is what was checked, even if the entry changes meanwhile.
    const int fd = ::open(QFile::encodeName(file.absoluteFilePath()).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        KIV_LOG("AtTplMng", "AtTplMng::File2JsonObj", 1) << "Can't Open File " << file.fileName();
        return false;
    }
    QFile input;
    input.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        KIV_LOG("AtTplMng", "AtTplMng::File2JsonObj", 1) << file.fileName() << " is not a regular file, skipped";
        return false;
    }
    if (status.st_size > MaxTemplateSize) {
        KIV_LOG("AtTplMng", "AtTplMng::File2JsonObj", 1)
            << file.fileName() << " has " << qint64(status.st_size) << " bytes, more than the limit of " << MaxTemplateSize
            << ", skipped";
        return false;
    }
    // The size may have grown since fstat; never read past the limit.
    const QByteArray content = input.read(MaxTemplateSize + 1);
    if (content.size() > MaxTemplateSize) {
        KIV_LOG("AtTplMng", "AtTplMng::File2JsonObj", 1) << file.fileName() << " grew past the size limit, skipped";
        return false;
    }
    return Content2JsonObj(content, file.fileName(), out);
}

bool AtTplMng::Content2JsonObj(const QByteArray& content, const QString& fileName, QJsonObject& out)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(content, &error);
    if (error.error != QJsonParseError::NoError) {
        KIV_LOG("AtTplMng", "AtTplMng::File2JsonObj", 1) << fileName << "Parse Error: " << error.errorString();
        return false;
    }
    if (!document.isArray()) {
        KIV_LOG("AtTplMng", "AtTplMng::File2JsonObj", 1) << fileName << "Is Not A Json Array";
        return false;
    }
    out.insert(QStringLiteral("content"), document.array());
    // The name is the file name up to its first dot.
    out.insert(QStringLiteral("name"), fileName.section(QLatin1Char('.'), 0, 0));
    return true;
}
