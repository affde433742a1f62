// Pre-call and post-call recording: one line each, built on the traced thread's stack
// and written whole under the log lock. Nothing here may reach the traced call: the
// last error is put back, faults are contained, and the library's own calls on this
// thread are not recorded.
#include "recording/recorder.h"

#include <windows.h>

#include <cstring>

#include "base/exception_guard.h"
#include "base/memory_probe.h"
#include "hooklist/api_hook_record.h"
#include "recording/callback_registry.h"
#include "base/reentry_depth.h"
#include "recording/thread_table.h"
#include "tracelog/line_builder.h"
#include "tracelog/module_snapshot.h"
#include "tracelog/trace_log.h"
#include "tracelog/value_formatters.h"

namespace qelvorn {

namespace {

// The name of the callback that runs before or after the call, or null for none.
const char* CallbackNameOf(const ApiHookRecord* record, bool isPre) {
  return isPre ? record->preCallbackName : record->postCallbackName;
}

// Text of the new-thread line when this call is the thread's first, else empty.
struct Announcement {
  char text[260];
  bool pending;
};

void AppendPrefix(LineBuilder& line, const CallFrame* frame, bool isPre, DWORD lastError,
                  Announcement& announcement) {
  int32_t number = ThreadNumberForLine(announcement.text, &announcement.pending);
  const CallOutcome outcome = {frame->result, lastError};
  line.AppendCallColumns(number, frame->returnAddress, isPre ? nullptr : &outcome);
  line.AppendText(frame->record->name);
  const ModuleInfo* module = moduleSnapshot.FindByAddress(frame->returnAddress);
  if (module != nullptr) line.AppendPiece(module->column, module->columnLength, 0);
  line.AppendSeparator();
}

// Drops what a faulted append left after mark, and the readable regions the thread was
// told of, as one of them may be what faulted.
void DropAfterFault(LineBuilder& line, char* mark) {
  line.pos = mark;
  *mark = '\0';
  ForgetReadableRegions();
}

// Runs an append that reads traced memory. The readability test may go by a region it
// was told of earlier and that has been freed or re-protected since; a read that faults
// is dropped, the thread forgets what it was told, and the append runs once more, now
// asking the memory manager, which gives the bad-pointer marker.
template <class F>
void AppendReadingTracedMemory(LineBuilder& line, F&& append) {
  char* mark = line.pos;
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (Guarded(append) == GuardOutcome::kCompleted) return;
    DropAfterFault(line, mark);
  }
}

void AppendArguments(LineBuilder& line, const CallFrame* frame) {
  line.AppendSeparator();
  const ApiHookRecord* record = frame->record;
  auto appendAll = [&](bool guardEach) {
    // A code two words wide takes the next word too; that word's code is not read.
    for (uint32_t i = 0; i < frame->argCount;) {
      char code = record->argTypes[i];
      uint32_t left = frame->argCount - i;
      const ArgWord* word = frame->args + i;
      ArgWord fromRegister = 0;
      if (frame->floatArgs != nullptr && i < 4 && (record->floatSlots >> i & 1) != 0) {
        memcpy(&fromRegister, frame->floatArgs + 16 * i, sizeof fromRegister);
        word = &fromRegister;
        left = 1;
      }
      auto one = [&] { AppendArgument(line, word, left, code); };
      if (guardEach) {
        AppendReadingTracedMemory(line, one);
      } else {
        one();
      }
      uint32_t width = TypeCodeWords(code);
      i += width == 0 || width > left ? 1 : width;
      if (i < frame->argCount) line.AppendSeparator();
    }
  };
  // Commonly no read faults, and one guard for all the arguments is enough; after a fault
  // they are written again, each under its own guard, so the fault costs only its own.
  char* mark = line.pos;
  if (Guarded([&] { appendAll(false); }) == GuardOutcome::kCompleted) return;
  DropAfterFault(line, mark);
  appendAll(true);
}

// A thread's first line goes out right behind its new-thread line, with no line of
// another thread between them: both are written under one hold of the log lock.
void WriteOut(LineBuilder& line, const Announcement& announcement) {
  if (announcement.pending && HoldLogLock()) {
    WriteLine(announcement.text, false);
    line.Flush(false);
    ReleaseLogLock();
    return;
  }
  line.Flush(false);
}

void RunCallback(CallFrame* frame, LineBuilder& line, bool isPre, DWORD lastError) {
  const char* callbackName = CallbackNameOf(frame->record, isPre);
  if (callbackName == nullptr) return;
  Callback callback = FindCallback(callbackName);
  if (callback == nullptr) return;
  // A callback that reads the socket error must see what the real function left.
  SetLastError(lastError);
  // Callbacks may change state, so one that faults is not run again; its text is dropped.
  char* mark = line.pos;
  if (Guarded([&] { callback(frame, &line, isPre); }) != GuardOutcome::kCompleted) {
    DropAfterFault(line, mark);
  }
}

// While tracing is inactive the line would be dropped: only what outlives it happens, the
// thread's number and the callback (which may answer the call, as for GetProcAddress),
// with a small builder for the callback's text, which nobody reads.
void RecordInactive(CallFrame* frame, bool isPre, DWORD lastError) {
  NumberThisThread();
  const ApiHookRecord* record = frame->record;
  if (CallbackNameOf(record, isPre) == nullptr) return;
  char buffer[512];
  LineBuilder line;
  line.Attach(buffer, sizeof buffer);
  RunCallback(frame, line, isPre, lastError);
}

void Record(CallFrame* frame, bool isPre, DWORD lastError) {
  if (!traceLog.active) {
    RecordInactive(frame, isPre, lastError);
    return;
  }
  char buffer[kLineCapacity];
  LineBuilder line;
  line.Attach(buffer, sizeof buffer);
  Announcement announcement;
  AppendPrefix(line, frame, isPre, lastError, announcement);
  RunCallback(frame, line, isPre, lastError);
  AppendArguments(line, frame);
  WriteOut(line, announcement);
}

// Runs one recorder with the guard raised; a fault inside it costs the line, never the host.
void RecordGuarded(CallFrame* frame, bool isPre) {
  // The library's own calls: nothing to do, and nothing touched (reading the guard keeps
  // the last error).
  if (ThreadGuardCount() > 0) return;
  // Tracing inactive, a thread already numbered and no callback: nothing would happen.
  const ApiHookRecord* record = frame->record;
  if (!traceLog.active && ThreadIsNumbered() && CallbackNameOf(record, isPre) == nullptr) {
    return;
  }
  DWORD lastError = GetLastError();
  SetThreadGuardCount(1);
  Guarded([&] { Record(frame, isPre, lastError); });
  SetThreadGuardCount(0);
  SetLastError(lastError);
}

}  // namespace

extern "C" void RecordPre(CallFrame* frame) {
  RecordGuarded(frame, true);
}

extern "C" void RecordPost(CallFrame* frame) {
  RecordGuarded(frame, false);
}

}  // namespace qelvorn
