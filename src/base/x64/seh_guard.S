/* Structured-exception guard for 64-bit Windows. GCC has no __try, so the guard is a
   function of its own whose unwind information names a language handler
   (seh_handler.cpp). When an exception reaches the guard's frame, the handler points the
   faulting context at the recovery point below and lets it continue there: no unwind
   runs, so the few bytes left on an overflowed stack are enough. The frames in between
   are abandoned, and the guard gives the caller back every non-volatile register from
   its own frame, whatever they left in them.

   int QelRunSehGuarded(void (*fn)(void*), void* context)
   answers 0 when fn returned, else the code of the structured exception caught
   (1 for an exception whose code is 0). */

/* The frame: the guarded call's home area, XMM6-XMM15, padding to keep RSP 16-byte
   aligned after eight pushes, then the pushed registers. */
#define HOME 32
#define SAVED_XMM HOME
#define LOCALS_SIZE (HOME + 160 + 8)

        .intel_syntax noprefix
        .text

        .globl  QelRunSehGuarded
        .def    QelRunSehGuarded; .scl 2; .type 32; .endef
        .seh_proc QelRunSehGuarded
QelRunSehGuarded:
        push    rbp
        .seh_pushreg rbp
        push    rbx
        .seh_pushreg rbx
        push    rsi
        .seh_pushreg rsi
        push    rdi
        .seh_pushreg rdi
        push    r12
        .seh_pushreg r12
        push    r13
        .seh_pushreg r13
        push    r14
        .seh_pushreg r14
        push    r15
        .seh_pushreg r15
        sub     rsp, LOCALS_SIZE
        .seh_stackalloc LOCALS_SIZE
        .irp    n, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        movaps  [rsp + SAVED_XMM + (\n - 6) * 16], xmm\n
        .seh_savexmm xmm\n, SAVED_XMM + (\n - 6) * 16
        .endr
        .seh_endprologue
        .seh_handler QelSehHandler, @except
        mov     rax, rcx                        /* the guarded work */
        mov     rcx, rdx                        /* its context argument */
        call    rax
        xor     eax, eax                        /* 0: completed */
QelSehLeave:
        .irp    n, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        movaps  xmm\n, [rsp + SAVED_XMM + (\n - 6) * 16]
        .endr
        add     rsp, LOCALS_SIZE
        pop     r15
        pop     r14
        pop     r13
        pop     r12
        pop     rdi
        pop     rsi
        pop     rbx
        pop     rbp
        ret

/* The handler's context lands here with RSP back at this frame's body and EAX holding the
   code it kept. */
        .globl  QelSehRecovered
QelSehRecovered:
        cld                                     /* the fault may have left DF set */
        jmp     QelSehLeave
        .seh_endproc
