#include "device/IdNameCov.h"

#include <QJsonDocument>
#include <QtTest>

// Non-objects and nameless entries sit before the real ones so that a lookup
// which does not skip them fails; the "Dup" modules catch a scan that does not
// commit to its first fit.
static const char kTemplate[] = R"([0, {"SEQ": 1, "CASE_GROUPS": [], "OBSE_GROUPS": []},
  {"NAME": "Pwr", "SEQ": 1, "CASE_GROUPS": [0, {"NAME": "In", "SEQ": 2, "ITEMS": [
     {"INPUT_NAME": "volt", "OUTPUT_NAME": "vOut", "INDEX": 0}, {"INPUT_NAME": "amp", "OUTPUT_NAME": "", "INDEX": 9},
     {"OUTPUT_NAME": "neg", "INDEX": -1}]}],
   "OBSE_GROUPS": [{"NAME": "Meas", "SEQ": 3, "ITEMS": [{"NAME": "", "INDEX": 4}, {"NAME": "temp", "INDEX": 4}]}]},
  {"NAME": "Dup", "SEQ": 6}, {"NAME": "Dup", "SEQ": 6, "CASE_GROUPS": [{"NAME": "G", "SEQ": 1, "ITEMS": []}]},
  {"NAME": "Dup", "SEQ": 6, "CASE_GROUPS": [{"NAME": "H", "SEQ": 2, "ITEMS": [{"OUTPUT_NAME": "h", "INDEX": 0}]}]},
  {"NAME": "NoSeq", "OBSE_GROUPS": [{"NAME": "O", "ITEMS": [{"NAME": "x"}]}]}])";

class TstIdNameCov : public QObject
{
    Q_OBJECT
    IdNameCov cov;

private Q_SLOTS:
    void initTestCase()
    {
        cov.SetModules(QJsonDocument::fromJson(kTemplate).array());
        QVERIFY(!cov.Modules().isEmpty());
    }

    void nameToId_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("ids"); // from -1,-1,-1, so unwritten fields show
        QTest::newRow("no module name") << QStringList{"", "In", "volt"} << true << "-1,-1,-1";
        QTest::newRow("names are case-sensitive") << QStringList{"pwr", "", ""} << false << "-1,-1,-1";
        QTest::newRow("module only") << QStringList{"Pwr", "", ""} << true << "1,-1,-1";
        QTest::newRow("item") << QStringList{"Pwr", "In", "amp"} << true << "1,2,9";
        QTest::newRow("unknown item keeps seqs") << QStringList{"Pwr", "In", "Volt"} << false << "1,2,-1";
        QTest::newRow("skips module without groups") << QStringList{"Dup", "G", ""} << true << "6,1,-1";
        QTest::newRow("commits to first module") << QStringList{"Dup", "H", ""} << false << "6,-1,-1";
    }
    void nameToId()
    {
        QFETCH(QStringList, names);
        QFETCH(bool, ok);
        IdKey ids{-1, -1, -1};
        QCOMPARE(cov.NameToId(NameKey{names[0], names[1], names[2]}, ids), ok);
        QTEST(QString("%1,%2,%3").arg(ids.moduleSeq).arg(ids.groupSeq).arg(ids.index), "ids");
    }

    void idDataToNameData_data()
    {
        QTest::addColumn<QByteArray>("idData");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QByteArray>("nameData"); // from {"keep": 0}
        QTest::newRow("named items only, last wins")
            << QByteArray(R"({"MODULE_SEQ": 1, "GROUP_SEQ": 2, "DATA": [{"INDEX": 0, "VALUE": 4},
                              {"INDEX": 9, "VALUE": 1}, {"INDEX": 0, "VALUE": 5}]})")
            << true << QByteArray(R"({"keep": 0, "vOut": 5})");
        QTest::newRow("missing index is -1") << QByteArray(R"({"MODULE_SEQ": 1, "GROUP_SEQ": 2, "DATA": [{"VALUE": 3}]})")
                                             << true << QByteArray(R"({"keep": 0, "neg": 3})");
        QTest::newRow("no data needs no module") << QByteArray(R"({"MODULE_SEQ": 42})") << true
                                                 << QByteArray(R"({"keep": 0})");
        QTest::newRow("commits to first module") << QByteArray(R"({"MODULE_SEQ": 6, "GROUP_SEQ": 2, "DATA": [{}]})")
                                                 << false << QByteArray(R"({"keep": 0})");
    }
    void idDataToNameData()
    {
        QFETCH(QByteArray, idData);
        QFETCH(bool, ok);
        QFETCH(QByteArray, nameData);
        QJsonObject out{{"keep", 0}};
        QCOMPARE(cov.IdDataToNameData(QJsonDocument::fromJson(idData).object(), out), ok);
        QCOMPARE(out, QJsonDocument::fromJson(nameData).object());
    }

    void obseIdToName_data()
    {
        QTest::addColumn<QVector<int>>("ids");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("names"); // from ?/?/?
        QTest::newRow("skips nameless entries") << QVector<int>{1, 3, 4} << true << "Pwr/Meas/temp";
        QTest::newRow("missing numbers are 0") << QVector<int>{0, 0, 0} << true << "NoSeq/O/x";
        QTest::newRow("unknown group keeps module") << QVector<int>{1, 2, 4} << false << "Pwr/?/?";
    }
    void obseIdToName()
    {
        QFETCH(QVector<int>, ids);
        QFETCH(bool, ok);
        NameKey names{"?", "?", "?"};
        QCOMPARE(cov.ObseIdToName(IdKey{ids[0], ids[1], ids[2]}, names), ok);
        QTEST(QStringList({names.moduleName, names.groupName, names.itemName}).join('/'), "names");
    }
};

QTEST_GUILESS_MAIN(TstIdNameCov)
#include "tst_idnamecov.moc"
