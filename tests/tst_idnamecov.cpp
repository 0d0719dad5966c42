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

    // The input's form picks the conversion: names "module/group/item" go to NameToId, numbers
    // "moduleSeq,groupSeq,index" to ObseIdToName, a JSON object to IdDataToNameData. Outputs start
    // as -1,-1,-1 / ?/?/? / {"k":0}, so fields a conversion leaves unwritten show.
    void convert_data()
    {
        QTest::addColumn<QString>("in");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<QString>("out");
        QTest::newRow("to id: no module name") << "/In/volt" << true << "-1,-1,-1";
        QTest::newRow("to id: item") << "Pwr/In/amp" << true << "1,2,9";
        QTest::newRow("to id: unknown item keeps seqs") << "Pwr/In/Volt" << false << "1,2,-1";
        QTest::newRow("to id: skips module without groups") << "Dup/G/" << true << "6,1,-1";
        QTest::newRow("to id: commits to first module") << "Dup/H/" << false << "6,-1,-1";
        QTest::newRow("data: named items only, last wins") << R"({"MODULE_SEQ":1,"GROUP_SEQ":2,"DATA":[{"INDEX":0,"VALUE":4},
            {"INDEX":9,"VALUE":1},{"INDEX":0,"VALUE":5}]})" << true << R"({"k":0,"vOut":5})";
        QTest::newRow("data: no INDEX is -1") << R"({"MODULE_SEQ":1,"GROUP_SEQ":2,"DATA":[{"VALUE":3}]})" << true << R"({"k":0,"neg":3})";
        QTest::newRow("data: none needs no module") << R"({"MODULE_SEQ":42})" << true << R"({"k":0})";
        QTest::newRow("data: commits to first") << R"({"MODULE_SEQ":6,"GROUP_SEQ":2,"DATA":[{}]})" << false << R"({"k":0})";
        QTest::newRow("obse: skips nameless entries") << "1,3,4" << true << "Pwr/Meas/temp";
        QTest::newRow("obse: missing numbers are 0") << "0,0,0" << true << "NoSeq/O/x";
        QTest::newRow("obse: commits to first module") << "6,2,0" << false << "Dup/?/?";
    }
    void convert()
    {
        QFETCH(QString, in);
        if (in.startsWith('{')) {
            QJsonObject nameData{{"k", 0}};
            QTEST(cov.IdDataToNameData(QJsonDocument::fromJson(in.toUtf8()).object(), nameData), "ok");
            QTEST(QString::fromUtf8(QJsonDocument(nameData).toJson(QJsonDocument::Compact)), "out");
        } else if (in.contains('/')) {
            const QStringList n = in.split('/');
            IdKey ids{-1, -1, -1};
            QTEST(cov.NameToId(NameKey{n[0], n[1], n[2]}, ids), "ok");
            QTEST(QString("%1,%2,%3").arg(ids.moduleSeq).arg(ids.groupSeq).arg(ids.index), "out");
        } else {
            const QStringList n = in.split(',');
            NameKey names{"?", "?", "?"};
            QTEST(cov.ObseIdToName(IdKey{n[0].toInt(), n[1].toInt(), n[2].toInt()}, names), "ok");
            QTEST(QStringList({names.moduleName, names.groupName, names.itemName}).join('/'), "out");
        }
    }
};

QTEST_GUILESS_MAIN(TstIdNameCov)
#include "tst_idnamecov.moc"
