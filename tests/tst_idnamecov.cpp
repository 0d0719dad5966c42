#include "device/IdNameCov.h"

#include <QJsonDocument>
#include <QtTest>

// Non-objects and nameless entries come first; "Dup" catches a scan that does not commit to its first fit.
static const char kTemplate[] = R"([0, {"SEQ":1, "CASE_GROUPS":[], "OBSE_GROUPS":[]},
  {"NAME":"Pwr", "SEQ":1, "CASE_GROUPS":[0, {"NAME":"In", "SEQ":2, "ITEMS":[{"INPUT_NAME":"volt", "OUTPUT_NAME":"vOut",
    "INDEX":0}, {"INPUT_NAME":"amp", "OUTPUT_NAME":"", "INDEX":9}, {"OUTPUT_NAME":"neg", "INDEX":-1}]}],
   "OBSE_GROUPS":[{"NAME":"Meas", "SEQ":3, "ITEMS":[{"NAME":"", "INDEX":4}, {"NAME":"temp", "INDEX":4}]}]},
  {"NAME":"Dup", "SEQ":6}, {"NAME":"Dup", "SEQ":6, "CASE_GROUPS":[{"NAME":"G", "SEQ":1, "ITEMS":[]}], "OBSE_GROUPS":[]},
  {"NAME":"Dup", "SEQ":6, "CASE_GROUPS":[{"NAME":"H", "SEQ":2, "ITEMS":[{"OUTPUT_NAME":"h"}]}],
   "OBSE_GROUPS":[{"NAME":"O", "SEQ":2, "ITEMS":[{"NAME":"o"}]}]},
  {"NAME":"NoSeq", "OBSE_GROUPS":[{"NAME":"O", "ITEMS":[{"NAME":"x"}]}]}])";

class TstIdNameCov : public QObject
{
    Q_OBJECT
    IdNameCov cov;
private Q_SLOTS:
    void initTestCase() { cov.SetModules(QJsonDocument::fromJson(kTemplate).array()); }
    void nameToId_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("ids"); // from -1,-1,-1, so unwritten fields show
        QTest::newRow("no module name") << QStringList{"", "In", "volt"} << true << "-1,-1,-1";
        QTest::newRow("item") << QStringList{"Pwr", "In", "amp"} << true << "1,2,9";
        QTest::newRow("unknown item keeps seqs") << QStringList{"Pwr", "In", "Volt"} << false << "1,2,-1";
        QTest::newRow("skips module without groups") << QStringList{"Dup", "G", ""} << true << "6,1,-1";
        QTest::newRow("commits to first module") << QStringList{"Dup", "H", ""} << false << "6,-1,-1";
    }
    void nameToId()
    {
        QFETCH(QStringList, names);
        IdKey ids{-1, -1, -1};
        QTEST(cov.NameToId(NameKey{names[0], names[1], names[2]}, ids), "ok");
        QTEST(QString("%1,%2,%3").arg(ids.moduleSeq).arg(ids.groupSeq).arg(ids.index), "ids");
    }

    void idDataToNameData_data()
    {
        QTest::addColumn<QString>("idData");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("nameData"); // from {"k":0}
        QTest::newRow("named items only, last wins") << R"({"MODULE_SEQ":1,"GROUP_SEQ":2,"DATA":[{"INDEX":0,"VALUE":4},
            {"INDEX":9,"VALUE":1},{"INDEX":0,"VALUE":5}]})" << true << R"({"k":0,"vOut":5})";
        QTest::newRow("no INDEX is -1") << R"({"MODULE_SEQ":1,"GROUP_SEQ":2,"DATA":[{"VALUE":3}]})" << true
                                        << R"({"k":0,"neg":3})";
        QTest::newRow("no data needs no module") << R"({"MODULE_SEQ":42})" << true << R"({"k":0})";
        QTest::newRow("commits to first") << R"({"MODULE_SEQ":6,"GROUP_SEQ":2,"DATA":[{}]})" << false << R"({"k":0})";
    }
    void idDataToNameData()
    {
        QFETCH(QString, idData);
        QJsonObject out{{"k", 0}};
        QTEST(cov.IdDataToNameData(QJsonDocument::fromJson(idData.toUtf8()).object(), out), "ok");
        QTEST(QString::fromUtf8(QJsonDocument(out).toJson(QJsonDocument::Compact)), "nameData");
    }

    void obseIdToName_data()
    {
        QTest::addColumn<QVector<int>>("ids");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("names"); // from ?/?/?
        QTest::newRow("skips nameless entries") << QVector<int>{1, 3, 4} << true << "Pwr/Meas/temp";
        QTest::newRow("missing numbers are 0") << QVector<int>{0, 0, 0} << true << "NoSeq/O/x";
        QTest::newRow("commits to first module") << QVector<int>{6, 2, 0} << false << "Dup/?/?";
    }
    void obseIdToName()
    {
        QFETCH(QVector<int>, ids);
        NameKey names{"?", "?", "?"};
        QTEST(cov.ObseIdToName(IdKey{ids[0], ids[1], ids[2]}, names), "ok");
        QTEST(QStringList({names.moduleName, names.groupName, names.itemName}).join('/'), "names");
    }
};

QTEST_GUILESS_MAIN(TstIdNameCov)
#include "tst_idnamecov.moc"
