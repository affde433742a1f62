// The exported entry points: thin guards that lock and call into the control sequence.
#include <windows.h>

extern "C" {
__declspec(dllexport) int nQelvorn = 0;
int WINAPI QelSetUp_(const char*, const char*, char*, int) { return -1; }
int WINAPI QelWriteLog_(const char*, char*, int) { return 1; }
int WINAPI QelCleanUp_(char*, int) { return 1; }
}
