#pragma once

#include <QByteArray>
#include <QJsonValue>
#include <QString>

// What the service and its script engine process (autotest-script) say to
// each other over the process's standard input and output: frames of a 4-byte
// big-endian length and a QDataStream payload that starts with its Kind.
namespace ScriptProtocol {

enum class Kind : quint8 {
    Observe = 1, // service -> engine: one observation for the global parameters
    Check = 2,   // service -> engine: judge a script
    Verdict = 3, // engine -> service: the answer to one Check or Compile
    Compile = 4, // service -> engine: compile a script without running it
};

// The engine process exits with this status when an allocation failed: the
// script went past the memory bound.
constexpr int OutOfMemoryExit = 86;
// Larger frames are a broken peer, not a request: no script or remark of a
// job can come near it through the service's own message limits.
constexpr quint32 MaxFrameBytes = 256u << 20;
// A verdict's remark is cut here, so that a script cannot grow the service's
// memory by throwing a huge text.
constexpr int MaxRemarkChars = 16 * 1024;

struct Check
{
    quint32 seq = 0;
    QString local; // the device's answer by name, as compact JSON
    QString script;
};

// Answered with a Verdict: "result" true when the script compiles; else
// "erred" false, the engine's error in "remark" and its line in "line".
struct Compile
{
    quint32 seq = 0;
    QString script;
};

struct Verdict
{
    quint32 seq = 0;
    bool result = false;
    // Could not be judged (threw, not callable, ran out of time or memory),
    // as opposed to a script that returned a falsy value.
    bool erred = true;
    QString remark;
    // How long the script ran.
    qint32 ms = 0;
    // Of a Compile's error: the line the engine names (0 when none).
    qint32 line = 0;
};

struct Observation
{
    QString module;
    QString group;
    QString item;
    QJsonValue value;
};

QByteArray EncodeObservation(const Observation& observation);
QByteArray EncodeCheck(const Check& check);
QByteArray EncodeCompile(const Compile& compile);
QByteArray EncodeVerdict(const Verdict& verdict);

// The kind of a payload; 0 when it is empty.
quint8 KindOf(const QByteArray& payload);
bool Decode(const QByteArray& payload, Observation& observation);
bool Decode(const QByteArray& payload, Check& check);
bool Decode(const QByteArray& payload, Compile& compile);
bool Decode(const QByteArray& payload, Verdict& verdict);

// Appends `payload` as one frame to `out`.
void AppendFrame(QByteArray& out, const QByteArray& payload);
// Reads the complete frame at `offset` of `buffer` into `payload` and moves
// `offset` past it. False when no complete frame is there yet; `broken` is
// then set when its length is past MaxFrameBytes. The caller drops what was
// read once it has taken all it can, so that a burst costs one move.
bool TakeFrame(const QByteArray& buffer, int& offset, QByteArray& payload, bool& broken);

} // namespace ScriptProtocol
