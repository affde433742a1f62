// A module with nothing in it: copied under one file name into two folders, it gives the
// process two loaded modules of the same name.
#include <windows.h>

extern "C" __declspec(dllexport) int QelFixtureValue() {
  return 7;
}
