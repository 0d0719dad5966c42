// The lab under load: autotest-server hands queued jobs to simulated stations.
// A run starts its own server (SQLite in a temporary directory; then
// PostgreSQL, in a database of its own, when KIV_TEST_PGURL is set), stores
// plans of 10 test cases, then lets (by default)
//   - 100 stations of 4 tagged devices each check in with "station_beat"
//     (boot, seq, the jobs they hold, long-polled with wait_ms), run what they
//     are handed for a few ms per case, post one "job_progress" and the
//     "job_report";
//   - 20 console viewers ask for "lab_state" every 250 ms;
//   - an engineer queue 2 000 jobs by tags with mixed priorities,
// and measures the dispatch latency of every job (from when it was queued, or
// when its device became free if later, to when a station got it), the
// latency of "lab_state", jobs finished per second and the server's CPU and
// peak memory. At the end it reads every job's record back ("job_detail" with
// verdicts) and counts the jobs lost (never finished, or "Station lost") and
// those handed out twice.
//   bench_lab [--stations N] [--devices N] [--jobs N] [--viewers N] ...  (--help)
// The last lines, one per database:
//   lab sqlite: dispatch p50 A ms p99 B ms; lab_state p99 C ms; jobs N lost L twice T; server RSS M MB
// Exits 2 when a target is missed: dispatch p99 < 500 ms, lab_state p99 <
// 20 ms, every job finished once.
//
// Every client is a keep-alive HTTP connection driven by Boost.Beast from this
// one thread (two per station: its beat is held by the server while the
// station's reports go out), so that hundreds of stations cost the machine,
// which also runs the server and the database, little beside them.

#include "tests/support/HostProcess.h"
#include "tests/support/PgTestDatabase.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace net = boost::asio;
using tcp = boost::asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The signal that asked us to stop, 0 while none did.
int g_signal = 0;

struct Options
{
    int stations = 100;
    int devices = 4;
    int jobs = 2000;
    int viewers = 20;
    int engineers = 1;
    bool queueFirst = false;
    int plans = 20;
    int cases = 10;
    int caseMs = 5;
    int waitMs = 2000;
    int viewerMs = 250;
    int timeoutS = 100;
    QByteArray backend;
    QByteArray ioThreads;
    QByteArray databaseWork;
};

const char* const kTags[] = {"radio", "wifi", "usb", "power"};
const int kPriorities[] = {-5, 0, 0, 0, 1, 5, 10};

Clock::time_point g_epoch = Clock::now();

void logLine(const char* format, ...)
{
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fprintf(stderr, "[%7.2f] %s\n", std::chrono::duration<double>(Clock::now() - g_epoch).count(), text);
}

double msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(double(values.size()) * p))];
}

std::string quoted(const std::string& text)
{
    const QByteArray array = QJsonDocument(QJsonArray{QString::fromStdString(text)}).toJson(QJsonDocument::Compact);
    return array.mid(1, array.size() - 2).toStdString();
}

QJsonObject parse(const std::string& body)
{
    return QJsonDocument::fromJson(QByteArray::fromRawData(body.data(), int(body.size()))).object();
}

bool isOk(const QJsonObject& answer)
{
    return answer.value(QStringLiteral("result")) == QLatin1String("ok");
}

// One keep-alive HTTP connection posting to /api, one request at a time;
// further requests wait their turn. A failed request drops the connection and
// the next one opens a new one. `done` gets the body of a 200 answer, or null
// and why there is none.
class Connection
{
public:
    using Done = std::function<void(const std::string* body, double ms, const std::string& error)>;

    Connection(net::io_context& io, const tcp::endpoint& server) : m_server(server), m_stream(io) {}

    void Post(std::string body, milliseconds timeout, Done done)
    {
        if (m_closed)
            return;
        m_queue.push_back({std::move(body), timeout, std::move(done)});
        if (!m_busy)
            Next();
    }

    // Ends the connection; nothing more is answered.
    void Close()
    {
        m_closed = true;
        m_queue.clear();
        beast::error_code ignored;
        m_stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        m_stream.close();
    }

private:
    struct Request
    {
        std::string body;
        milliseconds timeout;
        Done done;
    };

    void Next()
    {
        if (m_closed || m_queue.empty())
            return;
        m_busy = true;
        m_current = std::move(m_queue.front());
        m_queue.pop_front();
        m_start = Clock::now();
        if (m_connected)
            return Send();
        m_stream.expires_after(std::chrono::seconds(5));
        m_stream.async_connect(m_server, [this](beast::error_code error) {
            if (error)
                return Finish(nullptr, "connect: " + error.message());
            m_connected = true;
            beast::error_code ignored;
            m_stream.socket().set_option(tcp::no_delay(true), ignored);
            Send();
        });
    }

    void Send()
    {
        m_request = {http::verb::post, "/api", 11};
        m_request.set(http::field::host, "127.0.0.1");
        m_request.set(http::field::content_type, "application/json");
        m_request.body() = std::move(m_current.body);
        m_request.prepare_payload();
        m_stream.expires_after(m_current.timeout);
        http::async_write(m_stream, m_request, [this](beast::error_code error, std::size_t) {
            if (error)
                return Finish(nullptr, "write: " + error.message());
            m_parser.emplace();
            // "lab_state" of a large lab is larger than Beast's default limit.
            m_parser->body_limit(256u << 20);
            http::async_read(m_stream, m_buffer, *m_parser, [this](beast::error_code error, std::size_t) {
                if (error)
                    return Finish(nullptr, "read: " + error.message());
                http::response<http::string_body>& response = m_parser->get();
                if (!response.keep_alive())
                    m_drop = true;
                if (response.result_int() != 200)
                    return Finish(nullptr, "HTTP " + std::to_string(response.result_int()) + ": " + response.body().substr(0, 200));
                std::string body = std::move(response.body());
                Finish(&body, std::string());
            });
        });
    }

    void Finish(const std::string* body, const std::string& error)
    {
        const double ms = msBetween(m_start, Clock::now());
        if (!body || m_drop) {
            beast::error_code ignored;
            m_stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
            m_stream.close();
            m_buffer.clear();
            m_connected = false;
            m_drop = false;
        }
        m_busy = false;
        if (m_closed)
            return;
        Done done = std::move(m_current.done);
        if (done)
            done(body, ms, error);
        if (!m_busy)
            Next();
    }

    tcp::endpoint m_server;
    beast::tcp_stream m_stream;
    beast::flat_buffer m_buffer;
    http::request<http::string_body> m_request;
    std::optional<http::response_parser<http::string_body>> m_parser;
    std::deque<Request> m_queue;
    Request m_current;
    Clock::time_point m_start;
    bool m_busy = false;
    bool m_connected = false;
    bool m_drop = false;
    bool m_closed = false;
};

// What the bench knows of one queued job.
struct JobTrack
{
    int index = 0; // in queueing order
    int planId = 0;
    int priority = 0;
    std::vector<std::string> tags;
    bool queued = false;
    Clock::time_point queuedAt;
    int receipts = 0;
    Clock::time_point receivedAt;
    Clock::time_point deviceFreeAt; // of the device it was handed for, then
    std::string station;
    bool reported = false;
    bool cancelled = false;
};

struct Device
{
    std::string url;
    std::vector<std::string> tags;
    std::string json; // "url" and "tags" of the beat
    int job = 0;      // the job running on it
    Clock::time_point freeSince;
    std::deque<int> waiting; // handed for it while it was busy
};

struct Held
{
    int planId = 0;
    std::string secret;
    int device = -1;
    std::vector<int> cases;
    bool cancelled = false;
    int reportTries = 0;
    std::unique_ptr<net::steady_timer> timer;
};

struct Station
{
    explicit Station(net::io_context& io) : beatTimer(io) {}

    std::string name;
    std::string boot;
    int seq = 0;
    std::vector<Device> devices;
    std::map<int, Held> held; // taken and not yet acknowledged
    std::unique_ptr<Connection> beat;
    std::unique_ptr<Connection> post;
    net::steady_timer beatTimer;
    Clock::time_point beatSent;
};

struct Viewer
{
    explicit Viewer(net::io_context& io) : timer(io) {}

    std::unique_ptr<Connection> connection;
    net::steady_timer timer;
    bool out = false;
};

struct Counts
{
    int beats = 0;
    int beatsWithJobs = 0;
    int beatFailures = 0;
    int beatsWithoutJobsMember = 0;
    int handedTwice = 0;
    int unknownDevice = 0;
    int busyDevice = 0;
    int tagMismatch = 0;
    int unknownJob = 0;
    int cancels = 0;
    int progressFailures = 0;
    int reportFailures = 0;
    int reportsGivenUp = 0;
    int reportedAlready = 0;
    int queueFailures = 0;
    int viewerFailures = 0;
};

struct Result
{
    std::string line;
    bool missed = false;
    bool failed = false;
};

class Lab
{
public:
    Lab(net::io_context& io, const Options& options, const char* backend, HostProcess& server)
        : m_io(io), m_options(options), m_backend(backend), m_serverProcess(server),
          m_server(net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(server.Url().port())), m_progress(io)
    {
        m_random.seed(12345);
    }

    ~Lab() { Shutdown(); }

    bool Run(Result& result);

private:
    // Runs the event loop until `done` or the deadline; false on a signal or at the deadline.
    bool Until(const std::function<bool()>& done, Clock::time_point deadline = Clock::time_point::max())
    {
        Clock::time_point events = Clock::now();
        while (!done()) {
            if (g_signal || Clock::now() > deadline || m_serverGone)
                return false;
            m_io.run_one_for(milliseconds(50));
            // The server's log comes through QProcess, which reads its pipe
            // only from Qt's event loop; a full pipe would stop the server.
            if (Clock::now() - events > milliseconds(200)) {
                QCoreApplication::processEvents();
                m_serverProcess.Stderr();
                events = Clock::now();
                if (m_serverProcess.Process().state() == QProcess::NotRunning) {
                    m_serverGone = true;
                    logLine("%s: autotest-server is gone: %s, status %d", m_backend,
                            m_serverProcess.Process().exitStatus() == QProcess::CrashExit ? "crashed" : "exited",
                            m_serverProcess.Process().exitCode());
                    return false;
                }
            }
        }
        return true;
    }

    // One request, waited for; false with `error` set unless the answer is "ok".
    bool Call(Connection& connection, const std::string& body, QJsonObject& answer, std::string& error)
    {
        bool done = false;
        connection.Post(body, milliseconds(30000), [&](const std::string* text, double, const std::string& why) {
            done = true;
            if (!text) {
                error = why;
                return;
            }
            answer = parse(*text);
            if (!isOk(answer))
                error = text->substr(0, 300);
        });
        if (!Until([&] { return done; })) {
            if (error.empty())
                error = g_signal ? "interrupted" : "no answer";
            return false;
        }
        return error.empty();
    }

    bool Setup(std::string& error);
    void StartStations();
    void Beat(Station& station);
    void ScheduleBeat(Station& station, Clock::time_point at);
    void OnBeat(Station& station, const std::string* body, const std::string& error);
    void Take(Station& station, const QJsonObject& entry);
    void StartJob(Station& station, int jobId);
    void EndJob(Station& station, int jobId);
    void Report(Station& station, int jobId, const std::string& body);
    void Cancel(Station& station, int jobId);
    void StartViewers();
    void View(Viewer& viewer);
    void QueueNext(Connection& engineer);
    void LogProgress();
    void Shutdown();
    bool Verify(int& finished, int& neverFinished, int& stationLost, int& wrong, std::string& error);

    // Whether the case at `place` of job `jobId` passes; about one in seven fails.
    static bool Passes(int jobId, int place) { return (jobId + place) % 7 != 0; }

    std::string Entry(int jobId, int place, int testcase, bool cancelled) const
    {
        const bool pass = !cancelled && Passes(jobId, place);
        const char* remark = cancelled ? "Cancelled" : (pass ? "" : "Voltage out of range");
        const char* status = cancelled ? "error" : (pass ? "pass" : "fail");
        return "{\"id\":" + std::to_string(testcase) + ",\"result\":" + (pass ? "true" : "false") + ",\"remark\":\"" + remark
               + "\",\"verdict\":{\"status\":\"" + status + "\",\"remark\":\"" + remark + "\",\"ms\":" + std::to_string(m_options.caseMs)
               + "}}";
    }

    net::io_context& m_io;
    const Options& m_options;
    const char* m_backend;
    HostProcess& m_serverProcess;
    tcp::endpoint m_server;
    std::mt19937 m_random;

    std::vector<std::vector<int>> m_planCases; // by plan index
    std::vector<int> m_planIds;
    std::unordered_map<int, int> m_planIndex; // plan id -> index

    std::vector<std::unique_ptr<Station>> m_stations;
    std::vector<std::unique_ptr<Viewer>> m_viewers;
    std::vector<std::unique_ptr<Connection>> m_engineers;
    net::steady_timer m_progress;

    std::unordered_map<int, JobTrack> m_jobs; // by job id
    std::vector<int> m_order;                 // job ids in queueing order
    int m_nextToQueue = 0;
    int m_queueAnswers = 0;
    int m_finished = 0;
    int m_received = 0;
    bool m_measuring = false;
    bool m_stopping = false;
    bool m_serverGone = false;
    Clock::time_point m_labStart;
    Clock::time_point m_lastReport;
    Clock::time_point m_queuedAll;
    std::vector<double> m_queueMs;
    std::vector<double> m_viewMs;
    std::vector<double> m_progressMs;
    std::vector<double> m_reportMs;
    double m_viewBytes = 0;
    std::string m_queueTotal = "?";
    Counts m_counts;
};

bool Lab::Setup(std::string& error)
{
    Connection connection(m_io, m_server);
    for (int p = 0; p < m_options.plans; ++p) {
        std::vector<int> cases;
        QJsonObject answer;
        for (int c = 0; c < m_options.cases; ++c) {
            const std::string body = "{\"cmd\":\"add_tc\",\"testcase\":{\"projectid\":1,\"title\":\"lab case " + std::to_string(p) + "."
                                     + std::to_string(c) + "\",\"path\":\"lab/plan" + std::to_string(p)
                                     + "\",\"content\":\"{\\\"MODULE_NAME\\\":\\\"Power\\\",\\\"DATA\\\":[]}\"}}";
            if (!Call(connection, body, answer, error)) {
                error = "add_tc: " + error;
                return false;
            }
            cases.push_back(answer.value(QStringLiteral("testcaseid")).toInt());
        }
        if (!Call(connection, "{\"cmd\":\"create_plan\",\"projectid\":1,\"name\":\"lab plan " + std::to_string(p) + "\"}", answer, error)) {
            error = "create_plan: " + error;
            return false;
        }
        const int planId = answer.value(QStringLiteral("planid")).toInt();
        std::string list;
        for (int id : cases)
            list += (list.empty() ? "" : ",") + std::to_string(id);
        if (!Call(connection, "{\"cmd\":\"sync_plan\",\"planid\":" + std::to_string(planId) + ",\"tclist\":[" + list + "]}", answer, error)) {
            error = "sync_plan: " + error;
            return false;
        }
        m_planIndex[planId] = int(m_planIds.size());
        m_planIds.push_back(planId);
        m_planCases.push_back(cases);
    }
    connection.Close();
    return true;
}

void Lab::StartStations()
{
    for (int s = 0; s < m_options.stations; ++s) {
        m_stations.push_back(std::make_unique<Station>(m_io));
        Station& station = *m_stations.back();
        char name[32];
        std::snprintf(name, sizeof name, "lab-%03d", s + 1);
        station.name = name;
        char boot[17];
        std::snprintf(boot, sizeof boot, "%08x%08x", unsigned(m_random()), unsigned(m_random()));
        station.boot = boot;
        for (int d = 0; d < m_options.devices; ++d) {
            Device device;
            device.url = "devices/" + station.name + "-" + std::to_string(d + 1);
            device.tags = {"lab", kTags[(s * m_options.devices + d) % 4]};
            device.json = "{\"url\":\"" + device.url + "\",\"tags\":[\"lab\",\"" + device.tags[1] + "\"]";
            device.freeSince = Clock::now();
            station.devices.push_back(std::move(device));
        }
        station.beat = std::make_unique<Connection>(m_io, m_server);
        station.post = std::make_unique<Connection>(m_io, m_server);
        Beat(station);
    }
}

void Lab::Beat(Station& station)
{
    if (m_stopping)
        return;
    std::string body = "{\"cmd\":\"station_beat\",\"station\":\"" + station.name + "\",\"version\":\"bench\",\"boot\":\"" + station.boot
                       + "\",\"seq\":" + std::to_string(++station.seq) + ",\"wait_ms\":" + std::to_string(m_options.waitMs) + ",\"jobs\":[";
    bool first = true;
    for (const auto& held : station.held) {
        body += (first ? "" : ",") + std::to_string(held.first);
        first = false;
    }
    body += "],\"devices\":[";
    for (size_t d = 0; d < station.devices.size(); ++d) {
        const Device& device = station.devices[d];
        body += (d ? "," : "") + device.json;
        body += device.job ? ",\"state\":\"busy\",\"jobid\":" + std::to_string(device.job) + "}" : std::string(",\"state\":\"free\"}");
    }
    body += "]}";
    station.beatSent = Clock::now();
    // Above the server's hold, as a station keeps its time-out.
    station.beat->Post(std::move(body), milliseconds(m_options.waitMs + 10000),
                       [this, &station](const std::string* text, double, const std::string& error) { OnBeat(station, text, error); });
}

void Lab::ScheduleBeat(Station& station, Clock::time_point at)
{
    station.beatTimer.expires_at(at);
    station.beatTimer.async_wait([this, &station](beast::error_code error) {
        if (!error && !m_stopping)
            Beat(station);
    });
}

void Lab::OnBeat(Station& station, const std::string* body, const std::string& error)
{
    if (m_stopping)
        return;
    ++m_counts.beats;
    QJsonObject answer;
    if (body)
        answer = parse(*body);
    if (!body || !isOk(answer)) {
        if (m_counts.beatFailures++ < 5)
            logLine("%s: station_beat of %s failed: %s", m_backend, station.name.c_str(),
                    body ? body->substr(0, 300).c_str() : error.c_str());
        return ScheduleBeat(station, Clock::now() + milliseconds(1000));
    }
    const auto jobs = answer.constFind(QStringLiteral("jobs"));
    if (jobs == answer.constEnd() && m_counts.beatsWithoutJobsMember++ == 0)
        logLine("%s: a station_beat with \"boot\" was answered without \"jobs\": %s", m_backend, body->substr(0, 300).c_str());
    bool news = false;
    if (jobs != answer.constEnd()) {
        const QJsonArray handed = jobs->toArray();
        if (!handed.isEmpty())
            ++m_counts.beatsWithJobs;
        for (const QJsonValue& entry : handed) {
            news = true;
            Take(station, entry.toObject());
        }
    }
    for (const QJsonValue& id : answer.value(QStringLiteral("cancel")).toArray()) {
        news = true;
        ++m_counts.cancels;
        Cancel(station, id.toInt());
    }
    // A station checks in again at once when something changed, and at least
    // every 2 s; a held beat has taken that long already.
    ScheduleBeat(station, news ? Clock::now() : std::max(Clock::now(), station.beatSent + milliseconds(2000)));
}

void Lab::Take(Station& station, const QJsonObject& entry)
{
    const Clock::time_point now = Clock::now();
    const int jobId = entry.value(QStringLiteral("jobid")).toInt();
    const QJsonObject job = entry.value(QStringLiteral("job")).toObject();
    JobTrack& track = m_jobs[jobId];
    if (++track.receipts > 1) {
        if (m_counts.handedTwice++ < 5)
            logLine("%s: job %d handed out again, now to %s (first to %s)", m_backend, jobId, station.name.c_str(), track.station.c_str());
        if (station.held.count(jobId))
            return;
    } else {
        ++m_received;
        track.receivedAt = now;
        track.station = station.name;
    }
    if (!isOk(entry) || jobId <= 0) {
        if (m_counts.unknownJob++ < 5)
            logLine("%s: %s was handed a job it cannot run: %s", m_backend, station.name.c_str(),
                    QJsonDocument(entry).toJson(QJsonDocument::Compact).left(300).constData());
        return;
    }
    const std::string url = job.value(QStringLiteral("url")).toString().toStdString();
    int device = -1;
    for (size_t d = 0; d < station.devices.size(); ++d)
        if (station.devices[d].url == url)
            device = int(d);
    Held held;
    held.planId = entry.value(QStringLiteral("planid")).toInt();
    held.secret = job.value(QStringLiteral("secret")).toString().toStdString();
    held.device = device;
    for (const QJsonValue& tc : job.value(QStringLiteral("case_list")).toArray())
        held.cases.push_back(tc.toObject().value(QStringLiteral("testcaseid")).toInt());
    held.timer = std::make_unique<net::steady_timer>(m_io);
    if (device < 0) {
        if (m_counts.unknownDevice++ < 5)
            logLine("%s: %s was handed job %d for a device it does not have: %s", m_backend, station.name.c_str(), jobId, url.c_str());
        station.held.emplace(jobId, std::move(held));
        const std::string body = "{\"cmd\":\"job_report\",\"jobid\":" + std::to_string(jobId) + ",\"secret\":" + quoted(station.held[jobId].secret)
                                 + ",\"report\":{\"VALUE\":{\"result\":false,\"remark\":\"No such device\"}}}";
        return Report(station, jobId, body);
    }
    Device& target = station.devices[size_t(device)];
    if (track.receipts == 1)
        track.deviceFreeAt = target.job ? now : target.freeSince;
    // Known once the queue_job answer is in, which may come after this.
    for (const std::string& tag : track.tags) {
        if (std::find(target.tags.begin(), target.tags.end(), tag) == target.tags.end()) {
            if (m_counts.tagMismatch++ < 5)
                logLine("%s: job %d, queued for tag %s, handed for %s", m_backend, jobId, tag.c_str(), url.c_str());
            break;
        }
    }
    station.held.emplace(jobId, std::move(held));
    if (target.job) {
        if (m_counts.busyDevice++ < 5)
            logLine("%s: job %d handed for %s, which runs job %d", m_backend, jobId, url.c_str(), target.job);
        target.waiting.push_back(jobId);
        return;
    }
    StartJob(station, jobId);
}

void Lab::StartJob(Station& station, int jobId)
{
    Held& held = station.held[jobId];
    station.devices[size_t(held.device)].job = jobId;
    const int half = int(held.cases.size()) / 2;
    held.timer->expires_after(milliseconds(m_options.caseMs * half));
    held.timer->async_wait([this, &station, jobId, half](beast::error_code error) {
        if (error || m_stopping)
            return;
        Held& held = station.held[jobId];
        if (held.cancelled)
            return;
        std::string body = "{\"cmd\":\"job_progress\",\"jobid\":" + std::to_string(jobId) + ",\"secret\":" + quoted(held.secret)
                           + ",\"from\":0,\"tcs\":[";
        for (int place = 0; place < half; ++place)
            body += (place ? "," : "") + Entry(jobId, place, held.cases[size_t(place)], false);
        body += "]}";
        station.post->Post(std::move(body), milliseconds(30000), [this](const std::string* text, double ms, const std::string& error) {
            if (text && isOk(parse(*text))) {
                if (m_measuring)
                    m_progressMs.push_back(ms);
            } else if (m_counts.progressFailures++ < 5) {
                logLine("%s: job_progress failed: %s", m_backend, text ? text->substr(0, 300).c_str() : error.c_str());
            }
        });
        held.timer->expires_after(milliseconds(m_options.caseMs * (int(held.cases.size()) - half)));
        held.timer->async_wait([this, &station, jobId](beast::error_code error) {
            if (!error && !m_stopping && !station.held[jobId].cancelled)
                EndJob(station, jobId);
        });
    });
}

// The job's run is over: its device is free, its report goes out.
void Lab::EndJob(Station& station, int jobId)
{
    Held& held = station.held[jobId];
    Device& device = station.devices[size_t(held.device)];
    if (device.job == jobId) {
        device.job = 0;
        device.freeSince = Clock::now();
    }
    bool all = true;
    std::string tcs;
    for (size_t place = 0; place < held.cases.size(); ++place) {
        all = all && !held.cancelled && Passes(jobId, int(place));
        tcs += (place ? "," : "") + Entry(jobId, int(place), held.cases[place], held.cancelled);
    }
    const std::string body = "{\"cmd\":\"job_report\",\"jobid\":" + std::to_string(jobId) + ",\"secret\":" + quoted(held.secret)
                             + ",\"report\":{\"VALUE\":{\"jobid\":" + std::to_string(jobId) + ",\"planid\":" + std::to_string(held.planId)
                             + ",\"result\":" + (all ? "true" : "false") + ",\"remark\":\"" + (held.cancelled ? "Cancelled" : "")
                             + "\",\"tcs\":[" + tcs + "]}}}";
    Report(station, jobId, body);
    if (!device.job && !device.waiting.empty()) {
        const int next = device.waiting.front();
        device.waiting.pop_front();
        StartJob(station, next);
    }
}

// Posts the report until the server takes it, as a station does (a few times here).
void Lab::Report(Station& station, int jobId, const std::string& body)
{
    station.post->Post(body, milliseconds(30000), [this, &station, jobId, body](const std::string* text, double ms, const std::string& error) {
        const QJsonObject answer = text ? parse(*text) : QJsonObject();
        const QString result = answer.value(QStringLiteral("result")).toString();
        const bool already = result.endsWith(QLatin1String("was reported already"));
        if (isOk(answer) || already) {
            if (already)
                ++m_counts.reportedAlready;
            if (m_measuring)
                m_reportMs.push_back(ms);
            station.held.erase(jobId);
            JobTrack& track = m_jobs[jobId];
            if (!track.reported) {
                track.reported = true;
                ++m_finished;
                m_lastReport = Clock::now();
            }
            return;
        }
        if (m_counts.reportFailures++ < 5)
            logLine("%s: job_report of job %d failed: %s", m_backend, jobId, text ? text->substr(0, 300).c_str() : error.c_str());
        Held& held = station.held[jobId];
        if (++held.reportTries >= 5) {
            ++m_counts.reportsGivenUp;
            station.held.erase(jobId);
            return;
        }
        held.timer->expires_after(milliseconds(1000));
        held.timer->async_wait([this, &station, jobId, body](beast::error_code error) {
            if (!error && !m_stopping)
                Report(station, jobId, body);
        });
    });
}

void Lab::Cancel(Station& station, int jobId)
{
    const auto held = station.held.find(jobId);
    if (held == station.held.end() || held->second.cancelled || held->second.device < 0)
        return;
    held->second.cancelled = true;
    held->second.timer->cancel();
    m_jobs[jobId].cancelled = true;
    Device& device = station.devices[size_t(held->second.device)];
    device.waiting.erase(std::remove(device.waiting.begin(), device.waiting.end(), jobId), device.waiting.end());
    EndJob(station, jobId);
}

void Lab::StartViewers()
{
    for (int v = 0; v < m_options.viewers; ++v) {
        m_viewers.push_back(std::make_unique<Viewer>(m_io));
        Viewer& viewer = *m_viewers.back();
        viewer.connection = std::make_unique<Connection>(m_io, m_server);
        // Spread over the period, as people opening the console are.
        viewer.timer.expires_after(milliseconds(m_options.viewerMs * v / std::max(1, m_options.viewers)));
        viewer.timer.async_wait([this, &viewer](beast::error_code error) {
            if (!error)
                View(viewer);
        });
    }
}

void Lab::View(Viewer& viewer)
{
    if (m_stopping)
        return;
    if (!viewer.out) {
        viewer.out = true;
        const bool counted = m_measuring;
        const bool first = &viewer == m_viewers.front().get();
        viewer.connection->Post("{\"cmd\":\"lab_state\"}", milliseconds(30000),
                                [this, &viewer, counted, first](const std::string* text, double ms, const std::string& error) {
                                    viewer.out = false;
                                    if (!text || text->find("\"result\":\"ok\"") == std::string::npos) {
                                        if (m_counts.viewerFailures++ < 5)
                                            logLine("%s: lab_state failed: %s", m_backend,
                                                    text ? text->substr(0, 300).c_str() : error.c_str());
                                        return;
                                    }
                                    if (counted && m_measuring) {
                                        m_viewMs.push_back(ms);
                                        m_viewBytes += double(text->size());
                                    }
                                    if (first) {
                                        const size_t at = text->find("\"queue_total\":");
                                        m_queueTotal = at == std::string::npos ? "?" : text->substr(at + 14, text->find_first_of(",}", at) - at - 14);
                                    }
                                });
    }
    viewer.timer.expires_after(milliseconds(m_options.viewerMs));
    viewer.timer.async_wait([this, &viewer](beast::error_code error) {
        if (!error)
            View(viewer);
    });
}

// Each engineer queues jobs one after the other, each as soon as the last is answered.
void Lab::QueueNext(Connection& engineer)
{
    if (m_stopping || m_nextToQueue >= m_options.jobs)
        return;
    const int index = m_nextToQueue++;
    const int plan = index % int(m_planIds.size());
    const int priority = kPriorities[m_random() % (sizeof kPriorities / sizeof kPriorities[0])];
    std::vector<std::string> tags{"lab"};
    if (index % 2)
        tags.push_back(kTags[(index / 2) % 4]);
    std::string body = "{\"cmd\":\"queue_job\",\"planid\":" + std::to_string(m_planIds[size_t(plan)]) + ",\"tags\":[";
    for (size_t t = 0; t < tags.size(); ++t)
        body += (t ? ",\"" : "\"") + tags[t] + "\"";
    body += "],\"priority\":" + std::to_string(priority) + "}";
    engineer.Post(std::move(body), milliseconds(30000), [this, &engineer, index, plan, priority, tags](const std::string* text, double ms,
                                                                                                        const std::string& error) {
        ++m_queueAnswers;
        const QJsonObject answer = text ? parse(*text) : QJsonObject();
        const int jobId = answer.value(QStringLiteral("jobid")).toInt();
        if (!isOk(answer) || jobId <= 0) {
            if (m_counts.queueFailures++ < 5)
                logLine("%s: queue_job failed: %s", m_backend, text ? text->substr(0, 300).c_str() : error.c_str());
        } else {
            JobTrack& track = m_jobs[jobId];
            track.index = index;
            track.planId = m_planIds[size_t(plan)];
            track.priority = priority;
            track.tags = tags;
            track.queued = true;
            track.queuedAt = Clock::now();
            m_order.push_back(jobId);
            m_queueMs.push_back(ms);
        }
        if (m_queueAnswers == m_options.jobs)
            m_queuedAll = Clock::now();
        QueueNext(engineer);
    });
}

void Lab::LogProgress()
{
    m_progress.expires_after(std::chrono::seconds(5));
    m_progress.async_wait([this](beast::error_code error) {
        if (error || m_stopping)
            return;
        int running = 0;
        for (const auto& station : m_stations)
            for (const Device& device : station->devices)
                running += device.job ? 1 : 0;
        logLine("%s: queued %d/%d, handed %d, finished %d, running %d, lab_state says queue_total %s; %d beats, %d lab_state",
                m_backend, int(m_order.size()), m_options.jobs, m_received, m_finished, running, m_queueTotal.c_str(), m_counts.beats,
                int(m_viewMs.size()));
        LogProgress();
    });
}

void Lab::Shutdown()
{
    m_stopping = true;
    m_progress.cancel();
    for (auto& station : m_stations) {
        station->beatTimer.cancel();
        for (auto& held : station->held)
            held.second.timer->cancel();
        station->beat->Close();
        station->post->Close();
    }
    for (auto& viewer : m_viewers) {
        viewer->timer.cancel();
        viewer->connection->Close();
    }
    for (auto& engineer : m_engineers)
        engineer->Close();
    // What was waiting ends with operation_aborted, before its objects go.
    m_io.restart();
    m_io.poll();
}

bool Lab::Verify(int& finished, int& neverFinished, int& stationLost, int& wrong, std::string& error)
{
    const int kConnections = 4;
    std::vector<std::unique_ptr<Connection>> connections;
    for (int c = 0; c < kConnections; ++c)
        connections.push_back(std::make_unique<Connection>(m_io, m_server));
    size_t next = 0;
    size_t answered = 0;
    int wrongLogged = 0;
    std::function<void(Connection&)> ask = [&](Connection& connection) {
        if (next >= m_order.size())
            return;
        const int jobId = m_order[next++];
        connection.Post("{\"cmd\":\"job_detail\",\"jobid\":" + std::to_string(jobId) + ",\"verdicts\":true}", milliseconds(30000),
                        [&, jobId](const std::string* text, double, const std::string& why) {
                            ++answered;
                            const QJsonObject answer = text ? parse(*text) : QJsonObject();
                            const QJsonObject job = answer.value(QStringLiteral("job")).toObject();
                            const QJsonObject verdict = job.value(QStringLiteral("verdict")).toObject();
                            const QJsonArray details = answer.value(QStringLiteral("jobdetail")).toArray();
                            std::string problem;
                            if (!isOk(answer)) {
                                problem = "unreadable: " + (text ? text->substr(0, 200) : why);
                                ++neverFinished;
                            } else if (job.value(QStringLiteral("status")).toInt() != 3) {
                                problem = "status " + std::to_string(job.value(QStringLiteral("status")).toInt());
                                ++neverFinished;
                            } else if (verdict.value(QStringLiteral("reason")) == QLatin1String("Station lost")
                                       || verdict.value(QStringLiteral("remark")) == QLatin1String("Station lost")) {
                                problem = "Station lost";
                                ++stationLost;
                            } else {
                                const JobTrack& track = m_jobs[jobId];
                                const std::vector<int>& cases = m_planCases[size_t(m_planIndex[track.planId])];
                                bool right = details.size() == int(cases.size()) && !track.cancelled;
                                for (int place = 0; right && place < details.size(); ++place) {
                                    const QJsonObject detail = details.at(place).toObject();
                                    const QString status = detail.value(QStringLiteral("verdict")).toObject().value(QStringLiteral("status")).toString();
                                    right = detail.value(QStringLiteral("seqidx")).toInt() == place
                                            && detail.value(QStringLiteral("testcaseid")).toInt() == cases[size_t(place)]
                                            && status == QLatin1String(Passes(jobId, place) ? "pass" : "fail");
                                }
                                if (right) {
                                    ++finished;
                                } else {
                                    ++wrong;
                                    problem = "verdicts other than reported: "
                                              + QJsonDocument(details).toJson(QJsonDocument::Compact).left(200).toStdString();
                                }
                            }
                            if (!problem.empty() && wrongLogged++ < 5)
                                logLine("%s: job %d: %s", m_backend, jobId, problem.c_str());
                            ask(connection);
                        });
    };
    for (auto& connection : connections)
        ask(*connection);
    const bool done = Until([&] { return answered == m_order.size(); });
    for (auto& connection : connections)
        connection->Close();
    m_io.restart();
    m_io.poll();
    if (!done)
        error = g_signal ? "interrupted" : "no answer";
    return done;
}

// utime + stime of a process, in seconds; -1 when it cannot be read.
double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray text = stat.readAll();
    // The name, in parentheses, may hold spaces; the fields count from after it.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return double(fields[11].toLongLong() + fields[12].toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

double ownCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool Lab::Run(Result& result)
{
    const char* b = m_backend;
    std::string error;
    const Clock::time_point setupStart = Clock::now();
    if (!Setup(error)) {
        std::printf("%s: storing the plans failed: %s\n", b, error.c_str());
        result.failed = true;
        return false;
    }
    logLine("%s: %d plans of %d test cases stored in %.1f s", b, m_options.plans, m_options.cases,
            msBetween(setupStart, Clock::now()) / 1000);

    // The stations check in and wait with nothing to do; the viewers look.
    // With --queue-first the stations come once every job is queued, as a
    // lab does in the morning after a night's jobs.
    if (!m_options.queueFirst)
        StartStations();
    StartViewers();
    // Their first beats are held now, as they are in a quiet lab.
    Until([] { return false; }, Clock::now() + milliseconds(1000));
    if (g_signal)
        return false;

    const qint64 pid = m_serverProcess.Process().processId();
    const double serverCpu0 = cpuSeconds(pid);
    const double ownCpu0 = ownCpuSeconds();
    m_measuring = true;
    m_labStart = Clock::now();
    m_lastReport = m_labStart;
    for (int e = 0; e < m_options.engineers; ++e) {
        m_engineers.push_back(std::make_unique<Connection>(m_io, m_server));
        QueueNext(*m_engineers.back());
    }
    LogProgress();
    Clock::time_point working = m_labStart;
    if (m_options.queueFirst) {
        Until([this] { return m_queueAnswers == m_options.jobs; }, m_labStart + std::chrono::seconds(m_options.timeoutS));
        logLine("%s: %d jobs queued; the stations come", b, int(m_order.size()));
        working = Clock::now();
        m_lastReport = working;
        StartStations();
    }
    const bool done = Until([this] { return m_queueAnswers == m_options.jobs && m_finished == int(m_order.size()); },
                            m_labStart + std::chrono::seconds(m_options.timeoutS));
    const Clock::time_point labEnd = Clock::now();
    m_measuring = false;
    const double serverCpu = cpuSeconds(pid) - serverCpu0;
    const double ownCpu = ownCpuSeconds() - ownCpu0;
    const qint64 hwmKb = m_serverProcess.StatusKb("VmHWM");
    const qint64 rssKb = m_serverProcess.StatusKb("VmRSS");
    if (g_signal)
        return false;
    if (m_serverGone) {
        std::printf("%s: autotest-server ended during the run, with %d of %d jobs finished\n", b, m_finished, int(m_order.size()));
        result.failed = true;
        return false;
    }
    if (!done)
        logLine("%s: stopped after %d s with %d of %d jobs finished", b, m_options.timeoutS, m_finished, int(m_order.size()));
    Shutdown();

    int finished = 0, neverFinished = 0, stationLost = 0, wrong = 0;
    if (!Verify(finished, neverFinished, stationLost, wrong, error)) {
        std::printf("%s: reading the jobs back failed: %s\n", b, error.c_str());
        result.failed = true;
        return false;
    }
    int twice = 0;
    std::vector<double> dispatch;
    for (int jobId : m_order) {
        const JobTrack& track = m_jobs[jobId];
        twice += track.receipts > 1 ? 1 : 0;
        if (track.receipts > 0)
            dispatch.push_back(std::max(0.0, msBetween(std::max(track.queuedAt, track.deviceFreeAt), track.receivedAt)));
    }
    const int lost = neverFinished + stationLost + (m_options.jobs - int(m_order.size()));
    const double labSeconds = msBetween(working, m_lastReport) / 1000;
    const double wall = msBetween(m_labStart, labEnd) / 1000;

    std::printf("%s: %d stations of %d devices, %d viewers every %d ms, %d jobs of %d cases (%d ms each)%s, beats held up to %d ms\n", b,
                m_options.stations, m_options.devices, m_options.viewers, m_options.viewerMs, m_options.jobs, m_options.cases,
                m_options.caseMs, m_options.queueFirst ? " queued before the stations came" : "", m_options.waitMs);
    std::printf("%s: queue_job: %d queued in %.2f s, p50 %.1f ms p99 %.1f ms, %d refused or failed\n", b, int(m_order.size()),
                m_queuedAll.time_since_epoch().count() ? msBetween(m_labStart, m_queuedAll) / 1000 : wall, percentile(m_queueMs, 0.5),
                percentile(m_queueMs, 0.99), m_counts.queueFailures);
    std::printf("%s: dispatch: %zu jobs handed, p50 %.1f ms p90 %.1f ms p99 %.1f ms max %.1f ms\n", b, dispatch.size(),
                percentile(dispatch, 0.5), percentile(dispatch, 0.9), percentile(dispatch, 0.99), percentile(dispatch, 1.0));
    std::printf("%s: finished: %d jobs reported in %.2f s, %.0f jobs/s (the devices could run %.0f/s); job_progress p99 %.1f ms, job_report p50 %.1f ms p99 %.1f ms\n", b,
                m_finished, labSeconds, labSeconds > 0 ? m_finished / labSeconds : 0.0,
                m_options.caseMs ? 1000.0 * m_options.stations * m_options.devices / (m_options.caseMs * m_options.cases) : 0.0,
                percentile(m_progressMs, 0.99),
                percentile(m_reportMs, 0.5), percentile(m_reportMs, 0.99));
    std::printf("%s: lab_state: %zu answers, p50 %.1f ms p99 %.1f ms max %.1f ms, %.0f KB each on average\n", b, m_viewMs.size(),
                percentile(m_viewMs, 0.5), percentile(m_viewMs, 0.99), percentile(m_viewMs, 1.0),
                m_viewMs.empty() ? 0.0 : m_viewBytes / double(m_viewMs.size()) / 1024);
    std::printf("%s: station_beat: %d answers, %d with jobs, %d failed; anomalies: %d handed twice, %d for a busy device, "
                "%d for an unknown device, %d against their tags, %d cancels; failures: %d job_progress, %d job_report (%d given up, "
                "%d \"reported already\"), %d lab_state\n",
                b, m_counts.beats, m_counts.beatsWithJobs, m_counts.beatFailures, m_counts.handedTwice, m_counts.busyDevice,
                m_counts.unknownDevice, m_counts.tagMismatch, m_counts.cancels, m_counts.progressFailures, m_counts.reportFailures,
                m_counts.reportsGivenUp, m_counts.reportedAlready, m_counts.viewerFailures);
    std::printf("%s: server: %.1f s of CPU in %.1f s (%.0f%% of one core), peak RSS %.0f MB, now %.0f MB; this bench: %.1f s of CPU\n", b,
                serverCpu, wall, wall > 0 ? 100 * serverCpu / wall : 0.0, double(hwmKb) / 1024, double(rssKb) / 1024, ownCpu);
    std::printf("%s: records: %d of %d jobs finished once with their %d verdicts; lost %d (%d never finished, %d \"Station lost\", "
                "%d not queued); %d with other verdicts; %d handed out more than once\n",
                b, finished, m_options.jobs, m_options.cases, lost, neverFinished, stationLost, m_options.jobs - int(m_order.size()), wrong,
                twice);
    const double p99 = percentile(dispatch, 0.99);
    const double viewP99 = percentile(m_viewMs, 0.99);
    const bool dispatchMet = !dispatch.empty() && p99 < 500;
    // Without viewers there is nothing to hold lab_state to.
    const bool viewMet = m_options.viewers == 0 || (!m_viewMs.empty() && viewP99 < 20);
    const bool allMet = lost == 0 && twice == 0 && wrong == 0 && finished == m_options.jobs;
    std::printf("%s: targets: dispatch p99 < 500 ms %s; lab_state p99 < 20 ms %s; every job finished once %s\n", b,
                dispatchMet ? "met" : "MISSED", m_options.viewers == 0 ? "not measured" : (viewMet ? "met" : "MISSED"),
                allMet ? "met" : "MISSED");
    std::fflush(stdout);
    char line[256];
    std::snprintf(line, sizeof line, "lab %s: dispatch p50 %.1f ms p99 %.1f ms; lab_state p99 %.1f ms; jobs %d lost %d twice %d; server RSS %.0f MB",
                  b, percentile(dispatch, 0.5), p99, viewP99, finished, lost, twice, double(hwmKb) / 1024);
    result.line = line;
    result.missed = !(dispatchMet && viewMet && allMet);
    return true;
}

bool readInt(const char* text, int min, int max, int& out)
{
    bool ok = false;
    const int value = QByteArray(text).toInt(&ok);
    if (!ok || value < min || value > max)
        return false;
    out = value;
    return true;
}

void usage(FILE* to)
{
    std::fprintf(to,
                 "usage: bench_lab [options]\n"
                 "  --stations N      simulated stations (100)\n"
                 "  --devices N       devices per station, 1 to 64 (4)\n"
                 "  --jobs N          jobs queued (2000)\n"
                 "  --viewers N       console viewers asking for lab_state (20)\n"
                 "  --viewer-ms N     how often each viewer asks (250)\n"
                 "  --engineers N     connections queueing the jobs, each one request at a time (1)\n"
                 "  --queue-first     queue every job before the stations check in (a backlog of all of them)\n"
                 "  --plans N         plans the jobs take turns on (20)\n"
                 "  --cases N         test cases per plan (10)\n"
                 "  --case-ms N       simulated run time of a test case (5)\n"
                 "  --wait-ms N       how long a beat may be held, 0 to 30000 (2000; 0 checks in every 2 s)\n"
                 "  --timeout-s N     give up on jobs not finished after this long (100)\n"
                 "  --backend B       sqlite or postgresql only\n"
                 "  --io-threads N, --database-work N   passed to autotest-server\n"
                 "PostgreSQL runs when KIV_TEST_PGURL names a cluster (eval \"$(tools/pgtest.sh start)\").\n"
                 "Last lines, one per database:\n"
                 "  lab DB: dispatch p50 A ms p99 B ms; lab_state p99 C ms; jobs N lost L twice T; server RSS M MB\n"
                 "Exits 2 when a target is missed (dispatch p99 < 500 ms, lab_state p99 < 20 ms, every job finished once),\n"
                 "1 when the bench cannot run, 128 + the signal when interrupted.\n");
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    Options options;
    for (int i = 1; i < argc; ++i) {
        const QByteArray option = argv[i];
        if (option == "--help" || option == "-h") {
            usage(stdout);
            return 0;
        }
        if (option == "--queue-first") {
            options.queueFirst = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "bench_lab: %s needs a value\n", argv[i]);
            usage(stderr);
            return 1;
        }
        const char* value = argv[++i];
        bool ok = true;
        if (option == "--stations")
            ok = readInt(value, 1, 10000, options.stations);
        else if (option == "--devices")
            ok = readInt(value, 1, 64, options.devices);
        else if (option == "--jobs")
            ok = readInt(value, 1, 1000000, options.jobs);
        else if (option == "--viewers")
            ok = readInt(value, 0, 1000, options.viewers);
        else if (option == "--engineers")
            ok = readInt(value, 1, 100, options.engineers);
        else if (option == "--viewer-ms")
            ok = readInt(value, 1, 60000, options.viewerMs);
        else if (option == "--plans")
            ok = readInt(value, 1, 10000, options.plans);
        else if (option == "--cases")
            ok = readInt(value, 1, 1000, options.cases);
        else if (option == "--case-ms")
            ok = readInt(value, 0, 60000, options.caseMs);
        else if (option == "--wait-ms")
            ok = readInt(value, 0, 30000, options.waitMs);
        else if (option == "--timeout-s")
            ok = readInt(value, 1, 86400, options.timeoutS);
        else if (option == "--backend")
            ok = (options.backend = value) == "sqlite" || options.backend == "postgresql";
        else if (option == "--io-threads")
            options.ioThreads = value;
        else if (option == "--database-work")
            options.databaseWork = value;
        else
            ok = false;
        if (!ok) {
            std::fprintf(stderr, "bench_lab: bad option %s %s\n", option.constData(), value);
            usage(stderr);
            return 1;
        }
    }

    // Two connections per station, one per viewer.
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    net::io_context io;
    net::signal_set stopSignals(io, SIGINT, SIGTERM);
    stopSignals.async_wait([](beast::error_code error, int number) {
        if (error)
            return;
        g_signal = number;
        logLine("signal %d: stopping", number);
    });

    std::vector<std::string> lines;
    bool missed = false;
    for (const char* backend : {"sqlite", "postgresql"}) {
        if (!options.backend.isEmpty() && options.backend != backend)
            continue;
        QTemporaryDir dir;
        PgTestDatabase pg;
        QString database = dir.path() + QStringLiteral("/lab.db3");
        if (qstrcmp(backend, "postgresql") == 0) {
            if (!PgTestDatabase::Available()) {
                std::printf("postgresql: skipped, KIV_TEST_PGURL is not set\n");
                continue;
            }
            if (!pg.Create()) {
                std::printf("postgresql: can't create a database: %s\n", qPrintable(pg.ErrorText()));
                return 1;
            }
            database = pg.Url();
        }
        HostProcess server(QStringLiteral("autotest-server"));
        QStringList arguments{QStringLiteral("--database"), database};
        if (!options.ioThreads.isEmpty())
            arguments << QStringLiteral("--io-threads") << QString::fromLatin1(options.ioThreads);
        if (!options.databaseWork.isEmpty())
            arguments << QStringLiteral("--database-work") << QString::fromLatin1(options.databaseWork);
        if (!server.Start(arguments)) {
            std::printf("%s: the server did not start: %s\n", backend, qPrintable(server.ErrorText()));
            return 1;
        }
        logLine("%s: autotest-server (pid %lld) listens on %s", backend, server.Process().processId(),
                qPrintable(server.Url().toString()));
        Result result;
        {
            Lab lab(io, options, backend, server);
            lab.Run(result);
        }
        const bool stopped = server.Stop();
        // What the server logged beyond its start, in case it says why something failed.
        const QStringList log = server.Stderr().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        int shown = 0;
        for (const QString& line : log) {
            if ((line.contains(QLatin1String("arn")) || line.contains(QLatin1String("rror")) || line.contains(QLatin1String("fail")))
                && shown++ < 10)
                logLine("%s: server: %s", backend, qPrintable(line.left(300)));
        }
        if (result.failed) {
            logLine("%s: the server's last lines:", backend);
            for (int i = std::max(0, int(log.size()) - 15); i < log.size(); ++i)
                logLine("%s: server: %s", backend, qPrintable(log.at(i).left(300)));
        }
        if (!stopped)
            logLine("%s: the server did not stop cleanly", backend);
        if (g_signal)
            return 128 + g_signal;
        if (result.failed)
            return 1;
        lines.push_back(result.line);
        missed |= result.missed;
    }
    for (const std::string& line : lines)
        std::printf("%s\n", line.c_str());
    return missed ? 2 : 0;
}
