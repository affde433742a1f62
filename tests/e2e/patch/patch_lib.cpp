// A DLL loaded with its host: it exports one function by ordinal only and one by name,
// and imports traced kernel32 functions itself.
#include <windows.h>

extern "C" {
int LibCount(const char* text) {
  return lstrlenA(text);
}
int LibTouch() {
  Sleep(0);
  return 1;
}
}
