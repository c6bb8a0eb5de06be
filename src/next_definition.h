// The real function behind an interposed name: the address dlsym(RTLD_NEXT, name) would
// give this library, found without the loader.
//
// dlsym takes the loader's lock. A plugin's constructor runs inside dlopen, which holds
// that lock; if it starts a thread and waits for it, and that thread's call is the
// library's first, a lookup through dlsym never returns. This one only reads what the
// loader has already published:
//   - The loader's list of loaded objects (its link map) starts at _r_debug, the
//     debugger interface's record that the loader keeps for the whole process; this
//     library's own entry is the one whose dynamic section is ours. Each namespace's
//     list is searched (a library loaded with dlmopen lives in its own).
//   - Where RTLD_NEXT would search, searched in the same order: for a library loaded
//     with the program (preloaded), every object after it in the list; for one loaded
//     later by dlopen, its own direct dependencies (found in the list by file name).
//     Each object is searched through its own dynamic symbol table (elf_symbol.h); the
//     first definition wins, and an IFUNC's resolver is run the way the loader runs it.
//   - The loader only appends to the list, and a new entry is complete before it is
//     linked in; links are read with acquire loads. The C library and everything loaded
//     with the program precede any later dlopen, so a name the C library defines is
//     answered from objects that were complete before this process's first thread ran.
//     Only a name no object loaded at start-up defines can reach an entry a concurrent
//     dlopen is adding (and, unlike dlsym, one that is not in the global scope), or one
//     a concurrent dlclose is removing.
// No lock, no allocation, no system call: safe inside dlopen, in a signal handler and at
// the first call of any thread.
#pragma once

#include <link.h>

namespace velmora_io {

// Where RTLD_NEXT searches from this library, worked out once for many names.
struct SearchOrder {
  const link_map* head = nullptr;  // the first object of this library's namespace
  const link_map* self = nullptr;  // null: this library is not in the list (no answers)
  const ElfW(Dyn)* vdso = nullptr;
  bool own_dependencies = false;  // loaded by dlopen: search this library's dependencies
};
SearchOrder search_order() noexcept;

// The first definition of `name` in that order, IFUNCs resolved; null when none.
void* next_definition(const SearchOrder& order, const char* name) noexcept;

}  // namespace velmora_io
