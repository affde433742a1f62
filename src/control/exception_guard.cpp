// The C++ half of the catch-all: language exceptions are caught here, inside the
// structured-exception record, so none ever unwinds through the assembly frame.
#include "control/exception_guard.h"

extern "C" int QelRunSehGuarded(GuardedFunction fn, void* context);

namespace {

struct GuardCall {
  GuardedFunction fn;
  void* context;
  bool threw;
};

void CallCatchingCpp(void* raw) {
  GuardCall* call = static_cast<GuardCall*>(raw);
  try {
    call->fn(call->context);
  } catch (...) {
    call->threw = true;
  }
}

}  // namespace

GuardOutcome RunGuarded(GuardedFunction fn, void* context) {
  GuardCall call{fn, context, false};
  if (QelRunSehGuarded(&CallCatchingCpp, &call) != 0) return GuardOutcome::kStructuredException;
  return call.threw ? GuardOutcome::kCppException : GuardOutcome::kCompleted;
}
