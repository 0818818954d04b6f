// The driver's one exception frame on Windows: CamCallGuarded runs a routine that
// may raise (a user-mode mapping that fails does) and returns the raised status,
// or STATUS_SUCCESS. g++ has no __try, so the frame is written out: its unwind
// information names the kernel's __C_specific_handler with one scope that covers
// the call, a filter of 1 (always handle) and a target that returns the exception
// code, which the unwind leaves in RAX.
#include "driver/platform.h"

asm(R"(
    .text
    .p2align 4
    .globl CamCallGuarded
    .def CamCallGuarded; .scl 2; .type 32; .endef
    .seh_proc CamCallGuarded
CamCallGuarded:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    .seh_handler __C_specific_handler, @except
    .seh_handlerdata
    .long 1
    .rva .Lcam_guarded_begin
    .rva .Lcam_guarded_end
    .long 1
    .rva .Lcam_guarded_caught
    .text
    movq %rcx, %rax
    movq %rdx, %rcx
.Lcam_guarded_begin:
    callq *%rax
    nop
.Lcam_guarded_end:
    xorl %eax, %eax
    addq $40, %rsp
    ret
.Lcam_guarded_caught:
    addq $40, %rsp
    ret
    .seh_endproc
)");
