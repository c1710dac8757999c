//
// The largest request to operator new while a fuzz target watches: the targets hold the code
// under test to the buffers that the largest input it accepts needs. This file's operator new
// replaces the C++ library's in every target built with allocation_watch.cpp.
//

#ifndef QUILLMARSH_FUZZ_ALLOCATION_WATCH_H
#define QUILLMARSH_FUZZ_ALLOCATION_WATCH_H

#include <cstddef>

// Starts watching, with no request seen yet.
void WatchAllocations();

// Stops watching and returns the largest request since WatchAllocations().
size_t EndWatchingAllocations();

#endif  // QUILLMARSH_FUZZ_ALLOCATION_WATCH_H
