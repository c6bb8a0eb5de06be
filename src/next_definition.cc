#include "next_definition.h"

#include <link.h>
#include <sys/auxv.h>
#if defined(__aarch64__)
#include <sys/ifunc.h>
#endif

#include <cstdint>

#include "elf_symbol.h"

namespace velmora_io {
namespace {

const link_map* next_of(const link_map* m) noexcept { return __atomic_load_n(&m->l_next, __ATOMIC_ACQUIRE); }

// This object's entry: the one whose dynamic section is _DYNAMIC, which the linker
// defines in every object for the object itself.
const link_map* this_object() noexcept {
  // The record's later versions (2 and up) add a link to the next namespace's.
  for (auto ns = reinterpret_cast<const r_debug_extended*>(&_r_debug); ns != nullptr;
       ns = ns->base.r_version >= 2 ? __atomic_load_n(&ns->r_next, __ATOMIC_ACQUIRE) : nullptr) {
    for (const link_map* m = __atomic_load_n(&ns->base.r_map, __ATOMIC_ACQUIRE); m != nullptr; m = next_of(m)) {
      if (m->l_ld == _DYNAMIC) return m;
    }
  }
  return nullptr;
}

// Runs an IFUNC resolver with the arguments the loader gives it on this machine. x86's
// resolvers take none and read the CPU features the loader recorded at start-up;
// AArch64's take the hardware capabilities; the others take AT_HWCAP.
ElfW(Addr) run_resolver(ElfW(Addr) resolver) noexcept {
#if defined(__aarch64__)
  const __ifunc_arg_t arg{sizeof(__ifunc_arg_t), getauxval(AT_HWCAP), getauxval(AT_HWCAP2)};
  using Resolver = ElfW(Addr) (*)(std::uint64_t, const __ifunc_arg_t*);
  return reinterpret_cast<Resolver>(resolver)(arg._hwcap | _IFUNC_ARG_HWCAP, &arg);
#elif defined(__x86_64__) || defined(__i386__)
  return reinterpret_cast<ElfW(Addr) (*)()>(resolver)();
#else
  return reinterpret_cast<ElfW(Addr) (*)(unsigned long)>(resolver)(getauxval(AT_HWCAP));
#endif
}

}  // namespace

void* next_definition(const char* name) noexcept {
  const link_map* self = this_object();
  if (self == nullptr) return nullptr;
  for (const link_map* m = next_of(self); m != nullptr; m = next_of(m)) {
    if (m->l_ld == nullptr) continue;
    const ElfDefinition d = find_in_object(m->l_addr, m->l_ld, name);
    if (d.address != 0) return reinterpret_cast<void*>(d.indirect ? run_resolver(d.address) : d.address);
  }
  return nullptr;
}

}  // namespace velmora_io
