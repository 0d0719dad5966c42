#pragma once

#include <QString>
#include <QtGlobal>

// How the host reaches the remote test-management server. The service owns
// these values and may change them at any time; a request reads them as it
// starts.
struct RemoteSettings
{
    static constexpr qint64 DefaultMaxReplySize = 64 * 1024 * 1024;

    // The two base URLs of the remote API.
    QString first = QStringLiteral("http://127.0.0.1:8080/api");
    QString second = QStringLiteral("http://localhost:8080/api");
    // A request unanswered this long fails as a network error; 0 waits for ever.
    int timeoutMs = 30000;
    // A larger reply fails as too large.
    qint64 maxReplyBytes = DefaultMaxReplySize;

    // Selector 1 names the first host; every other value the second.
    QString ForSelector(int selector) const { return selector == 1 ? first : second; }
};
