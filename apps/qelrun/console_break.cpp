// Console control handlers run on a thread the system starts; they only set events that
// the launcher's main wait includes.
#include "console_break.h"

#include <string>

namespace qelrun {

namespace {

HANDLE breakEvent = nullptr;
HANDLE handledEvent = nullptr;

// The system ends a process whose close handler has not returned after about five seconds.
constexpr DWORD kCloseWaitMs = 4500;

BOOL WINAPI IgnoreBreak(DWORD event) {
  return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? TRUE : FALSE;
}

BOOL WINAPI StopOnBreak(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  SetEvent(breakEvent);
  // The process ends when this handler returns from a close: clean-up must finish first.
  if (event == CTRL_CLOSE_EVENT) WaitForSingleObject(handledEvent, kCloseWaitMs);
  return TRUE;
}

}  // namespace

void IgnoreConsoleBreaks() {
  SetConsoleCtrlHandler(IgnoreBreak, TRUE);
}

HANDLE WatchConsoleBreaks() {
  // Named, so that a script or a service without a console can ask for the same detach.
  std::wstring name = L"Local\\qelrun-detach-" + std::to_wstring(GetCurrentProcessId());
  breakEvent = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
  if (breakEvent == nullptr) breakEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (breakEvent == nullptr) return nullptr;
  handledEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(StopOnBreak, TRUE);
  return breakEvent;
}

void BreakHandled() {
  if (handledEvent != nullptr) SetEvent(handledEvent);
}

}  // namespace qelrun
