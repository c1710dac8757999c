//
// The check that each hook into PAPPL is reached.
//

#include "hook_check.h"

//
// 'CheckHooks()' - The first hook that PAPPL does not reach, or that reaches no library
//                  function, in a message; empty when all are active.
//

std::string CheckHooks(const Hook *hooks, size_t count, SymbolLookup first, SymbolLookup next) {
  for (size_t i = 0; i < count; i++) {
    const Hook &hook = hooks[i];
    if (first(hook.name) != hook.own) {
      return std::string("PAPPL hook ") + hook.name +
             " is not reached: calls to it do not come to the application (is this PAPPL "
             "1.3.1?).";
    }
    if (next(hook.name) == nullptr) {
      return std::string("PAPPL hook ") + hook.name +
             " has no library function to hand the call on to (is this PAPPL 1.3.1?).";
    }
  }
  return "";
}
