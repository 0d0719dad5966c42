#pragma once

#include <QByteArray>
#include <QString>

// The web console's static files: maps a request path to a file under one
// folder. Only regular files inside the folder are served; a path with a
// ".." segment (also percent-encoded) or a NUL byte is refused outright, so
// no spelling of a path reaches beyond the folder.
class ConsoleFiles
{
public:
    enum Outcome { Found, NotFound, Refused };

    // An empty folder serves nothing.
    explicit ConsoleFiles(const QString& folder = QString());

    bool Enabled() const { return !m_folder.isEmpty(); }
    const QString& Folder() const { return m_folder; }
    // `path` is the request target's path, still percent-encoded; "/" and
    // paths ending in "/" mean the folder's index.html.
    Outcome Resolve(const QByteArray& path, QString& file) const;
    // By the file name's extension; unknown ones are octet streams, which
    // browsers neither render nor run.
    static QByteArray ContentType(const QString& file);

private:
    QString m_folder;
};
