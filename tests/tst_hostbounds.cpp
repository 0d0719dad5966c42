// Memory and load bounds of the host, each against the attack it answers:
// replies that amplify a small request, peers that do not read, readers
// faster than their replies drain, frames that never end, and a process out
// of file descriptors.

#include "front/RequestEnvelope.h"
#include "tests/support/HostProcess.h"
#include "tests/support/JsonTools.h"
#include "tests/support/RawPeer.h"
#include "tests/support/RefusingPort.h"
#include "tests/support/TestClient.h"

#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

#include <unistd.h>

namespace {

// How long a peer may take nothing of its replies (WebSocketHandler).
constexpr int WebSocketGraceMs = 5000;
const qint64 kMiB = 1024 * 1024;

// CPU time (user + system, in clock ticks) the process has used so far.
qint64 cpuTicks(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = stat.readAll().split(')').value(1).trimmed().split(' ');
    return fields.value(11).toLongLong() + fields.value(12).toLongLong();
}

} // namespace

class TstHostBounds : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void repliesAreBounded();
    void replyBoundAtItsEdge_data();
    void replyBoundAtItsEdge();
    void recordsOverTheBound_data();
    void recordsOverTheBound();
    void hostFramesReadByClients();
    void fastReaderIsPausedNotDropped();
    void nonReadersAndEndlessFramesAreDropped();
    void runningOutOfDescriptorsPausesAccepting();

private:
    // Gives test case `id` (stored by StartWithTestcases) a new content.
    static QString StoreContent(TestClient& client, int id, const QString& content)
    {
        return client.Request({{"CMD", "update_tc"}, {"testcaseid", id},
                               {"attrs", QJsonObject{{"title", "big"}, {"path", "big"}, {"content", content}}}}, 30000)
            .value("result").toString();
    }
    // A local-mode host holding `count` test cases of `size` bytes of content each.
    bool StartWithTestcases(HostProcess& host, TestClient& client, const QStringList& arguments, int count, int size)
    {
        if (!host.Start(arguments) || !client.Connect(host.Url()))
            return false;
        client.Request({{"CMD", "switch_state"}, {"state", "local"}});
        for (int i = 0; i < count; ++i) {
            const QJsonObject added = client.Request(
                {{"CMD", "add_tc"}, {"testcase", QJsonObject{{"title", "big"}, {"path", "big"}, {"content", QString(size, 'c')}}}},
                30000);
            if (added.value("result").toString() != QLatin1String("ok"))
                return false;
        }
        return true;
    }
};

void TstHostBounds::repliesAreBounded()
{
    HostProcess host;
    TestClient client;
    QVERIFY(StartWithTestcases(host, client, {"--max-reply-mib", "1"}, 4, 300 * 1024));
    const QString tooLarge = "Reply too large: the test cases come to more than 1048576 bytes";
    const QJsonObject plan = client.Request({{"CMD", "create_plan"}, {"name", "p"}});
    const int planId = plan.value("planid").toInt();
    // Three copies fit, four do not, and a list too large to answer with is not stored;
    // the same request on and on amplifies nothing.
    QCOMPARE(client.Request({{"CMD", "sync_plan"}, {"planid", planId}, {"tclist", QJsonArray{1, 2, 3}}}).value("data").toArray().size(), 3);
    QCOMPARE(client.Request({{"CMD", "sync_plan"}, {"planid", planId}, {"tclist", QJsonArray{1, 1, 1, 1}}}).value("result").toString(), tooLarge);
    QCOMPARE(client.Request({{"CMD", "plan_tcs"}, {"planid", planId}}).value("data").toArray().size(), 3);
    QCOMPARE(client.Request({{"CMD", "proj_tcs"}, {"page", 1}, {"size", 2147483647}}).value("result").toString(), tooLarge);
    QCOMPARE(client.Request({{"CMD", "proj_tcs"}, {"page", 2}, {"size", 3}}).value("data").toArray().size(), 1);
    // Templates are measured by their files before they are read.
    const QString dir = host.AppDir() + "/Data/AutoTestTpl/";
    for (const char* name : {"a.json", "b.json"}) {
        QFile file(dir + name);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("[\"" + QByteArray(600 * 1024, 't') + "\"]");
    }
    const QJsonObject templates = client.Request({{"CMD", "GetAutoTestTemplate"}, {"SEQ", 5}});
    QCOMPARE(templates.value("result").toString(),
             QStringLiteral("Reply too large: about 1228808 bytes, more than the limit of 1048576 bytes"));
    QCOMPARE(templates.value("SEQ").toInt(), 5);
    QTRY_VERIFY(host.Stderr().contains("[1] AtTplMng AtTplMng::Read: The templates come to 1228808 bytes, "
                                       "more than the reply limit of 1048576; not read"));

    // About 70 MB of answers are written in one turn of the host's event loop;
    // a client that reads them as they come is not a slow reader.
    const int before = client.Replies().size();
    for (int i = 0; i < 240; ++i)
        client.Send(QJsonObject{{"CMD", "fetch_tc"}, {"testcaseid", 1}, {"SEQ", i}});
    QVERIFY(client.WaitReplies(before + 240, 60000));
    QCOMPARE(client.Reply(before + 239).value("SEQ").toInt(), 239);
    QVERIFY(!host.Stderr().contains("Peer does not read"));
    QVERIFY2(host.Stop(), qPrintable(host.Stderr()));
}

void TstHostBounds::replyBoundAtItsEdge_data()
{
    QTest::addColumn<QString>("unit");
    QTest::addColumn<int>("unitBytes"); // in the reply's UTF-8
    QTest::newRow("ascii") << QStringLiteral("c") << 1;
    QTest::newRow("two-byte") << QStringLiteral("\u00e9") << 2;
    QTest::newRow("three-byte") << QStringLiteral("\u6f22") << 3;
    QTest::newRow("surrogate pair") << QStringLiteral("\U0001F600") << 4;
    QTest::newRow("escaped quote") << QStringLiteral("\"") << 2;
    QTest::newRow("escaped control") << QStringLiteral("\u0001") << 6;
}

void TstHostBounds::replyBoundAtItsEdge()
{
    QFETCH(QString, unit);
    QFETCH(int, unitBytes);
    const qint64 limit = kMiB;
    HostProcess host;
    TestClient client;
    QVERIFY(StartWithTestcases(host, client, {"--max-reply-mib", "1"}, 1, 0));
    const auto fetch = [&client] {
        const int at = client.Replies().size();
        client.Send(QJsonObject{{"CMD", "fetch_tc"}, {"testcaseid", 1}});
        return client.WaitReplies(at + 1, 30000) ? client.Replies().at(at).toUtf8() : QByteArray();
    };
    const auto store = [&client](const QString& content) { return StoreContent(client, 1, content); };
    // What the reply holds beside its content, measured; the content fills the rest.
    const qint64 room = limit - fetch().size();
    QString content = unit.repeated(int(room / unitBytes)) + QString(int(room % unitBytes), 'c');
    QCOMPARE(store(content), QStringLiteral("ok"));
    const QByteArray atLimit = fetch();
    QCOMPARE(atLimit.size(), limit);
    const QJsonObject answered = QJsonDocument::fromJson(atLimit).object();
    QCOMPARE(answered.value("result").toString(), QStringLiteral("ok"));
    QVERIFY(answered.value("content").toString() == content);

    // One byte more is refused, measured on the reply it would have been.
    content += 'c';
    QCOMPARE(store(content), QStringLiteral("ok"));
    const int refusedBefore = host.Stderr().count("KIVAutoTestReply: Reply refused");
    QCOMPARE(QJsonDocument::fromJson(fetch()).object().value("result").toString(),
             QStringLiteral("Reply too large: about %1 bytes, more than the limit of %2 bytes").arg(limit + 1).arg(limit));
    QTRY_COMPARE(host.Stderr().count("KIVAutoTestReply: Reply refused"), refusedBefore + 1);

    // Far past the limit it is refused from its size, before the reply is built.
    QCOMPARE(store(unit.repeated(int(2 * limit / unitBytes))), QStringLiteral("ok"));
    QVERIFY(QJsonDocument::fromJson(fetch()).object().value("result").toString().startsWith("Reply too large: about "));
    QCOMPARE(host.Stderr().count("KIVAutoTestReply: Reply refused"), refusedBefore + 1);
    QVERIFY2(host.Stop(), qPrintable(host.Stderr()));
}

void TstHostBounds::recordsOverTheBound_data()
{
    QTest::addColumn<QString>("record");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<bool>("refused");
    // Well within and well past 1 MiB: the edge itself is the reply's, above.
    for (const char* record : {"plan_info", "job_detail"}) {
        QTest::addRow("%s, 600 KiB", record) << QString(record) << 600 * 1024LL << false;
        QTest::addRow("%s, 1.1 MiB", record) << QString(record) << qint64(1.1 * kMiB) << true;
    }
}

void TstHostBounds::recordsOverTheBound()
{
    QFETCH(QString, record);
    QFETCH(qint64, size);
    QFETCH(bool, refused);
    HostProcess host;
    TestClient client;
    // The job below fails at once: its controller refuses.
    const RefusingPort controller;
    QVERIFY(StartWithTestcases(host, client, {"--max-reply-mib", "1", "--controller", controller.Url()}, 2, 1000));
    const int plan = client.Request({{"CMD", "create_plan"}, {"name", "p"}}).value("planid").toInt();
    QJsonObject reply;
    if (record == QLatin1String("plan_info")) {
        QCOMPARE(client.Request({{"CMD", "update_plan"}, {"planid", plan}, {"attrs", QJsonObject{{"name", "p"}, {"content", QString(int(size), 'p')}}}},
                                30000).value("result").toString(),
                 QStringLiteral("ok"));
        reply = client.Request({{"CMD", "plan_info"}, {"planid", plan}}, 30000);
    } else {
        // A job's details carry their test cases as they are now.
        QCOMPARE(client.Request({{"CMD", "sync_plan"}, {"planid", plan}, {"tclist", QJsonArray{1, 2}}}).value("result").toString(),
                 QStringLiteral("ok"));
        const QJsonObject started = client.Request({{"CMD", "execute_job_local"}, {"planid", plan}, {"url", "bounds/dev-1"}});
        QCOMPARE(started.value("result").toString(), QStringLiteral("ok"));
        for (int tc = 1; tc <= 2; ++tc)
            QCOMPARE(StoreContent(client, tc, QString(int(size / 2), 'd')), QStringLiteral("ok"));
        reply = client.Request({{"CMD", "job_detail"}, {"jobid", started.value("jobid")}, {"verdicts", true}}, 30000);
    }
    if (refused) {
        QVERIFY2(reply.value("result").toString().startsWith("Reply too large: "), qPrintable(compact(reply).left(300)));
        QCOMPARE(reply.value("cmd").toString(), record);
        // Refused from what was read, before a reply was built of it.
        QVERIFY(!host.Stderr().contains("KIVAutoTestReply: Reply refused"));
    } else {
        QCOMPARE(reply.value("result").toString(), QStringLiteral("ok"));
    }
    QVERIFY2(host.Stop(), qPrintable(host.Stderr()));
}

void TstHostBounds::hostFramesReadByClients()
{
    // Text of every width, escapes included, long enough for several frames.
    QString content;
    while (content.size() < 3 * 512 * 1024)
        content += QStringLiteral("{\"k\": \"a\u00e9\u6f22\U0001F600\\\\\t\u0001\"}\n");
    HostProcess host;
    TestClient client;
    QVERIFY(StartWithTestcases(host, client, {}, 1, 0));
    QCOMPARE(StoreContent(client, 1, content), QStringLiteral("ok"));
    const QByteArray seq = "[1,\"\u00e9\"]";
    const QString request = QStringLiteral("{\"CMD\":\"fetch_tc\",\"testcaseid\":1,\"SEQ\":%1}").arg(QString::fromUtf8(seq));
    const int at = client.Replies().size();
    client.Send(request);
    QVERIFY(client.WaitReplies(at + 1, 30000));
    const QByteArray text = client.Replies().at(at).toUtf8();
    QJsonObject answer = QJsonDocument::fromJson(text).object();
    QVERIFY(answer.value("content").toString() == content);
    // Byte for byte what Qt's own writer makes of the same answer.
    answer.remove("ERROR");
    answer.remove("SEQ");
    QVERIFY(text == RequestEnvelope::Reply(answer, seq));

    // autotest-client prints it as it came.
    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("LANG", "C.UTF-8");
    tool.setProcessEnvironment(environment);
    tool.start(HostProcess::BinDir() + "/autotest-client", {"--url", host.Url().toString(), request});
    QVERIFY(tool.waitForFinished(30000));
    QCOMPARE(tool.exitCode(), 0);
    QVERIFY(tool.readAllStandardOutput() == text + '\n');
    QVERIFY2(host.Stop(), qPrintable(host.Stderr()));
}

void TstHostBounds::fastReaderIsPausedNotDropped()
{
    // 4 MiB for all connections; a client pipelines 48 answers of 1 MiB and
    // reads as they come: it waits for its replies to drain, it is not dropped.
    HostProcess host;
    TestClient client;
    QVERIFY(StartWithTestcases(host, client, {"--max-buffered-mib", "4"}, 1, 1024 * 1024));
    const int before = client.Replies().size();
    for (int i = 0; i < 48; ++i)
        client.Send(QJsonObject{{"CMD", "fetch_tc"}, {"testcaseid", 1}, {"SEQ", i}});
    QVERIFY(client.WaitReplies(before + 48, 60000));
    for (int i = 0; i < 48; ++i) {
        QCOMPARE(client.Reply(before + i).value("SEQ").toInt(), i);
        QCOMPARE(client.Reply(before + i).value("result").toString(), QStringLiteral("ok"));
    }
    QVERIFY2(!host.Stderr().contains("Connections hold") && !host.Stderr().contains("Peer does not read"), qPrintable(host.Stderr()));
    QVERIFY2(host.Stop(), qPrintable(host.Stderr()));
}

void TstHostBounds::nonReadersAndEndlessFramesAreDropped()
{
    HostProcess host;
    TestClient bystander;
    QVERIFY(StartWithTestcases(host, bystander, {"--max-buffered-mib", "8"}, 1, 1024 * 1024));
    const QString dropped = "Connections hold ";
    // A peer pipelines 1 MB answers and reads none of them: past 8 MiB of
    // them its requests wait, and once it has taken nothing for the grace
    // time, it goes.
    RawPeer first, second;
    QVERIFY(first.Open(host.Url()) && second.Open(host.Url()));
    for (int i = 0; i < 40; ++i)
        first.SendFrame(compact({{"CMD", "fetch_tc"}, {"testcaseid", 1}}).toUtf8());
    QTRY_VERIFY_WITH_TIMEOUT(host.Stderr().contains("Peer does not read its replies"), 4 * WebSocketGraceMs);
    QVERIFY2(host.Stderr().contains(first.DropText()), qPrintable(host.Stderr()));

    // A frame announced at 30 MiB and sent in part is held in full until it
    // ends; 9 MiB of it is over the limit.
    RawPeer endless;
    QVERIFY(endless.Open(host.Url()));
    endless.SendFrame(QByteArray(9 * 1024 * 1024, ' '), 30 * 1024 * 1024);
    QTRY_VERIFY(host.Stderr().contains(endless.DropText()));
    QVERIFY2(host.Stderr().count(dropped) == 1 && !host.Stderr().contains(second.DropText()), qPrintable(host.Stderr()));
    QCOMPARE(bystander.Request({{"CMD", "get_state"}}).value("state").toString(), QStringLiteral("local"));
    QVERIFY2(host.Stop(), qPrintable(host.Stderr()));
}

void TstHostBounds::runningOutOfDescriptorsPausesAccepting()
{
#ifdef KIV_SANITIZED
    // The sanitizers' runtime tests memory through a pipe of its own; out of
    // descriptors, that fails and reports false errors.
    QSKIP("needs a build without sanitizers");
#endif
    // The host under a descriptor limit of 64, fed 100 connections.
    QTemporaryDir dir;
    QVERIFY(QFile::copy(HostProcess::BinDir() + "/autotest-host", dir.path() + "/autotest-host"));
    QProcess host;
    host.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("KIV_LOG_LEVEL", "2");
    host.setProcessEnvironment(environment);
    host.start("/bin/sh", {"-c", "ulimit -n 64 && exec \"$0\" --port 0", dir.path() + "/autotest-host"});
    QByteArray log;
    QRegularExpressionMatch listening;
    QTRY_VERIFY((log += host.readAll(), listening = QRegularExpression("Listening on ws://127.0.0.1:(\\d+)").match(log)).hasMatch());
    const quint16 port = quint16(listening.captured(1).toUInt());

    auto sockets = std::make_unique<QObject>();
    for (int i = 0; i < 100; ++i) {
        auto* socket = new QTcpSocket(sockets.get());
        socket->connectToHost(QHostAddress::LocalHost, port);
        socket->write("GET / HTTP/1.1\r\nHost: x\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                              "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
    }
    QTRY_VERIFY((log += host.readAll()).contains("Not accepting connections for 500 ms"));
    // Waiting connections do not make it spin: well under half a core.
    const qint64 before = cpuTicks(host.processId());
    QTest::qWait(1000);
    const qint64 used = cpuTicks(host.processId()) - before;
    QVERIFY2(used >= 0 && used < sysconf(_SC_CLK_TCK) / 2, qPrintable(QString::number(used)));
    sockets.reset();
    // With the descriptors back it serves again.
    TestClient client;
    QVERIFY(client.Connect(QUrl(QStringLiteral("ws://127.0.0.1:%1").arg(port))));
    QCOMPARE(client.Request({{"CMD", "get_state"}}).value("result").toString(), QStringLiteral("ok"));
    host.terminate();
    QVERIFY(host.waitForFinished(10000));
    QCOMPARE(host.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TstHostBounds)
#include "tst_hostbounds.moc"
