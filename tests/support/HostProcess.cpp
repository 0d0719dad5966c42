#include "tests/support/HostProcess.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QRegularExpression>

#include <csignal>

HostProcess::HostProcess(const QString& program)
    : m_program(program)
{
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.setStandardOutputFile(QProcess::nullDevice());
    // Tests read the host's level-2 lines ("Listening on", "AutoTestView created.").
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("KIV_LOG_LEVEL"), QStringLiteral("2"));
    m_process.setProcessEnvironment(environment);
}

HostProcess::~HostProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QString HostProcess::BinDir()
{
    return QCoreApplication::applicationDirPath();
}

void HostProcess::Launch(const QStringList& arguments)
{
    // A copy of the program makes the temporary directory its application
    // directory; the shared libraries are still found through the build's rpath.
    const QString copy = m_dir.path() + QLatin1Char('/') + m_program;
    if (!QFile::exists(copy))
        QFile::copy(BinDir() + QLatin1Char('/') + m_program, copy);
    m_stderr.clear();
    m_url.clear();
    m_process.start(copy, arguments);
}

bool HostProcess::Start(const QStringList& arguments)
{
    Launch(QStringList{QStringLiteral("--port"), QStringLiteral("0")} + arguments);
    if (!m_process.waitForStarted(10000)) {
        m_error = m_process.errorString();
        return false;
    }
    static const QRegularExpression listening(QStringLiteral("Listening on ((?:ws|http)://[^\\s]+)"));
    QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired()) {
        const QRegularExpressionMatch match = listening.match(Stderr());
        if (match.hasMatch()) {
            m_url = QUrl(match.captured(1));
            return true;
        }
        if (m_process.state() == QProcess::NotRunning)
            break;
        m_process.waitForReadyRead(100);
    }
    m_error = QStringLiteral("no 'Listening on' line; stderr:\n") + Stderr();
    return false;
}

bool HostProcess::Stop(int signal)
{
    if (m_process.state() == QProcess::NotRunning)
        return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    ::kill(pid_t(m_process.processId()), signal);
    if (!m_process.waitForFinished(30000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
        return false;
    }
    Stderr();
    return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
}

QString HostProcess::Stderr()
{
    m_stderr += m_process.readAllStandardError();
    return QString::fromUtf8(m_stderr);
}

qint64 HostProcess::StatusKb(const char* field) const
{
    QFile status(QStringLiteral("/proc/%1/status").arg(m_process.processId()));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}
