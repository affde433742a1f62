// The DLL whose functions the x64 host calls through its import table: the argument and
// result shapes that only x64 passes its own way, an exception raised through the caller's
// frames, a callback into the caller, and a stack walk from inside a traced call.
#include <windows.h>

#include <cstdint>

extern "C" {

// Weighted, so arguments in the wrong order or cut to 32 bits give another sum.
int64_t LibSum6(int64_t a, int64_t b, int64_t c, int64_t d, int64_t e, int64_t f) {
  return a + 2 * b + 3 * c + 4 * d + 5 * e + 6 * f;
}

// Integers and doubles in turns: the doubles come in XMM1, XMM3 and on the stack.
double LibMixed(int a, double b, int64_t c, double d, int e, double f) {
  return a * b + static_cast<double>(c) * d - e * f;
}

void LibRaise(DWORD code) {
  RaiseException(code, 0, 0, nullptr);
}

int LibCallBack(int (*callback)(int), int value) {
  return callback(value) + 1;
}

int LibWalk(void** frames, int count) {
  return RtlCaptureStackBackTrace(0, static_cast<DWORD>(count), frames, nullptr);
}

// Reads nothing: the texts are there for the log, bad pointers included.
int LibTexts(const char*, const char*, const char*, const char*, const char*, const char*) {
  return 6;
}
}
