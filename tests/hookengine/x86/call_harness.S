/* CallWithRegisterCheck (call_harness.h) for x86: a call made with the callee-saved
   registers, EBP included, holding known values, so a test can see that a callee gives
   them back and leaves ESP where its calling convention says. */

#include "../call_harness.h"

#define KNOWN_EBX 0xB0B1B2B3
#define KNOWN_ESI 0x51525354
#define KNOWN_EDI 0xD1D2D3D4
#define KNOWN_EBP 0xEB0EB1EB

        .intel_syntax noprefix
        .section .rdata
        .globl  _kHarnessRegisterWords
_kHarnessRegisterWords: .long 0

        .data
        .p2align 2
harnessFrame:     .long 0                       /* the harness's EBP while the callee runs */
harnessEspCall:   .long 0                       /* ESP at the call instruction */
harnessEspAfter:  .long 0                       /* ESP after the return */
harnessEbpAfter:  .long 0                       /* EBP after the return */

        .text
        .globl  _CallWithRegisterCheck
        .def    _CallWithRegisterCheck; .scl 2; .type 32; .endef
/* cdecl (target, words, wordCount, after) */
_CallWithRegisterCheck:
        push    ebp                             /* own frame */
        mov     ebp, esp
        push    ebx                             /* the test's callee-saved registers */
        push    esi
        push    edi
        mov     [harnessFrame], ebp             /* found again however the callee leaves EBP */
        mov     eax, [ebp + 8]                  /* target */
        mov     edx, [ebp + 12]                 /* words */
        mov     ecx, [ebp + 16]                 /* wordCount */
.LpushWord:
        test    ecx, ecx                        /* all pushed? */
        jz      .Lcall
        push    dword ptr [edx + ecx*4 - 4]     /* last word first, so words[0] ends on top */
        dec     ecx
        jmp     .LpushWord
.Lcall:
        mov     [harnessEspCall], esp           /* ESP as the callee's caller sees it */
        mov     ebx, KNOWN_EBX                  /* known callee-saved values */
        mov     esi, KNOWN_ESI
        mov     edi, KNOWN_EDI
        mov     ebp, KNOWN_EBP
        call    eax                             /* the call under test */
        mov     [harnessEspAfter], esp          /* where the callee left ESP */
        mov     [harnessEbpAfter], ebp          /* and EBP */
        mov     ebp, [harnessFrame]             /* own frame back */
        mov     ecx, [ebp + 20]                 /* after */
        mov     [ecx + HARNESS_AFTER_RESULT], eax               /* result */
        xor     eax, eax
        mov     [ecx + HARNESS_AFTER_RESULT + 4], eax
        mov     [ecx + HARNESS_AFTER_XMM0], eax
        mov     [ecx + HARNESS_AFTER_XMM0 + 4], eax
        /* one bit per register that does not hold its known value */
        cmp     ebx, KNOWN_EBX
        setne   al
        cmp     esi, KNOWN_ESI
        setne   dl
        shl     dl, 1
        or      al, dl
        cmp     edi, KNOWN_EDI
        setne   dl
        shl     dl, 2
        or      al, dl
        cmp     dword ptr [harnessEbpAfter], KNOWN_EBP
        setne   dl
        shl     dl, 3
        or      al, dl
        mov     [ecx + HARNESS_AFTER_CHANGED], eax
        mov     dword ptr [ecx + HARNESS_AFTER_CHANGED + 4], 0
        mov     edx, [harnessEspAfter]
        sub     edx, [harnessEspCall]           /* bytes the callee removed */
        mov     [ecx + HARNESS_AFTER_STACK_DELTA], edx
        sar     edx, 31
        mov     [ecx + HARNESS_AFTER_STACK_DELTA + 4], edx
        lea     esp, [ebp - 12]                 /* drop whatever the callee left */
        pop     edi
        pop     esi
        pop     ebx
        pop     ebp
        ret
