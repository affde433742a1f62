/* The HookEntry table and the dispatcher: 1001 trampolines of 20 bytes back to back,
   each bound to one ApiHookRecord through its record slot, and HookDispatcher directly
   after the last one. A traced call enters a HookEntry with the caller's stack untouched;
   the dispatcher builds a CallFrame, runs the recorders around an exact copy of the call
   and returns to the caller as the real function would have.

   HookEntry bytes: 8D 15 <own byte 16>   lea edx, [slot]
                    8D 05 <dispatcher>    lea eax, [HookDispatcher]
                    FF E0                 jmp eax
                    90 90                 filler
                    90 90 90 90           record slot, written when the entry is bound */

#include "hookengine/x86/dispatch_layout.h"
#include "base/processor.h"

#define ERROR_PROC_NOT_FOUND 127

/* The dispatcher's frame below EBP: three saved registers, the CallFrame, then room
   for a floating-point result (ST0, 80 bits) and a word saying whether there is one, kept
   aside while the post-call recorder runs. */
#define SAVED_EBX (-4)
#define SAVED_ESI (-8)
#define SAVED_EDI (-12)
#define FRAME (-12 - QEL_FRAME_SIZE)
#define ST0_KEPT (FRAME - 4)
#define ST0_VALUE (FRAME - 16)
#define LOCALS_SIZE (12 + QEL_FRAME_SIZE + 16)

        .intel_syntax noprefix
        .text

/* One HookEntry; \@ numbers the slot label of each expansion apart. */
        .macro  HOOK_ENTRY
.LentryStart\@:
        lea     edx, [.LrecordSlot\@]           /* EDX = this entry's record slot */
        lea     eax, [_HookDispatcher]          /* EAX = the common dispatcher */
        jmp     eax                             /* enter it with the caller's stack as is */
        nop                                     /* filler, never executed */
        nop                                     /* filler, never executed */
.LrecordSlot\@:
        .if     .LrecordSlot\@ - .LentryStart\@ - QEL_HOOK_ENTRY_RECORD_SLOT
        .error  "the record slot is not where dispatch_layout.h says"
        .endif
        .byte   0x90, 0x90, 0x90, 0x90          /* record slot: the bound ApiHookRecord */
        .if     . - .LentryStart\@ - QEL_HOOK_ENTRY_SIZE
        .error  "a HookEntry is not the size dispatch_layout.h says"
        .endif
        .endm

        .p2align 4
        .globl  _HookEntryTable
_HookEntryTable:
        HOOK_ENTRY
        .globl  _HookEntrySecond
_HookEntrySecond:
        .rept   QEL_HOOK_ENTRY_COUNT - 1
        HOOK_ENTRY
        .endr

/* Entered only from a HookEntry: EDX = record slot, [ESP] = the caller's return
   address, the caller's argument words above it. */
        .globl  _HookDispatcher
        .def    _HookDispatcher; .scl 2; .type 32; .endef
_HookDispatcher:
        /* Entered by a jump with the caller's return address on top: a debugger unwinds
           a traced call through this frame to the caller as through any function. */
        .cfi_startproc
        /* 0. the library's own calls (reentry depth raised on this thread) go straight to
              the real function on the caller's stack as it is: no frame, no recorder */
        mov     eax, [_QelReentryDepthSlot]     /* the depth's TLS slot */
        cmp     eax, QEL_TEB_TLS_SLOTS_COUNT    /* kept in the TEB itself? */
        jae     .Lrecorded                      /* no: the recorders read it */
        cmp     dword ptr fs:[QEL_TEB_TLS_SLOTS + eax*4], 0     /* depth on this thread */
        je      .Lrecorded                      /* not raised: a traced call */
        mov     eax, [edx]                      /* the bound record */
        cmp     byte ptr [eax + QEL_RECORD_SKIP_CALL], 0        /* record.skipCall */
        jne     .Lrecorded                      /* its answer comes from the frame */
        mov     eax, [eax + QEL_RECORD_REAL_FUNCTION]   /* realFunction */
        test    eax, eax                        /* not known? */
        jz      .Lrecorded                      /* the frame answers 0 and error 127 */
        jmp     eax                             /* the real function returns to the caller */

.Lrecorded:
        /* 1. frame with room for the CallFrame and the caller's EBX, ESI, EDI */
        push    ebp                             /* keep the caller's frame pointer */
        .cfi_def_cfa_offset 8
        .cfi_offset ebp, -8
        mov     ebp, esp                        /* [ebp+4] return address, [ebp+8] first argument */
        .cfi_def_cfa_register ebp
        sub     esp, LOCALS_SIZE                /* CallFrame and three saved registers */
        mov     [ebp + SAVED_EBX], ebx          /* the caller's EBX */
        .cfi_offset ebx, -12
        mov     [ebp + SAVED_ESI], esi          /* the caller's ESI */
        .cfi_offset esi, -16
        mov     [ebp + SAVED_EDI], edi          /* the caller's EDI */
        .cfi_offset edi, -20

        /* 2. the bound record and its argument count */
        mov     ebx, [edx]                      /* EBX = record from the entry's slot */
        mov     [ebp + FRAME + QEL_FRAME_RECORD], ebx   /* frame.record */
        mov     eax, [ebx + QEL_RECORD_ARG_COUNT]       /* record.argCount */
        mov     [ebp + FRAME + QEL_FRAME_ARG_COUNT], eax   /* frame.argCount */

        /* 3. where the call returns to, where its arguments lie, no result yet */
        mov     eax, [ebp + 4]                  /* the caller's return address */
        mov     [ebp + FRAME + QEL_FRAME_RETURN_ADDRESS], eax   /* frame.returnAddress */
        lea     eax, [ebp + 8]                  /* the caller's first argument word */
        mov     [ebp + FRAME + QEL_FRAME_ARGS], eax     /* frame.args */
        mov     dword ptr [ebp + FRAME + QEL_FRAME_RESULT], 0   /* frame.result = 0 */
        mov     dword ptr [ebp + FRAME + QEL_FRAME_RESULT_HIGH], 0      /* frame.resultHigh = 0 */
        mov     dword ptr [ebp + FRAME + QEL_FRAME_FLOAT_ARGS], 0       /* every argument on the stack */

        /* 4. pre-call recorder */
        lea     eax, [ebp + FRAME]              /* &frame */
        push    eax                             /* its only argument */
        call    _RecordPre                      /* log the call */
        add     esp, 4                          /* cdecl: drop the argument */

        /* 5. a skip-call record answers what frame.result holds */
        cmp     byte ptr [ebx + QEL_RECORD_SKIP_CALL], 1        /* record.skipCall */
        je      .LrecordPost                    /* no real call */

        /* 6. exact copy of the arguments, then the real call */
        mov     edx, [ebx + QEL_RECORD_REAL_FUNCTION]   /* realFunction, read once for this call */
        test    edx, edx                        /* not known (yet, or any more)? */
        jz      .LnoRealFunction                /* never jump to null */
        mov     ecx, [ebp + FRAME + QEL_FRAME_ARG_COUNT]        /* words to copy */
        lea     eax, [ecx*4]                    /* their bytes */
        sub     esp, eax                        /* room for the copy */
        mov     esi, [ebp + FRAME + QEL_FRAME_ARGS]     /* from the caller's arguments */
        mov     edi, esp                        /* to the new room */
        cld                                     /* copy upwards, lowest address first */
        rep movsd                               /* argCount words */
        call    edx                             /* the real function, same arguments */

        /* 7. its result; words a caller-cleans function left go with the frame */
        mov     [ebp + FRAME + QEL_FRAME_RESULT], eax   /* frame.result */
        mov     [ebp + FRAME + QEL_FRAME_RESULT_HIGH], edx      /* high half of a 64-bit result */
        jmp     .LrecordPost                    /* on to the post-call recorder */

.LnoRealFunction:
        mov     dword ptr [ebp + FRAME + QEL_FRAME_RESULT], 0   /* the call answers 0 */
        push    ERROR_PROC_NOT_FOUND            /* the reason, for the caller */
        call    _SetLastError@4                 /* stdcall: drops its argument */

        /* 8. post-call recorder, with a floating-point result put aside: the recorder's
              code, like any C function, expects an empty x87 stack */
.LrecordPost:
        mov     dword ptr [ebp + ST0_KEPT], 0   /* no x87 value kept yet */
        fnstsw  ax                              /* x87 status word (EAX is in the frame) */
        test    ax, 0x3800                      /* top-of-stack field: 0 means empty */
        jz      .LcallPostRecorder              /* nothing on the x87 stack */
        fstp    tbyte ptr [ebp + ST0_VALUE]     /* ST0 whole, all 80 bits, popped */
        mov     dword ptr [ebp + ST0_KEPT], 1   /* to be pushed back after the recorder */
.LcallPostRecorder:
        lea     eax, [ebp + FRAME]              /* &frame */
        push    eax                             /* its only argument */
        call    _RecordPost                     /* log the outcome */
        add     esp, 4                          /* cdecl: drop the argument */
        cmp     dword ptr [ebp + ST0_KEPT], 0   /* was a value put aside? */
        je      .LrestoreRegisters              /* no */
        fld     tbyte ptr [ebp + ST0_VALUE]     /* the real function's ST0 again */
.LrestoreRegisters:

        /* 9. the caller's registers back */
        mov     ebx, [ebp + SAVED_EBX]          /* the caller's EBX */
        mov     esi, [ebp + SAVED_ESI]          /* the caller's ESI */
        mov     edi, [ebp + SAVED_EDI]          /* the caller's EDI */
        .cfi_restore ebx
        .cfi_restore esi
        .cfi_restore edi

        /* 10. bytes to drop from the caller's stack */
        mov     eax, [ebp + FRAME + QEL_FRAME_RECORD]   /* the record */
        mov     ecx, [ebp + FRAME + QEL_FRAME_ARG_COUNT]        /* its argument words */
        lea     ecx, [ecx*4 + 4]                /* callee cleans: arguments and return address */
        cmp     byte ptr [eax + QEL_RECORD_CALLER_CLEANS], 1    /* record.callerCleans */
        jne     .LreturnToCaller                /* callee-cleans convention */
        mov     ecx, 4                          /* caller cleans: return address alone */

        /* 11. the return address into the slot the caller's stack will return from; EDX
              stays free for the high half of the result */
.LreturnToCaller:
        mov     eax, [ebp + FRAME + QEL_FRAME_RETURN_ADDRESS]   /* frame.returnAddress */
        mov     [ebp + ecx], eax                /* last word the convention drops: return slot */
        mov     eax, [ebp + FRAME + QEL_FRAME_RESULT]   /* EAX = frame.result */
        mov     edx, [ebp + FRAME + QEL_FRAME_RESULT_HIGH]      /* EDX = the real call's EDX */

        /* 12. release the frame, drop, return */
        lea     ecx, [ebp + ecx]                /* ESP after the drop: at the return slot */
        .cfi_def_cfa ecx, 4
        mov     ebp, [ebp]                      /* the caller's frame pointer */
        .cfi_restore ebp
        mov     esp, ecx                        /* drop the frame and what the convention removes */
        .cfi_def_cfa esp, 4
        ret                                     /* back to the caller */
        .cfi_endproc
