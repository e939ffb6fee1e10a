// fvcrash_thread_state_capture_current(callback, context)
//
// Fills a machine context (the layout of Linux's mcontext_t) on the stack
// with the caller's registers as they will be after this call returns, and
// hands it to fvcrash_thread_state_capture_finish(mcontext, callback,
// context), whose result it returns. rax, r10, r11 and rflags are captured
// too, which getcontext() does not do.

    .text
    .globl  fvcrash_thread_state_capture_current
    .type   fvcrash_thread_state_capture_current, @function
    .p2align 4
fvcrash_thread_state_capture_current:
    .cfi_startproc
    pushq   %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq    %rsp, %rbp
    .cfi_def_cfa_register %rbp
    subq    $256, %rsp

    // General registers as they are at entry (gregs[REG_*] * 8).
    movq    %rax, 104(%rsp)
    movq    %r8, 0(%rsp)
    movq    %r9, 8(%rsp)
    movq    %r10, 16(%rsp)
    movq    %r11, 24(%rsp)
    movq    %r12, 32(%rsp)
    movq    %r13, 40(%rsp)
    movq    %r14, 48(%rsp)
    movq    %r15, 56(%rsp)
    movq    %rdi, 64(%rsp)
    movq    %rsi, 72(%rsp)
    movq    %rbx, 88(%rsp)
    movq    %rdx, 96(%rsp)
    movq    %rcx, 112(%rsp)

    // The caller's frame pointer, its stack pointer after the return, and
    // the return address.
    movq    (%rbp), %rax
    movq    %rax, 80(%rsp)
    leaq    16(%rbp), %rax
    movq    %rax, 120(%rsp)
    movq    8(%rbp), %rax
    movq    %rax, 128(%rsp)

    pushfq
    popq    %rax
    movq    %rax, 136(%rsp)

    // cs, gs, fs as 16-bit fields, then padding.
    movw    %cs, 144(%rsp)
    movw    %gs, 146(%rsp)
    movw    %fs, 148(%rsp)
    movw    $0, 150(%rsp)

    // No exception: err, trapno, oldmask, cr2, fpregs and the reserved words.
    xorl    %eax, %eax
    movq    %rax, 152(%rsp)
    movq    %rax, 160(%rsp)
    movq    %rax, 168(%rsp)
    movq    %rax, 176(%rsp)
    movq    %rax, 184(%rsp)
    movq    %rax, 192(%rsp)
    movq    %rax, 200(%rsp)
    movq    %rax, 208(%rsp)
    movq    %rax, 216(%rsp)
    movq    %rax, 224(%rsp)
    movq    %rax, 232(%rsp)
    movq    %rax, 240(%rsp)
    movq    %rax, 248(%rsp)

    movq    %rsp, %rdi
    movq    64(%rsp), %rsi
    movq    72(%rsp), %rdx
    call    fvcrash_thread_state_capture_finish@PLT

    leave
    .cfi_def_cfa %rsp, 8
    ret
    .cfi_endproc
    .size   fvcrash_thread_state_capture_current, .-fvcrash_thread_state_capture_current

    .section .note.GNU-stack, "", @progbits
