#include "remote/HttpResponseReader.h"

#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>

namespace http = boost::beast::http;

namespace {

// A body that collects what each put() brings into one array, which the
// reader hands on after every Feed.
struct PassedBody
{
    using value_type = QByteArray;

    class reader
    {
    public:
        template <bool isRequest, class Fields>
        reader(http::header<isRequest, Fields>&, value_type& body) : m_body(body) {}

        void init(const boost::optional<std::uint64_t>&, boost::beast::error_code& ec) { ec = {}; }

        template <class ConstBufferSequence>
        std::size_t put(const ConstBufferSequence& buffers, boost::beast::error_code& ec)
        {
            std::size_t taken = 0;
            for (auto it = boost::asio::buffer_sequence_begin(buffers); it != boost::asio::buffer_sequence_end(buffers); ++it) {
                const boost::asio::const_buffer buffer = *it;
                m_body.append(static_cast<const char*>(buffer.data()), int(buffer.size()));
                taken += buffer.size();
            }
            ec = {};
            return taken;
        }

        void finish(boost::beast::error_code& ec) { ec = {}; }

    private:
        value_type& m_body;
    };
};

QByteArray fromView(boost::beast::string_view view)
{
    return QByteArray(view.data(), int(view.size()));
}

} // namespace

struct HttpResponseReader::Parser
{
    http::response_parser<PassedBody> parser;
};

HttpResponseReader::HttpResponseReader(qint64 bodyLimit)
    : m_bodyLimit(qBound<qint64>(0, bodyLimit, MaxBodyLimit))
{
    NewParser();
}

HttpResponseReader::~HttpResponseReader() = default;

void HttpResponseReader::NewParser()
{
    m_parser = std::make_unique<Parser>();
    m_parser->parser.header_limit(HeaderLimit);
    m_parser->parser.body_limit(std::uint64_t(m_bodyLimit));
    // Not eager: Beast 1.74 then goes on into the body after a header whose
    // Content-Length is over the limit and loses that error, when body bytes
    // follow in the same buffer. Parse() calls again instead.
}

QByteArray HttpResponseReader::TakeBody()
{
    QByteArray body;
    if (m_parser)
        body.swap(m_parser->parser.get().body());
    return body;
}

void HttpResponseReader::Fail(Failure kind, const QString& text)
{
    m_state = Failed;
    m_failure = kind;
    m_errorText = text;
    m_pending.clear();
}

HttpResponseReader::State HttpResponseReader::Feed(const char* data, qint64 size)
{
    if (m_state != Reading || size <= 0)
        return m_state;
    m_started = true;
    // Unparsed bytes of earlier calls come first; without any, the input is
    // parsed where it lies.
    const char* bytes = data;
    qint64 count = size;
    if (!m_pending.isEmpty()) {
        m_pending.append(data, int(size));
        bytes = m_pending.constData();
        count = m_pending.size();
    }
    const qint64 used = Parse(bytes, count);
    if (m_state == Done) {
        m_leftover = QByteArray(bytes + used, int(count - used));
        m_pending.clear();
    } else if (m_state == Reading) {
        if (bytes == data)
            m_pending = QByteArray(bytes + used, int(count - used));
        else
            m_pending.remove(0, int(used));
    }
    return m_state;
}

qint64 HttpResponseReader::Parse(const char* data, qint64 size)
{
    qint64 used = 0;
    while (m_state == Reading && used < size) {
        auto& parser = m_parser->parser;
        boost::beast::error_code error;
        // The parser bounds a header by itself, but not a chunk line or a
        // trailer: shown no more than HeaderLimit bytes at a time, it cannot
        // take a longer one, however the bytes arrive.
        const qint64 window = qMin<qint64>(size - used, HeaderLimit);
        const std::size_t taken = parser.put(boost::asio::const_buffer(data + used, std::size_t(window)), error);
        used += qint64(taken);
        if (error == http::error::need_more) {
            if (taken > 0)
                continue;
            if (window == HeaderLimit)
                Fail(Malformed, QStringLiteral("Malformed HTTP answer (a chunk line or trailer of more than %1 bytes)").arg(HeaderLimit));
            break;
        }
        if (error == http::error::body_limit) {
            Fail(TooLarge, QStringLiteral("the remote reply was too large: more than %1 bytes").arg(m_bodyLimit));
            break;
        }
        if (error == http::error::header_limit) {
            Fail(TooLarge, QStringLiteral("the remote reply was too large: a header of more than %1 bytes").arg(HeaderLimit));
            break;
        }
        if (error) {
            Fail(Malformed, QStringLiteral("Malformed HTTP answer (%1)").arg(QString::fromStdString(error.message())));
            break;
        }
        if (parser.is_header_done() && !m_headerReady) {
            const auto& head = parser.get();
            const int status = head.result_int();
            if (status / 100 == 1 && status != 101 && parser.is_done()) {
                // "100 Continue" and the like: the real answer follows.
                NewParser();
                continue;
            }
            m_headerReady = true;
            m_status = status;
            m_reason = fromView(head.reason());
            for (const auto& field : head)
                m_headers.append({fromView(field.name_string()), fromView(field.value())});
            if (const auto length = parser.content_length())
                m_contentLength = qint64(*length);
        }
        if (parser.is_done()) {
            // A switched protocol is no longer HTTP: never reused.
            m_keepAlive = parser.keep_alive() && m_status != 101;
            m_state = Done;
        } else if (taken == 0) {
            break;
        }
    }
    return used;
}

HttpResponseReader::State HttpResponseReader::Eof()
{
    if (m_state != Reading)
        return m_state;
    if (!m_started) {
        Fail(Closed, QStringLiteral("Connection closed"));
        return m_state;
    }
    boost::beast::error_code error;
    m_parser->parser.put_eof(error);
    if (error) {
        Fail(Closed, QStringLiteral("Connection closed"));
    } else {
        m_keepAlive = false;
        m_state = Done;
    }
    return m_state;
}
