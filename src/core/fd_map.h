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

  // The entry's name; the view lives until the next change of the map. A quiet entry
  // (see insert) is found by find_any only.
  bool find(int32_t fd, std::string_view* name) const noexcept;
  bool find_any(int32_t fd, std::string_view* name) const noexcept;
  // Copies `name` in, replacing any earlier entry. False when memory ran out. A quiet
  // entry is a duplicate's: the number refers to what another named one does, but the
  // program never had it named, so it is reported neither on use nor on close.
  bool insert(int32_t fd, std::string_view name, bool quiet = false) noexcept;
  // Takes any entry out; whether it was one that is not quiet, whose name is then copied
  // to `*removed` first when given.
  bool remove(int32_t fd, TextCopy* removed = nullptr) noexcept;
  // The lowest named numbers in [first, last], ascending, at most `max` of them.
  std::size_t lowest_in(uint32_t first, uint32_t last, int32_t* out, std::size_t max) const noexcept;

  std::size_t size() const noexcept { return count_; }
  std::size_t capacity() const noexcept { return capacity_; }

 private:
  struct Slot {
    char* name;  // null marks a free slot; else a block of names_
    uint32_t size;  // QUIET set for a duplicate's entry
    int32_t fd;
  };
  static constexpr uint32_t QUIET = uint32_t{1} << 31;

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

// Presence test; `*present` is set only when DONE. Here and below (unless said) a quiet
// entry counts as none: a data call names the descriptor as if it had no entry.
TableStatus table_contains(int32_t fd, bool* present) noexcept;
enum class Lookup {
  FOUND,        // the name was copied out
  ABSENT,       // the descriptor has no entry
  UNAVAILABLE,  // the table could not be read, or the copy could not be made
};

// Copies the entry's name out while the lock is held.
Lookup table_copy_name(int32_t fd, TextCopy* out) noexcept;
// The same into the caller's `buffer` of `size` bytes, when it fits: the name's length,
// 0 when there is none, it does not fit or the table could not be read. A quiet entry's
// name too: what a directory's duplicate refers to is the directory.
std::size_t table_copy_name(int32_t fd, char* buffer, std::size_t size) noexcept;
// Records `name` under fd, replacing any earlier entry; false (nothing recorded) on an
// unavailable table, in a process that does not own it (process_identity.h), or when
// memory ran out. An entry that already holds `name` is left as it is.
bool table_insert(int32_t fd, std::string_view name) noexcept;
// The same for a name just made for a number that was free (a new descriptor), by a
// caller that already has this process's pid: no getpid, no look for the same name.
bool table_insert(int32_t fd, std::string_view name, int32_t pid) noexcept;
// Takes the entry out, copying its name to `*removed` when given; false when there was
// none (or a quiet one, taken out all the same), the table is unavailable or this
// process does not own it.
bool table_remove(int32_t fd, TextCopy* removed = nullptr) noexcept;
// The same for a caller that already has this process's pid (no getpid of its own).
bool table_remove(int32_t fd, TextCopy* removed, int32_t pid) noexcept;

// `to` was just made a duplicate of `from` (dup, dup2, dup3, fcntl): it gets a quiet
// copy of `from`'s name, or loses its entry when `from` has none (or memory ran out).
void table_copy_quietly(int32_t from, int32_t to, int32_t pid) noexcept;

// Up to `max` numbers with an entry (quiet ones too) in [first, last], lowest first,
// copied out under the lock; 0 when the table is unavailable. The caller goes on from
// the last one plus one.
std::size_t table_named_in(uint32_t first, uint32_t last, int32_t* out, std::size_t max) noexcept;

// The table across fork, for the fork handlers (fork_handlers.h), which decide the order.
// The prepare handler marks this thread as inside a table operation before anything
// else (false, marking nothing, when it already is: a fork from a signal handler that
// interrupted one), then takes the lock; the parent gives it back. The child's only
// thread is the forking one, so whoever else held the lock does not exist there: it
// gets a fresh lock, as does a raw clone's child with memory of its own.
bool table_mark_for_fork() noexcept;
void table_lock_for_fork() noexcept;
void table_unlock_after_fork() noexcept;
void table_renew_lock() noexcept;
void table_unmark_after_fork() noexcept;

}  // namespace velmora_io
