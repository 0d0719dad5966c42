#pragma once

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QUrl>

// Runs a program of the build (by default autotest-host) from a directory of
// its own, so that every test gets a fresh application directory and Data/.
class HostProcess
{
public:
    explicit HostProcess(const QString& program = QStringLiteral("autotest-host"));
    ~HostProcess();

    // Starts with `--port 0` plus `arguments` and waits for the "Listening on"
    // line; false with the reason in ErrorText() otherwise.
    bool Start(const QStringList& arguments = {});
    // Starts without waiting for anything.
    void Launch(const QStringList& arguments);
    // Sends `signal` and waits for the exit; true when it exited with status 0.
    bool Stop(int signal = 15);

    QUrl Url() const { return m_url; }
    // For a controller-emulator that runs: the host's option that points at it.
    QStringList ControllerOption() const { return {QStringLiteral("--controller"), m_url.toString()}; }
    QString AppDir() const { return m_dir.path(); }
    QString Stderr();
    QString ErrorText() const { return m_error; }
    QProcess& Process() { return m_process; }
    // A "kB" line of the running program's /proc status, such as "VmRSS"
    // (resident now) or "VmHWM" (peak resident); -1 when it cannot be read.
    qint64 StatusKb(const char* field) const;
    static QString BinDir();

private:
    QTemporaryDir m_dir;
    QString m_program;
    QProcess m_process;
    QByteArray m_stderr;
    QUrl m_url;
    QString m_error;
};
