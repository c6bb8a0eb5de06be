// The process-wide descriptor table: descriptor number -> resource name.
//
// FdMap is a plain open-addressing hash map (linear probing, backward-shift removal so
// that open/close cycles leave no tombstones) whose storage is malloc'd on first insert
// and never shrunk. FD_MAP is the single instance, constant-initialised, with one
// non-recursive lock and the poisoned mark. All access goes through the functions
// below, each one critical section.
#pragma once

#include <pthread.h>

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
  // Replaces any earlier entry. False (and the name discarded) when memory ran out.
  bool insert(int32_t fd, OwnedText name) noexcept;
  // The removed entry's name, or an empty object when there was none.
  OwnedText remove(int32_t fd) noexcept;

  std::size_t size() const noexcept { return count_; }
  std::size_t capacity() const noexcept { return capacity_; }

 private:
  struct Slot {
    char* name;  // null marks a free slot; else malloc'd, zero-terminated
    uint32_t size;
    int32_t fd;
  };

  std::size_t home(int32_t fd) const noexcept;
  Slot* locate(int32_t fd) const noexcept;
  bool grow() noexcept;

  Slot* slots_ = nullptr;
  std::size_t capacity_ = 0;  // zero or a power of two
  std::size_t count_ = 0;
};

struct FdTable {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  bool poisoned = false;
  FdMap map;
};

extern constinit FdTable FD_MAP;

// Outcome of a table operation that could not look at the map.
enum class TableStatus {
  DONE,         // the operation ran
  UNAVAILABLE,  // poisoned, or this thread is already inside a table operation
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
// unavailable table or when memory ran out.
bool table_insert(int32_t fd, OwnedText name) noexcept;
// Takes the entry out; empty when there was none or the table is unavailable.
OwnedText table_remove(int32_t fd) noexcept;

// Marks the table poisoned for good, as a failure leaving a critical section would.
void poison_table() noexcept;

}  // namespace velmora_io
