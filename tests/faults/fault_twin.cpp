// A listed DLL that the fault hosts load only at run time: it imports a traced kernel32
// function, and exports a function named like one of fault_lib's.
#include <windows.h>

extern "C" {

int Same(int value) {
  return value * 100 + 2;
}

int TwinLength(const char* text) {
  return lstrlenA(text);
}
}
