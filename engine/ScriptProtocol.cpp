#include "engine/ScriptProtocol.h"

#include <QDataStream>
#include <QtEndian>

namespace ScriptProtocol {

namespace {

constexpr QDataStream::Version StreamVersion = QDataStream::Qt_5_15;

template<class Write>
QByteArray encode(Kind kind, Write write)
{
    QByteArray payload;
    QDataStream out(&payload, QIODevice::WriteOnly);
    out.setVersion(StreamVersion);
    out << quint8(kind);
    write(out);
    return payload;
}

template<class Read>
bool decode(const QByteArray& payload, Kind kind, Read read)
{
    QDataStream in(payload);
    in.setVersion(StreamVersion);
    quint8 found = 0;
    in >> found;
    if (found != quint8(kind))
        return false;
    read(in);
    return in.status() == QDataStream::Ok;
}

} // namespace

QByteArray EncodeObservation(const Observation& o)
{
    return encode(Kind::Observe, [&](QDataStream& out) { out << o.module << o.group << o.item << o.value; });
}

QByteArray EncodeCheck(const Check& c)
{
    return encode(Kind::Check, [&](QDataStream& out) { out << c.seq << c.local << c.script; });
}

QByteArray EncodeCompile(const Compile& c)
{
    return encode(Kind::Compile, [&](QDataStream& out) { out << c.seq << c.script; });
}

QByteArray EncodeVerdict(const Verdict& v)
{
    return encode(Kind::Verdict, [&](QDataStream& out) { out << v.seq << v.result << v.erred << v.remark << v.ms << v.line; });
}

quint8 KindOf(const QByteArray& payload)
{
    return payload.isEmpty() ? 0 : quint8(payload.at(0));
}

bool Decode(const QByteArray& payload, Observation& o)
{
    return decode(payload, Kind::Observe, [&](QDataStream& in) { in >> o.module >> o.group >> o.item >> o.value; });
}

bool Decode(const QByteArray& payload, Check& c)
{
    return decode(payload, Kind::Check, [&](QDataStream& in) { in >> c.seq >> c.local >> c.script; });
}

bool Decode(const QByteArray& payload, Compile& c)
{
    return decode(payload, Kind::Compile, [&](QDataStream& in) { in >> c.seq >> c.script; });
}

bool Decode(const QByteArray& payload, Verdict& v)
{
    return decode(payload, Kind::Verdict, [&](QDataStream& in) { in >> v.seq >> v.result >> v.erred >> v.remark >> v.ms >> v.line; });
}

void AppendFrame(QByteArray& out, const QByteArray& payload)
{
    uchar length[4];
    qToBigEndian(quint32(payload.size()), length);
    out.append(reinterpret_cast<const char*>(length), 4);
    out.append(payload);
}

bool TakeFrame(const QByteArray& buffer, int& offset, QByteArray& payload, bool& broken)
{
    broken = false;
    const int available = buffer.size() - offset;
    if (available < 4)
        return false;
    const quint32 length = qFromBigEndian<quint32>(buffer.constData() + offset);
    if (length > MaxFrameBytes) {
        broken = true;
        return false;
    }
    if (quint32(available) - 4 < length)
        return false;
    payload = buffer.mid(offset + 4, int(length));
    offset += int(length) + 4;
    return true;
}

} // namespace ScriptProtocol
