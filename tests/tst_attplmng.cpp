// "GetAutoTestTemplate" through the host, with files in its template directory.

#include "tests/support/HostProcess.h"
#include "tests/support/TestClient.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QtTest>

namespace {

void write(const QString& path, const QByteArray& content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

// name -> content of every template in the reply.
QMultiMap<QString, QJsonArray> templates(const QJsonObject& reply)
{
    QMultiMap<QString, QJsonArray> found;
    for (const QJsonValue& value : reply.value("VALUE").toArray())
        found.insert(value.toObject().value("name").toString(), value.toObject().value("content").toArray());
    return found;
}

} // namespace

class TstAtTplMng : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void servesArrayFilesOnly();
};

void TstAtTplMng::servesArrayFilesOnly()
{
    HostProcess host;
    QVERIFY2(host.Start(), qPrintable(host.ErrorText()));
    TestClient client;
    QVERIFY(client.Connect(host.Url()));
    const QString dir = host.AppDir() + "/Data/AutoTestTpl/";
    QVERIFY(QDir(dir).exists());
    QCOMPARE(client.Request({{"CMD", "GetAutoTestTemplate"}}).value("VALUE").toArray(), QJsonArray());

    write(dir + "board.new.json", R"([{"step":1}])");
    write(dir + "a.json", "[1]");
    write(dir + "a.b.json", "[2]");
    write(dir + "object.json", R"({"not":"an array"})");
    write(dir + "broken.json", "[1,");
    write(dir + "notes.txt", "[3]");
    QVERIFY(QDir(dir).mkdir("folder.json"));

    QJsonObject reply = client.Request({{"CMD", "GetAutoTestTemplate"}, {"SEQ", 1}});
    QCOMPARE(reply.value("SEQ").toInt(), 1);
    QMultiMap<QString, QJsonArray> found = templates(reply);
    QCOMPARE(found.size(), 3);
    QCOMPARE(found.value("board"), (QJsonArray{QJsonObject{{"step", 1}}}));
    QCOMPARE(found.values("a").size(), 2);
    QVERIFY(found.values("a").contains(QJsonArray{1}) && found.values("a").contains(QJsonArray{2}));
    QTRY_VERIFY(host.Stderr().contains("[1] AtTplMng AtTplMng::File2JsonObj: object.jsonIs Not A Json Array"));
    QVERIFY(host.Stderr().contains("[1] AtTplMng AtTplMng::File2JsonObj: broken.jsonParse Error: "));

    // Changes show on the next request, without a restart.
    write(dir + "object.json", "[4]");
    QFile::remove(dir + "board.new.json");
    found = templates(client.Request({{"CMD", "GetAutoTestTemplate"}}));
    QCOMPARE(found.size(), 3);
    QCOMPARE(found.value("object"), QJsonArray{4});
    QVERIFY(!found.contains("board"));
    QVERIFY(host.Stop());
}

QTEST_GUILESS_MAIN(TstAtTplMng)
#include "tst_attplmng.moc"
