// Fault injection for the allocations our own code makes. The fault-test
// executable is linked with -Wl,--wrap=malloc,--wrap=free, which reroutes only
// the calls made from its own object files (the library's modules and the
// tests); libstdc++, eSpeak NG and ONNX Runtime are shared libraries and keep
// the real allocator.
#ifndef ORVEL_FAULT_MALLOC_H
#define ORVEL_FAULT_MALLOC_H

#include <cstddef>

namespace fault {

// Makes the nth malloc call from now on (1 = the next one) return null; 0 disarms.
void fail_nth_malloc(int n);

// True once the armed failure has happened (it disarms itself then).
bool failure_happened();

// malloc calls seen since the last fail_nth_malloc.
int mallocs_since_armed();

// Blocks allocated through the wrapper and not yet freed.
size_t live_blocks();

}  // namespace fault

#endif
