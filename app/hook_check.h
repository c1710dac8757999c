//
// The check that each hook into PAPPL is reached: PAPPL's calls must find the application's
// function first, and the application's function must find the library's to hand the call on
// to. Apart from the dynamic linker, so that a test hands it lookups of its own.
//

#ifndef QUILLMARSH_APP_HOOK_CHECK_H
#define QUILLMARSH_APP_HOOK_CHECK_H

#include <cstddef>
#include <string>

// One hook: the symbol it takes over and the application's function for it.
struct Hook {
  const char *name;
  const void *own;
};

// Looks a symbol up: the first definition (what PAPPL's calls reach), or the next one after
// the application's (the library's own).
using SymbolLookup = const void *(*)(const char *name);

// Empty when every hook is reached; otherwise a message naming the first that is not.
std::string CheckHooks(const Hook *hooks, size_t count, SymbolLookup first, SymbolLookup next);

#endif  // QUILLMARSH_APP_HOOK_CHECK_H
