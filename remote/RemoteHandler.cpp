#include "remote/RemoteHandler.h"

#include "remote/WebFileGetter.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QNetworkReply>

void RemoteHandler::operator()(int code, QNetworkReply* reply) const
{
    if (code == WebFileGetter::Finished) {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(reply->readAll(), &error);
        if (error.error != QJsonParseError::NoError)
            replyCallback({{QStringLiteral("result"), QStringLiteral("Json Parse Error: ") + error.errorString()}});
        else if (document.isObject())
            replyCallback(document.object());
        else
            replyCallback({{QStringLiteral("result"), QStringLiteral("Not a json object")}});
    } else if (code == WebFileGetter::NetworkError) {
        if (switchHost)
            switchHost(reply);
        replyCallback({{QStringLiteral("result"), QStringLiteral("Network Error: ") + reply->errorString()}});
    }
}
