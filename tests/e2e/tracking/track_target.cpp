// An imported module of the hook list: its functions are traced when fetched at run time.
#include <windows.h>

extern "C" {
// Caller-cleans, so fetched pointers are also tested with that convention.
int TargetAdd(int a, int b) {
  SetLastError(77);
  return a + b;
}
int TargetOther() {
  return 99;
}
}
