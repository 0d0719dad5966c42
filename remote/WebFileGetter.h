#pragma once

#include <QObject>

#include <functional>
#include <map>

class QNetworkAccessManager;
class QNetworkReply;

// Posts request bodies over HTTP and reports progress (0..100) and completion
// (Finished or NetworkError) through each request's callback.
class WebFileGetter : public QObject
{
    Q_OBJECT

public:
    enum Code { Finished = 10000, NetworkError = 10001 };
    using Completion = std::function<void(int, QNetworkReply*)>;

    explicit WebFileGetter(QObject* parent = nullptr);

    void wGet(const QString& url, const QByteArray& body, Completion completion);
    int Outstanding() const { return int(callbacks.size()); }

public Q_SLOTS:
    void OnProgress(qint64 bytesReceived, qint64 bytesTotal);
    void OnFinish();

private:
    QNetworkAccessManager* manager;
    std::map<QNetworkReply*, Completion> callbacks;
    std::map<QNetworkReply*, qint64> startTimes;
};
