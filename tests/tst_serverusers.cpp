// autotest-server --users: each request is done as the user its token names,
// within that user's role; every change is in the audit table, which admins
// page through with "audit_log".

#include "tests/support/ApiPost.h"
#include "tests/support/HostProcess.h"
#include "tests/support/JsonTools.h"
#include "tests/support/PgTestDatabase.h"
#include "tests/support/TestClient.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// Long enough that finding one in a log is no accident.
const QByteArray kAlice = "tok-alice-5b1f0c";
const QByteArray kVera = "tok-vera-93d2aa";
const QByteArray kAdam = "tok-adam-0e7c41";

QByteArray usersFile()
{
    return "# name role token\n"
           "alice engineer " + kAlice + "\n"
           "vera   viewer\t" + kVera + "  # read only\n"
           "\n"
           "adam admin " + kAdam + "\n";
}

} // namespace

class TstServerUsers : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<HostProcess> m_server;
    std::unique_ptr<PgTestDatabase> m_pg;
    QNetworkAccessManager m_network;

    QString WriteFile(const QString& name, const QByteArray& content)
    {
        QFile file(m_dir.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
            return QString();
        return file.fileName();
    }

    bool StartServer(const QStringList& arguments)
    {
        m_server.reset(new HostProcess(QStringLiteral("autotest-server")));
        return m_server->Start(arguments + (m_pg ? QStringList{"--database", m_pg->Url()} : QStringList()));
    }

    // Posts one request with `token` (empty: none; `inUrl`: as ?token=); the reply's body.
    QJsonObject Post(const QJsonObject& request, const QByteArray& token, int* status = nullptr, bool inUrl = false)
    {
        QUrl url = m_server->Url();
        if (inUrl)
            url.setQuery("token=" + QString::fromLatin1(token));
        return PostApi(m_network, url, request, inUrl ? QByteArray() : token, status);
    }

    QString Result(const QJsonObject& request, const QByteArray& token) { return Post(request, token).value("result").toString(); }

    // The audit entries of a page as "user cmd ids" lines; each time must be ISO 8601 in UTC.
    QStringList Audit(const QJsonObject& reply)
    {
        static const QRegularExpression iso("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$");
        QStringList lines;
        for (const QJsonValue& entry : reply.value("data").toArray()) {
            const QString time = entry["time"].toString();
            lines << (iso.match(time).hasMatch() ? QString() : "bad time " + time) + entry["user"].toString() + " "
                    + entry["cmd"].toString() + " " + compact(entry["ids"].toObject());
        }
        return lines;
    }

private Q_SLOTS:
    // Every line the servers can log, so that cleanup() finds a token wherever one leaked.
    void initTestCase() { qputenv("KIV_LOG_LEVEL", "3"); }

    void cleanup()
    {
        if (m_server) {
            QVERIFY2(m_server->Stop(), qPrintable(m_server->Stderr()));
            for (const QByteArray& token : {kAlice, kVera, kAdam})
                QVERIFY2(!m_server->Stderr().contains(QString::fromLatin1(token)), qPrintable(m_server->Stderr()));
        }
        m_server.reset();
        m_pg.reset();
    }

    void refusedAtStart_data()
    {
        QTest::addColumn<QByteArray>("users"); // the file's content; null: no such file
        QTest::addColumn<QStringList>("more");
        QTest::addColumn<QString>("error");

        QTest::newRow("unknown role") << QByteArray("alice engineer " + kAlice + "\nbob boss " + kVera + "\n") << QStringList()
                                      << "users line 2: the second field is not a role (viewer, engineer or admin)";
        QTest::newRow("role and token swapped") << QByteArray("alice " + kAlice + " engineer\n") << QStringList()
                                                << "users line 1: the second field is not a role (viewer, engineer or admin)";
        QTest::newRow("no token") << QByteArray("# lab\nalice engineer\n") << QStringList()
                                  << "users line 2: 2 fields, not the three of \"NAME ROLE TOKEN\"";
        QTest::newRow("name twice") << QByteArray("alice engineer " + kAlice + "\nalice admin " + kAdam + "\n") << QStringList()
                                    << "users line 2: the name alice is given twice";
        QTest::newRow("token twice") << QByteArray("alice engineer " + kAlice + "\n\nadam admin " + kAlice + "\n") << QStringList()
                                     << "users line 3: the token of adam is alice's too";
        QTest::newRow("nobody") << QByteArray("# nobody yet\n") << QStringList() << "names no user";
        QTest::newRow("no file") << QByteArray() << QStringList() << "can't read the users file";
        QTest::newRow("with --token") << usersFile() << QStringList{"--token", "TOKENFILE"}
                                      << "--users and --token exclude each other";
    }

    void refusedAtStart()
    {
        QFETCH(QByteArray, users);
        QFETCH(QStringList, more);
        QFETCH(QString, error);
        const QString file = users.isNull() ? m_dir.filePath("missing") : WriteFile("users", users);
        more.replaceInStrings("TOKENFILE", WriteFile("token", kAdam));
        HostProcess refused(QStringLiteral("autotest-server"));
        refused.Launch(QStringList{"--port", "0", "--users", file} + more);
        QVERIFY(refused.Process().waitForFinished(30000));
        QCOMPARE(refused.Process().exitCode(), 2);
        const QString stderrText = refused.Stderr();
        QVERIFY2(stderrText.contains(error), qPrintable(stderrText));
        for (const QByteArray& token : {kAlice, kVera, kAdam})
            QVERIFY2(!stderrText.contains(QString::fromLatin1(token)), qPrintable(stderrText));
    }

    void roles_data()
    {
        QTest::addColumn<QByteArray>("token");
        QTest::addColumn<bool>("inUrl");
        QTest::addColumn<QJsonObject>("request");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("result");

        const QJsonObject addTc{{"cmd", "add_tc"}, {"testcase", QJsonObject{{"title", "t"}, {"content", "{}"}}}};
        const QJsonObject report{{"cmd", "job_report"}, {"jobid", 1}, {"secret", "x"}, {"report", QJsonObject{{"VALUE", QJsonObject()}}}};
        QTest::newRow("viewer reads") << kVera << false << QJsonObject{{"cmd", "proj_tcs"}, {"size", 5}} << 200 << "ok";
        QTest::newRow("viewer adds") << kVera << false << addTc << 200 << "add_tc needs the engineer role; vera is a viewer";
        QTest::newRow("viewer as a station") << kVera << false << report << 200
                                             << "job_report needs the engineer role; vera is a viewer";
        QTest::newRow("engineer adds") << kAlice << false << addTc << 200 << "ok";
        QTest::newRow("token in the URL") << kAlice << true << addTc << 200 << "ok";
        QTest::newRow("engineer deletes") << kAlice << false << QJsonObject{{"cmd", "del_tc"}, {"testcaseid", 1}} << 200
                                          << "del_tc needs the admin role; alice is an engineer";
        QTest::newRow("engineer reads the audit") << kAlice << false << QJsonObject{{"cmd", "audit_log"}} << 200
                                                  << "audit_log needs the admin role; alice is an engineer";
        QTest::newRow("admin deletes") << kAdam << false << QJsonObject{{"cmd", "del_plan"}, {"planid", 9}} << 200 << "ok";
        QTest::newRow("unknown command") << kVera << false << QJsonObject{{"cmd", "drop_all"}} << 200
                                         << "Local AT Server not support cmd: drop_all";
        QTest::newRow("no token") << QByteArray() << false << addTc << 403 << "Forbidden: no token given";
        QTest::newRow("unknown token") << QByteArray("tok-nobody") << false << addTc << 403
                                       << "Forbidden: the token is not one of a user";
    }

    void roles()
    {
        QFETCH(QByteArray, token);
        QFETCH(bool, inUrl);
        QFETCH(QJsonObject, request);
        QFETCH(int, status);
        QFETCH(QString, result);
        QVERIFY2(StartServer({"--users", WriteFile("users", usersFile())}), qPrintable(m_server->ErrorText()));
        int got = 0;
        const QJsonObject reply = Post(request, token, &got, inUrl);
        QCOMPARE(reply.value("result").toString(), result);
        QCOMPARE(got, status);
        // A refused change leaves no trace; one that was made is audited.
        const QJsonArray audit = Post({{"cmd", "audit_log"}}, kAdam).value("data").toArray();
        QCOMPARE(audit.size(), result == "ok" && request.value("cmd") != "proj_tcs" ? 1 : 0);
    }

    void auditTrail_data()
    {
        QTest::addColumn<bool>("postgresql");
        QTest::newRow("sqlite") << false;
        QTest::newRow("postgresql") << true;
    }

    void auditTrail()
    {
        QFETCH(bool, postgresql);
        if (postgresql) {
            if (!PgTestDatabase::Available())
                QSKIP("KIV_TEST_PGURL is not set (tools/pgtest.sh start)");
            m_pg.reset(new PgTestDatabase);
            QVERIFY2(m_pg->Create(), qPrintable(m_pg->ErrorText()));
        }
        QVERIFY2(StartServer({"--users", WriteFile("users", usersFile())}), qPrintable(m_server->ErrorText()));
        // A station (a host in mode "remote") carries an engineer's token in the server's URL:
        // what its clients change, and the jobs it runs, are alice's.
        HostProcess emulator(QStringLiteral("controller-emulator"));
        QVERIFY2(emulator.Start({"--template", KIV_SOURCE_DIR "/examples/device-template.json", "--push-interval", "20"}),
                 qPrintable(emulator.ErrorText()));
        QUrl server = m_server->Url();
        server.setQuery("token=" + QString::fromLatin1(kAlice));
        HostProcess host;
        QVERIFY2(host.Start(emulator.ControllerOption() + QStringList{"--remote-hosts", server.toString() + "," + server.toString()}),
                 qPrintable(host.ErrorText()));
        TestClient client;
        QVERIFY(client.Connect(host.Url()));
        QList<QJsonObject> replies;
        for (const char* name : {"add-tc-supply", "add-tc-radio", "create-plan", "sync-plan", "execute-job"}) {
            replies << client.Request(readJsonFile(QStringLiteral(KIV_SOURCE_DIR "/examples/local/%1.json").arg(name)));
            QVERIFY2(replies.last().value("result") == "ok", qPrintable(name + (": " + compact(replies.last()))));
        }
        const int tc1 = replies.at(0).value("testcaseid").toInt(), tc2 = replies.at(1).value("testcaseid").toInt();
        const int plan = replies.at(2).value("planid").toInt(), job = replies.at(4).value("jobid").toInt();
        // A change that fails inside its own transaction (a test case that does not exist) is undone whole, unaudited.
        QVERIFY(client.Request({{"CMD", "sync_plan"}, {"planid", plan}, {"tclist", QJsonArray{tc1, 99999}}}).value("result") != "ok");
        QCOMPARE(Post({{"cmd", "plan_tcs"}, {"planid", plan}}, kVera).value("data").toArray().size(), 2);
        QTRY_VERIFY_WITH_TIMEOUT(Post({{"cmd", "job_info"}, {"jobid", job}}, kVera).value("status").toInt() == 3, 20000);
        // The request said "newcomer".
        QCOMPARE(Post({{"cmd", "job_info"}, {"jobid", job}}, kVera).value("starter").toString(), QString("alice"));
        QCOMPARE(Result({{"cmd", "del_tc"}, {"testcaseid", tc2}}, kAdam), QString("ok"));

        const QStringList all{
            QString("adam del_tc {\"testcaseid\":%1}").arg(tc2),
            QString("alice job_report {\"jobid\":%1}").arg(job),
            QString("alice execute_job_local {\"jobid\":%1,\"planid\":%2}").arg(job).arg(plan),
            QString("alice sync_plan {\"planid\":%1}").arg(plan),
            QString("alice create_plan {\"planid\":%1}").arg(plan),
            QString("alice add_tc {\"testcaseid\":%1}").arg(tc2),
            QString("alice add_tc {\"testcaseid\":%1}").arg(tc1),
        };
        const QJsonObject first = Post({{"cmd", "audit_log"}}, kAdam);
        QCOMPARE(pick(first, {"result", "count", "page", "maxpage", "cmd"}),
                 (QJsonObject{{"result", "ok"}, {"count", 7}, {"page", 1}, {"maxpage", 1}, {"cmd", "audit_log"}}));
        QCOMPARE(Audit(first), all);
        const QJsonObject second = Post({{"cmd", "audit_log"}, {"page", 2}, {"size", 3}}, kAdam);
        QCOMPARE(pick(second, {"count", "page", "maxpage"}), (QJsonObject{{"count", 7}, {"page", 2}, {"maxpage", 3}}));
        QCOMPARE(Audit(second), all.mid(3, 3));
        QCOMPARE(Result({{"cmd", "audit_log"}, {"size", 0}}, kAdam), QString("size must be 1 or more"));
        QCOMPARE(Result({{"cmd", "audit_log"}, {"size", 10000}}, kAdam), QString("ok"));
        QCOMPARE(Result({{"cmd", "audit_log"}, {"size", 10001}}, kAdam), QString("size must be 10000 or less"));
        QVERIFY2(host.Stop(), qPrintable(host.Stderr()));
        // The station logs the server's address, never the token in it.
        QVERIFY2(!host.Stderr().contains(QString::fromLatin1(kAlice)), qPrintable(host.Stderr()));
        QVERIFY2(emulator.Stop(), qPrintable(emulator.Stderr()));
    }

    void withoutUsers()
    {
        // The one token, as before: whoever holds it may do anything, and is "-" in the audit.
        QVERIFY2(StartServer({"--token", WriteFile("token", kAdam)}), qPrintable(m_server->ErrorText()));
        const int tc = Post({{"cmd", "add_tc"}, {"testcase", QJsonObject{{"title", "t"}, {"content", "{}"}}}}, kAdam).value("testcaseid").toInt();
        const int plan = Post({{"cmd", "create_plan"}, {"projectid", 1}, {"name", "p"}}, kAdam).value("planid").toInt();
        QCOMPARE(Result({{"cmd", "sync_plan"}, {"planid", plan}, {"tclist", QJsonArray{tc}}}, kAdam), QString("ok"));
        const QJsonObject started = Post({{"cmd", "execute_job_local"}, {"planid", plan}, {"url", "d/1"}, {"starter", "me"}}, kAdam);
        QCOMPARE(pick(Post({{"cmd", "my_jobs"}}, kAdam).value("data").toArray(), {"starter"}), (QJsonArray{QJsonObject{{"starter", "me"}}}));
        QCOMPARE(Audit(Post({{"cmd", "audit_log"}, {"size", 1}}, kAdam)),
                 QStringList{QString("- execute_job_local {\"jobid\":%1,\"planid\":%2}").arg(started.value("jobid").toInt()).arg(plan)});
    }
};

QTEST_MAIN(TstServerUsers)
#include "tst_serverusers.moc"
