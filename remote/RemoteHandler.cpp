#include "remote/RemoteHandler.h"

#include "remote/WebFileGetter.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QNetworkReply>

void RemoteHandler::operator()(int code, QNetworkReply* reply) const
{
    if (code == WebFileGetter::Finished) {
        OnBody(WebFileGetter::Body(reply));
    } else if (code == WebFileGetter::NetworkError || code == WebFileGetter::TooLarge) {
        // The host answered a reply that was too large; only a host that
        // failed to answer makes the next request try the other one.
        if (switchHost && code == WebFileGetter::NetworkError)
            switchHost(reply);
        replyCallback({{QStringLiteral("result"), QStringLiteral("Network Error: ") + WebFileGetter::ErrorText(reply)}});
    }
}

void RemoteHandler::OnBody(const QByteArray& body) const
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(body, &error);
    if (error.error != QJsonParseError::NoError)
        replyCallback({{QStringLiteral("result"), QStringLiteral("Json Parse Error: ") + error.errorString()}});
    else if (document.isObject())
        replyCallback(document.object());
    else
        replyCallback({{QStringLiteral("result"), QStringLiteral("Not a json object")}});
}
