#include "loaded_objects.h"

#include <link.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "process_identity.h"
#include "raw_syscalls.h"
#include "sink.h"


namespace velmora_io {

constinit std::atomic<bool> LOADS_UNSEEN{false};
constinit thread_local bool LOADS_UNSEEN_HERE __attribute__((tls_model("initial-exec"))) = false;

namespace {

// An object is known by its dynamic section's address: one per object while it is
// mapped. Beyond this many objects, the rest go unreported.
constexpr std::size_t MAX_OBJECTS = 1024;
// Only the thread that holds LOOKING touches these: the objects reported (sorted), the
// ones of the look in progress, and the name of the one being reported. Not on the stack: the
// first event may come from a signal handler on a small stack.
constinit std::atomic<bool> LOOKING{false};
constinit const void* SEEN[MAX_OBJECTS];
constinit std::size_t SEEN_COUNT = 0;
constinit const void* NOW[MAX_OBJECTS];
constinit char NAME[8192];

bool seen_before(const void* key) noexcept { return std::binary_search(SEEN, SEEN + SEEN_COUNT, key); }

// "file:" and the object's path: as the loader has it, made absolute when it is
// relative (a library path of "."). Nothing for a name with no slash (the vDSO's), or
// one too long for the room.
std::string_view load_name(const char* path) noexcept {
  constexpr std::string_view FILE_PREFIX = "file:";
  if (path == nullptr || std::strchr(path, '/') == nullptr) return {};
  std::memcpy(NAME, FILE_PREFIX.data(), FILE_PREFIX.size());
  std::size_t size = FILE_PREFIX.size();
  if (path[0] != '/') {
    const long dir = raw::getcwd(NAME + size, sizeof(NAME) / 2);  // counts the NUL, which a slash replaces
    if (dir <= 0) return {};
    size += static_cast<std::size_t>(dir);
    NAME[size - 1] = '/';
  }
  const std::size_t path_size = strnlen(path, sizeof(NAME) - size);
  if (path_size == sizeof(NAME) - size) return {};
  std::memcpy(NAME + size, path, path_size);
  return {NAME, size + path_size};
}

// Every namespace's list: the record's later versions (2 and up) link the next one's.
template <typename Visit>
void for_each_object(Visit visit) noexcept {
  for (auto ns = reinterpret_cast<const r_debug_extended*>(&_r_debug); ns != nullptr;
       ns = ns->base.r_version >= 2 ? __atomic_load_n(&ns->r_next, __ATOMIC_ACQUIRE) : nullptr) {
    for (const link_map* m = __atomic_load_n(&ns->base.r_map, __ATOMIC_ACQUIRE); m != nullptr;
         m = __atomic_load_n(&m->l_next, __ATOMIC_ACQUIRE)) {
      if (m->l_ld != _DYNAMIC && m->l_name != nullptr && m->l_name[0] != '\0') visit(m);
    }
  }
}

}  // namespace

void report_new_loads() noexcept {
  LOADS_UNSEEN_HERE = false;
  LOADS_UNSEEN.store(false, std::memory_order_relaxed);
  if (LOOKING.exchange(true, std::memory_order_acquire)) {
    LOADS_UNSEEN_HERE = true;  // another thread is looking: look again at the next event
    return;
  }
  // A child running on this memory (vfork) would mark as seen what its lines never show.
  if (owned_here()) {
    std::size_t count = 0;
    for_each_object([&](const link_map* m) {
      if (count == MAX_OBJECTS) return;
      NOW[count++] = m->l_ld;
      if (seen_before(m->l_ld)) return;
      if (const std::string_view name = load_name(m->l_name); !name.empty()) log_event("load", name, -1);
    });
    std::sort(NOW, NOW + count);
    std::copy(NOW, NOW + count, SEEN);
    SEEN_COUNT = count;
  }
  LOOKING.store(false, std::memory_order_release);
}

void loads_after_fork_child() noexcept { LOOKING.store(false, std::memory_order_relaxed); }

}  // namespace velmora_io
