#include "path_report.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <limits.h>
#include <unistd.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>

#include "errno_saver.h"
#include "fd_map.h"
#include "link_name.h"
#include "process_identity.h"
#include "raw_syscalls.h"
#include "reentrancy.h"
#include "sink.h"
#include "utf8.h"
#include "working_dir.h"

namespace velmora_io::linux_intercept {
namespace {

// The names of the directories a thread last looked up names under without the table's
// help (a descriptor the program made with dup or fcntl, which the table leaves
// unnamed until it is read): a walk of a tree (find, tar) looks up every entry of a
// directory under one descriptor. Kept with the directory's identity, which one fstat
// checks before each use: far cheaper than reading the descriptor's link again, and a
// number closed and reused meanwhile never lends its old name. Per thread: no lock.
struct DirName {
  int32_t fd = -1;
  uint64_t device = 0;
  uint64_t inode = 0;
  uint32_t size = 0;
  char text[240];
};
constexpr int DIR_NAMES = 2;
constinit thread_local DirName DIR_NAME[DIR_NAMES] __attribute__((tls_model("initial-exec")));
constinit thread_local uint8_t DIR_NAME_NEXT __attribute__((tls_model("initial-exec"))) = 0;

// The remembered name of dir_fd into `buffer` (its size), when it is still that directory.
std::size_t remembered_dir(int dir_fd, const struct stat& st, char* buffer, std::size_t size) noexcept {
  for (const DirName& d : DIR_NAME) {
    if (d.fd == dir_fd && d.device == st.st_dev && d.inode == st.st_ino && d.size <= size) {
      std::memcpy(buffer, d.text, d.size);
      return d.size;
    }
  }
  return 0;
}

void remember_dir(int dir_fd, const struct stat& st, const char* text, std::size_t size) noexcept {
  if (size > sizeof(DirName::text)) return;
  DirName& d = DIR_NAME[DIR_NAME_NEXT];
  DIR_NAME_NEXT = static_cast<uint8_t>((DIR_NAME_NEXT + 1) % DIR_NAMES);
  d.fd = -1;  // a signal handler on this thread never sees half an entry
  std::atomic_signal_fence(std::memory_order_seq_cst);
  d.device = st.st_dev;
  d.inode = st.st_ino;
  d.size = static_cast<uint32_t>(size);
  std::memcpy(d.text, text, size);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  d.fd = dir_fd;
}

// The directory a relative path starts from, into `small` when it fits, else into
// `big`'s private pages. Raw system calls: the library's own lookups are not observed.
std::string_view base_directory(int dir_fd, int32_t pid, char* small, std::size_t small_size, TextCopy* big) noexcept {
  for (std::size_t size = small_size;; size = PATH_MAX * 4) {
    char* buffer = size == small_size ? small : big->reserve(size);
    if (buffer == nullptr) return {};
    if (dir_fd == AT_FDCWD) {
      const long n = working_dir(pid != 0 ? pid : current_pid(), buffer, size);
      if (n > 0) return {buffer, static_cast<std::size_t>(n) - 1};  // the count includes the NUL
      if (errno != ERANGE || size != small_size) return {};
    } else {
      // A directory opened through the wrappers is named in the table already: no
      // readlink for each name looked up under it (tar and find look up thousands). Not
      // in a child that shares this memory: its numbers are its own.
      if (size == small_size && owned_by(pid != 0 ? pid : current_pid())) {
        const std::size_t n = table_copy_name(dir_fd, buffer, size);
        if (n > FILE_PREFIX.size() && std::string_view(buffer, n).starts_with(FILE_PREFIX)) {
          return {buffer + FILE_PREFIX.size(), n - FILE_PREFIX.size()};
        }
      }
      struct stat st;
      const bool known = size == small_size && raw::fstat(dir_fd, &st) == 0;
      if (known) {
        if (const std::size_t n = remembered_dir(dir_fd, st, buffer, size); n != 0) return {buffer, n};
      }
      const long n = raw::read_fd_link(dir_fd, buffer, size);
      if (n <= 0) return {};
      if (static_cast<std::size_t>(n) < size) {
        if (known) remember_dir(dir_fd, st, buffer, static_cast<std::size_t>(n));
        return {buffer, static_cast<std::size_t>(n)};
      }
      if (size != small_size) return {};
    }
  }
}

// Folds "//", "." and ".." in an absolute path, in place; returns the new length.
std::size_t fold(char* p, std::size_t n) noexcept {
  std::size_t w = 0;
  for (std::size_t r = 0; r < n;) {
    while (r < n && p[r] == '/') ++r;
    std::size_t end = r;
    while (end < n && p[end] != '/') ++end;
    const std::size_t len = end - r;
    if (len == 2 && p[r] == '.' && p[r + 1] == '.') {
      while (w > 0 && p[w - 1] != '/') --w;
      if (w > 0) --w;  // the slash before the dropped part
    } else if (len > 0 && !(len == 1 && p[r] == '.')) {
      p[w++] = '/';
      std::memmove(p + w, p + r, len);
      w += len;
    }
    r = end;
  }
  if (w == 0) p[w++] = '/';
  return w;
}

}  // namespace

bool folds_to_itself(std::string_view path, std::size_t from) noexcept {
  const char* p = path.data();
  const std::size_t n = path.size();
  if (n == 0 || p[0] != '/') return false;
  if (n == 1) return true;
  static_assert(std::endian::native == std::endian::little);
  for (std::size_t i = from; i < n;) {
    // The next slash, eight bytes at a time: the lowest zero byte of word ^ "////////".
    std::size_t at = i;
    if (uint64_t word; i + sizeof(word) <= n) {
      std::memcpy(&word, p + i, sizeof(word));
      word ^= 0x2f2f2f2f2f2f2f2full;
      const uint64_t zero = (word - 0x0101010101010101ull) & ~word & 0x8080808080808080ull;
      if (zero == 0) {
        i += sizeof(word);
        continue;
      }
      at = i + static_cast<std::size_t>(std::countr_zero(zero)) / 8;
    } else if (p[i] != '/') {
      ++i;
      continue;
    }
    // What follows a slash: nothing (a slash at the end), another slash, "." or "..".
    if (at + 1 == n || p[at + 1] == '/') return false;
    if (p[at + 1] == '.') {
      if (at + 2 == n || p[at + 2] == '/') return false;
      if (p[at + 2] == '.' && (at + 3 == n || p[at + 3] == '/')) return false;
    }
    i = at + 1;
  }
  return true;
}

bool absolute_file_name(int dir_fd, const char* path, TextCopy* out, int32_t pid) noexcept {
  if (path == nullptr) return false;
  const std::size_t len = ::strnlen(path, PATH_MAX);
  if (len == 0) return false;
  char small[256];
  TextCopy big;
  std::string_view base;
  if (path[0] != '/') {
    base = base_directory(dir_fd, pid, small, sizeof(small), &big);
    if (base.empty() || base.front() != '/') return false;  // "(unreachable)" cwd, a pipe
  }
  // Put together where the name goes, behind its prefix: the base is a name the kernel
  // gave, folded already, so most names need no folding and no second copy.
  const std::size_t prefix = FILE_PREFIX.size();
  const std::size_t joint = base.empty() ? 0 : base.size() + 1;
  char* p = out->reserve(prefix + joint + len);
  if (p == nullptr) return false;
  std::memcpy(p, FILE_PREFIX.data(), prefix);
  char* body = p + prefix;
  if (joint != 0) {
    std::memcpy(body, base.data(), base.size());
    body[base.size()] = '/';
  }
  std::memcpy(body + joint, path, len);
  std::size_t size = joint + len;
  // The base came from the kernel folded: only what joins it and follows can need it,
  // from the base's last byte on (the root's "/" and the joining one make "//").
  if (!folds_to_itself({body, size}, joint == 0 ? 0 : joint - 2)) size = fold(body, size);
  out->shrink_to(prefix + size);
  if (is_valid_utf8({body, size})) return true;
  // Rare: rewritten from a copy, with the bytes that are no UTF-8 replaced.
  TextCopy raw;
  return raw.assign({body, size}) && file_name_from_link(raw.view(), out);
}

void report_path(std::string_view kind, int dir_fd, const char* path, int fd) noexcept {
  run_guarded([&] {
    ErrnoSaver caller_errno;
    TextCopy name;
    // A vfork child's probes are its own, and kept: nothing here changes the table, which
    // names a directory only for the process that owns it. No getpid per event where the
    // thread knows who it is.
    const int32_t pid = current_pid();
    if (absolute_file_name(dir_fd, path, &name, pid)) log_own_event(kind, name.view(), fd, pid);
  });
}

void report_outcome(long result, std::string_view kind, int dir_fd, const char* path) noexcept {
  const int err = errno;
  if (result >= 0) {
    report_path(kind, dir_fd, path);
  } else {
    report_if_missing(err, dir_fd, path);
  }
  errno = err;
}

}  // namespace velmora_io::linux_intercept
