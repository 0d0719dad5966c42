#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <memory>

// Reads one HTTP/1.1 response from the bytes of a connection, as they come,
// with Boost.Beast's parser. Holds back only what the parser cannot take yet
// (an incomplete header or chunk line, at most HeaderLimit bytes); body bytes
// are handed over after every Feed, so memory stays bounded by what the
// caller keeps. Interim (1xx) answers are skipped.
class HttpResponseReader
{
public:
    enum State { Reading, Done, Failed };
    enum Failure { NoFailure, TooLarge, Malformed, Closed };
    using Headers = QList<QPair<QByteArray, QByteArray>>;
    // Also the bound on a chunk line plus trailer. Beast's field store caps a
    // name or value at 64 KiB by throwing; staying well below never reaches it.
    static constexpr int HeaderLimit = 32 * 1024;
    // A body is kept in one QByteArray in the end, which holds less than 2 GiB.
    static constexpr qint64 MaxBodyLimit = 1024 * 1024 * 1024;

    explicit HttpResponseReader(qint64 bodyLimit);
    ~HttpResponseReader();

    // Takes the next bytes of the connection. Once Done, bytes that follow
    // the response are kept as Leftover().
    State Feed(const char* data, qint64 size);
    // The connection has ended: a body that runs to the end is complete now,
    // anything else is cut short.
    State Eof();

    State Status() const { return m_state; }
    bool Started() const { return m_started; }
    bool HeaderReady() const { return m_headerReady; }
    int StatusCode() const { return m_status; }
    const QByteArray& Reason() const { return m_reason; }
    const Headers& HeaderFields() const { return m_headers; }
    // -1 when the body's length is not announced.
    qint64 ContentLength() const { return m_contentLength; }
    // The body bytes that arrived since the last call.
    QByteArray TakeBody();
    bool KeepAlive() const { return m_keepAlive; }
    const QByteArray& Leftover() const { return m_leftover; }
    Failure FailureKind() const { return m_failure; }
    const QString& ErrorText() const { return m_errorText; }

private:
    struct Parser;

    qint64 Parse(const char* data, qint64 size);
    void Fail(Failure kind, const QString& text);
    void NewParser();

    std::unique_ptr<Parser> m_parser;
    qint64 m_bodyLimit = 0;
    QByteArray m_pending;
    QByteArray m_leftover;
    State m_state = Reading;
    Failure m_failure = NoFailure;
    QString m_errorText;
    bool m_started = false;
    bool m_headerReady = false;
    int m_status = 0;
    QByteArray m_reason;
    Headers m_headers;
    qint64 m_contentLength = -1;
    bool m_keepAlive = false;
};
