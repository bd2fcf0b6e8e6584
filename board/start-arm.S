@ SPDX-License-Identifier: MIT
@ Process entry for the board's ARM cores (ARMv5TE and later, ARM state).
@
@ Debian's armhf startup files are built for ARMv7 in Thumb-2, which an
@ ARM1176 cannot execute, and those of glibc 2.34 and later ask for that
@ version of the C library; so the programs bring their own. It calls
@ __libc_start_main at its first EABI version, GLIBC_2.4, and hands it an
@ init function that runs the program's constructors: glibc before 2.34
@ runs them only that way, and later ones call it when it is given.
	.syntax	unified
	.arm
	.text
	.globl	_start
	.type	_start, %function
_start:
	.fnstart
	.cantunwind
	mov	fp, #0			@ the outermost frame
	mov	lr, #0
	pop	{r1}			@ argc
	mov	r2, sp			@ argv
	push	{r2}			@ stack_end
	push	{r0}			@ rtld_fini, from the dynamic loader
	mov	r3, #0
	push	{r3}			@ fini: the dynamic loader runs .fini_array
	ldr	r3, .Linit
.Linit_pc:
	add	r3, pc, r3		@ init
	ldr	r0, .Lmain
.Lmain_pc:
	add	r0, pc, r0		@ main, wherever the program was loaded
	bl	libc_start_main
	bl	abort
	.fnend
.Lmain:	.word	main - (.Lmain_pc + 8)
.Linit:	.word	run_init_array - (.Linit_pc + 8)
	.size	_start, . - _start

@ run_init_array(argc, argv, envp): calls each constructor in .init_array
@ with the same arguments, in order. The dynamic loader has relocated the
@ table and runs .preinit_array itself.
	.type	run_init_array, %function
run_init_array:
	.fnstart
	.cantunwind
	push	{r4, r5, r6, r7, r8, lr}
	mov	r6, r0
	mov	r7, r1
	mov	r8, r2
	ldr	r4, .Lstart
.Lstart_pc:
	add	r4, pc, r4
	ldr	r5, .Lend
.Lend_pc:
	add	r5, pc, r5
1:	cmp	r4, r5
	popeq	{r4, r5, r6, r7, r8, pc}
	ldr	r3, [r4], #4
	mov	r0, r6
	mov	r1, r7
	mov	r2, r8
	blx	r3
	b	1b
	.fnend
.Lstart:
	.word	__init_array_start - (.Lstart_pc + 8)
.Lend:	.word	__init_array_end - (.Lend_pc + 8)
	.size	run_init_array, . - run_init_array

	.symver	libc_start_main, __libc_start_main@GLIBC_2.4
	.section .note.GNU-stack, "", %progbits
