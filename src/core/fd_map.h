// The process-wide descriptor table: descriptor number -> resource name.
//
// FdMap is a plain open-addressing hash map (linear probing, backward-shift removal so
// that open/close cycles leave no tombstones). Its slots and its names live in memory
// the table owns, taken with mmap and reused through free lists: nothing on the
// observed path calls malloc or free, so a signal handler that interrupted the
// allocator can still use the table. FD_MAP is the single instance, constant-
// initialised; its one non-recursive lock is the table's own (fd_map.cc). All access
// goes through the functions below, each one critical section.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "owned_text.h"

namespace velmora_io {

class FdMap {
 public:
  constexpr FdMap() noexcept = default;
  FdMap(const FdMap&) = delete;
  FdMap& operator=(const FdMap&) = delete;

  // The entry's name; the view lives until the next change of the map.
  bool find(int32_t fd, std::string_view* name) const noexcept;
  // Copies `name` in, replacing any earlier entry. False when memory ran out.
  bool insert(int32_t fd, std::string_view name) noexcept;
  // Whether there was an entry; its name is copied to `*removed` first when given.
  bool remove(int32_t fd, TextCopy* removed = nullptr) noexcept;
  // The lowest named numbers in [first, last], ascending, at most `max` of them.
  std::size_t lowest_in(uint32_t first, uint32_t last, int32_t* out, std::size_t max) const noexcept;

  std::size_t size() const noexcept { return count_; }
  std::size_t capacity() const noexcept { return capacity_; }

 private:
  struct Slot {
    char* name;  // null marks a free slot; else a block of names_
    uint32_t size;
    int32_t fd;
  };

  // Blocks of power-of-two sizes carved from 64 KiB mmap'd chunks and kept on one free
  // list per size once released; a name above the largest size gets pages of its own.
  class NameBlocks {
   public:
    char* take(std::size_t size) noexcept;
    void give_back(char* block, std::size_t size) noexcept;

   private:
    static constexpr std::size_t SIZES = 9;  // 16 .. 4096 bytes
    struct FreeBlock {
      FreeBlock* next;
    };
    FreeBlock* free_[SIZES] = {};
    char* chunk_ = nullptr;
    std::size_t chunk_left_ = 0;
  };

  std::size_t home(int32_t fd) const noexcept;
  Slot* locate(int32_t fd) const noexcept;
  bool grow() noexcept;

  NameBlocks names_;
  Slot* slots_ = nullptr;
  std::size_t capacity_ = 0;  // zero or a power of two
  std::size_t count_ = 0;
};

// Read directly only by the table's own tests, single-threaded, outside any lock.
extern constinit FdMap FD_MAP;

// Outcome of a table operation that could not look at the map.
enum class TableStatus {
  DONE,         // the operation ran
  UNAVAILABLE,  // this thread is already inside a table operation, or may not wait
};

// Presence test; `*present` is set only when DONE.
TableStatus table_contains(int32_t fd, bool* present) noexcept;
enum class Lookup {
  FOUND,        // the name was copied out
  ABSENT,       // the descriptor has no entry
  UNAVAILABLE,  // the table could not be read, or the copy could not be made
};

// Copies the entry's name out while the lock is held.
Lookup table_copy_name(int32_t fd, TextCopy* out) noexcept;
// Records `name` under fd, replacing any earlier entry; false (nothing recorded) on an
// unavailable table, in a process that shares the table's memory without owning it,
// or when memory ran out. An entry that already holds `name` is left as it is.
bool table_insert(int32_t fd, std::string_view name) noexcept;
// Takes the entry out, copying its name to `*removed` when given; false when there was
// none, the table is unavailable or this process does not own it.
bool table_remove(int32_t fd, TextCopy* removed = nullptr) noexcept;
// The same for a caller that already has this process's pid (no getpid of its own).
bool table_remove(int32_t fd, TextCopy* removed, int32_t pid) noexcept;

// Up to `max` named numbers in [first, last], lowest first, copied out under the lock;
// 0 when the table is unavailable. The caller goes on from the last one plus one.
std::size_t table_named_in(uint32_t first, uint32_t last, int32_t* out, std::size_t max) noexcept;

// Whether this process may change the table: false in a child that shares its parent's
// memory without being a thread of it (vfork, clone with CLONE_VM), which has its own
// descriptors but would otherwise rewrite the parent's names. Costs one getpid.
//
// The first process to ask becomes the owner, unless it shares its parent's memory (the
// kernel is asked once, KCMP_VM against the parent): a vfork child of a process that
// has not reported yet leaves the state to it.
//
// A process other than the recorded owner is one that no fork handler ran for: the
// kernel is asked (KCMP_VM against the owner, once per such process) whether it shares
// the owner's memory. A child of a raw clone with memory of its own re-creates its copy
// of the table's lock and the sink's gates (whose holders may be threads that do not
// exist in it) and becomes the owner of its copy; a child sharing the memory leaves it
// alone; when the kernel cannot tell (kcmp refused, or the owner gone), the process
// leaves the state alone and never waits for the table's lock: its events are lost.
bool table_owned_here() noexcept;
// The same for a pid the caller has already (no system call on the owner's path).
bool table_owned_by(int32_t pid) noexcept;

// Registers the fork handlers that keep the table's lock and the sink's line gate
// usable in a forked child. Once per process, at first use, never at load time.
void ensure_fork_handlers() noexcept;

}  // namespace velmora_io
