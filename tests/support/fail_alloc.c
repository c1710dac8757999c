/*
 * Allocation failure for tests: preloaded into the filter, it makes every malloc of a size
 * between FAIL_ALLOC_MIN and FAIL_ALLOC_MAX (bytes, inclusive) fail as if memory ran out.
 */

#include <errno.h>
#include <stdlib.h>

extern void *__libc_malloc(size_t size);

static size_t fail_min;
static size_t fail_max;
static int configured;

void *malloc(size_t size) {
  if (!configured) {
    const char *min = getenv("FAIL_ALLOC_MIN");
    const char *max = getenv("FAIL_ALLOC_MAX");
    fail_min = min ? strtoul(min, NULL, 10) : 1;
    fail_max = max ? strtoul(max, NULL, 10) : 0;
    configured = 1;
  }
  if (size >= fail_min && size <= fail_max) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_malloc(size);
}
