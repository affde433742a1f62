// A listed importing module that is only loaded at run time: it imports a traced
// kernel32 function and a traced function of the other fixture DLL.
#include <windows.h>

extern "C" int TargetAdd(int a, int b);

extern "C" __declspec(dllexport) int LibWork() {
  Sleep(0);
  return TargetAdd(40, 2);
}
