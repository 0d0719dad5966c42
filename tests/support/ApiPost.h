#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QUrl>

class QNetworkAccessManager;

// Posts `request` to a server's /api at `url`, with `token` as a bearer token
// when it is not empty, and waits up to 10 s: the reply's body as an object
// (empty when none came); `status` gets the HTTP status.
QJsonObject PostApi(QNetworkAccessManager& network, const QUrl& url, const QJsonObject& request, const QByteArray& token,
                    int* status = nullptr);
