#pragma once

#include "platform/Debugger.h"

#include <QByteArray>
#include <QCoreApplication>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>

// Shared set-up of the fuzz targets: an application object for the classes
// that need one, and no log output (it would cost most of the time).
inline void kivFuzzInit(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    Debugger::SetThreshold(-1);
}

inline QByteArray kivFuzzBytes(const uint8_t* data, size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), int(size));
}

// The code unit of the "\uXXXX" escape at `at`, or -1.
inline int kivFuzzEscapedUnit(const QByteArray& text, int at)
{
    if (at + 6 > text.size() || text.at(at) != '\\' || text.at(at + 1) != 'u')
        return -1;
    const QByteArray hex = text.mid(at + 2, 4);
    const bool valid = std::all_of(hex.cbegin(), hex.cend(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
    return valid ? hex.toInt(nullptr, 16) : -1;
}

// Whether a browser's JSON.parse takes `text`: one value, strict RFC 8259.
inline bool kivFuzzStrictJson(QByteArray text)
{
    // RFC 8259 allows unpaired surrogate escapes, nlohmann refuses them: each becomes \uFFFD before accept().
    for (int at = text.indexOf('\\'); at >= 0; at = text.indexOf('\\', at)) {
        const int unit = kivFuzzEscapedUnit(text, at);
        const int next = kivFuzzEscapedUnit(text, at + 6);
        if (unit >= 0xD800 && unit <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            at += 12;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            text.replace(at, 6, "\\uFFFD");
            at += 6;
        } else {
            at += 2; // the escaped character may be a backslash itself
        }
    }
    return nlohmann::json::accept(text.constData(), text.constData() + text.size());
}
