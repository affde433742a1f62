// Catch-all around the library's entry points: structured exceptions (access
// violations) and C++ exceptions alike come back as an outcome instead of ending the host.
#pragma once

#include <type_traits>

namespace qelvorn {

enum class GuardOutcome { kCompleted, kStructuredException, kCppException };

using GuardedFunction = void (*)(void* context);

GuardOutcome RunGuarded(GuardedFunction fn, void* context);

// Runs f() under the guard. After a structured exception the frames between the fault
// and the guard are abandoned: the guard itself puts back the library's locks and the
// thread's guard count as they were at entry, and re-arms the stack's guard page after a
// stack overflow. Anything else f took must be released by the caller.
template <class F>
GuardOutcome Guarded(F&& f) {
  using Fn = std::remove_reference_t<F>;
  return RunGuarded([](void* c) { (*static_cast<Fn*>(c))(); },
                    const_cast<void*>(static_cast<const void*>(&f)));
}

}  // namespace qelvorn
