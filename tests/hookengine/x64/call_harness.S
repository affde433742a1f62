/* CallWithRegisterCheck (call_harness.h) for x64: a call made with every callee-saved
   register (RBX, RBP, RDI, RSI, R12-R15, XMM6-XMM15) holding a known value and filler in
   the home area, so a test can see that a callee gives them back, leaves RSP where it was
   and takes its register arguments from the registers. */

#include "../call_harness.h"

#define HOME_FILLER 0xF111F111F111F111
#define SAVED_XMM 0                             /* the test's XMM6-XMM15 while the call runs */
#define LOCALS_SIZE (160 + 8)                   /* RSP 16-byte aligned after eight pushes */

        .intel_syntax noprefix
        .section .rdata
        .globl  kHarnessRegisterWords
kHarnessRegisterWords: .long 4

        .data
        .p2align 3
harnessFrame:     .quad 0                       /* the harness's RSP while the callee runs */
harnessTarget:    .quad 0
harnessAfter:     .quad 0
harnessRspCall:   .quad 0                       /* RSP at the call instruction */
harnessRspAfter:  .quad 0                       /* RSP after the return */

        .text
/* The known value of callee-saved register number n (0..17) into R10. */
        .macro  KNOWN n
        mov     r10, 0x5A5A000000000000 + (\n << 40) + 0x1234567 * (\n + 1)
        .endm

/* Sets bit n of RDX when reg does not hold the known value n. */
        .macro  CHANGED n, reg
        KNOWN   \n
        cmp     \reg, r10
        setne   al
        movzx   eax, al
        shl     rax, \n
        or      rdx, rax
        .endm

        .globl  CallWithRegisterCheck
        .def    CallWithRegisterCheck; .scl 2; .type 32; .endef
/* (target RCX, words RDX, wordCount R8D, after R9) */
CallWithRegisterCheck:
        push    rbp
        push    rbx
        push    rsi
        push    rdi
        push    r12
        push    r13
        push    r14
        push    r15
        sub     rsp, LOCALS_SIZE
        movaps  [rsp + SAVED_XMM], xmm6
        movaps  [rsp + SAVED_XMM + 16], xmm7
        movaps  [rsp + SAVED_XMM + 32], xmm8
        movaps  [rsp + SAVED_XMM + 48], xmm9
        movaps  [rsp + SAVED_XMM + 64], xmm10
        movaps  [rsp + SAVED_XMM + 80], xmm11
        movaps  [rsp + SAVED_XMM + 96], xmm12
        movaps  [rsp + SAVED_XMM + 112], xmm13
        movaps  [rsp + SAVED_XMM + 128], xmm14
        movaps  [rsp + SAVED_XMM + 144], xmm15
        mov     [rip + harnessFrame], rsp
        mov     [rip + harnessTarget], rcx
        mov     [rip + harnessAfter], r9

        /* the area: home (filler) and the words past the fourth, 16-byte aligned */
        mov     ecx, r8d
        sub     ecx, 4
        mov     eax, 0
        cmovb   ecx, eax                        /* stack words beyond the registers */
        lea     rax, [rcx*8 + 32 + 15]
        and     rax, -16
        sub     rsp, rax
        mov     rax, HOME_FILLER
        mov     [rsp], rax
        mov     [rsp + 8], rax
        mov     [rsp + 16], rax
        mov     [rsp + 24], rax
        lea     rsi, [rdx + 32]
        lea     rdi, [rsp + 32]
        cld
        rep movsq

        /* the register words, each in its integer and its XMM register; filler where
           there are fewer */
        mov     r11d, r8d
        mov     r10, rdx
        mov     rcx, rax
        mov     rdx, rax
        mov     r8, rax
        mov     r9, rax
        cmp     r11d, 1
        jb      .Lloaded
        mov     rcx, [r10]
        cmp     r11d, 2
        jb      .Lloaded
        mov     rdx, [r10 + 8]
        cmp     r11d, 3
        jb      .Lloaded
        mov     r8, [r10 + 16]
        cmp     r11d, 4
        jb      .Lloaded
        mov     r9, [r10 + 24]
.Lloaded:
        movq    xmm0, rcx
        movq    xmm1, rdx
        movq    xmm2, r8
        movq    xmm3, r9

        /* known callee-saved values */
        KNOWN 0
        mov     rbx, r10
        KNOWN 1
        mov     rbp, r10
        KNOWN 2
        mov     rsi, r10
        KNOWN 3
        mov     rdi, r10
        KNOWN 4
        mov     r12, r10
        KNOWN 5
        mov     r13, r10
        KNOWN 6
        mov     r14, r10
        KNOWN 7
        mov     r15, r10
        .irp    n, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        KNOWN   (\n + 2)
        movq    xmm\n, r10
        .endr
        mov     [rip + harnessRspCall], rsp
        call    qword ptr [rip + harnessTarget]
        mov     [rip + harnessRspAfter], rsp

        mov     rcx, [rip + harnessAfter]
        mov     [rcx + HARNESS_AFTER_RESULT], rax
        movq    [rcx + HARNESS_AFTER_XMM0], xmm0
        mov     rax, [rip + harnessRspAfter]
        sub     rax, [rip + harnessRspCall]
        mov     [rcx + HARNESS_AFTER_STACK_DELTA], rax

        /* one bit per register that does not hold its known value */
        xor     edx, edx
        CHANGED 0, rbx
        CHANGED 1, rbp
        CHANGED 2, rsi
        CHANGED 3, rdi
        CHANGED 4, r12
        CHANGED 5, r13
        CHANGED 6, r14
        CHANGED 7, r15
        .irp    n, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
        movq    r11, xmm\n
        CHANGED (\n + 2), r11
        .endr
        mov     [rcx + HARNESS_AFTER_CHANGED], rdx

        mov     rsp, [rip + harnessFrame]
        movaps  xmm6, [rsp + SAVED_XMM]
        movaps  xmm7, [rsp + SAVED_XMM + 16]
        movaps  xmm8, [rsp + SAVED_XMM + 32]
        movaps  xmm9, [rsp + SAVED_XMM + 48]
        movaps  xmm10, [rsp + SAVED_XMM + 64]
        movaps  xmm11, [rsp + SAVED_XMM + 80]
        movaps  xmm12, [rsp + SAVED_XMM + 96]
        movaps  xmm13, [rsp + SAVED_XMM + 112]
        movaps  xmm14, [rsp + SAVED_XMM + 128]
        movaps  xmm15, [rsp + SAVED_XMM + 144]
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
