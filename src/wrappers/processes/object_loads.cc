// dlopen and dlmopen (wide library): the call goes on untouched and the objects it adds
// are reported as "load" at the calling thread's next event (loaded_objects.h).
//
// Written in assembly: the loader takes the object that called dlopen from its return
// address, and searches that object's library path, expands its $ORIGIN and loads into
// its namespace. A C wrapper would make this library the caller. Here the entry only
// asks for a look and jumps to the real function, the program's return address left in
// place, so nothing of the wrapper runs after the call.
#include <dlfcn.h>

#include "loaded_objects.h"
#include "slots.h"

namespace li = velmora_io::linux_intercept;

namespace {

void* dlopen_missing(const char*, int) noexcept { return li::real_function_missing<void*>(); }
void* dlmopen_missing(Lmid_t, const char*, int) noexcept { return li::real_function_missing<void*>(); }

}  // namespace

// The real function to jump to (or one that fails as a missing one does); the calling
// thread looks at the loader's lists at its next event.
extern "C" [[gnu::visibility("hidden"), gnu::used]] void* velmora_io_dlopen_target() noexcept {
  velmora_io::want_loads_looked_at_here();
  auto* real = li::dlopen::get();
  return reinterpret_cast<void*>(real != nullptr ? real : dlopen_missing);
}
extern "C" [[gnu::visibility("hidden"), gnu::used]] void* velmora_io_dlmopen_target() noexcept {
  velmora_io::want_loads_looked_at_here();
  auto* real = li::dlmopen::get();
  return reinterpret_cast<void*>(real != nullptr ? real : dlmopen_missing);
}

// NAME keeps its (up to three) argument registers across the call of TARGET, then jumps
// to what TARGET returned.
#if defined(__x86_64__)
#define VELMORA_TAIL_ENTRY(name, target) \
  asm(".text\n .globl " #name "\n .type " #name ", @function\n .p2align 4\n" #name ":\n" \
      " .cfi_startproc\n" \
      " pushq %rdi\n .cfi_adjust_cfa_offset 8\n" \
      " pushq %rsi\n .cfi_adjust_cfa_offset 8\n" \
      " pushq %rdx\n .cfi_adjust_cfa_offset 8\n" \
      " call " #target "\n" \
      " popq %rdx\n .cfi_adjust_cfa_offset -8\n" \
      " popq %rsi\n .cfi_adjust_cfa_offset -8\n" \
      " popq %rdi\n .cfi_adjust_cfa_offset -8\n" \
      " jmp *%rax\n" \
      " .cfi_endproc\n .size " #name ", .-" #name "\n");
#elif defined(__aarch64__)
#define VELMORA_TAIL_ENTRY(name, target) \
  asm(".text\n .globl " #name "\n .type " #name ", %function\n .p2align 2\n" #name ":\n" \
      " .cfi_startproc\n" \
      " stp x29, x30, [sp, #-48]!\n .cfi_def_cfa_offset 48\n .cfi_offset 29, -48\n .cfi_offset 30, -40\n" \
      " mov x29, sp\n" \
      " stp x0, x1, [sp, #16]\n str x2, [sp, #32]\n" \
      " bl " #target "\n" \
      " mov x16, x0\n" \
      " ldp x0, x1, [sp, #16]\n ldr x2, [sp, #32]\n" \
      " ldp x29, x30, [sp], #48\n .cfi_def_cfa_offset 0\n" \
      " br x16\n" \
      " .cfi_endproc\n .size " #name ", .-" #name "\n");
#else
#error "dlopen's entry is written for x86-64 and AArch64"
#endif

VELMORA_TAIL_ENTRY(dlopen, velmora_io_dlopen_target)
VELMORA_TAIL_ENTRY(dlmopen, velmora_io_dlmopen_target)
