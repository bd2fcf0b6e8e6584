// SPDX-License-Identifier: MIT
// Process entry for arm64 (AArch64) boards.
//
// The startup files of glibc 2.34 and later ask for that version of the C
// library; so the programs bring their own, as on the 32-bit boards. It
// calls __libc_start_main at its first AArch64 version, GLIBC_2.17, and
// hands it an init function that runs the program's constructors: glibc
// before 2.34 runs them only that way, and later ones call it when it is
// given. BTI landing pads, and the note that says so, keep the programs'
// branch protection, which one file without them would drop.
	.text
	.globl	_start
	.type	_start, %function
_start:
	hint	#34			// bti c
	mov	x29, #0			// the outermost frame
	mov	x30, #0
	mov	x5, x0			// rtld_fini, from the dynamic loader
	ldr	x1, [sp]		// argc
	add	x2, sp, #8		// argv
	mov	x6, sp			// stack_end
	adrp	x0, main
	add	x0, x0, :lo12:main	// main, wherever the program was loaded
	adrp	x3, run_init_array
	add	x3, x3, :lo12:run_init_array	// init
	mov	x4, #0			// fini: the dynamic loader runs .fini_array
	bl	libc_start_main
	bl	abort
	.size	_start, . - _start

// run_init_array(argc, argv, envp): calls each constructor in .init_array
// with the same arguments, in order. The dynamic loader has relocated the
// table and runs .preinit_array itself.
	.type	run_init_array, %function
run_init_array:
	hint	#34			// bti c
	stp	x29, x30, [sp, #-64]!
	mov	x29, sp
	stp	x19, x20, [sp, #16]
	stp	x21, x22, [sp, #32]
	str	x23, [sp, #48]
	mov	x21, x0
	mov	x22, x1
	mov	x23, x2
	adrp	x19, __init_array_start
	add	x19, x19, :lo12:__init_array_start
	adrp	x20, __init_array_end
	add	x20, x20, :lo12:__init_array_end
1:	cmp	x19, x20
	b.eq	2f
	ldr	x3, [x19], #8
	mov	x0, x21
	mov	x1, x22
	mov	x2, x23
	blr	x3
	b	1b
2:	ldr	x23, [sp, #48]
	ldp	x21, x22, [sp, #32]
	ldp	x19, x20, [sp, #16]
	ldp	x29, x30, [sp], #64
	ret
	.size	run_init_array, . - run_init_array

	.symver	libc_start_main, __libc_start_main@GLIBC_2.17
	.section .note.GNU-stack, "", %progbits

// GNU_PROPERTY_AARCH64_FEATURE_1_AND: BTI and PAC.
	.section .note.gnu.property, "a"
	.p2align 3
	.word	4, 16, 5		// name size, descriptor size, NT_GNU_PROPERTY_TYPE_0
	.asciz	"GNU"
	.word	0xc0000000, 4, 3	// the property, its size, BTI | PAC
	.word	0
