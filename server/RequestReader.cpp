#include "server/RequestReader.h"

#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/field.hpp>

namespace http = boost::beast::http;
using boost::beast::error_code;
using boost::beast::string_view;

namespace {

const QString kTwoLengths = QStringLiteral("Ambiguous request framing: two Content-Length headers");
const QString kLengthAndEncoding = QStringLiteral("Ambiguous request framing: Content-Length with Transfer-Encoding");
const QString kTwoEncodings = QStringLiteral("Ambiguous request framing: two Transfer-Encoding headers");

} // namespace

// Beast's parser with its callbacks handed to the reader. A callback that
// finds a rule broken has failed the reader; the error code only stops Beast.
class RequestReader::Parser : public http::basic_parser<true>
{
public:
    explicit Parser(RequestReader& reader) : m_reader(reader) {}

private:
    void on_request_impl(http::verb, string_view method, string_view target, int version, error_code&) override
    {
        m_reader.OnRequestLine(method.data(), method.size(), target.data(), target.size(), version);
    }

    void on_response_impl(int, string_view, int, error_code& ec) override { ec = http::error::bad_method; }

    void on_field_impl(http::field name, string_view nameText, string_view value, error_code& ec) override
    {
        if (!m_reader.OnField(int(name), nameText.data(), nameText.size(), value.data(), value.size()))
            ec = http::error::bad_field;
    }

    void on_header_impl(error_code&) override {}

    void on_body_init_impl(const boost::optional<std::uint64_t>& length, error_code&) override
    {
        m_reader.OnBodyStart(length ? qint64(*length) : -1);
    }

    std::size_t on_body_impl(string_view body, error_code&) override
    {
        m_reader.OnBodyBytes(body.data(), body.size());
        return body.size();
    }

    void on_chunk_header_impl(std::uint64_t, string_view, error_code&) override {}

    std::size_t on_chunk_body_impl(std::uint64_t, string_view body, error_code&) override
    {
        m_reader.OnBodyBytes(body.data(), body.size());
        return body.size();
    }

    void on_finish_impl(error_code&) override {}

    RequestReader& m_reader;
};

RequestReader::RequestReader(const Limits& limits)
    : m_limits(limits)
    , m_parser(std::make_unique<Parser>(*this))
{
    m_parser->body_limit(std::uint64_t(qMax<qint64>(0, limits.bodyBytes)));
    // Stops after the header, and after each piece of the body.
    m_parser->eager(false);
}

RequestReader::~RequestReader() = default;

void RequestReader::Fail(int status, const QString& text)
{
    if (m_state == Failed)
        return;
    m_state = Failed;
    m_failureStatus = status;
    m_failureText = text;
}

std::size_t RequestReader::Feed(const char* data, std::size_t size)
{
    const auto headerTooLarge = [this] {
        Fail(431, QStringLiteral("The request header is larger than the limit of %1 bytes").arg(m_limits.headerBytes));
    };
    std::size_t used = 0;
    while (used < size && (m_state == ReadingHeader || m_state == ReadingBody)) {
        m_started = true;
        Parser& parser = *m_parser;
        error_code error;
        std::size_t window = size - used;
        if (m_state == ReadingHeader) {
            // Beast's limit applies to what one call sees, counted from the
            // first unparsed byte; shrinking it by what earlier calls took
            // bounds the whole header however it arrives.
            parser.header_limit(std::uint32_t(qMax<qint64>(0, m_limits.headerBytes - m_headerUsed)));
        } else if (parser.chunked()) {
            // Nor does Beast bound a chunk line or the trailer: shown no more
            // than a header's worth at a time, it cannot take a longer one.
            window = qMin<std::size_t>(window, std::size_t(m_limits.headerBytes));
        }
        const std::size_t taken = parser.put(boost::asio::const_buffer(data + used, window), error);
        used += taken;
        if (m_state == ReadingHeader)
            m_headerUsed += qint64(taken);
        if (m_state == Failed)
            break;
        if (error == http::error::need_more) {
            // A header that has not ended within what is left of the limit
            // will not fit (Beast may not say so itself once the limit
            // shrinks to exactly what it sees).
            if (m_state == ReadingHeader && taken == 0 && qint64(size - used) >= m_limits.headerBytes - m_headerUsed)
                headerTooLarge();
            else if (m_state == ReadingBody && taken == 0 && window == std::size_t(m_limits.headerBytes))
                Fail(400, QStringLiteral("Malformed HTTP request: a chunk line or trailer of more than %1 bytes").arg(m_limits.headerBytes));
            if (taken == 0)
                break;
            continue;
        }
        if (error == http::error::header_limit) {
            headerTooLarge();
        } else if (error == http::error::body_limit) {
            Fail(413, QStringLiteral("The request body is larger than the limit of %1 bytes").arg(m_limits.bodyBytes));
        } else if (error == http::error::bad_transfer_encoding) {
            // Beast checks a field before OnField sees it: the flags tell the earlier ones.
            Fail(400, m_sawLength ? kLengthAndEncoding : kTwoEncodings);
        } else if (error == http::error::bad_content_length) {
            Fail(400, m_sawEncoding ? kLengthAndEncoding
                      : m_sawLength ? kTwoLengths
                                    : QStringLiteral("Malformed HTTP request: a bad Content-Length"));
        } else if (error) {
            Fail(400, QStringLiteral("Malformed HTTP request: %1").arg(QString::fromStdString(error.message())));
        }
        if (m_state == Failed)
            break;
        if (m_state == ReadingHeader && parser.is_header_done()) {
            // Beast saw the request line and the fields each through the
            // whole window, so a header can come out a request line longer.
            if (m_headerUsed > m_limits.headerBytes)
                headerTooLarge();
            else
                m_state = HeaderDone;
            break;
        }
        if (parser.is_done()) {
            m_state = Done;
            break;
        }
        if (taken == 0)
            break;
    }
    return used;
}

void RequestReader::BeginBody()
{
    if (m_state != HeaderDone)
        return;
    m_state = m_parser->is_done() ? Done : ReadingBody;
}

void RequestReader::OnRequestLine(const char* method, std::size_t methodSize, const char* target, std::size_t targetSize,
                                  int version)
{
    m_method = QByteArray(method, int(methodSize));
    m_target = QByteArray(target, int(targetSize));
    m_version = version;
    m_head = m_method + ' ' + m_target + (version == 10 ? " HTTP/1.0\r\n" : " HTTP/1.1\r\n");
}

bool RequestReader::OnField(int field, const char* name, std::size_t nameSize, const char* value, std::size_t valueSize)
{
    const QByteArray text = QByteArray::fromRawData(value, int(valueSize)).trimmed();
    if (++m_fields > m_limits.headerFields) {
        Fail(431, QStringLiteral("The request header has more than %1 fields").arg(m_limits.headerFields));
        return false;
    }
    switch (http::field(field)) {
    case http::field::content_length:
        if (m_sawLength) {
            Fail(400, kTwoLengths);
            return false;
        }
        m_sawLength = true;
        if (m_sawEncoding) {
            Fail(400, kLengthAndEncoding);
            return false;
        }
        break;
    case http::field::transfer_encoding:
        if (m_sawEncoding) {
            Fail(400, kTwoEncodings);
            return false;
        }
        m_sawEncoding = true;
        if (m_sawLength) {
            Fail(400, kLengthAndEncoding);
            return false;
        }
        // Any other coding (or a list) would leave the body's end to
        // whatever a proxy in front of us makes of it.
        if (text.toLower() != "chunked") {
            Fail(400, QStringLiteral("Ambiguous request framing: Transfer-Encoding other than chunked: %1")
                          .arg(QString::fromLatin1(text.left(100))));
            return false;
        }
        break;
    case http::field::expect:
        m_expectContinue = text.toLower() == "100-continue";
        break;
    default:
        break;
    }
    // Trailer fields come here too, after the header; they count, but the
    // head is what the origin and token checks read.
    if (!m_parser->is_header_done())
        m_head += QByteArray(name, int(nameSize)) + ": " + QByteArray(value, int(valueSize)) + "\r\n";
    return true;
}

void RequestReader::OnBodyStart(qint64 contentLength)
{
    // The caller has checked the length against the limit and its budget.
    if (contentLength > 0)
        m_body.reserve(int(contentLength));
}

void RequestReader::OnBodyBytes(const char* data, std::size_t size)
{
    m_body.append(data, int(size));
}

QByteArray RequestReader::Path() const
{
    const int query = m_target.indexOf('?');
    return query < 0 ? m_target : m_target.left(query);
}

bool RequestReader::KeepAlive() const
{
    return m_parser->is_header_done() && m_parser->keep_alive();
}

qint64 RequestReader::ContentLength() const
{
    if (!m_parser->is_header_done())
        return -1;
    const auto length = m_parser->content_length();
    return length ? qint64(*length) : -1;
}

bool RequestReader::Chunked() const
{
    return m_parser->is_header_done() && m_parser->chunked();
}

QByteArray RequestReader::TakeBody()
{
    QByteArray body;
    body.swap(m_body);
    return body;
}
