// qelrun_crasher.exe: prints a line, then crashes inside a call to WriteFile (its
// byte-count pointer cannot be written; the text may be written first). Its unhandled-exception
// filter only keeps the system from starting a debugger; the process still ends with the
// exception's code.
#include <windows.h>

namespace {

LONG WINAPI NoDebugger(EXCEPTION_POINTERS*) {
  return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

int main() {
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(NoDebugger);
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD written = 0;
  WriteFile(out, "before\r\n", 8, &written, nullptr);
  WriteFile(out, "never\r\n", 7, reinterpret_cast<DWORD*>(16), nullptr);
  return 0;
}
