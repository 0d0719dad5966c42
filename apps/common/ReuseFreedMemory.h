#pragma once

// Tells the C library to keep freed memory for reuse (up to 64 MiB) and to
// take blocks below 32 MiB from its heap. A service that builds and drops
// replies of a megabyte many times a second otherwise gets each of them as
// fresh pages that the kernel faults in one by one; on a virtual machine
// that costs more than writing the reply. Call once, first thing in main.
void ReuseFreedMemory();
