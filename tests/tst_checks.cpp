// Finding things and checking them before they are saved: "my_plans" with
// "all" or "search" and "proj_tcs" with "search", on SQLite and PostgreSQL
// (when KIV_TEST_PGURL is set, see tools/pgtest.sh); "check_script" and
// "check_testcase" through a host in mode "remote", which answers them itself.

#include "base/ComponentMap.h"
#include "local/LocalCommandTable.h"
#include "storage/LocalModel.h"
#include "tests/support/HostProcess.h"
#include "tests/support/JsonTools.h"
#include "tests/support/PgTestDatabase.h"
#include "tests/support/RefusingPort.h"
#include "tests/support/TestClient.h"

#include <QDir>
#include <QFile>
#include <QJSEngine>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// One database and the command table over it.
struct Backend
{
    LocalModel model;
    ComponentMap components;
    LocalCommandTable commands;

    bool Open(const QString& database, const QString& name)
    {
        if (!model.Open(database, name))
            return false;
        components.Register("LocalModel", &model);
        commands.SetComponentMap(&components);
        return true;
    }
    QJsonObject Ask(const QJsonObject& request)
    {
        QJsonObject reply;
        if (!commands.Dispatch(request, reply))
            reply.insert("result", "not dispatched");
        return reply;
    }
};

// "count maxpage | ids" of a page, or the result when it is not "ok".
QString listing(const QJsonObject& reply, const char* idKey)
{
    if (reply.value("result") != QJsonValue("ok"))
        return reply.value("result").toString();
    QStringList ids;
    for (const QJsonValue& record : reply.value("data").toArray())
        ids << QString::number(record.toObject().value(QLatin1String(idKey)).toInt());
    return QStringLiteral("%1 %2 | %3").arg(reply.value("count").toInt()).arg(reply.value("maxpage").toInt()).arg(ids.join(' '));
}

} // namespace

class TstChecks : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<PgTestDatabase> m_pgDatabase;
    std::unique_ptr<Backend> m_sqlite;
    std::unique_ptr<Backend> m_pg;
    const RefusingPort m_refusing;
    std::unique_ptr<HostProcess> m_host;
    std::unique_ptr<TestClient> m_client;

    Backend* Of(const QString& backend) { return backend == "postgresql" ? m_pg.get() : m_sqlite.get(); }

    // Plans 1 to 6 and test cases 1 to 6, the same on every backend.
    static bool Fill(Backend& backend)
    {
        const QList<QPair<QString, QString>> plans{{"Nightly RADIO", "night"}, {"100% load", "night"}, {"a_b suite", "day"},
                                                   {"axb suite", "day"},      {"Power 1", ""},         {"C:\\tests", "day"}};
        for (const auto& plan : plans) {
            QJsonObject request{{"cmd", "create_plan"}, {"projectid", 1}, {"name", plan.first}};
            if (!plan.second.isEmpty())
                request.insert("tags", QJsonArray{plan.second});
            if (backend.Ask(request).value("result") != QJsonValue("ok"))
                return false;
        }
        const QList<QPair<QString, QString>> testcases{{"Supply 12 V", "power/supply"}, {"Tx at 100%", "radio/tx"},
                                                       {"rx_gain", "radio/rx"},        {"rxAgain", "Radio/RX"},
                                                       {"no path", ""},                {"Mixed Case", "misc"}};
        for (const auto& testcase : testcases) {
            QJsonObject fields{{"projectid", 1}, {"title", testcase.first}, {"content", "{}"}};
            if (!testcase.second.isEmpty())
                fields.insert("path", testcase.second);
            if (backend.Ask({{"cmd", "add_tc"}, {"testcase", fields}}).value("result") != QJsonValue("ok"))
                return false;
        }
        return true;
    }

    QJsonObject AskHost(const QJsonObject& request) { return m_client->Request(request); }

    bool WriteTemplate(const QString& name, const QJsonArray& content)
    {
        QFile file(m_host->AppDir() + "/Data/AutoTestTpl/" + name);
        return file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(content).toJson()) > 0;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_sqlite.reset(new Backend);
        QVERIFY2(m_sqlite->Open(m_dir.filePath("checks.db3"), "checks-sqlite"), qPrintable(m_sqlite->model.ConnectionErrorText()));
        QVERIFY(Fill(*m_sqlite));
        if (PgTestDatabase::Available()) {
            m_pgDatabase.reset(new PgTestDatabase);
            QVERIFY2(m_pgDatabase->Create(), qPrintable(m_pgDatabase->ErrorText()));
            m_pg.reset(new Backend);
            QVERIFY2(m_pg->Open(m_pgDatabase->Url(), "checks-pg"), qPrintable(m_pg->model.ConnectionErrorText()));
            QVERIFY(Fill(*m_pg));
        }
        // Mode "remote" with a server that refuses: a forwarded request would answer "Network Error".
        m_host.reset(new HostProcess);
        const QString nowhere = QStringLiteral("http://127.0.0.1:%1/api").arg(m_refusing.Port());
        QVERIFY2(m_host->Start({"--remote-hosts", nowhere + "," + nowhere, "--script-timeout-ms", "600000"}),
                 qPrintable(m_host->ErrorText()));
        m_client.reset(new TestClient);
        QVERIFY(m_client->Connect(m_host->Url()));
        QCOMPARE(AskHost({{"CMD", "get_state"}}).value("state").toString(), QStringLiteral("remote"));
        const QJsonObject device = readJsonFile(KIV_SOURCE_DIR "/examples/device-template.json");
        QVERIFY(WriteTemplate("bench.json", QJsonArray{device}));
        // A second device that has the module, not its group: the first one fits better.
        const QJsonObject other{{"MODULES", QJsonArray{QJsonObject{{"NAME", "Power"}, {"SEQ", 1}, {"CASE_GROUPS", QJsonArray{
            QJsonObject{{"NAME", "Mains"}, {"SEQ", 1}, {"ITEMS", QJsonArray()}}}}}}}};
        QVERIFY(WriteTemplate("lab.tpl.json", QJsonArray{other}));
    }

    void cleanupTestCase()
    {
        m_client.reset();
        if (m_host)
            QVERIFY2(m_host->Stop(), qPrintable(m_host->Stderr()));
        m_pg.reset();
        m_sqlite.reset();
        m_pgDatabase.reset();
    }

    void listings_data()
    {
        QTest::addColumn<QString>("backend");
        QTest::addColumn<QJsonObject>("request");
        QTest::addColumn<QString>("expected");
        for (const QString backend : {"sqlite", "postgresql"}) {
            const auto row = [&backend](const char* name, const char* cmd, QJsonObject request) -> QTestData& {
                request.insert("cmd", cmd);
                return QTest::newRow(qPrintable(backend + ": " + cmd + ", " + name)) << backend << request;
            };
            row("all", "my_plans", {{"all", true}, {"size", 100}}) << "6 1 | 1 2 3 4 5 6";
            row("all, paged", "my_plans", {{"all", true}, {"size", 4}, {"page", 2}}) << "6 2 | 5 6";
            row("all of a tag", "my_plans", {{"all", true}, {"tags", QJsonArray{"day"}}, {"size", 10}}) << "3 1 | 3 4 6";
            row("all of an unknown tag", "my_plans", {{"all", true}, {"tags", QJsonArray{"x"}}, {"size", 10}}) << "0 0 | ";
            row("name ignores case", "my_plans", {{"search", " nIGHTLY radio "}, {"size", 10}}) << "1 1 | 1";
            row("% is literal", "my_plans", {{"search", "%"}, {"size", 10}}) << "1 1 | 2";
            row("_ is literal", "my_plans", {{"search", "a_b"}, {"size", 10}}) << "1 1 | 3";
            row("backslash is literal", "my_plans", {{"search", "\\t"}, {"size", 10}}) << "1 1 | 6";
            row("an id, or a name that holds it", "my_plans", {{"search", "1"}, {"size", 10}}) << "3 1 | 1 2 5";
            row("within a tag", "my_plans", {{"search", "suite"}, {"tags", QJsonArray{"day"}}, {"size", 10}}) << "2 1 | 3 4";
            row("empty text", "my_plans", {{"search", ""}, {"size", 2}}) << "6 3 | 1 2";
            row("too long", "my_plans", {{"search", QString(201, 'a')}, {"size", 2}})
                << "The search text has 201 characters, more than the 200 it may have; search for a shorter part of it.";
            // Pages follow the path (ASCII case ignored, no path first), then the id.
            row("path ignores case, page order", "proj_tcs", {{"search", "RADIO"}, {"size", 10}}) << "3 1 | 3 4 2";
            row("title ignores case", "proj_tcs", {{"search", "mixed CASE"}, {"size", 10}}) << "1 1 | 6";
            row("a title without a path", "proj_tcs", {{"search", "no pa"}, {"size", 10}}) << "1 1 | 5";
            row("_ is literal", "proj_tcs", {{"search", "x_g"}, {"size", 10}}) << "1 1 | 3";
            row("% is literal", "proj_tcs", {{"search", "%"}, {"size", 10}}) << "1 1 | 2";
            row("an id", "proj_tcs", {{"search", "5"}, {"size", 10}}) << "1 1 | 5";
            row("paged, counting every match", "proj_tcs", {{"search", "r"}, {"size", 2}, {"page", 2}}) << "4 2 | 4 2";
            row("within a path prefix", "proj_tcs", {{"search", "supply"}, {"path", "POWER"}, {"size", 10}}) << "1 1 | 1";
            row("empty text", "proj_tcs", {{"search", ""}, {"size", 10}}) << "6 1 | 5 6 1 3 4 2";
            row("not text", "proj_tcs", {{"search", QJsonArray{"a"}}, {"size", 10}})
                << "\"search\" must be the text to look for, as a JSON string.";
            // Without the new members, what it was: an empty error text for no plan, a wildcard _ in a path.
            row("a tag", "my_plans", {{"tags", QJsonArray{"day"}}, {"size", 2}}) << "3 2 | 3 4";
            row("no tag", "my_plans", {{"size", 2}}) << "";
            row("\"all\" other than true", "my_plans", {{"all", "yes"}, {"size", 2}}) << "";
            row("path with a wildcard", "proj_tcs", {{"path", "r_dio"}, {"size", 10}}) << "3 1 | 3 4 2";
        }
    }

    void listings()
    {
        QFETCH(QString, backend);
        QFETCH(QJsonObject, request);
        if (!Of(backend))
            QSKIP("KIV_TEST_PGURL is not set (tools/pgtest.sh start)");
        const QJsonObject reply = Of(backend)->Ask(request);
        QTEST(listing(reply, request.value("cmd") == QJsonValue("my_plans") ? "planid" : "testcaseid"), "expected");
        const QStringList keys = reply.value("result") == QJsonValue("ok") ? QStringList{"count", "data", "maxpage", "page", "result"}
                                                                          : QStringList{"result"};
        QCOMPARE(reply.keys(), keys);
    }

    void checkScript_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<bool>("compiles");
        QTest::addColumn<int>("line");
        QTest::newRow("a function") << "(function (local, global) { return local.Voltage === 12; })" << true << 0;
        // Compiled only: running either would not answer at once, or would throw.
        QTest::newRow("a loop for ever") << "while (true) {}" << true << 0;
        QTest::newRow("throws when run") << "throw new Error('ran');" << true << 0;
        QTest::newRow("syntax error") << "(function (local, global) {\n  var x = 1;\n  return x ===;\n})" << false << 3;
        // The directive applies as when the job evaluates the script.
        QTest::newRow("strict mode") << "'use strict';\nwith (Math) {}" << false << 2;
        QTest::newRow("strict mode inside the function") << "(function () {\n'use strict';\nvar a = 010; })" << false << 3;
    }

    void checkScript()
    {
        QFETCH(QString, script);
        QFETCH(bool, compiles);
        QFETCH(int, line);
        const QJsonObject reply = AskHost({{"CMD", "check_script"}, {"SEQ", 3}, {"script", script}});
        if (compiles) {
            QCOMPARE(reply, (QJsonObject{{"ERROR", "SUCCESS"}, {"SEQ", 3}, {"cmd", "check_script"}, {"result", "ok"}}));
            return;
        }
        // The engine's own words, as it gives them for the script evaluated.
        QJSEngine engine;
        const QJSValue error = engine.evaluate(script);
        QVERIFY(error.isError());
        QCOMPARE(reply.value("error").toString(), error.toString());
        QCOMPARE(reply.value("line").toInt(), line);
        QCOMPARE(reply.value("result").toString(),
                 QStringLiteral("The script does not compile (line %1: %2). Correct it, then check it again.").arg(line).arg(error.toString()));
    }

    void checkTestcase_data()
    {
        QTest::addColumn<QJsonValue>("content");
        QTest::addColumn<QString>("problems"); // "template: field=value ..." or "template: ok"
        const auto content = [](const QJsonValue& module, const QJsonValue& group, const QJsonValue& data) {
            QJsonObject object{{"execute_script", "(function () { return true; })"}};
            for (const auto& member : {qMakePair(QString("MODULE_NAME"), module), qMakePair(QString("GROUP_NAME"), group),
                                       qMakePair(QString("DATA"), data)}) {
                if (!member.second.isUndefined())
                    object.insert(member.first, member.second);
            }
            return QJsonValue(compact(object));
        };
        const QJsonArray twoItems{QJsonObject{{"INDEX", 0}, {"VALUE", 12}}, QJsonObject{{"INDEX", 1}, {"VALUE", 2}}};
        QTest::newRow("known names") << content("Power", "Supply", twoItems) << "bench: ok";
        QTest::newRow("given as an object") << QJsonValue(QJsonDocument::fromJson(content("Radio", "Tx", QJsonArray()).toString().toUtf8()).object())
                                            << "bench: ok";
        QTest::newRow("unknown module") << content("Powr", "Supply", twoItems) << "bench: MODULE_NAME=\"Powr\"";
        // The group of another module does not count.
        QTest::newRow("unknown group") << content("Power", "Tx", twoItems) << "bench: GROUP_NAME=\"Tx\"";
        QTest::newRow("no group") << content("Power", QJsonValue::Undefined, twoItems) << "bench: GROUP_NAME=null";
        QTest::newRow("unknown items")
            << content("Power", "Supply", QJsonArray{QJsonObject{{"INDEX", 1}, {"VALUE", 2}}, QJsonObject{{"INDEX", 7}, {"VALUE", 2}},
                                                     QJsonObject{{"VALUE", 2}}, QJsonObject{{"INDEX", 0.5}}})
            << "bench: DATA[1].INDEX=7 DATA[2]={\"VALUE\":2} DATA[3]={\"INDEX\":0.5}";
    }

    void checkTestcase()
    {
        QFETCH(QJsonValue, content);
        const QJsonObject reply = AskHost({{"CMD", "check_testcase"}, {"content", content}});
        QStringList found;
        for (const QJsonValue& problem : reply.value("problems").toArray()) {
            const QJsonValue value = problem["value"];
            const QString text = value.isObject() ? compact(value.toObject())
                                                  : QString::fromUtf8(QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact)).mid(1).chopped(1);
            found << problem["field"].toString() + "=" + text;
            QVERIFY2(!problem["message"].toString().isEmpty(), qPrintable(compact(reply)));
        }
        QCOMPARE(reply.value("cmd").toString(), QStringLiteral("check_testcase"));
        QTEST(reply.value("template").toString() + ": " + (found.isEmpty() ? reply.value("result").toString() : found.join(' ')), "problems");
        if (!found.isEmpty())
            QVERIFY2(reply.value("result").toString().contains(reply.value("problems")[0]["message"].toString()), qPrintable(compact(reply)));
    }

    // The messages say what to do; those about names name what is known.
    void messages_data()
    {
        QTest::addColumn<QJsonObject>("request");
        QTest::addColumn<QString>("result");
        QTest::newRow("no script") << QJsonObject{{"CMD", "check_script"}}
                                   << "check_script needs the verification script as text in \"script\"; send it as a JSON string.";
        QTest::newRow("script too large") << QJsonObject{{"CMD", "check_script"}, {"script", QString(1024 * 1024 + 1, ' ')}}
                                          << "The script has 1048577 characters, more than the 1048576 a script may have to be checked. "
                                             "Shorten it (move shared data into the test case's DATA), then check it again.";
        QTest::newRow("module") << QJsonObject{{"content", "{\"MODULE_NAME\":\"Powr\",\"GROUP_NAME\":\"Supply\",\"DATA\":[]}"}}
                                << "Module 'Powr' is not in device template 'bench' (its modules: Power, Radio). Correct MODULE_NAME.";
        QTest::newRow("item") << QJsonObject{{"content", "{\"MODULE_NAME\":\"Power\",\"GROUP_NAME\":\"Supply\",\"DATA\":[{\"INDEX\":4}]}"}}
                              << "DATA[0] sets item INDEX 4, which case group 'Supply' of module 'Power' in device template 'bench' "
                                 "does not have (its items: 0 SetVoltage, 1 SetCurrent). Use one of those indexes.";
        QTest::newRow("one template only") << QJsonObject{{"template", "lab"}, {"content", "{\"MODULE_NAME\":\"Power\",\"GROUP_NAME\":\"Supply\",\"DATA\":[]}"}}
                                           << "Module 'Power' has no case group 'Supply' in device template 'lab' (its groups: Mains). "
                                              "Correct GROUP_NAME.";
        QTest::newRow("unknown template") << QJsonObject{{"template", "nope"}, {"content", "{}"}}
                                          << "The station has no device template named 'nope' (it has: bench, lab). Choose one of "
                                             "those, or leave \"template\" out to check against all.";
        QTest::newRow("content not JSON") << QJsonObject{{"content", "{\"MODULE_NAME\":"}}
                                          << "The test case's content is not a JSON object (unterminated object); a job would refuse it. "
                                             "Correct the content, then check it again.";
    }

    void messages()
    {
        QFETCH(QJsonObject, request);
        if (!request.contains("CMD"))
            request.insert("CMD", "check_testcase");
        QTEST(AskHost(request).value("result").toString(), "result");
    }

    void checkTestcaseWithoutDeviceTemplates()
    {
        const QString directory = m_host->AppDir() + "/Data/AutoTestTpl/";
        QVERIFY(QDir(directory).rename("bench.json", "bench.off"));
        QVERIFY(QDir(directory).rename("lab.tpl.json", "lab.off"));
        // Test-case presets are templates too, but say nothing of the device.
        QVERIFY(WriteTemplate("presets.json", QJsonArray{QJsonObject{{"MODULE_NAME", "Power"}}}));
        const QString result = AskHost({{"CMD", "check_testcase"}, {"content", "{}"}}).value("result").toString();
        QVERIFY(QFile::remove(directory + "presets.json"));
        QVERIFY(QDir(directory).rename("bench.off", "bench.json"));
        QVERIFY(QDir(directory).rename("lab.off", "lab.tpl.json"));
        QCOMPARE(result, QStringLiteral("The station has no device template to check the names against. Put the device's template "
                                        "({\"MODULES\": [...]}, as the device reports it) in a JSON array in Data/AutoTestTpl/ on "
                                        "the host, then check again."));
    }
};

QTEST_GUILESS_MAIN(TstChecks)
#include "tst_checks.moc"
