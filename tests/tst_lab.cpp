// autotest-server's stations: "station_beat" stores what a station holds now,
// "lab_state" shows every station and device, offline ones as such.

#include "tests/support/ApiPost.h"
#include "tests/support/HostProcess.h"
#include "tests/support/JsonTools.h"
#include "tests/support/PgTestDatabase.h"

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

const QByteArray kAlice = "tok-alice-lab-71c2";
const QByteArray kVera = "tok-vera-lab-0d94";
const QByteArray kAdam = "tok-adam-lab-e35a";

QJsonObject device(const QString& url, const QJsonArray& tags, const QString& state, int jobId = 0)
{
    QJsonObject entry{{"url", url}, {"tags", tags}, {"state", state}};
    if (jobId > 0)
        entry.insert("jobid", jobId);
    return entry;
}

QJsonObject beat(const QString& station, const QJsonArray& devices)
{
    return {{"cmd", "station_beat"}, {"station", station}, {"version", "0.1.0"}, {"devices", devices}};
}

// A beat of one free device whose `member` is `value`.
QJsonObject beatWithDevice(const QString& member, const QJsonValue& value)
{
    QJsonObject entry = device("devices/bench-01", {"radio"}, "free");
    entry.insert(member, value);
    return beat("bench-a", {entry});
}

// A station's device of one beat, as "lab_state" shows it.
QJsonObject shown(const QString& station, const QJsonObject& device)
{
    QJsonObject entry = device;
    entry.insert("station", station);
    return entry;
}

// A beat of one busy device whose "jobid" is `jobId`.
QJsonObject busyBeat(const QJsonValue& jobId)
{
    QJsonObject entry = device("d/1", {}, "busy");
    entry.insert("jobid", jobId);
    return beat("bench-a", {entry});
}

QString text(const QJsonArray& array)
{
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

// The stations of a "lab_state" reply without their "last_seen", which must be ISO 8601 in UTC.
QJsonArray stationsOf(const QJsonObject& reply)
{
    static const QRegularExpression iso("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$");
    QJsonArray stations;
    for (const QJsonValue& value : reply.value("stations").toArray()) {
        QJsonObject station = value.toObject();
        if (!iso.match(station.take("last_seen").toString()).hasMatch())
            station.insert("bad last_seen", true);
        stations.append(station);
    }
    return stations;
}

} // namespace

class TstLab : public QObject
{
    Q_OBJECT
    QTemporaryDir m_dir;
    std::unique_ptr<PgTestDatabase> m_pg;
    std::unique_ptr<HostProcess> m_server;
    // The server of the refusals, which all compare against one stored beat.
    std::unique_ptr<HostProcess> m_refusing;
    QNetworkAccessManager m_network;

    // Starts a server with the users file (and, for `postgresql`, a database
    // of the test's own) plus `arguments`.
    bool Start(std::unique_ptr<HostProcess>& server, bool postgresql, const QStringList& arguments)
    {
        QFile users(m_dir.filePath("users"));
        if (!users.open(QIODevice::WriteOnly)
            || users.write("alice engineer " + kAlice + "\nvera viewer " + kVera + "\nadam admin " + kAdam + "\n") <= 0)
            return false;
        users.close();
        QStringList options{"--users", users.fileName()};
        if (postgresql) {
            m_pg.reset(new PgTestDatabase);
            if (!m_pg->Create()) {
                qWarning() << m_pg->ErrorText();
                return false;
            }
            options << "--database" << m_pg->Url();
        }
        server.reset(new HostProcess(QStringLiteral("autotest-server")));
        if (server->Start(options + arguments))
            return true;
        qWarning() << server->ErrorText();
        return false;
    }

    QJsonObject Post(const HostProcess& server, const QJsonObject& request, const QByteArray& token = kAlice)
    {
        return PostApi(m_network, server.Url(), request, token);
    }

    QJsonObject Lab(const HostProcess& server) { return Post(server, {{"cmd", "lab_state"}}, kVera); }

    static void addBackends()
    {
        QTest::addColumn<bool>("postgresql");
        QTest::newRow("sqlite") << false;
        QTest::newRow("postgresql") << true;
    }

private Q_SLOTS:
    void cleanup()
    {
        if (m_server)
            QVERIFY2(m_server->Stop(), qPrintable(m_server->Stderr()));
        m_server.reset();
        m_pg.reset();
    }

    void cleanupTestCase()
    {
        if (m_refusing)
            QVERIFY2(m_refusing->Stop(), qPrintable(m_refusing->Stderr()));
    }

    void stored_data() { addBackends(); }

    // A beat is shown as sent; the next replaces the station's list; other
    // stations keep theirs; nothing goes into the audit table.
    void stored()
    {
        QFETCH(bool, postgresql);
        if (postgresql && !PgTestDatabase::Available())
            QSKIP("KIV_TEST_PGURL is not set (tools/pgtest.sh start)");
        QVERIFY(Start(m_server, postgresql, {"--station-lease-s", "3600"}));
        const QJsonObject empty = Lab(*m_server);
        QCOMPARE(compact(empty), QString("{\"cmd\":\"lab_state\",\"devices\":[],\"queue\":[],\"queue_total\":0,\"result\":\"ok\",\"running\":[],"
                         "\"stations\":[]}"));

        const QJsonObject free9 = device("devices/bench-09", {"5g", "radio"}, "free");
        const QJsonObject busy2 = device("devices/bench-02", {}, "busy", 12);
        QCOMPARE(compact(Post(*m_server, beat("bench-z", {free9, busy2}))),
                 QString("{\"cmd\":\"station_beat\",\"lease_ms\":3600000,\"result\":\"ok\"}"));
        // No version: shown as "".
        const QJsonObject free1 = device("d/1", {"x"}, "free");
        const QJsonObject other{{"cmd", "station_beat"}, {"station", "bench-a"}, {"devices", QJsonArray{free1}}};
        QCOMPARE(Post(*m_server, other).value("result").toString(), QString("ok"));

        QJsonObject lab = Lab(*m_server);
        QCOMPARE(lab.value("result").toString(), QString("ok"));
        QCOMPARE(text(stationsOf(lab)), text({QJsonObject{{"name", "bench-a"}, {"online", true}, {"version", ""}},
                                              QJsonObject{{"name", "bench-z"}, {"online", true}, {"version", "0.1.0"}}}));
        // Sorted by station, then url; tags in the order sent.
        QCOMPARE(text(lab.value("devices").toArray()),
                 text({shown("bench-a", free1), shown("bench-z", busy2), shown("bench-z", free9)}));
        QCOMPARE(text(lab.value("queue").toArray()), QString("[]"));

        // bench-02 is gone, bench-09 took a job, bench-05 came.
        QJsonObject again = beat("bench-z", {device("devices/bench-09", {"radio"}, "busy", 7), device("devices/bench-05", {}, "free")});
        again.insert("version", "0.2.0");
        QCOMPARE(Post(*m_server, again).value("result").toString(), QString("ok"));
        lab = Lab(*m_server);
        QCOMPARE(stationsOf(lab).at(1).toObject().value("version").toString(), QString("0.2.0"));
        QCOMPARE(text(lab.value("devices").toArray()),
                 text({shown("bench-a", free1), shown("bench-z", device("devices/bench-05", {}, "free")),
                       shown("bench-z", device("devices/bench-09", {"radio"}, "busy", 7))}));
        // A station whose devices all went keeps its own row.
        QCOMPARE(Post(*m_server, beat("bench-z", {})).value("result").toString(), QString("ok"));
        lab = Lab(*m_server);
        QCOMPARE(stationsOf(lab).size(), 2);
        QCOMPARE(lab.value("devices").toArray().size(), 1);

        const QJsonObject audit = Post(*m_server, {{"cmd", "audit_log"}}, kAdam);
        QCOMPARE(audit.value("result").toString(), QString("ok"));
        QCOMPARE(audit.value("count").toInt(-1), 0);
    }

    void offline_data() { addBackends(); }

    // Past its lease (0 here: at once) a station is offline, its devices too,
    // and the job it last named is not shown.
    void offline()
    {
        QFETCH(bool, postgresql);
        if (postgresql && !PgTestDatabase::Available())
            QSKIP("KIV_TEST_PGURL is not set (tools/pgtest.sh start)");
        QVERIFY(Start(m_server, postgresql, {"--station-lease-s", "0"}));
        QCOMPARE(compact(Post(*m_server, beat("bench-a", {device("devices/bench-01", {"radio"}, "busy", 12)}))),
                 QString("{\"cmd\":\"station_beat\",\"lease_ms\":0,\"result\":\"ok\"}"));
        const QJsonObject lab = Lab(*m_server);
        QCOMPARE(text(stationsOf(lab)), text({QJsonObject{{"name", "bench-a"}, {"online", false}, {"version", "0.1.0"}}}));
        QCOMPARE(text(lab.value("devices").toArray()), text({shown("bench-a", device("devices/bench-01", {"radio"}, "offline"))}));
    }

    void refused_data()
    {
        QTest::addColumn<QByteArray>("token");
        QTest::addColumn<QJsonObject>("request");
        QTest::addColumn<QString>("result");

        QJsonArray many;
        for (int i = 0; i < 65; ++i)
            many.append(device(QString("d/%1").arg(i), {}, "free"));
        QJsonArray tags;
        for (int i = 0; i < 51; ++i)
            tags.append(QString("t%1").arg(i));
        const QJsonObject good = beat("bench-b", {device("devices/bench-01", {}, "free")});
        QJsonObject noStation = good;
        noStation.remove("station");
        QJsonObject noDevices = good;
        noDevices.remove("devices");
        QJsonObject numberVersion = good;
        numberVersion.insert("version", 1);

        QTest::newRow("viewer") << kVera << good << "station_beat needs the engineer role; vera is a viewer";
        QTest::newRow("no station") << kAlice << noStation << "station must be a non-empty string";
        QTest::newRow("long station") << kAlice << beat(QString(101, 'x'), {}) << "station must be at most 100 characters";
        QTest::newRow("version a number") << kAlice << numberVersion << "version must be a string";
        QTest::newRow("no devices") << kAlice << noDevices << "devices must be an array";
        QTest::newRow("too many devices") << kAlice << beat("bench-a", many) << "devices must hold at most 64 devices";
        QTest::newRow("device a string") << kAlice << beat("bench-a", {device("d/1", {}, "free"), "d/2"})
                                         << "devices[1] must be an object";
        QTest::newRow("url empty") << kAlice << beat("bench-a", {device("d/1", {}, "free"), device("", {}, "free")})
                                   << "devices[1].url must be a non-empty string";
        QTest::newRow("url long") << kAlice << beatWithDevice("url", QString(501, 'u')) << "devices[0].url must be at most 500 characters";
        QTest::newRow("tag a number") << kAlice << beatWithDevice("tags", QJsonArray{"radio", 5})
                                      << "devices[0].tags[1] must be a non-empty string";
        QTest::newRow("too many tags") << kAlice << beatWithDevice("tags", tags) << "devices[0].tags must hold at most 50 tags";
        QTest::newRow("state unknown") << kAlice << beatWithDevice("state", "idle") << "devices[0].state must be \"free\" or \"busy\"";
        QTest::newRow("jobid fraction") << kAlice << busyBeat(1.5)
                                        << "devices[0].jobid must be a job id (an integer from 1)";
        QTest::newRow("jobid of a free device") << kAlice << beatWithDevice("jobid", 3) << "devices[0].jobid is only for a busy device";
        // Two rows of one key, which the database would refuse less clearly.
        QTest::newRow("url twice") << kAlice
                                   << beat("bench-a", {device("d/1", {}, "free"), device("d/2", {}, "free"), device("d/1", {}, "busy")})
                                   << "devices[2].url repeats devices[0].url";
    }

    // A refused beat changes nothing: not the station's time, version or devices.
    void refused()
    {
        QFETCH(QByteArray, token);
        QFETCH(QJsonObject, request);
        QFETCH(QString, result);
        if (!m_refusing) {
            QVERIFY(Start(m_refusing, false, {"--station-lease-s", "3600"}));
            QCOMPARE(Post(*m_refusing, beat("bench-a", {device("devices/bench-01", {"radio"}, "busy", 4)})).value("result").toString(),
                     QString("ok"));
        }
        const QJsonObject before = Lab(*m_refusing);
        QCOMPARE(before.value("stations").toArray().size(), 1);
        QCOMPARE(compact(Post(*m_refusing, request, token)),
                 compact(QJsonObject{{"cmd", "station_beat"}, {"result", result}}));
        QCOMPARE(compact(Lab(*m_refusing)), compact(before));
    }
};

QTEST_GUILESS_MAIN(TstLab)
#include "tst_lab.moc"
