/* Structured-exception guard for 64-bit Windows. GCC has no __try, so the guard is a
   function of its own whose unwind information names a language handler
   (seh_handler.cpp); when an exception reaches the guard's frame the handler unwinds to
   the recovery point below, the way a compiler's __except does.

   int QelRunSehGuarded(void (*fn)(void*), void* context)
   answers 0 when fn returned, else the code of the structured exception caught
   (1 for an exception whose code is 0). */

        .intel_syntax noprefix
        .text

        .globl  QelRunSehGuarded
        .def    QelRunSehGuarded; .scl 2; .type 32; .endef
        .seh_proc QelRunSehGuarded
QelRunSehGuarded:
        push    rbp                             /* keeps RSP 16-byte aligned below */
        .seh_pushreg rbp
        sub     rsp, 32                         /* home area of the guarded call */
        .seh_stackalloc 32
        .seh_endprologue
        .seh_handler QelSehHandler, @except
        mov     rax, rcx                        /* the guarded work */
        mov     rcx, rdx                        /* its context argument */
        call    rax
        xor     eax, eax                        /* 0: completed */
QelSehLeave:
        add     rsp, 32
        pop     rbp
        ret

/* The handler's unwind lands here with RSP back at this frame's body and EAX holding the
   code it kept. */
        .globl  QelSehRecovered
QelSehRecovered:
        cld                                     /* the fault may have left DF set */
        jmp     QelSehLeave
        .seh_endproc
