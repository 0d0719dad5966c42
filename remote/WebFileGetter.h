#pragma once

#include "remote/HttpClient.h"
#include "remote/RemoteSettings.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>

class QNetworkReply;

// Posts request bodies over HTTP and reports progress (0..100) and completion
// (Finished, NetworkError or TooLarge) through each request's callback.
//
// A request may name an owner flag: once the flag is false (the client that
// asked has gone) the request is aborted, queued or running, and its callback
// is never called. Unanswered requests would otherwise fill the six
// connections per host and hold every later request back.
class WebFileGetter : public QObject
{
    Q_OBJECT

public:
    enum Code { Finished = 10000, NetworkError = 10001, TooLarge = 10002 };
    using Completion = std::function<void(int, QNetworkReply*)>;
    static constexpr int SweepIntervalMs = 500;

    // Each request reads its time limit and size bound from `settings` as it
    // starts (their owner may change them).
    explicit WebFileGetter(const RemoteSettings& settings, QObject* parent = nullptr);
    // Held by reference: a temporary would be gone before the first request.
    WebFileGetter(RemoteSettings&&, QObject* = nullptr) = delete;
    ~WebFileGetter() override;

    // `timeoutMs`, when not SettingsTimeout, replaces the settings' time
    // limit for this request (0 waits for ever): a server may hold a request
    // on purpose.
    static constexpr int SettingsTimeout = -1;
    void wGet(const QString& url, const QByteArray& body, Completion completion,
              std::shared_ptr<bool> owner = nullptr, int timeoutMs = SettingsTimeout);
    int Outstanding() const { return int(m_requests.size()); }

    // Why a request failed: the transport's own words, or what this class
    // aborted it for (time-out, size).
    static QString ErrorText(QNetworkReply* reply);
    // The whole body of a finished reply.
    static QByteArray Body(QNetworkReply* reply);
    // `url` as the log shows it: without its query (a station's token may
    // be there) and without user information.
    static QString Logged(const QString& url);

public Q_SLOTS:
    void OnProgress(qint64 bytesReceived, qint64 bytesTotal);
    void OnFinish();

private:
    struct Request
    {
        Completion completion;
        qint64 start = 0;
        std::shared_ptr<bool> owner;
        int failure = NetworkError;
    };

    void Fail(QNetworkReply* reply, int code, const QString& text);
    void SweepOrphans();

    const RemoteSettings& m_settings;
    // Declared first, so that it goes last, with the replies it made.
    HttpClient m_client;
    std::map<QNetworkReply*, Request> m_requests;
    QTimer m_sweep;
};
