// autotest-server's answers to requests that are not what the API expects:
// each gets a clear status and JSON "result", and the server keeps serving.

#include "tests/support/HostProcess.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSet>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

namespace {

QByteArray json(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// The samples of a Prometheus text page by name and labels as written
// (`autotest_requests_total{cmd="my_jobs",status="200"}`); false, naming the
// line, when one is not a sample of a metric whose TYPE came before it.
bool samples(const QByteArray& page, QHash<QString, double>& values, QString& bad)
{
    QSet<QString> typed;
    for (const QString& line : QString::fromUtf8(page).split('\n', Qt::SkipEmptyParts)) {
        if (line.startsWith("# TYPE ")) {
            typed.insert(line.section(' ', 2, 2));
            continue;
        }
        if (line.startsWith('#'))
            continue;
        const QString key = line.section(' ', 0, -2);
        const QString name = key.section('{', 0, 0);
        bool number = false;
        const double value = line.section(' ', -1).toDouble(&number);
        const bool ofTyped = typed.contains(name) || typed.contains(name.section('_', 0, -2));
        if (!number || key.isEmpty() || !ofTyped || values.contains(key)) {
            bad = line;
            return false;
        }
        values.insert(key, value);
    }
    return true;
}

} // namespace

class TstServer : public QObject
{
    Q_OBJECT
    HostProcess m_server{QStringLiteral("autotest-server")};
    QNetworkAccessManager m_network;
    // The stored job's secret, which only its station knows.
    QString m_secret;

    // Sends one request the way the host does (form-encoded type) plus `headers`, which
    // carry the token unless they name "Authorization" themselves (empty: none at all).
    QNetworkReply* Send(const QByteArray& method, const QString& path, const QByteArray& body, QVariantMap headers)
    {
        QUrl url = m_server.Url();
        url.setPath(QString());
        QNetworkRequest request(QUrl(url.toString() + path));
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
        if (!headers.contains("Authorization"))
            headers.insert("Authorization", "Bearer s3cret");
        for (auto it = headers.cbegin(); it != headers.cend(); ++it)
            if (!it.value().toByteArray().isEmpty())
                request.setRawHeader(it.key().toLatin1(), it.value().toByteArray());
        QNetworkReply* reply = m_network.sendCustomRequest(request, method, body);
        QSignalSpy finished(reply, &QNetworkReply::finished);
        if (!reply->isFinished())
            finished.wait(10000);
        reply->deleteLater();
        return reply;
    }

    QJsonObject Api(const QJsonObject& request)
    {
        return QJsonDocument::fromJson(Send("POST", "/api", json(request), {})->readAll()).object();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QDir(m_server.AppDir()).mkpath("console");
        QFile page(m_server.AppDir() + "/console/index.html");
        QVERIFY(page.open(QIODevice::WriteOnly) && page.write("<title>console</title>") > 0);
        page.close();
        QFile token(m_server.AppDir() + "/token");
        QVERIFY(token.open(QIODevice::WriteOnly) && token.write("s3cret\n") > 0);
        token.close();
        QVERIFY2(m_server.Start({"--max-body-mib", "1", "--token", token.fileName(), "--console", m_server.AppDir() + "/console"}),
                 qPrintable(m_server.ErrorText()));

        // A stored job for the reports below.
        QCOMPARE(Api({{"cmd", "add_tc"}, {"testcase", QJsonObject{{"title", "t"}, {"content", "{}"}}}}).value("testcaseid"), QJsonValue(1));
        QCOMPARE(Api({{"cmd", "create_plan"}, {"projectid", 1}, {"name", "p"}}).value("planid"), QJsonValue(1));
        QCOMPARE(Api({{"cmd", "sync_plan"}, {"planid", 1}, {"tclist", QJsonArray{1}}}).value("result"), QJsonValue("ok"));
        const QJsonObject started = Api({{"cmd", "execute_job_local"}, {"planid", 1}, {"url", "d/1"}, {"starter", "me"}});
        QCOMPARE(started.value("job").toObject().value("case_list").toArray().size(), 1);
        m_secret = started.value("job").toObject().value("secret").toString();
        QCOMPARE(m_secret.size(), 32);
        QCOMPARE(Api({{"cmd", "my_jobs"}}).value("data").toArray().size(), 1);
    }

    void cleanupTestCase() { QVERIFY2(m_server.Stop(), qPrintable(m_server.Stderr())); }

    void answers_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QVariantMap>("headers");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("result"); // the start of the reply's "result" (of the body, for files)

        const QByteArray myJobs = json({{"cmd", "my_jobs"}});
        QTest::newRow("not JSON") << QByteArray("POST") << "/api" << QByteArray("{nope") << QVariantMap() << 400
                                  << "The request body is not a JSON object: ";
        QTest::newRow("an array") << QByteArray("POST") << "/api" << QByteArray("[1]") << QVariantMap() << 400
                                  << "The request body is not a JSON object: it is a JSON array";
        QTest::newRow("over the limit") << QByteArray("POST") << "/api" << QByteArray((1 << 20) + 1, ' ') << QVariantMap() << 413
                                        << "The request body is larger than the limit of 1048576 bytes";
        // Form-encoded bodies, as the host sends them, are not limited to what forms usually are.
        QTest::newRow("large test case") << QByteArray("POST") << "/api"
                                         << json({{"cmd", "add_tc"}, {"testcase", QJsonObject{{"title", QString(500000, 'x')}, {"content", "{}"}}}})
                                         << QVariantMap() << 200 << "ok";
        QTest::newRow("other path") << QByteArray("POST") << "/apix" << myJobs << QVariantMap() << 404 << "No such path: /apix";
        QTest::newRow("GET") << QByteArray("GET") << "/api" << QByteArray() << QVariantMap() << 405 << "Method GET is not allowed";
        QTest::newRow("DELETE") << QByteArray("DELETE") << "/api" << QByteArray() << QVariantMap() << 405 << "Method DELETE";
        QTest::newRow("foreign origin") << QByteArray("POST") << "/api" << myJobs << QVariantMap{{"Origin", "http://evil.example"}}
                                        << 403 << "Forbidden: origin http://evil.example is not allowed";
        QTest::newRow("own origin") << QByteArray("POST") << "/api" << myJobs << QVariantMap{{"Origin", "http://localhost:8080"}}
                                    << 200 << "ok";
        QTest::newRow("no token") << QByteArray("POST") << "/api" << myJobs << QVariantMap{{"Authorization", ""}} << 403
                                  << "Forbidden: no token given";
        QTest::newRow("wrong token") << QByteArray("POST") << "/api" << myJobs << QVariantMap{{"Authorization", "Bearer s3cre"}}
                                     << 403 << "Forbidden: wrong token";
        QTest::newRow("token in the URL") << QByteArray("POST") << "/api?token=s3cret" << myJobs
                                          << QVariantMap{{"Authorization", ""}} << 200 << "ok";
        QTest::newRow("console page") << QByteArray("GET") << "/" << QByteArray() << QVariantMap{{"Authorization", ""}} << 200
                                      << "<title>console</title>";
        QTest::newRow("report without a report") << QByteArray("POST") << "/api" << json({{"cmd", "job_report"}, {"jobid", 1}})
                                                 << QVariantMap() << 200 << "job_report needs \"jobid\"";
        QTest::newRow("report of no job") << QByteArray("POST") << "/api"
                                          << json({{"cmd", "job_report"}, {"jobid", 99}, {"report", QJsonObject{{"VALUE", QJsonObject()}}}})
                                          << QVariantMap() << 200 << "job_report: there is no job 99";
        QJsonObject reportRequest{{"cmd", "job_report"}, {"jobid", 1},
                                  {"report", QJsonObject{{"VALUE", QJsonObject{{"tcs", QJsonArray{QJsonObject{{"id", 1}, {"result", true}}}}}}}}};
        QTest::newRow("report without the secret") << QByteArray("POST") << "/api" << json(reportRequest) << QVariantMap() << 200
                                                    << "job_report: job 1 was not handed to the sender";
        reportRequest.insert("secret", m_secret);
        const QByteArray report = json(reportRequest);
        QTest::newRow("report") << QByteArray("POST") << "/api" << report << QVariantMap() << 200 << "ok";
        QTest::newRow("second report") << QByteArray("POST") << "/api" << report << QVariantMap() << 200
                                       << "job 1 was reported already";
    }

    void answers()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QByteArray, body);
        QFETCH(QVariantMap, headers);
        QFETCH(QString, result);
        QNetworkReply* reply = Send(method, path, body, headers);
        QTEST(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), "status");
        const QByteArray text = reply->readAll();
        const QJsonObject answer = QJsonDocument::fromJson(text).object();
        const QString got = answer.isEmpty() ? QString::fromUtf8(text) : answer.value("result").toString();
        QVERIFY2(got.startsWith(result), qPrintable(QString::fromUtf8(text.left(300))));
    }

    void reportIsRecorded()
    {
        // After the rows above: the job left "my_jobs" and is a report with its one detail.
        QCOMPARE(Api({{"cmd", "my_jobs"}}).value("data").toArray(), QJsonArray());
        const QJsonObject detail = Api({{"cmd", "job_detail"}, {"jobid", 1}});
        QCOMPARE(detail.value("job").toObject().value("status"), QJsonValue(3));
        QCOMPARE(detail.value("jobdetail").toArray().at(0).toObject().value("status"), QJsonValue("pass"));
    }

    // Requests count under their command (or "other"/"none") and status, each
    // once in the histogram; neither page needs or shows the token.
    void metrics()
    {
        struct Row
        {
            QByteArray method;
            QString path;
            QByteArray body;
            QVariantMap headers;
            QString cmd;
            int status;
        };
        const QVariantMap noToken{{"Authorization", ""}};
        const QList<Row> rows{
            {"POST", "/api", json({{"cmd", "my_jobs"}}), {}, "my_jobs", 200},
            {"POST", "/api", json({{"cmd", "my_jobs"}}), {}, "my_jobs", 200},
            {"POST", "/api", json({{"cmd", "fetch_tc"}, {"testcaseid", 1}}), {}, "fetch_tc", 200},
            {"POST", "/api", json({{"cmd", "no_such_cmd"}}), {}, "other", 200},
            {"POST", "/api", json({{"cmd", "another_unknown"}}), {}, "other", 200},
            {"POST", "/api", "{nope", {}, "none", 400},
            {"POST", "/api", json({{"cmd", "my_jobs"}}), noToken, "none", 403},
            {"GET", "/nowhere", QByteArray(), {}, "none", 404},
        };
        QHash<QString, double> before, after;
        QString bad;
        QNetworkReply* first = Send("GET", "/metrics", QByteArray(), noToken);
        QCOMPARE(first->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        QCOMPARE(first->header(QNetworkRequest::ContentTypeHeader).toString(), QStringLiteral("text/plain; version=0.0.4"));
        QVERIFY2(samples(first->readAll(), before, bad), qPrintable(bad));
        QHash<QString, double> expected;
        for (const Row& row : rows) {
            QNetworkReply* reply = Send(row.method, row.path, row.body, row.headers);
            QCOMPARE(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), row.status);
            expected[QStringLiteral("autotest_requests_total{cmd=\"%1\",status=\"%2\"}").arg(row.cmd).arg(row.status)] += 1;
        }
        // The first scrape counts too, once its page was made.
        expected[QStringLiteral("autotest_requests_total{cmd=\"none\",status=\"200\"}")] += 1;
        QNetworkReply* health = Send("GET", "/healthz", QByteArray(), noToken);
        QCOMPARE(health->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), 200);
        const QByteArray healthText = health->readAll();
        QCOMPARE(healthText, QByteArray("ok\n"));
        expected[QStringLiteral("autotest_requests_total{cmd=\"none\",status=\"200\"}")] += 1;
        const QByteArray page = Send("GET", "/metrics", QByteArray(), noToken)->readAll();
        QVERIFY2(samples(page, after, bad), qPrintable(bad));
        for (auto it = expected.cbegin(); it != expected.cend(); ++it)
            QVERIFY2(after.value(it.key()) - before.value(it.key()) == it.value(), qPrintable(it.key()));
        QVERIFY(!after.contains(QStringLiteral("autotest_requests_total{cmd=\"no_such_cmd\",status=\"200\"}")));
        const double counted = after.value("autotest_request_seconds_count") - before.value("autotest_request_seconds_count");
        QCOMPARE(counted, double(rows.size() + 2));
        QCOMPARE(after.value("autotest_request_seconds_bucket{le=\"+Inf\"}"), after.value("autotest_request_seconds_count"));
        QVERIFY(after.value("autotest_request_seconds_sum") > before.value("autotest_request_seconds_sum"));
        QVERIFY(after.value("autotest_open_connections") >= 1);
        QVERIFY(after.contains("autotest_database_workers_busy"));
        QCOMPARE(after.value("autotest_database_up"), 1.0);
        QVERIFY(!page.contains("s3cret") && !healthText.contains("s3cret"));
        QVERIFY(!page.contains(m_server.AppDir().toUtf8()));

        // The stored jobs follow a job through its life. They are counted on a
        // thread of their own a moment after a request, so each step scrapes
        // until the count shows it. Jobs stored before (run alone, this test
        // finds initTestCase's) run, started a moment ago.
        const double stored = Api({{"cmd", "my_jobs"}}).value("data").toArray().size();
        const QJsonObject job = Api({{"cmd", "execute_job_local"}, {"planid", 1}, {"url", "d/2"}, {"starter", "me"}});
        const int jobId = job.value("jobid").toInt();
        const QString secret = job.value("job").toObject().value("secret").toString();
        QCOMPARE(job.value("result"), QJsonValue("ok"));
        struct Step
        {
            QJsonObject request;
            double running, waiting, seen;
        };
        const QList<Step> steps{
            {{}, 1, 0, 1},
            {{{"cmd", "job_progress"}, {"from", 0}, {"tcs", QJsonArray()}, {"waiting", true}}, 0, 1, 1},
            {{{"cmd", "job_report"}, {"report", QJsonObject{{"VALUE", QJsonObject{{"tcs", QJsonArray{QJsonObject{{"id", 1}, {"result", true}}}}}}}}},
             0, 0, 0},
        };
        for (const Step& step : steps) {
            if (!step.request.isEmpty()) {
                QJsonObject request = step.request;
                request.insert("jobid", jobId);
                request.insert("secret", secret);
                QCOMPARE(Api(request).value("result"), QJsonValue("ok"));
            }
            QHash<QString, double> jobs;
            QDeadlineTimer deadline(20000);
            const auto shows = [&] {
                return jobs.value("autotest_jobs_running", -1) == stored + step.running
                    && jobs.value("autotest_jobs_waiting", -1) == step.waiting
                    && jobs.value("autotest_stations_seen", -1) == stored + step.seen;
            };
            while (!shows() && !deadline.hasExpired()) {
                jobs.clear();
                QVERIFY2(samples(Send("GET", "/metrics", QByteArray(), noToken)->readAll(), jobs, bad), qPrintable(bad));
                if (!shows())
                    QTest::qWait(50);
            }
            QVERIFY2(shows(), qPrintable(QStringLiteral("%1 running, %2 waiting, %3 seen")
                                             .arg(jobs.value("autotest_jobs_running", -1))
                                             .arg(jobs.value("autotest_jobs_waiting", -1))
                                             .arg(jobs.value("autotest_stations_seen", -1))));
        }
    }

    // Health follows the database: a worker that cannot open it makes the
    // server unhealthy until a request finds it again.
    void healthFollowsTheDatabase()
    {
        HostProcess server{QStringLiteral("autotest-server")};
        const QString folder = server.AppDir() + "/db";
        QVERIFY(QDir().mkpath(folder));
        // One worker, which opens its connection at its first request.
        QVERIFY2(server.Start({"--database", folder + "/s.db3", "--database-work", "1"}), qPrintable(server.ErrorText()));
        QUrl url = server.Url();
        const auto ask = [&](const QString& path, const QByteArray& body) {
            url.setPath(path);
            QNetworkRequest http(url);
            http.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
            QNetworkReply* reply = body.isEmpty() ? m_network.get(http) : m_network.post(http, body);
            QSignalSpy finished(reply, &QNetworkReply::finished);
            if (!reply->isFinished())
                finished.wait(10000);
            reply->deleteLater();
            return QString::number(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt()) + ' '
                + QString::fromUtf8(reply->readAll());
        };
        const QByteArray myJobs = json({{"cmd", "my_jobs"}});
        QCOMPARE(ask("/healthz", {}), QStringLiteral("200 ok\n"));
        QVERIFY(QDir(folder).removeRecursively());
        QVERIFY(ask("/api", myJobs).contains("Database is not available"));
        QCOMPARE(ask("/healthz", {}), QStringLiteral("503 database not available\n"));
        QVERIFY(ask("/metrics", {}).contains("\nautotest_database_up 0\n"));
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(ask("/api", myJobs).contains("\"result\":\"ok\""));
        QCOMPARE(ask("/healthz", {}), QStringLiteral("200 ok\n"));
        QVERIFY2(server.Stop(), qPrintable(server.Stderr()));
    }

    // A database that does not answer holds one request for the deadline, not
    // for ever, and the worker that had it serves the next one.
    void aHungDatabaseIsLeftBehind()
    {
        HostProcess server{QStringLiteral("autotest-server")};
        const QString file = server.AppDir() + "/hung.db3";
        QVERIFY2(server.Start({"--database", file, "--database-work", "1", "--database-timeout-ms", "300"}),
                 qPrintable(server.ErrorText()));
        QUrl api = server.Url();
        api.setPath("/api");
        const auto post = [&](const QJsonObject& request) {
            QNetworkRequest http(api);
            http.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
            QNetworkReply* reply = m_network.post(http, json(request));
            QSignalSpy finished(reply, &QNetworkReply::finished);
            if (!reply->isFinished())
                finished.wait(10000);
            reply->deleteLater();
            return QJsonDocument::fromJson(reply->readAll()).object().value("result").toString();
        };
        const QJsonObject add{{"cmd", "add_tc"}, {"testcase", QJsonObject{{"title", "t"}, {"content", "{}"}}}};
        QCOMPARE(post(add), QStringLiteral("ok"));
        {
            QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("holder"));
            other.setDatabaseName(file);
            QVERIFY(other.open());
            QSqlQuery hold(other);
            QVERIFY2(hold.exec("begin immediate;"), qPrintable(hold.lastError().text()));
            const QString refused = post(add);
            QVERIFY2(refused.contains("locked") && !refused.contains("insert", Qt::CaseInsensitive), qPrintable(refused));
            QVERIFY(hold.exec("rollback;"));
            hold = QSqlQuery();
            other.close();
        }
        QSqlDatabase::removeDatabase(QStringLiteral("holder"));
        QCOMPARE(post(add), QStringLiteral("ok"));
        QVERIFY2(server.Stop(), qPrintable(server.Stderr()));
    }
};

QTEST_GUILESS_MAIN(TstServer)
#include "tst_server.moc"
