// Routing inside the proxy, without a network in between.

#include "front/ATServerProxy.h"

#include <QJsonArray>
#include <QtTest>

namespace {

// Runs one request and returns every reply the callback received.
QList<QJsonObject> route(ATServerProxy& proxy, const QJsonObject& request)
{
    QList<QJsonObject> replies;
    proxy.DoJson(request, [&replies](const QJsonObject& reply) { replies.append(reply); });
    return replies;
}

} // namespace

class TstServerProxy : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void immediateCommandsAnswerOnceWithoutCmd_data();
    void immediateCommandsAnswerOnceWithoutCmd();
    void modeDecidesWhereOtherCommandsGo();
};

void TstServerProxy::immediateCommandsAnswerOnceWithoutCmd_data()
{
    QTest::addColumn<QJsonObject>("request");
    QTest::addColumn<QJsonObject>("reply");
    QTest::newRow("no cmd") << QJsonObject{} << QJsonObject{{"result", "No cmd Section"}};
    QTest::newRow("cmd number") << QJsonObject{{"cmd", 5}} << QJsonObject{{"result", "No cmd Section"}};
    QTest::newRow("get_state") << QJsonObject{{"cmd", "get_state"}, {"state", "local"}}
                               << QJsonObject{{"result", "ok"}, {"state", "remote"}};
    QTest::newRow("templates") << QJsonObject{{"cmd", "GetAutoTestTemplate"}} << QJsonObject{{"VALUE", QJsonArray()}};
}

void TstServerProxy::immediateCommandsAnswerOnceWithoutCmd()
{
    QFETCH(QJsonObject, request);
    QFETCH(QJsonObject, reply);
    ATServerProxy proxy;
    const QList<QJsonObject> replies = route(proxy, request);
    QCOMPARE(replies.size(), 1);
    QCOMPARE(replies.at(0), reply);
}

void TstServerProxy::modeDecidesWhereOtherCommandsGo()
{
    ATServerProxy proxy;
    // Remote mode: even an empty-named command never leaves the proxy.
    QCOMPARE(route(proxy, {{"cmd", ""}}).at(0).value("result").toString(), QStringLiteral("No cmd Section"));
    // Other commands go to the remote server and are answered later.
    QList<QJsonObject> replies = route(proxy, {{"cmd", "add_tc"}});
    QCOMPARE(replies.size(), 0);

    QCOMPARE(route(proxy, {{"cmd", "switch_state"}, {"state", "local"}}).at(0).value("state").toString(),
             QStringLiteral("local"));
    replies = route(proxy, {{"cmd", "no_such_cmd"}});
    QCOMPARE(replies.size(), 1);
    QCOMPARE(replies.at(0), (QJsonObject{{"result", "Local AT Server not support cmd: no_such_cmd"}, {"cmd", "no_such_cmd"}}));
    // Immediate commands are answered in local mode too.
    QCOMPARE(route(proxy, {{"cmd", "get_state"}}).at(0).value("state").toString(), QStringLiteral("local"));
}

QTEST_GUILESS_MAIN(TstServerProxy)
#include "tst_serverproxy.moc"
