#pragma once

#include <QtCore/qglobal.h>

#if defined(KIVDEBUGGER_LIBRARY)
#define KIVDEBUGGER_EXPORT Q_DECL_EXPORT
#else
#define KIVDEBUGGER_EXPORT Q_DECL_IMPORT
#endif
