@ SPDX-License-Identifier: MIT
@ Process entry for the board's ARM1176 core (ARMv6, ARM state).
@
@ The cross toolchain's own startup files are built for ARMv7 in Thumb-2,
@ which this core cannot execute, so the programs bring their own. It calls
@ __libc_start_main at its first EABI version, GLIBC_2.4: the programs then
@ start on the board's C library whatever its age, with nothing to set up
@ beyond main (they have no constructors).
	.syntax	unified
	.cpu	arm1176jzf-s
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
	mov	r3, #0			@ init: none
	push	{r3}			@ fini: none
	ldr	r0, .Lmain
.Lpc:	add	r0, pc, r0		@ main, wherever the program was loaded
	bl	libc_start_main
	bl	abort
	.fnend
.Lmain:	.word	main - (.Lpc + 8)
	.size	_start, . - _start

	.symver	libc_start_main, __libc_start_main@GLIBC_2.4
	.section .note.GNU-stack, "", %progbits
