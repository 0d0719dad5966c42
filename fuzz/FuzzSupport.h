#pragma once

#include "platform/Debugger.h"

#include <QByteArray>
#include <QCoreApplication>

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
