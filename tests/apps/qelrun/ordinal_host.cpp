// qelrun_ordinal.exe: a program that imports OLEAUT32's SysAllocString and SysFreeString by
// ordinal only (2 and 6), and formats its output with user32's wsprintfW, which no hook list
// can trace (its argument count varies).
#include <windows.h>

#include <oleauto.h>

int wmain() {
  BSTR text = SysAllocString(L"ordinal");
  wchar_t line[64];
  int length = wsprintfW(line, L"made %d characters\n", lstrlenW(text));
  SysFreeString(text);
  char narrow[64];
  int bytes = WideCharToMultiByte(CP_ACP, 0, line, length, narrow, sizeof narrow, nullptr, nullptr);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), narrow, static_cast<DWORD>(bytes), &written, nullptr);
  return 0;
}
