// The remote server's answer to a forwarded request: the raw HTTP response
// through the transport's reader, then its body through the remote handler.
// The first byte sets the size of the pieces the response arrives in.

#include "fuzz/FuzzSupport.h"
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

    bool operator==(const Read& other) const
    {
        return state == other.state && status == other.status && body == other.body && leftover == other.leftover
            && error == other.error;
    }
};

Read readAll(const QByteArray& bytes, int piece, bool eof)
{
    HttpResponseReader reader(kBodyLimit);
    Read read;
    for (int at = 0; at < bytes.size() && reader.Status() == HttpResponseReader::Reading; at += piece) {
        reader.Feed(bytes.constData() + at, qMin(piece, bytes.size() - at));
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
    read.leftover = reader.Leftover();
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
    // However the bytes are split, the reader comes to the same end.
    for (const bool eof : {false, true}) {
        const Read whole = readAll(response, qMax(response.size(), 1), eof);
        if (!(readAll(response, piece, eof) == whole))
            std::abort();
        if (!eof || whole.state != HttpResponseReader::Done)
            continue;
        int replies = 0;
        const RemoteHandler handler([&replies](const QJsonObject&) { ++replies; }, nullptr);
        handler.OnBody(whole.body);
        // Every answer, whatever it holds, gets exactly one reply.
        if (replies != 1)
            std::abort();
    }
    return 0;
}
