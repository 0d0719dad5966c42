// Builds the Debian package of this build with cpack and reads it back:
// its control data, its maintainer scripts and what it unpacks to.

#include "tests/install/InstalledFiles.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kPrefix = QStringLiteral("/opt/kivautotest");
const QStringList kServices = {"autotest-host", "autotest-server", "controller-emulator"};

} // namespace

class TstPackage : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void control();
    void maintainerScripts();
    void contents();
    void units_data();
    void units();

private:
    QString Unpacked(const QString& path) const { return m_root.path() + path; }

    QTemporaryDir m_work;
    QTemporaryDir m_root;
    QString m_package;
    QString m_control;
};

void TstPackage::initTestCase()
{
    QVERIFY(m_work.isValid() && m_root.isValid());
    const ProgramRun run = RunProgram(QStringLiteral(KIV_CPACK_COMMAND),
        {"-G", "DEB", "--config", KIV_BUILD_DIR "/CPackConfig.cmake", "-B", m_work.path()});
    QVERIFY2(run.exitCode == 0, qPrintable(run.output));
    const QStringList packages = QDir(m_work.path()).entryList({"*.deb"}, QDir::Files);
    QVERIFY2(packages.size() == 1, qPrintable(run.output));
    m_package = m_work.filePath(packages.first());
    m_control = m_work.filePath("control");
    for (const QStringList& arguments : {QStringList{"-x", m_package, m_root.path()}, QStringList{"-e", m_package, m_control}}) {
        const ProgramRun unpack = RunProgram("dpkg-deb", arguments);
        QVERIFY2(unpack.exitCode == 0, qPrintable(unpack.output));
    }
}

void TstPackage::control()
{
    const ProgramRun info = RunProgram("dpkg-deb", {"-f", m_package, "Package", "Depends", "Architecture"});
    QVERIFY2(info.exitCode == 0, qPrintable(info.output));
    QVERIFY2(info.output.contains("Package: kivautotest"), qPrintable(info.output));
    const ProgramRun architecture = RunProgram("dpkg", {"--print-architecture"});
    QVERIFY2(info.output.contains("Architecture: " + architecture.output.trimmed()), qPrintable(info.output));
    // From dpkg-shlibdeps, plus the SQL driver that Qt loads as a plugin.
    for (const char* dependency : {"libc6", "libqt5core5a", "libqt5network5", "libqt5websockets5", "libqt5qml5",
                                   "libqt5sql5-sqlite"})
        QVERIFY2(info.output.contains(QRegularExpression(QStringLiteral("[ ,]%1[ ,(\\n]").arg(dependency))),
                 qPrintable(dependency + QStringLiteral(" missing in ") + info.output));
}

void TstPackage::maintainerScripts()
{
    for (const char* script : {"postinst", "prerm", "postrm"}) {
        const QFileInfo file(m_control + "/" + script);
        QVERIFY2(file.isExecutable(), script);
        const ProgramRun check = RunProgram("sh", {"-n", file.filePath()});
        QVERIFY2(check.exitCode == 0, qPrintable(check.output));
    }
    // The environment files are the administrator's: upgrades keep their edits.
    QFile conffiles(m_control + "/conffiles");
    QVERIFY(conffiles.open(QIODevice::ReadOnly));
    const QStringList listed = QString::fromUtf8(conffiles.readAll()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(listed.size(), kServices.size());
    for (const QString& service : kServices) {
        QVERIFY2(listed.contains("/etc/default/" + service), qPrintable(service));
        QVERIFY2(QFileInfo::exists(Unpacked("/etc/default/" + service)), qPrintable(service));
    }
}

void TstPackage::contents()
{
    // Nothing outside the package's prefix but what systemd and dpkg read.
    const ProgramRun list = RunProgram("dpkg-deb", {"-c", m_package});
    QVERIFY2(list.exitCode == 0, qPrintable(list.output));
    static const QRegularExpression entry(QStringLiteral("\\s\\./(\\S+)"));
    int files = 0;
    for (auto it = entry.globalMatch(list.output); it.hasNext(); ++files) {
        const QString path = "/" + it.next().captured(1);
        QVERIFY2(path.startsWith(kPrefix) || kPrefix.startsWith(path.chopped(path.endsWith('/') ? 1 : 0))
                     || path.startsWith("/etc/") || path == "/etc/" || path.startsWith("/lib/"),
                 qPrintable(path));
    }
    QVERIFY(files > 0);

    const ElfSearchPath host = ReadSearchPath(Unpacked(kPrefix + "/bin/autotest-host"));
    QCOMPARE(host.runpath, QString("$ORIGIN/../lib"));
    QVERIFY(QFileInfo::exists(Unpacked(kPrefix + "/lib/libkivautotest.so")));
    QVERIFY(QFileInfo(Unpacked(kPrefix + "/lib/autotest-script")).isExecutable());
    QVERIFY(QFileInfo::exists(Unpacked(kPrefix + "/share/kivautotest/console/index.html")));
    // The programs' Data/ is the services' state folder.
    QCOMPARE(QFileInfo(Unpacked(kPrefix + "/bin/Data")).symLinkTarget(), QString("/var/lib/kivautotest"));
}

void TstPackage::units_data()
{
    QTest::addColumn<QString>("service");
    for (const QString& service : kServices)
        QTest::newRow(qPrintable(service)) << service;
}

void TstPackage::units()
{
    QFETCH(QString, service);
    const QMap<QString, QString> unit = ReadAssignments(Unpacked("/lib/systemd/system/" + service + ".service"), false);
    QCOMPARE(unit.value("EnvironmentFile"), "-/etc/default/" + service);
    QString error;
    const QStringList command = ExpandedCommand(unit, m_root.path(), &error);
    QVERIFY2(!command.isEmpty(), qPrintable(error));
    QCOMPARE(command.first(), kPrefix + "/bin/" + service);
    // Paths in the options are where the package puts them, not the build's.
    for (const QString& word : command) {
        if (word.startsWith('/'))
            QVERIFY2(QFileInfo::exists(Unpacked(word)), qPrintable(word));
    }
    QCOMPARE(unit.value("User"), QString("kivautotest"));
}

QTEST_MAIN(TstPackage)
#include "tst_package.moc"
