// "GetAutoTestTemplate" through the host, with files in its template directory.

#include "tests/support/HostProcess.h"
#include "tests/support/TestClient.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

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

// Files of `dir` opened since the watch began (inotify), by name.
class OpenWatch
{
public:
    explicit OpenWatch(const QString& dir)
        : m_fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        inotify_add_watch(m_fd, QFile::encodeName(dir).constData(), IN_OPEN);
    }
    ~OpenWatch() { ::close(m_fd); }
    QStringList Opened()
    {
        QStringList names;
        alignas(inotify_event) char buffer[4096];
        for (ssize_t size; (size = ::read(m_fd, buffer, sizeof buffer)) > 0;) {
            for (char* at = buffer; at < buffer + size;) {
                const auto* event = reinterpret_cast<const inotify_event*>(at);
                // The directory's own events (it is listed) carry no name.
                if (event->len > 0)
                    names << QString::fromUtf8(event->name);
                at += sizeof(inotify_event) + event->len;
            }
        }
        return names;
    }

private:
    int m_fd;
};

// "name=content" of every template in a reply, sorted.
QStringList templatesOf(const QJsonObject& reply)
{
    QStringList found;
    for (const QJsonValue& value : reply.value("VALUE").toArray())
        found << value["name"].toString() + '=' + QJsonDocument(value["content"].toArray()).toJson(QJsonDocument::Compact);
    found.sort();
    return found;
}

// Those the host serves now.
QStringList templates(TestClient& client)
{
    return templatesOf(client.Request({{"CMD", "GetAutoTestTemplate"}}));
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
    void largeTemplatesServeEveryoneWhoAsked();
    void templatesWithinTheReplyLimit_data();
    void templatesWithinTheReplyLimit();
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
                {"object.json", R"({"not":"an array"})"}, {"broken.json", "[1,"}, {"notes.txt", "[3]"},
                {"spaced.json", "[ {\"z\": 1.50, \"a\": \"\\u00e9\\/\" } ]\n"}});
    QVERIFY(QDir(dir).mkdir("folder.json"));
    const int before = client.Replies().size();
    QCOMPARE(templates(client), (QStringList{"a=[1]", "a=[2]", R"(board=[{"step":1}])", "spaced=[{\"a\":\"\u00e9/\",\"z\":1.5}]"}));
    // Written from each file's text, the reply is still what Qt's writer makes
    // of its value: members sorted, numbers and escapes its own.
    QCOMPARE(client.Replies().at(before).toUtf8(), QJsonDocument(client.Reply(before)).toJson(QJsonDocument::Compact));
    QTRY_VERIFY(host.Stderr().contains("[1] AtTplMng AtTplMng::File2JsonObj: object.jsonIs Not A Json Array"));
    QVERIFY(host.Stderr().contains("[1] AtTplMng AtTplMng::File2JsonObj: broken.jsonParse Error: "));

    // Changes show on the next request, without a restart.
    write(dir, {{"object.json", "[4]"}});
    QFile::remove(dir + "board.new.json");
    QFile::remove(dir + "spaced.json");
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

void TstAtTplMng::largeTemplatesServeEveryoneWhoAsked()
{
    QVERIFY(QDir(dir).removeRecursively() && QDir().mkpath(dir));
    // Over a MiB together: read a file per turn of the host's event loop.
    QStringList expected;
    for (int i = 0; i < 3; ++i) {
        const QByteArray text(700 * 1024, char('a' + i));
        write(dir, {{QString("big%1.json").arg(i), "[\"" + text + "\"]"}});
        expected << QString("big%1=[\"%2\"]").arg(i).arg(QString::fromLatin1(text));
    }
    // Requests that come while a read runs are answered too, each with every template.
    TestClient other;
    QVERIFY(other.Connect(host.Url()));
    const int before = client.Replies().size();
    client.Send(QJsonObject{{"CMD", "GetAutoTestTemplate"}, {"SEQ", 1}});
    other.Send(QJsonObject{{"CMD", "GetAutoTestTemplate"}, {"SEQ", 2}});
    client.Send(QJsonObject{{"CMD", "GetAutoTestTemplate"}, {"SEQ", 3}});
    QVERIFY(client.WaitReplies(before + 2, 30000) && other.WaitReplies(1, 30000));
    // One connection's replies come in the order of its requests.
    QCOMPARE(client.Reply(before).value("SEQ").toInt(), 1);
    QCOMPARE(client.Reply(before + 1).value("SEQ").toInt(), 3);
    QCOMPARE(other.Reply(0).value("SEQ").toInt(), 2);
    for (const QJsonObject& reply : {client.Reply(before), client.Reply(before + 1), other.Reply(0)})
        QCOMPARE(templatesOf(reply), expected);
    // Written from the files' text, the reply is what Qt's writer makes of its value.
    QCOMPARE(client.Replies().at(before).toUtf8(), QJsonDocument(client.Reply(before)).toJson(QJsonDocument::Compact));
    QVERIFY(QDir(dir).removeRecursively() && QDir().mkpath(dir));
}

void TstAtTplMng::templatesWithinTheReplyLimit_data()
{
    QTest::addColumn<qint64>("total");
    QTest::addColumn<bool>("answered");
    // The files' sizes on disk, white space and all, against --max-reply-mib 1.
    QTest::newRow("at the limit") << 1048576LL << true;
    QTest::newRow("one byte over") << 1048577LL << false;
}

void TstAtTplMng::templatesWithinTheReplyLimit()
{
    QFETCH(qint64, total);
    QFETCH(bool, answered);
    HostProcess bounded;
    TestClient asker;
    QVERIFY2(bounded.Start({"--max-reply-mib", "1"}), qPrintable(bounded.ErrorText()));
    QVERIFY(asker.Connect(bounded.Url()));
    const QString files = bounded.AppDir() + "/Data/AutoTestTpl/";
    // Arrays of one number padded with spaces: small once parsed.
    const qint64 half = total / 2;
    write(files, {{"a.json", "[1" + QByteArray(int(half - 3), ' ') + "]"},
                  {"b.json", "[2" + QByteArray(int(total - half - 3), ' ') + "]"}});
    OpenWatch watch(files);
    const QJsonObject reply = asker.Request({{"CMD", "GetAutoTestTemplate"}}, 30000);
    QStringList opened = watch.Opened();
    opened.sort();
    if (answered) {
        QCOMPARE(reply.value("VALUE").toArray().size(), 2);
        QCOMPARE(opened, (QStringList{"a.json", "b.json"}));
    } else {
        QCOMPARE(reply.value("result").toString(),
                 QStringLiteral("Reply too large: about %1 bytes, more than the limit of 1048576 bytes").arg(total));
        // Refused from the sizes on disk: no file was opened.
        QCOMPARE(opened, QStringList());
    }
    QVERIFY2(bounded.Stop(), qPrintable(bounded.Stderr()));
}

QTEST_GUILESS_MAIN(TstAtTplMng)
#include "tst_attplmng.moc"
