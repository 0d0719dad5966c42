#pragma once

// What the install and package tests read from installed files: programs'
// output, dynamic sections, systemd units and their environment files.

#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QFile>

struct ProgramRun
{
    int exitCode = -1;
    QString output; // stdout and stderr together
};

inline ProgramRun RunProgram(const QString& program, const QStringList& arguments, int timeoutMs = 120000)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    ProgramRun run;
    if (!process.waitForStarted(10000)) {
        run.output = program + QStringLiteral(": ") + process.errorString();
        return run;
    }
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
    }
    run.output = QString::fromLocal8Bit(process.readAll());
    if (process.exitStatus() == QProcess::NormalExit)
        run.exitCode = process.exitCode();
    return run;
}

// The DT_RUNPATH and DT_RPATH entries of an ELF file, as readelf shows them.
struct ElfSearchPath
{
    QString runpath;
    QString rpath;
    QString error;
};

inline ElfSearchPath ReadSearchPath(const QString& file)
{
    ElfSearchPath path;
    const ProgramRun run = RunProgram(QStringLiteral("readelf"), {QStringLiteral("-d"), file});
    if (run.exitCode != 0) {
        path.error = run.output;
        return path;
    }
    static const QRegularExpression entry(QStringLiteral("\\((RUNPATH|RPATH)\\)\\s+Library r(?:un)?path: \\[([^\\]]*)\\]"));
    for (auto it = entry.globalMatch(run.output); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        (match.captured(1) == QLatin1String("RUNPATH") ? path.runpath : path.rpath) = match.captured(2);
    }
    return path;
}

// "Key=value" lines of a unit (the last one wins) or an environment file
// (whose values lose their double quotes).
inline QMap<QString, QString> ReadAssignments(const QString& file, bool unquote)
{
    QMap<QString, QString> values;
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly | QIODevice::Text))
        return values;
    for (const QString& raw : QString::fromUtf8(in.readAll()).split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        const int equals = line.indexOf(QLatin1Char('='));
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')) || line.startsWith(QLatin1Char('[')) || equals <= 0)
            continue;
        QString value = line.mid(equals + 1).trimmed();
        if (unquote && value.size() >= 2 && value.startsWith(QLatin1Char('"')) && value.endsWith(QLatin1Char('"')))
            value = value.mid(1, value.size() - 2);
        values.insert(line.left(equals).trimmed(), value);
    }
    return values;
}

// A unit's command line with its $VARIABLES taken from its environment file
// (at `root` + the file's path), split as systemd splits an unbraced $VAR.
inline QStringList ExpandedCommand(const QMap<QString, QString>& unit, const QString& root, QString* error)
{
    QString environmentFile = unit.value(QStringLiteral("EnvironmentFile"));
    if (environmentFile.startsWith(QLatin1Char('-')))
        environmentFile.remove(0, 1);
    if (!QFile::exists(root + environmentFile)) {
        *error = QStringLiteral("no environment file ") + root + environmentFile;
        return {};
    }
    const QMap<QString, QString> environment = ReadAssignments(root + environmentFile, true);
    QStringList command;
    for (const QString& word : unit.value(QStringLiteral("ExecStart")).split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!word.startsWith(QLatin1Char('$'))) {
            command << word;
            continue;
        }
        if (!environment.contains(word.mid(1))) {
            *error = word + QStringLiteral(" is not set in ") + environmentFile;
            return {};
        }
        command << environment.value(word.mid(1)).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    }
    return command;
}
