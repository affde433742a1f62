// The language handler of the structured-exception guard (seh_guard.S): an exception
// raised below the guard's frame ends there, with its code as the guard's answer.
#include <windows.h>

#include <cstdint>

extern "C" void QelSehRecovered();

// The context is the one the exception will continue with: pointed at the guard's recovery
// point, with the guard's own stack pointer, it resumes there without unwinding, as the
// x86 guard does; the recovery point restores the guard's registers from its frame.
extern "C" EXCEPTION_DISPOSITION QelSehHandler(EXCEPTION_RECORD* record, void* establisherFrame,
                                               CONTEXT* context, DISPATCHER_CONTEXT*) {
  if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0) {
    return ExceptionContinueSearch;
  }
  DWORD code = record->ExceptionCode != 0 ? record->ExceptionCode : 1;
  context->Rsp = reinterpret_cast<DWORD64>(establisherFrame);
  context->Rip = reinterpret_cast<DWORD64>(&QelSehRecovered);
  context->Rax = code;
  return ExceptionContinueExecution;
}
