#include "remote/WebFileGetter.h"

#include "platform/Debugger.h"
#include "remote/RemoteReply.h"

#include <QDateTime>
#include <QNetworkRequest>
#include <QUrl>
#include <QVariant>

namespace {

const char* const kFailureText = "kivFailureText";
// A station may carry its token in the URL's query: the log shows neither
// that nor a password.
const QUrl::FormattingOptions kLogged = QUrl::RemoveQuery | QUrl::RemoveUserInfo;

// A station's reports carry the secret of their job: whoever reads the log
// must not be able to report in its place.
QByteArray withoutSecret(QByteArray body)
{
    const QByteArray key = "\"secret\":\"";
    const int at = body.indexOf(key);
    const int end = at < 0 ? -1 : body.indexOf('"', at + key.size());
    if (end > 0)
        body.replace(at + key.size(), end - at - key.size(), "(hidden)");
    return body;
}

} // namespace

WebFileGetter::WebFileGetter(const RemoteSettings& settings, QObject* parent)
    : QObject(parent)
    , m_settings(settings)
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

QString WebFileGetter::Logged(const QString& url)
{
    return QUrl(url).toString(kLogged);
}

QByteArray WebFileGetter::Body(QNetworkReply* reply)
{
    auto* remote = qobject_cast<RemoteReply*>(reply);
    return remote ? remote->Body() : QByteArray();
}

QString WebFileGetter::ErrorText(QNetworkReply* reply)
{
    const QVariant own = reply->property(kFailureText);
    return own.isValid() ? own.toString() : reply->errorString();
}

void WebFileGetter::wGet(const QString& url, const QByteArray& body, Completion completion, std::shared_ptr<bool> owner,
                         int timeoutMs)
{
    const QUrl target = QUrl::fromUserInput(url);
    KIV_LOG("WebFileGetter", "WebFileGetter::wGet", 2) << target.toString(kLogged) << ", " << withoutSecret(body);
    QNetworkRequest request(target);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
    // The reply bounds its body and reads the socket only as fast as it
    // parses, so a fast sender of a huge reply waits in its own socket.
    QNetworkReply* reply = m_client.Post(request, body, m_settings.maxReplyBytes);
    Request& entry = m_requests[reply];
    entry.completion = std::move(completion);
    entry.start = QDateTime::currentMSecsSinceEpoch();
    entry.owner = std::move(owner);
    connect(reply, &QNetworkReply::downloadProgress, this, &WebFileGetter::OnProgress);
    connect(reply, &QNetworkReply::finished, this, &WebFileGetter::OnFinish);
    // Counted from now, queue time included: what the client waits is what counts.
    if (const int ms = timeoutMs == SettingsTimeout ? m_settings.timeoutMs : timeoutMs) {
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
    KIV_LOG("WebFileGetter", "WebFileGetter::Fail", 1) << reply->request().url().toString(kLogged) << ": " << text;
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

void WebFileGetter::OnProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
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
    const auto found = m_requests.find(reply);
    if (found != m_requests.end()) {
        callback = std::move(found->second.completion);
        failure = found->second.failure;
        m_requests.erase(found);
    }
    auto* remote = qobject_cast<RemoteReply*>(reply);
    int code = Finished;
    if (remote && remote->TooLarge()) {
        code = TooLarge;
    } else if (reply->property(kFailureText).isValid()) {
        code = failure;
    } else if (reply->error() != QNetworkReply::NoError) {
        KIV_LOG("WebFileGetter", "WebFileGetter::OnFinish", 0) << "Reply error :" << int(reply->error());
        code = NetworkError;
    }
    if (code != Finished && code != NetworkError)
        KIV_LOG("WebFileGetter", "WebFileGetter::OnFinish", 1) << reply->request().url().toString(kLogged) << ": " << ErrorText(reply);
    if (callback)
        callback(code, reply);
    reply->deleteLater();
}
