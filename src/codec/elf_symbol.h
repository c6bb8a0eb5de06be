// One loaded ELF object's own answer to "where is NAME defined?", read from its dynamic
// symbol table the way the loader answers an unversioned lookup (dlsym, not dlvsym).
//
// Contract:
//   - `base` is the object's load bias (link_map::l_addr) and `dynamic` its mapped
//     dynamic section (link_map::l_ld). Addresses in that section may be relocated
//     already (the loader adjusts writable dynamic sections) or still relative to base
//     (read-only ones, the vDSO's); both are accepted.
//   - The hash table is DT_GNU_HASH, else DT_HASH; an object with neither has no answer.
//   - Only definitions count: undefined symbols, local bindings, and types that name no
//     code or data address (sections, files, TLS) are skipped, as the loader does.
//   - Symbol versions: an unversioned definition wins at once; otherwise the object's
//     single default version (the one whose versym entry has the hidden bit clear, the
//     "@@" one) is taken. Two default versions of one name mean no answer, as in the
//     loader.
//   - STT_GNU_IFUNC is reported as such, not called: the caller decides when to run a
//     resolver (see next_definition.h).
//   - Reads memory only: no system call, no lock, no allocation, async-signal-safe.
#pragma once

#include <link.h>

#include <cstdint>

namespace velmora_io {

struct ElfDefinition {
  ElfW(Addr) address = 0;  // 0: the object defines no such symbol
  bool indirect = false;   // address is an IFUNC resolver, not the function
};

ElfDefinition find_in_object(ElfW(Addr) base, const ElfW(Dyn)* dynamic, const char* name) noexcept;

// The same in two halves, for many names looked up in the same objects: the object's
// tables found once, each name's GNU hash computed once.
struct ElfTables {
  ElfW(Addr) base = 0;
  const ElfW(Sym)* symbols = nullptr;
  const char* strings = nullptr;
  const ElfW(Half)* versions = nullptr;  // DT_VERSYM, absent in unversioned objects
  const std::uint32_t* gnu_hash = nullptr;
  const std::uint32_t* sysv_hash = nullptr;
};
ElfTables elf_tables(ElfW(Addr) base, const ElfW(Dyn)* dynamic) noexcept;
std::uint32_t elf_gnu_hash(const char* name) noexcept;
ElfDefinition find_in_tables(const ElfTables& tables, const char* name, std::uint32_t gnu_hash) noexcept;

// The object's `index`-th direct dependency (its DT_NEEDED entries, in order), as the
// file name it asked for; null past the last. Same arguments and promises as above.
const char* needed_name(ElfW(Addr) base, const ElfW(Dyn)* dynamic, unsigned index) noexcept;

// The dynamic section of an ELF image mapped whole, its ELF header at `header` (the
// vDSO): where the loader's entry for it points. Null for a null header or no section.
const ElfW(Dyn)* image_dynamic(ElfW(Addr) header) noexcept;

}  // namespace velmora_io
