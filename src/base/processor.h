// Where the base layer meets its processor folder (base/<processor>/): every such folder
// defines the names below, and nothing else in the library knows a register, a TEB
// offset or a word width. Included by assembly too.
#pragma once

#if defined(__i386__)
#include "base/x86/processor_base.h"
#elif defined(__x86_64__)
#include "base/x64/processor_base.h"
#else
#error "no base/<processor>/ folder for this processor"
#endif

// Defined by every processor folder:
//   QEL_TEB_TLS_SLOTS_COUNT     TLS slots kept in the thread's own block
//   ReadTebTlsSlot(index)       such a slot (index below the count), with no call into
//   WriteTebTlsSlot(index, v)   the system and the last error untouched
//   ReadCycleCounter()          the processor's cycle counter
//   QelRunSehGuarded(fn, c)     fn(c) under a structured-exception record: 0 when fn
//                               returned, else the code of the exception caught (1 for
//                               code 0), in assembly of the folder (seh_guard.S)
#ifndef __ASSEMBLER__
#include <windows.h>
#include <winternl.h>

#include <cstddef>

static_assert(offsetof(TEB, TlsSlots) == QEL_TEB_TLS_SLOTS, "TEB layout");
static_assert(sizeof(TEB::TlsSlots) / sizeof(void*) == QEL_TEB_TLS_SLOTS_COUNT, "TEB layout");

extern "C" int QelRunSehGuarded(void (*fn)(void* context), void* context);
#endif
