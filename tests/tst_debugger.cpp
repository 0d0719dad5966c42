#include "tests/support/LogSpy.h"

#include <QJsonObject>
#include <QtTest>

class TstDebugger : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void recordKeepsSectionFunctionLevelAndPiecesInOrder();
    void filteredRecordsBuildNothing();
};

void TstDebugger::recordKeepsSectionFunctionLevelAndPiecesInOrder()
{
    LogSpy spy;
    {
        Debugger debugger(Debugger::SECTION(QStringLiteral("AutoTestProxy")), "ATServerProxy::Init", 42, 0);
        debugger.Dump() << "[Local DB Init Fail : " << QStringLiteral("disk full") << " ]" << 7 << QJsonObject{{"a", 1}};
        debugger.print_r(" %s=%03d", "n", 5);
        QVERIFY(spy.Records().isEmpty()); // closed only when the record goes
    }
    QCOMPARE(spy.Records().size(), 1);
    const Debugger::Record& record = spy.Records().at(0);
    QCOMPARE(record.section, QStringLiteral("AutoTestProxy"));
    QCOMPARE(record.function, QByteArray("ATServerProxy::Init"));
    QCOMPARE(record.level, 0);
    QCOMPARE(record.line, 42);
    QCOMPARE(record.text, QStringLiteral("[Local DB Init Fail : disk full ]7{\"a\":1} n=005"));

    int dummy = 0;
    KIV_LOG("TcExecutor", "TcExecutor::StartTc", 3) << "tcExec: " << static_cast<void*>(&dummy);
    QCOMPARE(spy.Records().size(), 2);
    QVERIFY(spy.Records().at(1).text.startsWith(QStringLiteral("tcExec: 0x")));
    QCOMPARE(spy.Records().at(1).level, 3);
}

void TstDebugger::filteredRecordsBuildNothing()
{
    const int threshold = Debugger::Threshold();
    Debugger::SetThreshold(2);
    int evaluated = 0;
    auto expensive = [&evaluated] { ++evaluated; return QStringLiteral("x"); };
    KIV_LOG("Any", "Any::Thing", 3) << expensive();
    QCOMPARE(evaluated, 0);
    KIV_LOG("Any", "Any::Thing", 5) << expensive();
    QCOMPARE(evaluated, 0);
    {
        // An observer wants every level.
        LogSpy spy;
        KIV_LOG("Any", "Any::Thing", 3) << expensive();
        QCOMPARE(evaluated, 1);
        QCOMPARE(spy.Count("Any", "Any::Thing", 3, "x"), 1);
    }
    KIV_LOG("Any", "Any::Thing", 3) << expensive();
    QCOMPARE(evaluated, 1);
    Debugger::SetThreshold(threshold);
}

QTEST_GUILESS_MAIN(TstDebugger)
#include "tst_debugger.moc"
