#include "tests/support/ApiPost.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSignalSpy>

QJsonObject PostApi(QNetworkAccessManager& network, const QUrl& url, const QJsonObject& request, const QByteArray& token,
                    int* status)
{
    QNetworkRequest post(url);
    post.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    if (!token.isEmpty())
        post.setRawHeader("Authorization", "Bearer " + token);
    QNetworkReply* reply = network.post(post, QJsonDocument(request).toJson(QJsonDocument::Compact));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (!reply->isFinished())
        finished.wait(10000);
    reply->deleteLater();
    if (status)
        *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return QJsonDocument::fromJson(reply->readAll()).object();
}
