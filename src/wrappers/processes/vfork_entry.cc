// vfork (wide library): the C library's, plus one step on both sides. The child runs
// on its parent's memory, its thread-local variables included, so the thread's cached
// identity (process_identity.h) would name the parent in it: the child forgets it, and
// asks the kernel who it is at its next event; the parent, once resumed, forgets it too
// (the child may have written there) and asks again once.
//
// Written in assembly, as the C library writes it: a C function that returned in the
// child would leave its frame, return address included, to be overwritten by whatever
// the child calls next, and the parent would then return through it. The return
// address stays in a register the system call keeps instead. This is the one place
// besides raw_syscalls.h that enters the kernel: vfork cannot go through a function.
#include <sys/syscall.h>

#include <cerrno>

#include "process_identity.h"

#define VELMORA_TEXT(x) #x
#define VELMORA_NUMBER(x) VELMORA_TEXT(x)

#if defined(__x86_64__)
asm(R"(
  .text
  .globl vfork
  .type vfork, @function
  .p2align 4
vfork:
  .cfi_startproc
  popq %rdi
  .cfi_adjust_cfa_offset -8
  .cfi_register %rip, %rdi
  movl $)" VELMORA_NUMBER(SYS_vfork) R"(, %eax
  syscall
  pushq %rdi
  .cfi_adjust_cfa_offset 8
  .cfi_rel_offset %rip, 0
  movq %rax, %rdi
  jmp velmora_io_after_vfork
  .cfi_endproc
  .size vfork, .-vfork
)");
#elif defined(__aarch64__)
// No vfork system call here: clone with the flags vfork means. The return address is
// in x30, which the system call keeps; nothing is on the stack.
asm(R"(
  .text
  .globl vfork
  .type vfork, %function
  .p2align 2
vfork:
  mov x0, #0x4111
  mov x1, #0
  mov x2, #0
  mov x3, #0
  mov x4, #0
  mov x8, #)" VELMORA_NUMBER(SYS_clone) R"(
  svc #0
  b velmora_io_after_vfork
  .size vfork, .-vfork
)");
#else
#error "vfork is written for x86-64 and AArch64"
#endif

// Both sides, with the system call's result: the child's 0, the parent's pid of the
// child, or a negated errno when there is no child.
extern "C" [[gnu::visibility("hidden"), gnu::used]] long velmora_io_after_vfork(long result) noexcept {
  if (result < 0 && result > -4096) {
    errno = static_cast<int>(-result);
    return -1;
  }
  velmora_io::forget_this_thread();
  return result;
}
