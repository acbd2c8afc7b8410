/* The stack probe for 32-bit x86 (see stack_probe.h). C names carry a
   leading underscore; every function here is cdecl and keeps ebx, esi, edi
   and ebp, as its callers expect. */

	.text

/* Places the nArgs words at pArgs where a cdecl caller's pushes, right to
   left, leave them: the first at the stack pointer, which ends 16-byte
   aligned as the compiler keeps it at calls. Takes pArgs at 12(%ebp) and
   nArgs at 16(%ebp); uses eax, ecx, esi and edi. */
.macro place_arguments
	movl	16(%ebp), %ecx
	leal	0(,%ecx,4), %eax
	subl	%eax, %esp
	andl	$-16, %esp
	movl	12(%ebp), %esi
	movl	%esp, %edi
	cld
	rep movsl
.endm

/* Saves the registers that callers expect kept; the arguments are then at
   8(%ebp) and up. */
.macro enter_frame
	pushl	%ebp
	movl	%esp, %ebp
	pushl	%ebx
	pushl	%esi
	pushl	%edi
.endm

/* Back to the frame, whatever the callees did to the stack pointer. */
.macro leave_frame
	leal	-12(%ebp), %esp
	popl	%edi
	popl	%esi
	popl	%ebx
	popl	%ebp
	ret
.endm

/* intptr_t stack_probe_call(const void *pfn, const uintptr_t *pArgs,
                             uint32_t nArgs, intptr_t *pResult) */
	.globl	_stack_probe_call
_stack_probe_call:
	enter_frame
	place_arguments
	movl	%esp, %ebx		/* the stack pointer at the call; callees keep ebx */
	call	*8(%ebp)
	movl	20(%ebp), %ecx
	movl	%eax, (%ecx)
	movl	%esp, %eax
	subl	%ebx, %eax		/* 0: arguments left to us; 4 * nArgs: removed */
	leave_frame

/* void stack_probe_call_sinking(const void *pfn, const uintptr_t *pArgs,
                                 uint32_t nArgs, uint32_t nCalls) */
	.globl	_stack_probe_call_sinking
_stack_probe_call_sinking:
	enter_frame
	movl	20(%ebp), %ebx		/* calls still to make */
1:	testl	%ebx, %ebx
	jz	2f
	subl	$16, %esp		/* what the call before left behind */
	place_arguments
	call	*8(%ebp)
	decl	%ebx
	jmp	1b
2:	leave_frame

/* A callback entry: notes the stack pointer and the return address it
   points at, then jumps to the body with the stack untouched. eax is free at
   the entry of a cdecl function. */
.macro entry name, body
	.globl	\name
\name:
	movl	%esp, _g_probeEntry
	movl	(%esp), %eax
	movl	%eax, _g_probeEntry+4
	jmp	\body
.endm

	entry	_probe_send_entry, _probe_send_body
	entry	_probe_k_entry, _probe_k_body
