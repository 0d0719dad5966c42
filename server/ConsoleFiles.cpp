#include "server/ConsoleFiles.h"

#include <QFileInfo>
#include <QHash>

ConsoleFiles::ConsoleFiles(const QString& folder)
{
    if (folder.isEmpty())
        return;
    const QFileInfo info(folder);
    if (info.isDir())
        m_folder = info.absoluteFilePath();
}

ConsoleFiles::Outcome ConsoleFiles::Resolve(const QByteArray& path, QString& file) const
{
    if (!Enabled() || !path.startsWith('/'))
        return NotFound;
    QByteArray decoded = QByteArray::fromPercentEncoding(path);
    if (decoded.contains('\0') || decoded.contains('\\'))
        return Refused;
    for (const QByteArray& segment : decoded.split('/')) {
        if (segment == "..")
            return Refused;
    }
    if (decoded.endsWith('/'))
        decoded += "index.html";
    const QString name = QString::fromUtf8(decoded);
    // Invalid UTF-8 would name another file than the bytes say.
    if (name.toUtf8() != decoded)
        return NotFound;
    const QFileInfo info(m_folder + name);
    if (!info.isFile() || !info.isReadable())
        return NotFound;
    file = info.absoluteFilePath();
    return Found;
}

QByteArray ConsoleFiles::ContentType(const QString& file)
{
    static const QHash<QString, QByteArray> types{
        {QStringLiteral("html"), "text/html; charset=utf-8"},
        {QStringLiteral("htm"), "text/html; charset=utf-8"},
        {QStringLiteral("js"), "text/javascript; charset=utf-8"},
        {QStringLiteral("mjs"), "text/javascript; charset=utf-8"},
        {QStringLiteral("css"), "text/css; charset=utf-8"},
        {QStringLiteral("json"), "application/json"},
        {QStringLiteral("map"), "application/json"},
        {QStringLiteral("txt"), "text/plain; charset=utf-8"},
        {QStringLiteral("svg"), "image/svg+xml"},
        {QStringLiteral("png"), "image/png"},
        {QStringLiteral("jpg"), "image/jpeg"},
        {QStringLiteral("jpeg"), "image/jpeg"},
        {QStringLiteral("gif"), "image/gif"},
        {QStringLiteral("ico"), "image/x-icon"},
        {QStringLiteral("woff"), "font/woff"},
        {QStringLiteral("woff2"), "font/woff2"},
    };
    return types.value(QFileInfo(file).suffix().toLower(), QByteArrayLiteral("application/octet-stream"));
}
