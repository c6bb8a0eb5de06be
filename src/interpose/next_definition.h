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
//     list is searched (a library loaded with dlmopen lives in its own). _r_debug costs
//     one relocation against the loader, bound at load; the executable's DT_DEBUG may be
//     missing, and _dl_find_object needs glibc 2.35.
//   - Where RTLD_NEXT would search, searched in the same order: for a library loaded
//     with the program (preloaded), every object after it in the list; for one loaded
//     later by dlopen, its own direct dependencies (found in the list by file name).
//     Each object is searched through its own dynamic symbol table (elf_symbol.h); the
//     first definition wins, and an IFUNC's resolver is run the way the loader runs it.
//   - The loader only appends to the list, filling an entry before it links it in, with
//     plain stores (seen in that order on x86; elsewhere, safe for entries older than the
//     reading thread); links are read with acquire loads. The C library and everything
//     loaded with the program come first and were complete before any thread ran, so a
//     name the C library defines is answered from them alone. Only a name that no object
//     loaded at start-up defines reaches entries a concurrent dlopen may be adding (and,
//     unlike dlsym, ones outside the global scope) or a concurrent dlclose removing.
// No lock, no allocation, no system call: safe inside dlopen, in a signal handler and at
// the first call of any thread.
#pragma once

#include <link.h>

#include <cstddef>

#include "elf_symbol.h"

namespace velmora_io {

// Where RTLD_NEXT searches from this library, worked out once for many names.
struct SearchOrder {
  const link_map* head = nullptr;  // the first object of this library's namespace
  const link_map* self = nullptr;  // null: this library is not in the list (no answers)
  const ElfW(Dyn)* vdso = nullptr;
  bool own_dependencies = false;  // loaded by dlopen: search this library's dependencies
};

// The tables of the objects searched, kept between the names of one pass over many
// (resolve_all.cc) in the one memo, off the stack: the first call of a wrapper may run
// on a signal handler's small one. One pass at a time holds it, and empties it when it
// takes it (an object unloaded since may have left its address to another); a pass
// that finds it held finds the tables again for each name. True when taken.
bool hold_tables_memo() noexcept;
void release_tables_memo() noexcept;
SearchOrder search_order() noexcept;

// The first definition of `name` in that order, IFUNCs resolved; null when none.
void* next_definition(const SearchOrder& order, const char* name) noexcept;

}  // namespace velmora_io
