#include "next_definition.h"

#include <link.h>
#include <sys/auxv.h>
#if defined(__aarch64__)
#include <sys/ifunc.h>
#endif

#include <atomic>
#include <cstdint>
#include <cstring>

#include "elf_symbol.h"

namespace velmora_io {
namespace {

const link_map* next_of(const link_map* m) noexcept { return __atomic_load_n(&m->l_next, __ATOMIC_ACQUIRE); }

// This object's entry: the one whose dynamic section is _DYNAMIC, which the linker
// defines in every object for the object itself.
SearchOrder this_object() noexcept {
  // The record's later versions (2 and up) add a link to the next namespace's.
  for (auto ns = reinterpret_cast<const r_debug_extended*>(&_r_debug); ns != nullptr;
       ns = ns->base.r_version >= 2 ? __atomic_load_n(&ns->r_next, __ATOMIC_ACQUIRE) : nullptr) {
    const link_map* head = __atomic_load_n(&ns->base.r_map, __ATOMIC_ACQUIRE);
    for (const link_map* m = head; m != nullptr; m = next_of(m)) {
      if (m->l_ld == _DYNAMIC) return {head, m, nullptr, false};
    }
  }
  return {};
}

// The object loaded from a file of that name (a DT_NEEDED entry), met before `end`.
const link_map* loaded_before(const SearchOrder& p, const link_map* end, const char* file) noexcept {
  for (const link_map* m = p.head; m != end && m != nullptr; m = next_of(m)) {
    const char* slash = m->l_name != nullptr ? std::strrchr(m->l_name, '/') : nullptr;
    if (slash != nullptr && std::strcmp(slash + 1, file) == 0) return m;
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

struct Known {
  const link_map* object;
  ElfTables tables;
};
constexpr std::size_t KNOWN_OBJECTS = 16;
constinit Known KNOWN[KNOWN_OBJECTS] = {};
constinit std::atomic<bool> KNOWN_HELD{false};
constinit thread_local bool HOLDS_KNOWN __attribute__((tls_model("initial-exec"))) = false;

// The object's tables from the memo, found there or put there; null when this pass does
// not hold the memo or it is full.
const ElfTables* known_tables(const link_map* m) noexcept {
  for (std::size_t i = 0; HOLDS_KNOWN && i < KNOWN_OBJECTS; ++i) {
    Known& k = KNOWN[i];
    if (k.object == nullptr) {
      k.tables = elf_tables(m->l_addr, m->l_ld);
      k.object = m;
    }
    if (k.object == m) return &k.tables;
  }
  return nullptr;
}

void* definition_in(const link_map* m, const char* name, uint32_t hash) noexcept {
  if (m->l_ld == nullptr) return nullptr;
  const ElfTables* known = known_tables(m);
  const ElfDefinition d =
      known != nullptr ? find_in_tables(*known, name, hash) : find_in_object(m->l_addr, m->l_ld, name);
  if (d.address == 0) return nullptr;
  return reinterpret_cast<void*>(d.indirect ? run_resolver(d.address) : d.address);
}

}  // namespace

bool hold_tables_memo() noexcept {
  bool held = false;
  if (!KNOWN_HELD.compare_exchange_strong(held, true, std::memory_order_acquire)) return false;
  for (Known& k : KNOWN) k.object = nullptr;
  HOLDS_KNOWN = true;
  return true;
}

void release_tables_memo() noexcept {
  HOLDS_KNOWN = false;
  KNOWN_HELD.store(false, std::memory_order_release);
}

SearchOrder search_order() noexcept {
  SearchOrder order = this_object();
  if (order.self == nullptr) return order;
  // Loaded with the program, this library precedes its dependencies in the list, and
  // RTLD_NEXT searches everything after it but the kernel's vDSO (in no search order).
  // Loaded later by dlopen, it follows them, and RTLD_NEXT searches them, in order.
  const char* first = needed_name(order.self->l_addr, order.self->l_ld, 0);
  order.own_dependencies = first != nullptr && loaded_before(order, order.self, first) != nullptr;
  order.vdso = image_dynamic(getauxval(AT_SYSINFO_EHDR));
  return order;
}

void* next_definition(const SearchOrder& order, const char* name) noexcept {
  if (order.self == nullptr) return nullptr;
  const uint32_t hash = elf_gnu_hash(name);
  if (!order.own_dependencies) {
    for (const link_map* m = next_of(order.self); m != nullptr; m = next_of(m)) {
      if (m->l_ld == order.vdso) continue;
      if (void* found = definition_in(m, name, hash)) return found;
    }
    return nullptr;
  }
  for (unsigned i = 0; const char* file = needed_name(order.self->l_addr, order.self->l_ld, i); ++i) {
    const link_map* m = loaded_before(order, order.self, file);
    if (void* found = m != nullptr ? definition_in(m, name, hash) : nullptr) return found;
  }
  return nullptr;
}

}  // namespace velmora_io
