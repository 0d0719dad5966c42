// The remote server's answer to a forwarded request: the raw HTTP response
// through the transport's reader, then its body through the remote handler
// to the reply the client gets.
// The first byte sets the size of the pieces the response arrives in.

#include "fuzz/FuzzSupport.h"
#include "front/RequestEnvelope.h"
#include "remote/HttpResponseReader.h"
#include "remote/RemoteHandler.h"

#include <cstdlib>

namespace {

const qint64 kBodyLimit = 4096;

struct Read
{
    HttpResponseReader::State state = HttpResponseReader::Reading;
    int status = 0;
    QByteArray body;
    QByteArray leftover;
    QString error;

    bool HeaderTooLarge() const { return state == HttpResponseReader::Failed && error.contains(QLatin1String("a header of")); }

    // A response read whole in one mode is read the same in the other.
    // Errors may differ: Beast finds a bad header field as soon as it sees it
    // when the header is in one piece, but waits for the header's end when it
    // came in pieces.
    bool Agrees(const Read& other) const
    {
        if (state != HttpResponseReader::Done && other.state != HttpResponseReader::Done)
            return true;
        // So may the header bound, by a start line's length: once the start
        // line is parsed on its own, the fields get the whole bound.
        if (HeaderTooLarge() || other.HeaderTooLarge())
            return true;
        return state == other.state && status == other.status && body == other.body && leftover == other.leftover;
    }
};

Read readAll(const QByteArray& bytes, int piece, bool eof)
{
    HttpResponseReader reader(kBodyLimit);
    Read read;
    int fed = 0;
    while (fed < bytes.size() && reader.Status() == HttpResponseReader::Reading) {
        const int count = qMin(piece, bytes.size() - fed);
        reader.Feed(bytes.constData() + fed, count);
        fed += count;
        read.body += reader.TakeBody();
        // Whatever arrives, nothing beyond the bounds is kept.
        if (read.body.size() > kBodyLimit)
            std::abort();
    }
    if (eof)
        reader.Eof();
    read.body += reader.TakeBody();
    read.state = reader.Status();
    read.status = reader.HeaderReady() ? reader.StatusCode() : 0;
    // What follows the response, whether the reader saw it or not.
    if (read.state == HttpResponseReader::Done)
        read.leftover = reader.Leftover() + bytes.mid(fed);
    read.error = reader.ErrorText();
    if (read.state == HttpResponseReader::Failed && read.error.isEmpty())
        std::abort();
    return read;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    kivFuzzInit(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const int piece = data[0] + 1;
    const QByteArray response = kivFuzzBytes(data + 1, size - 1);
    // However the bytes are split, a complete response is read the same.
    for (const bool eof : {false, true}) {
        const Read whole = readAll(response, qMax(response.size(), 1), eof);
        if (!readAll(response, piece, eof).Agrees(whole))
            std::abort();
        if (!eof || whole.state != HttpResponseReader::Done)
            continue;
        int replies = 0;
        bool strict = true;
        const RemoteHandler handler(
            [&replies, &strict](const QJsonObject& answer) {
                ++replies;
                strict = strict && kivFuzzStrictJson(RequestEnvelope::Reply(answer, "1"));
            },
            nullptr);
        handler.OnBody(whole.body);
        // Every answer, whatever it holds (Qt's parser takes "1." and raw
        // tabs in strings), gets exactly one reply, and that is strict JSON.
        if (replies != 1 || !strict)
            std::abort();
    }
    return 0;
}
