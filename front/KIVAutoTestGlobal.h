#pragma once

#include <QtCore/qglobal.h>

#if defined(KIVAUTOTEST_LIBRARY)
#define KIVAUTOTEST_EXPORT Q_DECL_EXPORT
#else
#define KIVAUTOTEST_EXPORT Q_DECL_IMPORT
#endif
