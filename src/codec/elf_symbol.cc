#include "elf_symbol.h"

#include <cstdint>
#include <cstring>

namespace velmora_io {
namespace {

// A pointer below the bias was left relative by the loader (read-only dynamic section).
ElfW(Addr) address_in(ElfW(Addr) base, ElfW(Addr) p) noexcept { return p < base ? p + base : p; }

}  // namespace

ElfTables elf_tables(ElfW(Addr) base, const ElfW(Dyn)* dynamic) noexcept {
  const auto at = [base](ElfW(Addr) p) { return address_in(base, p); };
  ElfTables t;
  t.base = base;
  for (const ElfW(Dyn)* d = dynamic; d->d_tag != DT_NULL; ++d) {
    switch (d->d_tag) {
      case DT_SYMTAB: t.symbols = reinterpret_cast<const ElfW(Sym)*>(at(d->d_un.d_ptr)); break;
      case DT_STRTAB: t.strings = reinterpret_cast<const char*>(at(d->d_un.d_ptr)); break;
      case DT_VERSYM: t.versions = reinterpret_cast<const ElfW(Half)*>(at(d->d_un.d_ptr)); break;
      case DT_GNU_HASH: t.gnu_hash = reinterpret_cast<const std::uint32_t*>(at(d->d_un.d_ptr)); break;
      case DT_HASH: t.sysv_hash = reinterpret_cast<const std::uint32_t*>(at(d->d_un.d_ptr)); break;
      default: break;
    }
  }
  return t;
}

namespace {

std::uint32_t gnu_hash(const char* name) noexcept {
  std::uint32_t h = 5381;
  for (auto c = reinterpret_cast<const unsigned char*>(name); *c != 0; ++c) h = h * 33 + *c;
  return h;
}

std::uint32_t sysv_hash(const char* name) noexcept {
  std::uint32_t h = 0;
  for (auto c = reinterpret_cast<const unsigned char*>(name); *c != 0; ++c) {
    h = (h << 4) + *c;
    const std::uint32_t g = h & 0xf0000000u;
    h ^= g >> 24;
    h &= ~g;
  }
  return h;
}

// The loader's unversioned lookup, one candidate at a time: an unversioned definition
// ends the search, a default-version one is remembered, a hidden version is passed over.
struct Search {
  const ElfTables& t;
  const char* name;
  const ElfW(Sym)* found = nullptr;
  unsigned defaults = 0;
  bool unversioned = false;

  // True when the symbol at `index` ends the search.
  bool offer(std::uint32_t index) noexcept {
    const ElfW(Sym)& s = t.symbols[index];
    constexpr unsigned ADDRESSED = (1u << STT_NOTYPE) | (1u << STT_OBJECT) | (1u << STT_FUNC) |
                                   (1u << STT_COMMON) | (1u << STT_GNU_IFUNC);
    if (s.st_shndx == SHN_UNDEF || (s.st_value == 0 && s.st_shndx != SHN_ABS)) return false;
    // (st_info reads the same in both ELF classes.)
    if (((1u << ELF64_ST_TYPE(s.st_info)) & ADDRESSED) == 0) return false;
    if (ELF64_ST_BIND(s.st_info) == STB_LOCAL) return false;
    if (std::strcmp(t.strings + s.st_name, name) != 0) return false;
    const ElfW(Half) version = t.versions != nullptr ? t.versions[index] : 0;
    if ((version & 0x7fff) < 2) {  // VER_NDX_LOCAL or VER_NDX_GLOBAL: not versioned
      found = &s;
      unversioned = true;
      return true;
    }
    if ((version & 0x8000) == 0 && defaults++ == 0) found = &s;  // 0x8000: hidden
    return false;
  }
};

void search_gnu(const std::uint32_t* table, std::uint32_t h, Search& s) noexcept {
  const std::uint32_t buckets = table[0];
  const std::uint32_t first = table[1];  // symbols below it are not hashed
  const std::uint32_t bloom_words = table[2];
  const std::uint32_t shift = table[3];
  if (buckets == 0 || bloom_words == 0) return;
  const auto* bloom = reinterpret_cast<const ElfW(Addr)*>(table + 4);
  const auto* bucket = reinterpret_cast<const std::uint32_t*>(bloom + bloom_words);
  const std::uint32_t* chain = bucket + buckets;
  constexpr unsigned BITS = sizeof(ElfW(Addr)) * 8;
  const ElfW(Addr) word = bloom[(h / BITS) % bloom_words];
  const ElfW(Addr) mask = (ElfW(Addr){1} << (h % BITS)) | (ElfW(Addr){1} << ((h >> shift) % BITS));
  if ((word & mask) != mask) return;
  std::uint32_t i = bucket[h % buckets];
  if (i == 0 || i < first) return;  // an empty bucket
  for (;; ++i) {
    const std::uint32_t entry = chain[i - first];
    if ((entry | 1) == (h | 1) && s.offer(i)) return;
    if (entry & 1) return;  // the end of this bucket's chain
  }
}

void search_sysv(const std::uint32_t* table, Search& s) noexcept {
  const std::uint32_t buckets = table[0];
  if (buckets == 0) return;
  const std::uint32_t* bucket = table + 2;
  const std::uint32_t* chain = bucket + buckets;
  const std::uint32_t symbols = table[1];
  for (std::uint32_t i = bucket[sysv_hash(s.name) % buckets]; i != STN_UNDEF && i < symbols; i = chain[i]) {
    if (s.offer(i)) return;
  }
}

}  // namespace

std::uint32_t elf_gnu_hash(const char* name) noexcept { return gnu_hash(name); }

ElfDefinition find_in_tables(const ElfTables& t, const char* name, std::uint32_t hash) noexcept {
  if (t.symbols == nullptr || t.strings == nullptr) return {};
  Search s{t, name};
  if (t.gnu_hash != nullptr) {
    search_gnu(t.gnu_hash, hash, s);
  } else if (t.sysv_hash != nullptr) {
    search_sysv(t.sysv_hash, s);
  }
  if (s.found == nullptr || (!s.unversioned && s.defaults != 1)) return {};
  const ElfW(Sym)& sym = *s.found;
  return {sym.st_value + (sym.st_shndx == SHN_ABS ? 0 : t.base), ELF64_ST_TYPE(sym.st_info) == STT_GNU_IFUNC};
}

ElfDefinition find_in_object(ElfW(Addr) base, const ElfW(Dyn)* dynamic, const char* name) noexcept {
  return find_in_tables(elf_tables(base, dynamic), name, gnu_hash(name));
}

const char* needed_name(ElfW(Addr) base, const ElfW(Dyn)* dynamic, unsigned index) noexcept {
  const char* strings = nullptr;
  const ElfW(Dyn)* wanted = nullptr;
  for (const ElfW(Dyn)* d = dynamic; d->d_tag != DT_NULL; ++d) {
    if (d->d_tag == DT_STRTAB) strings = reinterpret_cast<const char*>(address_in(base, d->d_un.d_ptr));
    if (d->d_tag == DT_NEEDED && index-- == 0) wanted = d;
  }
  return strings != nullptr && wanted != nullptr ? strings + wanted->d_un.d_val : nullptr;
}

const ElfW(Dyn)* image_dynamic(ElfW(Addr) header) noexcept {
  if (header == 0) return nullptr;
  const auto* ehdr = reinterpret_cast<const ElfW(Ehdr)*>(header);
  const auto* phdr = reinterpret_cast<const ElfW(Phdr)*>(header + ehdr->e_phoff);
  ElfW(Addr) first_load = 0;
  bool loaded = false;
  for (unsigned i = 0; i < ehdr->e_phnum; ++i) {
    if (phdr[i].p_type == PT_LOAD && !loaded) {
      first_load = phdr[i].p_vaddr;
      loaded = true;
    }
  }
  for (unsigned i = 0; i < ehdr->e_phnum; ++i) {
    if (phdr[i].p_type == PT_DYNAMIC) return reinterpret_cast<const ElfW(Dyn)*>(header - first_load + phdr[i].p_vaddr);
  }
  return nullptr;
}

}  // namespace velmora_io
