#include "tests/support/PrivateAppDir.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlQuery>
#include <QStringList>
#include <QTemporaryDir>

int RunInPrivateAppDir(int argc, char* argv[])
{
    if (qEnvironmentVariableIsSet("KIV_PRIVATE_APP_DIR"))
        return -1;
    QTemporaryDir dir;
    const QString self = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    const QString copy = dir.path() + QLatin1Char('/') + QFileInfo(self).fileName();
    if (!dir.isValid() || !QFile::copy(self, copy) || !QDir(dir.path()).mkdir(QStringLiteral("Data")))
        return 2;
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("KIV_PRIVATE_APP_DIR"), dir.path());
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(copy, arguments);
    if (!child.waitForStarted(10000) || !child.waitForFinished(-1))
        return 2;
    return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : 3;
}

QStringList DatabaseRows(const QString& sql, const QVariant& value, int column)
{
    QSqlQuery query(QSqlDatabase::database(QStringLiteral("AutoTest")));
    QStringList values;
    query.prepare(sql);
    if (value.isValid())
        query.addBindValue(value);
    if (query.exec())
        while (query.next())
            values << query.value(column).toString();
    return values;
}
