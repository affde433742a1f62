/* Structured-exception guard for 32-bit Windows. GCC has no __try, and mingw's
   __try1 macros break under optimisation, so the guard registers its own record on
   the thread's exception chain (FS:[0]) and, when an exception reaches it, rewrites
   the faulting context to resume at its own recovery point.

   int QelRunSehGuarded(void (*fn)(void*), void* context)   cdecl
   answers 0 when fn returned, else the code of the structured exception caught
   (1 for an exception whose code is 0). */

#include "base/x86/seh_layout.h"

        .intel_syntax noprefix
        .text

        .globl  _QelRunSehGuarded
        .def    _QelRunSehGuarded; .scl 2; .type 32; .endef
_QelRunSehGuarded:
        .cfi_startproc
        push    ebp                             /* caller's frame */
        .cfi_def_cfa_offset 8
        .cfi_offset ebp, -8
        mov     ebp, esp
        .cfi_def_cfa_register ebp
        push    ebx                             /* callee-saved registers survive a fault */
        push    esi
        push    edi
        push    0                               /* record+12: code of a caught exception */
        push    ebp                             /* record+8: frame pointer to resume with */
        push    offset _QelSehHandler           /* record+4: our handler */
        push    dword ptr fs:[0]                /* record+0: previous record in the chain */
        mov     dword ptr fs:[0], esp           /* the record is now the innermost one */
        push    dword ptr [ebp+12]              /* context argument */
        call    dword ptr [ebp+8]               /* the guarded work */
        add     esp, 4                          /* drop the argument (cdecl) */
        xor     eax, eax                        /* 0: completed */
QelSehLeave:
        .cfi_remember_state
        pop     ecx                             /* previous record */
        mov     dword ptr fs:[0], ecx           /* unlink ours and any abandoned inner ones */
        add     esp, 12                         /* handler, saved frame pointer, code */
        pop     edi
        pop     esi
        pop     ebx
        pop     ebp
        .cfi_def_cfa esp, 4
        ret
        .cfi_restore_state
QelSehRecovered:
        cld                                     /* the fault may have left DF set */
        mov     eax, dword ptr [esp+12]         /* the code the handler kept */
        test    eax, eax
        jnz     QelSehLeave                     /* non-zero: an exception was caught */
        mov     eax, 1                          /* a code of 0 still means caught */
        jmp     QelSehLeave
        .cfi_endproc

/* EXCEPTION_DISPOSITION handler(EXCEPTION_RECORD*, void* establisher, CONTEXT*, void*) */
        .def    _QelSehHandler; .scl 3; .type 32; .endef
_QelSehHandler:
        mov     eax, dword ptr [esp+4]          /* EXCEPTION_RECORD */
        test    dword ptr [eax + QEL_EXCEPTION_FLAGS], QEL_UNWIND_FLAGS /* unwinding: not ours */
        jnz     1f
        mov     edx, dword ptr [eax + QEL_EXCEPTION_CODE]       /* ExceptionCode */
        mov     eax, dword ptr [esp+8]          /* establisher frame = our record */
        mov     dword ptr [eax+12], edx         /* kept for the recovery point */
        mov     ecx, dword ptr [esp+12]         /* CONTEXT of the fault */
        mov     dword ptr [ecx + QEL_CONTEXT_ESP], eax  /* Esp: back to the record */
        mov     edx, dword ptr [eax+8]
        mov     dword ptr [ecx + QEL_CONTEXT_EBP], edx  /* Ebp: the guard's own frame */
        mov     dword ptr [ecx + QEL_CONTEXT_EIP], offset QelSehRecovered      /* Eip: recovery point */
        xor     eax, eax                        /* ExceptionContinueExecution */
        ret
1:      mov     eax, 1                          /* ExceptionContinueSearch */
        ret
