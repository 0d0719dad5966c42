#pragma once

#include "remote/HttpResponseReader.h"

#include <QByteArrayList>
#include <QNetworkReply>

// The answer to one request of HttpClient, with the QNetworkReply interface
// that callers already know: error, errorString, status attributes, headers,
// finished, and the body through read(). The body is kept whole (it is
// bounded by the request's size limit) so that Body() can be asked for at
// any time.
class RemoteReply : public QNetworkReply
{
    Q_OBJECT

public:
    static constexpr qint64 ReserveLimit = 64 * 1024 * 1024;
    static constexpr int PieceSize = 64 * 1024;

    RemoteReply(const QNetworkRequest& request, const QByteArray& body, qint64 maxBodySize, QObject* parent = nullptr);

    void abort() override;
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;

    // The whole body, however much of it has been read().
    QByteArray Body();
    // Finished because the answer went past the size limit.
    bool TooLarge() const { return m_tooLarge; }

    // The request as it goes out on a connection.
    const QByteArray& Outgoing() const { return m_outgoing; }
    qint64 MaxBodySize() const { return m_maxBodySize; }
    // A request may go again once on a fresh connection, when a kept-alive
    // one turned out to be closed before any answer came.
    bool MayRetry() const { return !m_retried; }
    void SetRetried() { m_retried = true; }

    // Called by the connection that carries the request.
    void SetHead(const HttpResponseReader& reader);
    void AppendBody(const QByteArray& bytes);
    void FinishResponse();
    void FinishWithError(NetworkError code, const QString& text, bool tooLarge = false);

Q_SIGNALS:
    // The caller gave up on the request: whoever carries it lets it go.
    void AbortRequested();

protected:
    qint64 readData(char* data, qint64 maxSize) override;

private:
    void Finish();

    QByteArray m_outgoing;
    qint64 m_maxBodySize = 0;
    // Pieces as they came; one array reserved whole when the length is known.
    QByteArrayList m_pieces;
    qint64 m_received = 0;
    qint64 m_total = -1;
    qint64 m_readPos = 0;
    bool m_growLast = false;
    bool m_tooLarge = false;
    bool m_retried = false;
};
