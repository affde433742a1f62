// Offsets that the structured-exception guard's assembly reads, checked here against the
// platform's own structures so the two can never drift apart.
#pragma once

#define QEL_EXCEPTION_CODE 0x00  /* EXCEPTION_RECORD.ExceptionCode */
#define QEL_EXCEPTION_FLAGS 0x04 /* EXCEPTION_RECORD.ExceptionFlags */
#define QEL_UNWIND_FLAGS 0x06    /* EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND */
#define QEL_CONTEXT_EBP 0xB4     /* CONTEXT.Ebp */
#define QEL_CONTEXT_EIP 0xB8     /* CONTEXT.Eip */
#define QEL_CONTEXT_ESP 0xC4     /* CONTEXT.Esp */

#ifndef __ASSEMBLER__
#include <windows.h>

#include <cstddef>

static_assert(offsetof(EXCEPTION_RECORD, ExceptionCode) == QEL_EXCEPTION_CODE, "layout");
static_assert(offsetof(EXCEPTION_RECORD, ExceptionFlags) == QEL_EXCEPTION_FLAGS, "layout");
static_assert((EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND) == QEL_UNWIND_FLAGS, "flags");
static_assert(offsetof(CONTEXT, Ebp) == QEL_CONTEXT_EBP, "layout");
static_assert(offsetof(CONTEXT, Eip) == QEL_CONTEXT_EIP, "layout");
static_assert(offsetof(CONTEXT, Esp) == QEL_CONTEXT_ESP, "layout");
#endif
