#include "apps/common/ReuseFreedMemory.h"

#include <malloc.h>

void ReuseFreedMemory()
{
    // Fixed values also turn off glibc's own adjustment of both thresholds.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
}
