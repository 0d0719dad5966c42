#pragma once

#include "base/ReplyCallback.h"

#include <functional>

class QByteArray;

class QNetworkReply;

// Turns the remote server's HTTP answer to one forwarded request into the
// request's reply. Copied into the transport's completion callback.
class RemoteHandler
{
public:
    using HostSwitch = std::function<void(QNetworkReply*)>;

    RemoteHandler(const ReplyCallback& reply, const HostSwitch& hostSwitch)
        : replyCallback(reply), switchHost(hostSwitch) {}

    void operator()(int code, QNetworkReply* reply) const;
    // Answers with the server's body: its JSON object, or what was wrong with it.
    void OnBody(const QByteArray& body) const;

private:
    ReplyCallback replyCallback;
    HostSwitch switchHost;
};
