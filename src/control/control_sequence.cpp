// Set-up, host text and clean-up, each under the catch-all: structured and C++
// exceptions become -1 with a message, and whatever the step took is released.
#include "control/control_sequence.h"

#include <cstring>

#include "control/callback_wiring.h"
#include "control/control_state.h"
#include "base/exception_guard.h"
#include "base/memory_probe.h"
#include "base/owned_lock.h"
#include "control/message_buffer.h"
#include "control/messages.h"
#include "control/settings.h"
#include "control/tracing_steps.h"
#include "tracelog/trace_log.h"

namespace qelvorn {

ControlState controlState;

namespace {

constexpr char kIniName[] = "Qelvorn.ini";
// The settings and hook list names are joined to iniDir in 260-byte buffers.
constexpr size_t kMaxIniDir = 260 - sizeof kIniName;

// One lock over the three exported functions, made once and never destroyed: two
// set-ups or clean-ups at once are answered in turn, and none meets a lock being re-made.
OwnedLock controlLock;

// Once anything was patched the library stays mapped for the rest of the process: a
// HookEntry handed out, or a thread blocked in a traced call, must never return into
// unmapped code after a clean-up and FreeLibrary.
void PinLibrary() {
  HMODULE self = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCSTR>(&PinLibrary), &self);
}

// Settings, window, log and tracing in turn; answers 0 or -1 and appends the messages of
// each step.
int OpenLogAndStartTracing(const char* iniDir, const char* logDir, MessageBuffer& messages) {
  AppendMessage(messages, kSetUpStart);
  if (strnlen(iniDir, kMaxIniDir + 1) > kMaxIniDir) {
    AppendMessage(messages, kSetUpIniDirTooLong);
    return -1;
  }
  char iniPath[260];
  strcpy(iniPath, iniDir);
  strcat(iniPath, kIniName);
  if (!ReadIniFile(iniPath, messages)) {
    AppendMessage(messages, kSetUpIniFailed);
    return -1;
  }
  AppendMessage(messages, kSetUpIniOk);
  AppendMessage(messages, iniPath);
  AppendMessage(messages, "\n");
  if (!IsValidSpan(iniPath, messages)) {
    AppendMessage(messages, kSetUpSpanClosed);
    return -1;
  }
  AppendMessage(messages, kSetUpSpanOpen);
  if (strnlen(logDir, sizeof traceLog.directory) >= sizeof traceLog.directory) {
    AppendMessage(messages, kSetUpLogDirTooLong);
    return -1;
  }
  strcpy(traceLog.directory, logDir);
  if (!CreateLogFile()) {
    AppendMessage(messages, kSetUpLogFailed);
    return -1;
  }
  WriteLogHeader(messages);
  AppendMessage(messages, kSetUpLogOk);
  if (!StartTracing(iniDir, messages)) return -1;
  return 0;
}

}  // namespace

int SetUp(const char* iniDir, const char* logDir, MessageBuffer& messages) {
  OwnedLockHold hold(controlLock);
  ClearMessages(messages);
  if (!hold.held()) {
    AppendMessage(messages, kSetUpException);
    return -1;
  }
  if (controlState.initialised) {
    AppendMessage(messages, kSetUpAlready);
    return 1;
  }
  InstallCallbacks();
  int result = -1;
  if (Guarded([&] { result = OpenLogAndStartTracing(iniDir, logDir, messages); }) !=
      GuardOutcome::kCompleted) {
    result = -1;
    AppendMessage(messages, kSetUpException);
  }
  if (result != 0) {
    // A set-up that answers -1 leaves nothing behind: no patched slot that no clean-up
    // would restore, and no log held open and locked for the life of the process.
    Guarded([] { AbandonTracing(); });
    CloseLogFile();
    return -1;
  }
  PinLibrary();
  traceLog.active = true;
  controlState.initialised = true;
  return 0;
}

int WriteLog(const char* text, MessageBuffer& messages) {
  int result = -1;
  OwnedLockHold hold(controlLock);
  GuardOutcome outcome = Guarded([&] {
    ClearMessages(messages);
    if (!hold.held()) {
      AppendMessage(messages, kWriteLogFailed);
      return;
    }
    if (!controlState.initialised) {
      AppendMessage(messages, kWriteLogNotInit);
      result = 1;
      return;
    }
    if (!IsReadableText(text, 260)) {
      AppendMessage(messages, kWriteLogBadText);
      return;
    }
    if (!traceLog.active) {
      result = 0;
      return;
    }
    if (!WriteText(text, true)) {
      AppendMessage(messages, kWriteLogFailed);
      return;
    }
    result = 0;
  });
  if (outcome != GuardOutcome::kCompleted) {
    AppendMessage(messages, kWriteLogException);
    result = -1;
  }
  return result;
}

int CleanUp(MessageBuffer& messages) {
  OwnedLockHold hold(controlLock);
  ClearMessages(messages);
  if (!hold.held()) {
    AppendMessage(messages, kCleanUpException);
    return -1;
  }
  if (!controlState.initialised) {
    AppendMessage(messages, kCleanUpNotInit);
    return 1;
  }
  int result = -1;
  GuardOutcome outcome = Guarded([&] {
    traceLog.active = false;
    StopTracing(messages);
    if (!WriteLine("\r\nCleanUp OK", true)) AppendMessage(messages, kCleanUpHeaderFailed);
    if (!CloseLogFile()) AppendMessage(messages, kCleanUpCloseFailed);
    result = 0;
  });
  if (outcome != GuardOutcome::kCompleted) {
    AppendMessage(messages, kCleanUpException);
    result = -1;
  }
  controlState.initialised = false;
  return result;
}

}  // namespace qelvorn
