#include "tests/support/stack_check.h"

#if defined(__i386__)
// std::uint32_t NorvexCallWithStackImage(function, image, cbImage, moved), cdecl:
// copies cbImage bytes (a multiple of 4) of arguments onto the stack, calls
// function, and stores the stack pointer after the call minus the one before
// the arguments. ebx, callee-saved in both conventions, keeps the latter.
asm(R"(
    .text
    .globl _NorvexCallWithStackImage
_NorvexCallWithStackImage:
    pushl %ebp
    movl %esp, %ebp
    pushl %esi
    pushl %edi
    pushl %ebx
    movl %esp, %ebx
    movl 16(%ebp), %ecx
    subl %ecx, %esp
    movl %esp, %edi
    movl 12(%ebp), %esi
    shrl $2, %ecx
    cld
    rep movsl
    call *8(%ebp)
    movl %esp, %ecx
    subl %ebx, %ecx
    movl 20(%ebp), %edx
    movl %ecx, (%edx)
    movl %ebx, %esp
    popl %ebx
    popl %edi
    popl %esi
    popl %ebp
    ret
)");
#endif
