#include "query_assembly.h"

#include <sys/stat.h>

#include <atomic>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

#include "identify.h"
#include "owned_text.h"
#include "raw_syscalls.h"
#include "sink.h"
#include "sql_extract.h"

namespace velmora_io::linux_intercept {
namespace {

constexpr std::size_t SLOTS = 16;
constexpr int32_t FREE = -1;
constexpr int32_t BUSY = -2;

struct Slot {
  std::atomic<int32_t> fd{FREE};  // the socket's number while its message is under way
  uint64_t started = 0;           // order of starts, for the oldest to give way
  dev_t device = 0;
  ino_t inode = 0;
  char* kept = nullptr;  // private pages of `room` bytes
  std::size_t room = 0;
  std::size_t held = 0;      // bytes of the message kept so far
  std::size_t declared = 0;  // the message's size
  std::size_t left = 0;      // bytes still to come
};

constinit Slot SLOT[SLOTS];
constinit std::atomic<int> UNDER_WAY{0};
constinit std::atomic<uint64_t> STARTS{0};

bool identity(int fd, dev_t* device, ino_t* inode) noexcept {
  struct stat st;
  if (raw::fstat(fd, &st) != 0) return false;
  *device = st.st_dev;
  *inode = st.st_ino;
  return true;
}

// Ends the slot's message (its pages given back); the slot is this thread's (BUSY).
void release(Slot& slot) noexcept {
  if (slot.kept != nullptr) raw::unmap_pages(slot.kept, slot.room);
  slot.kept = nullptr;
  slot.fd.store(FREE, std::memory_order_release);
  UNDER_WAY.fetch_sub(1, std::memory_order_relaxed);
}

// Takes the first `size` bytes of the write that belong to the slot's message.
void keep(Slot& slot, SentBytes bytes, std::size_t size) noexcept {
  if (slot.held < slot.room) {
    const std::size_t take = size < slot.room - slot.held ? size : slot.room - slot.held;
    slot.held += sql_extract::copy_first_bytes(bytes.iov, bytes.count, take, slot.kept + slot.held);
  }
  slot.left -= size;
}

// The whole message's "sql_write": its text, or the text kept and its declared size.
void report_message(int fd, const Slot& slot) noexcept {
  if (slot.held == slot.declared) {
    if (auto query = sql_extract::extract_pg_query(slot.kept, slot.held)) return log_event("sql_write", *query, fd);
    return report_io(fd, "write");
  }
  const std::optional<std::string_view> text = sql_extract::extract_cut_pg_query(slot.kept, slot.held);
  if (!text) return report_io(fd, "write");
  constexpr std::string_view NOTE = "\n-- cut here: the message has ";
  constexpr std::string_view UNIT = " bytes";
  char number[24];
  const std::size_t digits = static_cast<std::size_t>(std::to_chars(number, number + sizeof(number), slot.declared).ptr - number);
  TextCopy line;
  char* to = line.reserve(text->size() + NOTE.size() + digits + UNIT.size());
  if (to == nullptr) return report_io(fd, "write");
  to = std::copy(text->begin(), text->end(), to);
  to = std::copy(NOTE.begin(), NOTE.end(), to);
  to = std::copy(number, number + digits, to);
  std::copy(UNIT.begin(), UNIT.end(), to);
  log_event("sql_write", line.view(), fd);
}

// A slot for a new message, taken BUSY: a free one, else the oldest.
Slot* claim() noexcept {
  for (Slot& slot : SLOT) {
    int32_t expected = FREE;
    if (slot.fd.compare_exchange_strong(expected, BUSY, std::memory_order_acquire)) {
      UNDER_WAY.fetch_add(1, std::memory_order_relaxed);
      return &slot;
    }
  }
  Slot* oldest = &SLOT[0];
  for (Slot& slot : SLOT) oldest = slot.started < oldest->started ? &slot : oldest;
  int32_t owner = oldest->fd.load(std::memory_order_relaxed);
  if (owner < 0 || !oldest->fd.compare_exchange_strong(owner, BUSY, std::memory_order_acquire)) return nullptr;
  if (oldest->kept != nullptr) raw::unmap_pages(oldest->kept, oldest->room);
  oldest->kept = nullptr;
  return oldest;
}

bool begin(int fd, SentBytes bytes, std::size_t sent) noexcept {
  const std::size_t declared = sql_extract::declared_message_size(bytes.iov, bytes.count);
  if (declared <= sent) return false;  // none, or whole in this write
  dev_t device;
  ino_t inode;
  if (!identity(fd, &device, &inode)) return false;
  Slot* slot = claim();
  if (slot == nullptr) return false;
  slot->room = declared < MAX_KEPT ? declared : MAX_KEPT;
  slot->kept = static_cast<char*>(raw::map_pages(slot->room));
  if (slot->kept == nullptr) {
    release(*slot);
    return false;
  }
  slot->started = STARTS.fetch_add(1, std::memory_order_relaxed);
  slot->device = device;
  slot->inode = inode;
  slot->held = 0;
  slot->declared = declared;
  slot->left = declared;
  keep(*slot, bytes, sent);
  slot->fd.store(fd, std::memory_order_release);
  report_io(fd, "write");
  return true;
}

}  // namespace

bool report_piece(int fd, SentBytes bytes, std::size_t sent) noexcept {
  if (bytes.iov == nullptr || bytes.count > 1024) return false;
  if (UNDER_WAY.load(std::memory_order_relaxed) > 0) {
    for (Slot& slot : SLOT) {
      int32_t expected = fd;
      if (!slot.fd.compare_exchange_strong(expected, BUSY, std::memory_order_acquire)) continue;
      dev_t device;
      ino_t inode;
      if (!identity(fd, &device, &inode) || device != slot.device || inode != slot.inode) {
        release(slot);  // another object under the number: its message is over
        break;
      }
      const std::size_t size = sent < slot.left ? sent : slot.left;
      keep(slot, bytes, size);
      if (slot.left > 0) {
        slot.fd.store(fd, std::memory_order_release);
        report_io(fd, "write");
        return true;
      }
      report_message(fd, slot);
      release(slot);
      return true;
    }
  }
  return begin(fd, bytes, sent);
}

}  // namespace velmora_io::linux_intercept
