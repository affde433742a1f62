/* CallWithRegisterCheck (call_harness.h): a call made with the callee-saved registers,
   EBP included, holding known values, so a test can see that a callee gives them back
   and leaves ESP where its calling convention says. */

#include "call_harness.h"

        .intel_syntax noprefix
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
        mov     ebx, HARNESS_EBX                /* known callee-saved values */
        mov     esi, HARNESS_ESI
        mov     edi, HARNESS_EDI
        mov     ebp, HARNESS_EBP
        call    eax                             /* the call under test */
        mov     [harnessEspAfter], esp          /* where the callee left ESP */
        mov     [harnessEbpAfter], ebp          /* and EBP */
        mov     ebp, [harnessFrame]             /* own frame back */
        mov     ecx, [ebp + 20]                 /* after */
        mov     [ecx + HARNESS_AFTER_EAX], eax                  /* result */
        mov     [ecx + HARNESS_AFTER_EBX], ebx
        mov     [ecx + HARNESS_AFTER_ESI], esi
        mov     [ecx + HARNESS_AFTER_EDI], edi
        mov     edx, [harnessEbpAfter]
        mov     [ecx + HARNESS_AFTER_EBP], edx
        mov     edx, [harnessEspAfter]
        sub     edx, [harnessEspCall]           /* bytes the callee removed */
        mov     [ecx + HARNESS_AFTER_ESP_DELTA], edx
        lea     esp, [ebp - 12]                 /* drop whatever the callee left */
        pop     edi
        pop     esi
        pop     ebx
        pop     ebp
        ret
