#include "remote/WebFileGetter.h"

#include "platform/Debugger.h"

#include <QDateTime>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>
#include <QVariant>

namespace {

const char* const kFailureText = "kivFailureText";
const char* const kBody = "kivBody";

int& timeoutMs()
{
    static int ms = 0;
    return ms;
}

qint64& maxReplySize()
{
    static qint64 bytes = WebFileGetter::DefaultMaxReplySize;
    return bytes;
}

} // namespace

WebFileGetter::WebFileGetter(QObject* parent)
    : QObject(parent)
    , manager(new QNetworkAccessManager(this))
{
    m_sweep.setInterval(SweepIntervalMs);
    connect(&m_sweep, &QTimer::timeout, this, &WebFileGetter::SweepOrphans);
}

WebFileGetter::~WebFileGetter()
{
    // Nobody is left to tell.
    for (auto& entry : m_requests)
        entry.second.completion = nullptr;
}

void WebFileGetter::SetTimeout(int ms)
{
    timeoutMs() = ms;
}

int WebFileGetter::Timeout()
{
    return timeoutMs();
}

void WebFileGetter::SetMaxReplySize(qint64 bytes)
{
    maxReplySize() = bytes;
}

qint64 WebFileGetter::MaxReplySize()
{
    return maxReplySize();
}

QByteArray WebFileGetter::Body(QNetworkReply* reply)
{
    return reply->property(kBody).toByteArray();
}

QString WebFileGetter::ErrorText(QNetworkReply* reply)
{
    const QVariant own = reply->property(kFailureText);
    return own.isValid() ? own.toString() : reply->errorString();
}

void WebFileGetter::wGet(const QString& url, const QByteArray& body, Completion completion, std::shared_ptr<bool> owner)
{
    const QUrl target = QUrl::fromUserInput(url);
    KIV_LOG("WebFileGetter", "WebFileGetter::wGet", 2) << target.toString() << ", " << body;
    QNetworkRequest request(target);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
    QNetworkReply* reply = manager->post(request, body);
    // Without a bound the transport's thread reads the socket as fast as the
    // sender writes and queues everything for this thread: a fast sender of a
    // huge reply would fill memory long before the size check below runs.
    reply->setReadBufferSize(ReadBufferSize);
    Request& entry = m_requests[reply];
    entry.completion = std::move(completion);
    entry.start = QDateTime::currentMSecsSinceEpoch();
    entry.owner = std::move(owner);
    // Read as it arrives, so that a reply over the limit is stopped near the
    // limit.
    connect(reply, &QNetworkReply::readyRead, this, &WebFileGetter::OnReadyRead);
    connect(reply, &QNetworkReply::downloadProgress, this, &WebFileGetter::OnProgress);
    connect(reply, &QNetworkReply::finished, this, &WebFileGetter::OnFinish);
    // Counted from now, queue time included: what the client waits is what counts.
    if (const int ms = Timeout()) {
        QTimer::singleShot(ms, reply, [this, reply, ms] {
            Fail(reply, NetworkError, QStringLiteral("no answer from the remote server within %1 ms").arg(ms));
        });
    }
    if (entry.owner && !m_sweep.isActive())
        m_sweep.start();
}

void WebFileGetter::Fail(QNetworkReply* reply, int code, const QString& text)
{
    const auto found = m_requests.find(reply);
    if (found == m_requests.end() || reply->property(kFailureText).isValid())
        return;
    KIV_LOG("WebFileGetter", "WebFileGetter::Fail", 1) << reply->request().url().toString() << ": " << text;
    found->second.failure = code;
    reply->setProperty(kFailureText, text);
    // A reply that has all its data already is failed by OnFinish.
    if (!reply->isFinished())
        reply->abort();
}

void WebFileGetter::SweepOrphans()
{
    std::vector<QNetworkReply*> orphans;
    bool owned = false;
    for (const auto& entry : m_requests) {
        if (entry.second.owner) {
            owned = true;
            if (!*entry.second.owner)
                orphans.push_back(entry.first);
        }
    }
    if (!orphans.empty())
        KIV_LOG("WebFileGetter", "WebFileGetter::SweepOrphans", 2)
            << "Aborting " << int(orphans.size()) << " remote request(s) of clients that have gone";
    for (QNetworkReply* reply : orphans) {
        // Taken out first: the abort finishes the reply at once, and nobody
        // is to hear of it.
        m_requests.erase(reply);
        reply->abort();
    }
    if (!owned)
        m_sweep.stop();
}

void WebFileGetter::OnReadyRead()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    const auto found = m_requests.find(reply);
    if (!reply || found == m_requests.end())
        return;
    // Kept in pieces and joined once at the end: a growing array would
    // double its capacity and copy itself on the way to the limit.
    Request& request = found->second;
    request.pieces.append(reply->readAll());
    request.size += request.pieces.constLast().size();
    if (request.size > MaxReplySize()) {
        request.pieces.clear();
        Fail(reply, TooLarge, QStringLiteral("the remote reply was too large: more than %1 bytes").arg(MaxReplySize()));
    }
}

void WebFileGetter::OnProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    // The manager keeps the whole body in memory until the reply finishes.
    if (bytesReceived > MaxReplySize() || bytesTotal > MaxReplySize()) {
        Fail(reply, TooLarge, QStringLiteral("the remote reply was too large: more than %1 bytes").arg(MaxReplySize()));
        return;
    }
    if (bytesTotal <= 0)
        return;
    const int percent = int(bytesReceived * 100 / bytesTotal);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const auto found = m_requests.find(reply);
    if (found == m_requests.end())
        return;
    const qint64 start = found->second.start;
    if (bytesTotal > 65536 && now > start && start > 0) {
        const double seconds = (now - start) / 1000.0;
        const double rate = bytesReceived / seconds * (1 / 1024.0);
        const QByteArray name = reply->request().url().fileName(QUrl::FullyDecoded).toLocal8Bit();
        Debugger(Debugger::SECTION(QStringLiteral("WebFileGetter")), "WebFileGetter::OnProgress", __LINE__, 2)
            .print_r("Downloading [%s] %3d%% %6.2f kB/s", name.constData(), percent, rate);
    }
    if (found->second.completion)
        found->second.completion(percent, reply);
}

void WebFileGetter::OnFinish()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    // Taken out before the call: the callback may post the next request.
    Completion callback;
    int failure = NetworkError;
    QByteArray body;
    const auto found = m_requests.find(reply);
    if (found != m_requests.end()) {
        callback = std::move(found->second.completion);
        failure = found->second.failure;
        QByteArrayList pieces = std::move(found->second.pieces);
        m_requests.erase(found);
        pieces.append(reply->readAll());
        body = pieces.size() == 1 ? pieces.constFirst() : pieces.join();
    } else {
        body = reply->readAll();
    }
    reply->setProperty(kBody, body);
    body.clear();
    if (reply->error() == QNetworkReply::NoError && Body(reply).size() > MaxReplySize()) {
        reply->setProperty(kFailureText, QStringLiteral("the remote reply was too large: more than %1 bytes").arg(MaxReplySize()));
        if (callback)
            callback(TooLarge, reply);
    } else if (reply->property(kFailureText).isValid()) {
        if (callback)
            callback(failure, reply);
    } else if (reply->error() == QNetworkReply::NoError) {
        if (callback)
            callback(Finished, reply);
    } else {
        KIV_LOG("WebFileGetter", "WebFileGetter::OnFinish", 0) << "Reply error :" << int(reply->error());
        if (callback)
            callback(failure, reply);
    }
    reply->deleteLater();
}
