/* The HookEntry table and the dispatcher for x64: 1001 trampolines of 24 bytes back to
   back, each bound to one ApiHookRecord through its record slot, and HookDispatcher
   directly after the last one. A traced call enters a HookEntry with the caller's stack
   and registers untouched; the dispatcher builds a CallFrame, runs the recorders around
   an exact copy of the call and returns to the caller as the real function would have.
   Every piece carries unwind information, so exceptions and stack walks pass through.

   HookEntry bytes: 4C 8D 1D <own byte 16>   lea r11, [rip + slot]
                    E9 <dispatcher>          jmp HookDispatcher
                    90 90 90 90              filler
                    90 x 8                   record slot, written when the entry is bound */

#include "hookengine/x64/dispatch_layout.h"
#include "base/processor.h"

#define ERROR_PROC_NOT_FOUND 127

/* The recorded path's frame, from RBP (= RSP after the prologue) upwards: the home area of
   the calls it makes, the CallFrame, the caller's XMM0-XMM3 and the real function's XMM0
   kept across the recorders, then the four saved registers, the caller's return address
   and the caller's home area with its stack arguments above. */
#define HOME 0
#define FRAME 32
#define XMM_ARGS (FRAME + ((QEL_FRAME_SIZE + 15) & ~15))
#define XMM_RESULT (XMM_ARGS + 64)
#define LOCALS_SIZE (XMM_RESULT + 16 + 8)
#define SAVED_REGISTERS (LOCALS_SIZE + 32)
#define RETURN_ADDRESS SAVED_REGISTERS
#define CALLER_ARGS (RETURN_ADDRESS + 8)

        .intel_syntax noprefix
        .text

/* One HookEntry; \@ numbers the labels of each expansion apart. It moves no stack, so its
   unwind information is that of a function with no prologue. */
        .macro  HOOK_ENTRY
        .seh_proc .LentryStart\@
.LentryStart\@:
        .seh_endprologue
        lea     r11, [rip + .LrecordSlot\@]     /* R11 = this entry's record slot */
        .byte   0xE9                            /* jmp rel32, never the short form */
        .long   HookDispatcher - (. + 4)        /* the caller's stack and registers as is */
        .byte   0x90, 0x90, 0x90, 0x90          /* filler, never executed */
.LrecordSlot\@:
        .if     .LrecordSlot\@ - .LentryStart\@ - QEL_HOOK_ENTRY_RECORD_SLOT
        .error  "the record slot is not where dispatch_layout.h says"
        .endif
        .quad   0x9090909090909090              /* record slot: the bound ApiHookRecord */
        .if     . - .LentryStart\@ - QEL_HOOK_ENTRY_SIZE
        .error  "a HookEntry is not the size dispatch_layout.h says"
        .endif
        .seh_endproc
        .endm

        .p2align 4
        .globl  HookEntryTable
HookEntryTable:
        HOOK_ENTRY
        .globl  HookEntrySecond
HookEntrySecond:
        .rept   QEL_HOOK_ENTRY_COUNT - 1
        HOOK_ENTRY
        .endr

/* Entered only from a HookEntry: R11 = record slot, [RSP] = the caller's return address,
   the argument registers and the caller's stack as the caller left them. The library's
   own calls (reentry depth raised on this thread) go straight to the real function:
   no frame, no recorder. */
        .globl  HookDispatcher
        .def    HookDispatcher; .scl 2; .type 32; .endef
        .seh_proc HookDispatcher
HookDispatcher:
        .seh_endprologue
        mov     eax, dword ptr [rip + QelReentryDepthSlot]      /* the depth's TLS slot */
        cmp     eax, QEL_TEB_TLS_SLOTS_COUNT    /* kept in the TEB itself? */
        jae     HookDispatchRecorded            /* no: the recorders read it */
        cmp     qword ptr gs:[QEL_TEB_TLS_SLOTS + rax*8], 0     /* depth on this thread */
        je      HookDispatchRecorded            /* not raised: a traced call */
        mov     r10, [r11]                      /* the bound record */
        cmp     byte ptr [r10 + QEL_RECORD_SKIP_CALL], 0        /* record.skipCall */
        jne     HookDispatchRecorded            /* its answer comes from the frame */
        mov     r10, [r10 + QEL_RECORD_REAL_FUNCTION]   /* realFunction */
        test    r10, r10                        /* not known? */
        jz      HookDispatchRecorded            /* the frame answers 0 and error 127 */
        jmp     r10                             /* the real function returns to the caller */
        .seh_endproc

/* A traced call: R11 = record slot, everything else as the caller left it. */
        .def    HookDispatchRecorded; .scl 3; .type 32; .endef
        .seh_proc HookDispatchRecorded
HookDispatchRecorded:
        /* 1. frame: four non-volatile registers, then the locals; RSP ends 16-byte
              aligned (8 at entry, four pushes, LOCALS_SIZE = 8 mod 16) */
        push    rbp
        .seh_pushreg rbp
        push    rbx
        .seh_pushreg rbx
        push    rsi
        .seh_pushreg rsi
        push    rdi
        .seh_pushreg rdi
        sub     rsp, LOCALS_SIZE
        .seh_stackalloc LOCALS_SIZE
        mov     rbp, rsp                        /* the copy below moves RSP; RBP stays */
        .seh_setframe rbp, 0
        .seh_endprologue

        /* 2. the register arguments into the caller's home area, where the stack
              arguments continue them; the floating-point ones aside */
        mov     [rbp + CALLER_ARGS], rcx
        mov     [rbp + CALLER_ARGS + 8], rdx
        mov     [rbp + CALLER_ARGS + 16], r8
        mov     [rbp + CALLER_ARGS + 24], r9
        movaps  [rbp + XMM_ARGS], xmm0
        movaps  [rbp + XMM_ARGS + 16], xmm1
        movaps  [rbp + XMM_ARGS + 32], xmm2
        movaps  [rbp + XMM_ARGS + 48], xmm3
        xorps   xmm0, xmm0
        movaps  [rbp + XMM_RESULT], xmm0        /* no floating-point result yet */

        /* 3. the CallFrame: record, argument count, return address, arguments, no result,
              where the floating-point arguments are */
        mov     rbx, [r11]                      /* RBX = record from the entry's slot */
        mov     [rbp + FRAME + QEL_FRAME_RECORD], rbx
        mov     eax, [rbx + QEL_RECORD_ARG_COUNT]
        mov     [rbp + FRAME + QEL_FRAME_ARG_COUNT], eax
        mov     rax, [rbp + RETURN_ADDRESS]
        mov     [rbp + FRAME + QEL_FRAME_RETURN_ADDRESS], rax
        lea     rax, [rbp + CALLER_ARGS]
        mov     [rbp + FRAME + QEL_FRAME_ARGS], rax
        mov     qword ptr [rbp + FRAME + QEL_FRAME_RESULT], 0
        mov     qword ptr [rbp + FRAME + QEL_FRAME_RESULT_HIGH], 0
        lea     rax, [rbp + XMM_ARGS]
        mov     [rbp + FRAME + QEL_FRAME_FLOAT_ARGS], rax

        /* 4. pre-call recorder */
        lea     rcx, [rbp + FRAME]
        call    RecordPre

        /* 5. a skip-call record answers what frame.result holds */
        cmp     byte ptr [rbx + QEL_RECORD_SKIP_CALL], 1
        je      .LrecordPost

        /* 6. exact copy of the arguments above a fresh home area, then the real call */
        mov     r10, [rbx + QEL_RECORD_REAL_FUNCTION]   /* read once for this call */
        test    r10, r10                        /* not known (yet, or any more)? */
        jz      .LnoRealFunction                /* never jump to null */
        mov     ecx, [rbp + FRAME + QEL_FRAME_ARG_COUNT]
        mov     eax, 4
        cmp     ecx, eax                        /* the home area is there whatever the count */
        cmovb   ecx, eax
        lea     rax, [rcx*8 + 15]
        and     rax, -16                        /* RSP stays 16-byte aligned at the call */
        sub     rsp, rax
        mov     rsi, [rbp + FRAME + QEL_FRAME_ARGS]
        mov     rdi, rsp
        cld
        rep movsq
        mov     rcx, [rsp]
        mov     rdx, [rsp + 8]
        mov     r8, [rsp + 16]
        mov     r9, [rsp + 24]
        movaps  xmm0, [rbp + XMM_ARGS]
        movaps  xmm1, [rbp + XMM_ARGS + 16]
        movaps  xmm2, [rbp + XMM_ARGS + 32]
        movaps  xmm3, [rbp + XMM_ARGS + 48]
        call    r10

        /* 7. its results, RAX and XMM0, kept across the post-call recorder */
        mov     rsp, rbp                        /* the copy goes */
        mov     [rbp + FRAME + QEL_FRAME_RESULT], rax
        movaps  [rbp + XMM_RESULT], xmm0
        jmp     .LrecordPost

.LnoRealFunction:
        mov     ecx, ERROR_PROC_NOT_FOUND       /* the reason, for the caller */
        call    qword ptr [rip + __imp_SetLastError]

        /* 8. post-call recorder */
.LrecordPost:
        lea     rcx, [rbp + FRAME]
        call    RecordPost

        /* 9. the results back and the caller's registers; the caller drops its own
              arguments on x64, whatever the record says */
        mov     rax, [rbp + FRAME + QEL_FRAME_RESULT]
        movaps  xmm0, [rbp + XMM_RESULT]
        lea     rsp, [rbp + LOCALS_SIZE]
        pop     rdi
        pop     rsi
        pop     rbx
        pop     rbp
        ret
        .seh_endproc
