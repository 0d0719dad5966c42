#include "remote/WebFileGetter.h"

#include "platform/Debugger.h"

#include <QDateTime>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

WebFileGetter::WebFileGetter(QObject* parent)
    : QObject(parent)
    , manager(new QNetworkAccessManager(this))
{
}

void WebFileGetter::wGet(const QString& url, const QByteArray& body, Completion completion)
{
    const QUrl target = QUrl::fromUserInput(url);
    KIV_LOG("WebFileGetter", "WebFileGetter::wGet", 2) << target.toString() << ", " << body;
    QNetworkRequest request(target);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/x-www-form-urlencoded"));
    QNetworkReply* reply = manager->post(request, body);
    callbacks[reply] = std::move(completion);
    startTimes[reply] = QDateTime::currentMSecsSinceEpoch();
    connect(reply, &QNetworkReply::downloadProgress, this, &WebFileGetter::OnProgress);
    connect(reply, &QNetworkReply::finished, this, &WebFileGetter::OnFinish);
}

void WebFileGetter::OnProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (bytesTotal <= 0 || !reply)
        return;
    const int percent = int(bytesReceived * 100 / bytesTotal);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    const auto start = startTimes.find(reply);
    if (bytesTotal > 65536 && start != startTimes.end() && now > start->second && start->second > 0) {
        const double seconds = (now - start->second) / 1000.0;
        const double rate = bytesReceived / seconds * (1 / 1024.0);
        const QByteArray name = reply->request().url().fileName(QUrl::FullyDecoded).toLocal8Bit();
        Debugger(Debugger::SECTION(QStringLiteral("WebFileGetter")), "WebFileGetter::OnProgress", __LINE__, 2)
            .print_r("Downloading [%s] %3d%% %6.2f kB/s", name.constData(), percent, rate);
    }
    const auto callback = callbacks.find(reply);
    if (callback != callbacks.end() && callback->second)
        callback->second(percent, reply);
}

void WebFileGetter::OnFinish()
{
    auto* reply = qobject_cast<QNetworkReply*>(sender());
    if (!reply)
        return;
    // Taken out before the call: the callback may post the next request.
    Completion callback;
    const auto found = callbacks.find(reply);
    if (found != callbacks.end()) {
        callback = std::move(found->second);
        callbacks.erase(found);
    }
    startTimes.erase(reply);
    if (reply->error() == QNetworkReply::NoError) {
        if (callback)
            callback(Finished, reply);
    } else {
        KIV_LOG("WebFileGetter", "WebFileGetter::OnFinish", 0) << "Reply error :" << int(reply->error());
        if (callback)
            callback(NetworkError, reply);
    }
    reply->deleteLater();
}
