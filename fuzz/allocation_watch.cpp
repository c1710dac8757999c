//
// The allocation watch of the fuzz targets: operator new notes the largest request while a
// target watches, and obtains memory from malloc as ever.
//

#include "allocation_watch.h"

#include <cstdlib>
#include <new>

static size_t g_largestAllocation = 0;
static bool g_watchAllocations = false;

void WatchAllocations() {
  g_largestAllocation = 0;
  g_watchAllocations = true;
}

size_t EndWatchingAllocations() {
  g_watchAllocations = false;
  return g_largestAllocation;
}

//
// 'Obtain()' - Obtain memory for C++ objects, noting the largest request while watching.
//

static void *Obtain(size_t size) {
  if (g_watchAllocations && size > g_largestAllocation) {
    g_largestAllocation = size;
  }
  return malloc(size == 0 ? 1 : size);
}

void *operator new(size_t size) {
  if (void *memory = Obtain(size)) {
    return memory;
  }
  throw std::bad_alloc();
}

void *operator new[](size_t size) {
  return operator new(size);
}

void *operator new(size_t size, const std::nothrow_t &) noexcept {
  return Obtain(size);
}

void *operator new[](size_t size, const std::nothrow_t &) noexcept {
  return Obtain(size);
}

// Every unaligned form of delete, so that no memory from these reaches another allocator.
void operator delete(void *memory) noexcept {
  free(memory);
}
void operator delete[](void *memory) noexcept {
  free(memory);
}
void operator delete(void *memory, size_t) noexcept {
  free(memory);
}
void operator delete[](void *memory, size_t) noexcept {
  free(memory);
}
void operator delete(void *memory, const std::nothrow_t &) noexcept {
  free(memory);
}
void operator delete[](void *memory, const std::nothrow_t &) noexcept {
  free(memory);
}
