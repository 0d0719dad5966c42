// "GetAutoTestTemplate" through the host, with files in its template directory.

#include "tests/support/HostProcess.h"
#include "tests/support/TestClient.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

#include <sys/stat.h>

namespace {

// Writes each file (name -> content) into `dir`, replacing what was there.
void write(const QString& dir, const QMap<QString, QByteArray>& files)
{
    for (auto it = files.begin(); it != files.end(); ++it) {
        QFile file(dir + it.key());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(it.value());
    }
}

// "name=content" of every template the host serves, sorted.
QStringList templates(TestClient& client)
{
    QStringList found;
    for (const QJsonValue& value : client.Request({{"CMD", "GetAutoTestTemplate"}}).value("VALUE").toArray())
        found << value["name"].toString() + '=' + QJsonDocument(value["content"].toArray()).toJson(QJsonDocument::Compact);
    found.sort();
    return found;
}

} // namespace

class TstAtTplMng : public QObject
{
    Q_OBJECT

    HostProcess host;
    TestClient client;
    QString dir;

private Q_SLOTS:
    void initTestCase();
    void servesArrayFilesOnly();
    void readsOnlyBoundedRegularFiles();
};

// One host for both cases; each cleans up the files it leaves behind.
void TstAtTplMng::initTestCase()
{
    QVERIFY2(host.Start(), qPrintable(host.ErrorText()));
    QVERIFY(client.Connect(host.Url()));
    QCOMPARE(templates(client), QStringList());
    // The service made the directory; writing into it fails otherwise.
    dir = host.AppDir() + "/Data/AutoTestTpl/";
}

void TstAtTplMng::servesArrayFilesOnly()
{
    write(dir, {{"board.new.json", R"([{"step":1}])"}, {"a.json", "[1]"}, {"a.b.json", "[2]"},
                {"object.json", R"({"not":"an array"})"}, {"broken.json", "[1,"}, {"notes.txt", "[3]"}});
    QVERIFY(QDir(dir).mkdir("folder.json"));
    QCOMPARE(templates(client), (QStringList{"a=[1]", "a=[2]", R"(board=[{"step":1}])"}));
    QTRY_VERIFY(host.Stderr().contains("[1] AtTplMng AtTplMng::File2JsonObj: object.jsonIs Not A Json Array"));
    QVERIFY(host.Stderr().contains("[1] AtTplMng AtTplMng::File2JsonObj: broken.jsonParse Error: "));

    // Changes show on the next request, without a restart.
    write(dir, {{"object.json", "[4]"}});
    QFile::remove(dir + "board.new.json");
    QCOMPARE(templates(client), (QStringList{"a=[1]", "a=[2]", "object=[4]"}));
    QVERIFY(QDir(dir).removeRecursively() && QDir().mkpath(dir));
}

void TstAtTplMng::readsOnlyBoundedRegularFiles()
{
    QCOMPARE(templates(client), QStringList());

    // Links to a FIFO nobody writes to and to an endless device would stall
    // or flood the service; a link to a regular file is served.
    QVERIFY(::mkfifo(qPrintable(host.AppDir() + "/fifo"), 0600) == 0);
    QVERIFY(QFile::link(host.AppDir() + "/fifo", dir + "fifo.json"));
    QVERIFY(QFile::link("/dev/zero", dir + "zero.json"));
    QVERIFY(QFile::link(dir + "missing", dir + "dangling.json"));
    write(dir, {{"real.txt", "[5]"}});
    QVERIFY(QFile::link(dir + "real.txt", dir + "linked.json"));
    // The size limit holds to the byte: 16 MiB is read, one byte more is not.
    for (const qint64 size : {16 * 1024 * 1024LL, 16 * 1024 * 1024LL + 1}) {
        QFile file(dir + QString("size%1.json").arg(size));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[1");
        file.write(QByteArray(int(size - 3), ' '));
        file.write("]");
    }
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(templates(client), (QStringList{"linked=[5]", "size16777216=[1]"}));
    QVERIFY2(timer.elapsed() < 8000, qPrintable(QString::number(timer.elapsed())));
    const QString log = host.Stderr();
    QVERIFY2(log.contains("fifo.json is not a regular file, skipped") && log.contains("zero.json is not a regular file, skipped")
                 && log.contains("size16777217.json has 16777217 bytes, more than the limit of 16777216, skipped"),
             qPrintable(log));
}

QTEST_GUILESS_MAIN(TstAtTplMng)
#include "tst_attplmng.moc"
