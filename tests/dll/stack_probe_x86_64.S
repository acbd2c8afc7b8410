/* The stack probe for 64-bit Windows (see stack_probe.h). Arguments come in
   rcx, rdx, r8 and r9, with 32 bytes of home slots above the return address;
   rbx, rsi, rdi and rbp are kept, as callers expect. There is one calling
   convention here, so the probe checks that the stack pointer is the same
   after a call and that callbacks find it at the same place. */

	.text

/* Places the nArgs words at pArgs as the callee expects them: in slots from
   the stack pointer up, room for at least four (the callee's home slots),
   the stack pointer 16-byte aligned at the call, and the first four also in
   rcx, rdx, r8 and r9. Takes pArgs at 24(%rbp) and nArgs at 32(%rbp); uses
   rax, rcx, rsi and rdi. */
.macro place_arguments
	movq	32(%rbp), %rcx
	cmpq	$4, %rcx
	jae	1f
	movl	$4, %ecx
1:	leaq	0(,%rcx,8), %rax
	subq	%rax, %rsp
	andq	$-16, %rsp
	movq	24(%rbp), %rsi
	movq	%rsp, %rdi
	movq	32(%rbp), %rcx
	cld
	rep movsq
	movq	(%rsp), %rcx
	movq	8(%rsp), %rdx
	movq	16(%rsp), %r8
	movq	24(%rsp), %r9
.endm

/* Saves the registers this file uses that callers expect kept, and the four
   argument registers in this function's home slots: 16(%rbp) pfn, 24(%rbp)
   pArgs, 32(%rbp) nArgs (zero-extended), 40(%rbp) the fourth argument. */
.macro enter_frame
	pushq	%rbp
	movq	%rsp, %rbp
	pushq	%rbx
	pushq	%rsi
	pushq	%rdi
	movq	%rcx, 16(%rbp)
	movq	%rdx, 24(%rbp)
	movl	%r8d, %r8d
	movq	%r8, 32(%rbp)
	movq	%r9, 40(%rbp)
.endm

.macro leave_frame
	leaq	-24(%rbp), %rsp
	popq	%rdi
	popq	%rsi
	popq	%rbx
	popq	%rbp
	ret
.endm

/* intptr_t stack_probe_call(const void *pfn, const uintptr_t *pArgs,
                             uint32_t nArgs, intptr_t *pResult) */
	.globl	stack_probe_call
stack_probe_call:
	enter_frame
	place_arguments
	movq	%rsp, %rbx		/* the stack pointer at the call; callees keep rbx */
	call	*16(%rbp)
	movq	40(%rbp), %rcx
	movq	%rax, (%rcx)
	movq	%rsp, %rax
	subq	%rbx, %rax		/* 0 unless the callee removed something */
	leave_frame

/* void stack_probe_call_sinking(const void *pfn, const uintptr_t *pArgs,
                                 uint32_t nArgs, uint32_t nCalls) */
	.globl	stack_probe_call_sinking
stack_probe_call_sinking:
	enter_frame
	movl	40(%rbp), %ebx		/* calls still to make */
2:	testl	%ebx, %ebx
	jz	3f
	subq	$16, %rsp		/* what the call before left behind */
	place_arguments
	call	*16(%rbp)
	decl	%ebx
	jmp	2b
3:	leave_frame

/* intptr_t probe_callee_pops_pair(intptr_t a, intptr_t b) */
	.globl	probe_callee_pops_pair
probe_callee_pops_pair:
	leaq	(%rcx,%rdx), %rax
	ret	$16

/* A callback entry: notes the stack pointer and the return address it
   points at, then jumps to the body with the stack untouched. rax is free at
   a function's entry. */
.macro entry name, body
	.globl	\name
\name:
	movq	%rsp, g_probeEntry(%rip)
	movq	(%rsp), %rax
	movq	%rax, g_probeEntry+8(%rip)
	jmp	\body
.endm

	entry	probe_send_entry, probe_send_body
	entry	probe_k_entry, probe_k_body
