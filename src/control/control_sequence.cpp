// Set-up, host text and clean-up, each under the catch-all: structured and C++
// exceptions become -1 with a message, and whatever the step took is released.
#include "control/control_sequence.h"

#include <cstring>

#include "control/control_state.h"
#include "control/exception_guard.h"
#include "control/message_buffer.h"
#include "control/messages.h"
#include "control/settings.h"
#include "control/tracing_steps.h"
#include "recording/thread_guard.h"
#include "tracelog/trace_log.h"

ControlState controlState;

namespace {

constexpr char kIniName[] = "Qelvorn.ini";
// The settings and hook list names are joined to iniDir in 260-byte buffers.
constexpr size_t kMaxIniDir = 260 - sizeof kIniName;

void CreateLocks() {
  InitializeCriticalSectionAndSpinCount(&controlState.setupLock, 4000);
  CreateTraceLogLock();
}

void DestroyLocks() {
  DeleteCriticalSection(&controlState.setupLock);
  DestroyTraceLogLock();
}

// After the catch-all fired: the frames that would have released the log lock and
// lowered the guard count were abandoned, so both are put back here.
void RecoverFromException(int guardCount) {
  ReleaseLogLockIfHeld();
  SetThreadGuardCount(guardCount);
}

// Steps 4 to 15 of set-up; answers 0 or -1 and appends the messages of each step.
int RunSetUpSteps(const char* iniDir, const char* logDir, MessageBuffer& messages) {
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
  traceLog.active = true;
  controlState.initialised = true;
  return 0;
}

}  // namespace

int SetUp(const char* iniDir, const char* logDir, MessageBuffer& messages) {
  if (!controlState.initialised) CreateLocks();
  EnterCriticalSection(&controlState.setupLock);
  ClearMessages(messages);
  if (controlState.initialised) {
    AppendMessage(messages, kSetUpAlready);
    LeaveCriticalSection(&controlState.setupLock);
    return 1;
  }
  int result = -1;
  int guardCount = ThreadGuardCount();
  if (Guarded([&] { result = RunSetUpSteps(iniDir, logDir, messages); }) !=
      GuardOutcome::kCompleted) {
    RecoverFromException(guardCount);
    traceLog.active = false;
    controlState.initialised = false;
    result = -1;
    AppendMessage(messages, kSetUpException);
  }
  LeaveCriticalSection(&controlState.setupLock);
  if (!controlState.initialised) {
    DestroyLocks();
    // A log created before the failure would otherwise stay open and locked for the
    // life of the process; nothing can write to it without a set-up in force.
    CloseLogFile();
  }
  return result;
}

int WriteLog(const char* text, MessageBuffer& messages) {
  int result = -1;
  int guardCount = ThreadGuardCount();
  GuardOutcome outcome = Guarded([&] {
    ClearMessages(messages);
    if (!controlState.initialised) {
      AppendMessage(messages, kWriteLogNotInit);
      result = 1;
      return;
    }
    if (IsBadStringPtrA(text, 260)) {
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
    RecoverFromException(guardCount);
    AppendMessage(messages, kWriteLogException);
    result = -1;
  }
  return result;
}

int CleanUp(MessageBuffer& messages) {
  ClearMessages(messages);
  if (!controlState.initialised) {
    AppendMessage(messages, kCleanUpNotInit);
    return 1;
  }
  int result = -1;
  int guardCount = ThreadGuardCount();
  GuardOutcome outcome = Guarded([&] {
    traceLog.active = false;
    StopTracing(messages);
    if (!WriteLine("\r\nCleanUp OK", true)) AppendMessage(messages, kCleanUpHeaderFailed);
    if (!CloseLogFile()) AppendMessage(messages, kCleanUpCloseFailed);
    result = 0;
  });
  if (outcome != GuardOutcome::kCompleted) {
    RecoverFromException(guardCount);
    AppendMessage(messages, kCleanUpException);
    result = -1;
  }
  if (controlState.initialised) DestroyLocks();
  controlState.initialised = false;
  return result;
}
