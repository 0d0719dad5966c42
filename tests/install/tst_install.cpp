// Installs this build into a temporary prefix and runs the services from
// there, as their systemd units would start them.

#include "tests/install/InstalledFiles.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QtTest>

#include <csignal>

namespace {

const QStringList kPrograms = {"autotest-host", "autotest-server", "autotest-client", "controller-emulator"};
const QStringList kLibraries = {"libkivautotest.so", "libkivdebugger.so", "libkivwebsocketserver.so"};
const QStringList kServices = {"autotest-host", "autotest-server", "controller-emulator"};

// Sends one text message and waits for the first answer.
QJsonObject Ask(const QUrl& url, const QJsonObject& request)
{
    QWebSocket socket;
    QSignalSpy connected(&socket, &QWebSocket::connected);
    QSignalSpy received(&socket, &QWebSocket::textMessageReceived);
    socket.open(url);
    if (!connected.wait(10000))
        return {};
    socket.sendTextMessage(QString::fromUtf8(QJsonDocument(request).toJson(QJsonDocument::Compact)));
    if (!received.wait(10000))
        return {};
    return QJsonDocument::fromJson(received.first().first().toString().toUtf8()).object();
}

} // namespace

class TstInstall : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void layout();
    void searchPaths_data();
    void searchPaths();
    void units_data();
    void units();
    void servicesRunFromThePrefix_data();
    void servicesRunFromThePrefix();

private:
    QString Installed(const QString& relative) const { return m_prefix.path() + QLatin1Char('/') + relative; }

    QTemporaryDir m_prefix;
};

void TstInstall::initTestCase()
{
    QVERIFY(m_prefix.isValid());
    const ProgramRun run = RunProgram(QStringLiteral(KIV_CMAKE_COMMAND),
                                      {"--install", KIV_BUILD_DIR, "--prefix", m_prefix.path()});
    QVERIFY2(run.exitCode == 0, qPrintable(run.output));
}

void TstInstall::layout()
{
    for (const QString& program : kPrograms)
        QVERIFY2(QFileInfo(Installed("bin/" + program)).isExecutable(), qPrintable(program));
    for (const QString& library : kLibraries)
        QVERIFY2(QFileInfo::exists(Installed("lib/" + library)), qPrintable(library));
    // The service library starts it from its own folder.
    QVERIFY(QFileInfo(Installed("lib/autotest-script")).isExecutable());
    QVERIFY(QFileInfo::exists(Installed("share/kivautotest/console/index.html")));
    QVERIFY(QFileInfo::exists(Installed("share/kivautotest/examples/device-template.json")));
    for (const QString& service : kServices) {
        QVERIFY2(QFileInfo::exists(Installed("lib/systemd/system/" + service + ".service")), qPrintable(service));
        QVERIFY2(QFileInfo::exists(Installed("etc/default/" + service)), qPrintable(service));
    }
    // Data/ is made by the programs at run time, not by the install.
    QVERIFY(!QFileInfo::exists(Installed("bin/Data")));
}

void TstInstall::searchPaths_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("runpath");
    for (const QString& program : kPrograms)
        QTest::newRow(qPrintable(program)) << "bin/" + program << "$ORIGIN/../lib";
    for (const QString& library : kLibraries)
        QTest::newRow(qPrintable(library)) << "lib/" + library << "$ORIGIN";
    QTest::newRow("autotest-script") << "lib/autotest-script" << "$ORIGIN";
}

void TstInstall::searchPaths()
{
    QFETCH(QString, file);
    QFETCH(QString, runpath);
    const ElfSearchPath path = ReadSearchPath(Installed(file));
    QVERIFY2(path.error.isEmpty(), qPrintable(path.error));
    QCOMPARE(path.runpath, runpath);
    // DT_RPATH would win over LD_LIBRARY_PATH; the build's folder must be gone.
    QCOMPARE(path.rpath, QString());
}

void TstInstall::units_data()
{
    QTest::addColumn<QString>("service");
    for (const QString& service : kServices)
        QTest::newRow(qPrintable(service)) << service;
}

// Each unit starts the installed program with the options of its installed
// environment file, and every file those options name is installed too.
void TstInstall::units()
{
    QFETCH(QString, service);
    const QMap<QString, QString> unit = ReadAssignments(Installed("lib/systemd/system/" + service + ".service"), false);
    QCOMPARE(unit.value("EnvironmentFile"), "-" + Installed("etc/default/" + service));
    QCOMPARE(unit.value("WantedBy"), QString("multi-user.target"));
    QString error;
    const QStringList command = ExpandedCommand(unit, QString(), &error);
    QVERIFY2(!command.isEmpty(), qPrintable(error));
    QCOMPARE(command.first(), Installed("bin/" + service));
    for (const QString& word : command.mid(1)) {
        if (word.startsWith(QLatin1Char('/')))
            QVERIFY2(word.startsWith(m_prefix.path()) && QFileInfo::exists(word), qPrintable(word));
    }
    QVERIFY(command.contains("--port"));
}

void TstInstall::servicesRunFromThePrefix_data()
{
    units_data();
}

// Started as its unit starts it, on a free port: it answers, loads our
// libraries from the prefix and stops cleanly on SIGTERM.
void TstInstall::servicesRunFromThePrefix()
{
    QFETCH(QString, service);
    QString error;
    QStringList command = ExpandedCommand(
        ReadAssignments(Installed("lib/systemd/system/" + service + ".service"), false), QString(), &error);
    QVERIFY2(!command.isEmpty(), qPrintable(error));
    const int port = command.indexOf("--port");
    QVERIFY(port > 0 && port + 1 < command.size());
    command[port + 1] = "0";

    QProcess process;
    process.setWorkingDirectory(QDir::rootPath());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("KIV_LOG_LEVEL", "2");
    environment.remove("LD_LIBRARY_PATH");
    process.setProcessEnvironment(environment);
    process.setStandardOutputFile(QProcess::nullDevice());
    // What waitForReadyRead() waits for.
    process.setReadChannel(QProcess::StandardError);
    process.start(command.first(), command.mid(1));
    QVERIFY2(process.waitForStarted(10000), qPrintable(process.errorString()));

    QString log;
    static const QRegularExpression listening(QStringLiteral("Listening on ((?:ws|http)://[^\\s]+)"));
    QRegularExpressionMatch match;
    for (QDeadlineTimer deadline(30000); !deadline.hasExpired() && !match.hasMatch();) {
        process.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        log += QString::fromLocal8Bit(process.readAllStandardError());
        match = listening.match(log);
        if (process.state() == QProcess::NotRunning)
            break;
    }
    QVERIFY2(match.hasMatch(), qPrintable(log));
    QUrl url(match.captured(1));

    QFile maps(QStringLiteral("/proc/%1/maps").arg(process.processId()));
    QVERIFY(maps.open(QIODevice::ReadOnly));
    const QString mapped = QString::fromLocal8Bit(maps.readAll());
    static const QRegularExpression ours(QStringLiteral("\\s(/\\S*/libkiv\\w*\\.so)$"), QRegularExpression::MultilineOption);
    int loaded = 0;
    for (auto it = ours.globalMatch(mapped); it.hasNext(); ++loaded) {
        const QString library = it.next().captured(1);
        QVERIFY2(library.startsWith(Installed("lib/")), qPrintable(library));
    }
    QVERIFY(loaded > 0);

    if (service == "autotest-host") {
        const QJsonObject reply = Ask(url, {{"CMD", "get_state"}, {"SEQ", 1}});
        QCOMPARE(reply.value("ERROR").toString(), QString("SUCCESS"));
        QCOMPARE(reply.value("result").toString(), QString("ok"));
        QCOMPARE(reply.value("SEQ").toInt(), 1);
        // Its data beside it, as in the build tree.
        QVERIFY(QFileInfo(Installed("bin/Data")).isDir());
    } else if (service == "controller-emulator") {
        // The template the environment file names is the one it serves.
        url.setPath("/controller/auto_test/bench-01");
        const QJsonObject reply = Ask(url, {{"CMD", "EnterAutoTest"}, {"SEQ", "1"}, {"VALUE", 1}});
        QCOMPARE(reply.value("ERROR").toString(), QString("SUCCESS"));
        QVERIFY(!reply.value("VALUE").toObject().value("MODULES").toArray().isEmpty());
    } else {
        QVERIFY2(log.contains("Console " + Installed("share/kivautotest/console")), qPrintable(log));
        QNetworkAccessManager network;
        url.setPath("/index.html");
        QNetworkReply* page = network.get(QNetworkRequest(url));
        QSignalSpy finished(page, &QNetworkReply::finished);
        QVERIFY(finished.wait(10000));
        QCOMPARE(page->error(), QNetworkReply::NoError);
        QFile index(Installed("share/kivautotest/console/index.html"));
        QVERIFY(index.open(QIODevice::ReadOnly));
        QCOMPARE(page->readAll(), index.readAll());
        delete page;
    }

    ::kill(pid_t(process.processId()), SIGTERM);
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
}

QTEST_MAIN(TstInstall)
#include "tst_install.moc"
