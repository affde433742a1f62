// The language handler of the structured-exception guard (seh_guard.S): an exception
// raised below the guard's frame ends there, with its code as the guard's answer.
#include <windows.h>

#include <cstdint>

extern "C" void QelSehRecovered();

extern "C" EXCEPTION_DISPOSITION QelSehHandler(EXCEPTION_RECORD* record, void* establisherFrame,
                                               CONTEXT* context, DISPATCHER_CONTEXT* dispatch) {
  if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0) {
    return ExceptionContinueSearch;
  }
  DWORD code = record->ExceptionCode != 0 ? record->ExceptionCode : 1;
  // Unwinds the frames below the guard's (their handlers run) and resumes at the recovery
  // point with the code in RAX; it does not come back.
  RtlUnwindEx(establisherFrame, reinterpret_cast<void*>(&QelSehRecovered), record,
              reinterpret_cast<void*>(static_cast<uintptr_t>(code)), context,
              dispatch->HistoryTable);
  return ExceptionContinueSearch;
}
