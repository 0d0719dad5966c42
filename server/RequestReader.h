#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <memory>

// Reads one HTTP/1.x request from the bytes of a connection, with Boost.Beast's
// parser, without touching a socket: the session feeds what it read and acts
// on the state. It stops once the header is complete, so that the caller can
// refuse a body by its announced size before any of it is read.
//
// Beast bounds a header only by what one call sees (a header that arrives
// in pieces could grow without end), lets equal duplicate Content-Length
// headers and a Transfer-Encoding other than chunked through, and counts
// no fields; the reader adds those checks.
class RequestReader
{
public:
    enum State { ReadingHeader, HeaderDone, ReadingBody, Done, Failed };

    struct Limits
    {
        // The whole header block: request line, fields and the blank line.
        int headerBytes = 16 * 1024;
        int headerFields = 100;
        qint64 bodyBytes = 16 << 20;
    };

    explicit RequestReader(const Limits& limits);
    ~RequestReader();
    RequestReader(const RequestReader&) = delete;
    RequestReader& operator=(const RequestReader&) = delete;

    // Parses from `data`; returns how many bytes belong to this request
    // (the rest is the next one's). Stops at HeaderDone until BeginBody().
    std::size_t Feed(const char* data, std::size_t size);
    // After HeaderDone: the body may be read (Done at once when there is none).
    void BeginBody();

    State Status() const { return m_state; }
    bool Started() const { return m_started; }
    // When Failed: the status to answer (400, 413, 431) and why.
    int FailureStatus() const { return m_failureStatus; }
    const QString& FailureText() const { return m_failureText; }

    // Known once the request line is read.
    bool HasMethod() const { return !m_method.isEmpty(); }
    const QByteArray& Method() const { return m_method; }
    const QByteArray& Target() const { return m_target; }
    // The target without its query.
    QByteArray Path() const;
    int Version() const { return m_version; }
    // The header as it came, line by line (for the origin and token checks).
    const QByteArray& Head() const { return m_head; }
    qint64 HeaderSize() const { return m_headerUsed; }
    bool KeepAlive() const;
    bool ExpectsContinue() const { return m_expectContinue; }
    // -1 when none was announced (chunked or no body).
    qint64 ContentLength() const;
    bool Chunked() const;
    // Body bytes read so far.
    qint64 BodySize() const { return m_body.size(); }
    QByteArray TakeBody();

private:
    class Parser;
    friend class Parser;

    void Fail(int status, const QString& text);
    void OnRequestLine(const char* method, std::size_t methodSize, const char* target, std::size_t targetSize, int version);
    // False, having failed, when the field breaks a rule.
    bool OnField(int field, const char* name, std::size_t nameSize, const char* value, std::size_t valueSize);
    void OnBodyStart(qint64 contentLength);
    void OnBodyBytes(const char* data, std::size_t size);

    Limits m_limits;
    std::unique_ptr<Parser> m_parser;
    State m_state = ReadingHeader;
    bool m_started = false;
    int m_failureStatus = 0;
    QString m_failureText;
    qint64 m_headerUsed = 0;
    int m_fields = 0;
    bool m_sawLength = false;
    bool m_sawEncoding = false;
    bool m_expectContinue = false;
    QByteArray m_method;
    QByteArray m_target;
    int m_version = 11;
    QByteArray m_head;
    QByteArray m_body;
};
