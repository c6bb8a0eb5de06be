#include "sink.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "errno_saver.h"
#include "event_line.h"
#include "owned_text.h"
#include "pipe_fd_env.h"
#include "real_function.h"
#include "utf8.h"

namespace velmora_io {

constinit std::atomic<int32_t> PIPE_FD{-1};
constinit std::atomic<int32_t> PIPE_READ_FD{-1};
constinit std::atomic<bool> PIPE_FD_CHECKED{false};

namespace {

// The sink's own real functions, apart from the interposed functions' slots so the
// library's output is never observed by itself.
struct SinkOwner;
using RealWrite = RealFunction<"write", ssize_t(int, const void*, size_t), SinkOwner>;
using RealClose = RealFunction<"close", int(int), SinkOwner>;

// Lines up to this size are formatted on the stack; longer ones (long queries) use the
// heap. It holds any name that TextCopy keeps inline, even with every byte escaped, and
// stays small because signal handlers (which may write) can run on small stacks.
constexpr std::size_t STACK_LINE_SIZE = 640;
static_assert(event_line_capacity(sizeof("sql_write") - 1, 2 * TextCopy::INLINE_CAPACITY) <= STACK_LINE_SIZE);

// What the environment's pipe was when it was adopted, so that a later check can tell
// whether its number still refers to it. Only pipes from the environment are checked:
// a host that hands over its own descriptor owns it.
struct SinkIdentity {
  dev_t dev;
  ino_t ino;
};
constinit std::atomic<bool> PIPE_FROM_ENV{false};
constinit std::atomic<dev_t> PIPE_DEV{0};
constinit std::atomic<ino_t> PIPE_INO{0};

// A descriptor inherited through the environment is trusted only if it can be a
// host's pipe. A number closed by an intermediate program and reused for one of this
// program's own files must never receive event lines.
std::optional<SinkIdentity> sink_identity(int32_t fd) noexcept {
  struct stat st;
  if (::fstat(fd, &st) != 0) return std::nullopt;
  if (!S_ISFIFO(st.st_mode) && !S_ISSOCK(st.st_mode) && !S_ISCHR(st.st_mode)) return std::nullopt;
  return SinkIdentity{st.st_dev, st.st_ino};
}

struct Candidate {
  int32_t fd;
  SinkIdentity identity;
};

std::optional<Candidate> pipe_fd_from_environment() noexcept {
  const char* value = ::getenv("VELMORA_IO_FD");
  if (value == nullptr || !is_valid_utf8(value)) return std::nullopt;
  const std::optional<int32_t> fd = parse_pipe_fd(value);
  if (!fd) return std::nullopt;
  if (*fd < 0) return Candidate{*fd, {}};
  const std::optional<SinkIdentity> identity = sink_identity(*fd);
  if (!identity) return std::nullopt;
  return Candidate{*fd, *identity};
}

void settle_pipe_fd() noexcept {
  const std::optional<Candidate> candidate = pipe_fd_from_environment();
  bool expected = false;
  if (PIPE_FD_CHECKED.compare_exchange_strong(expected, true, std::memory_order_acq_rel) &&
      candidate) {
    PIPE_DEV.store(candidate->identity.dev, std::memory_order_relaxed);
    PIPE_INO.store(candidate->identity.ino, std::memory_order_relaxed);
    PIPE_FROM_ENV.store(candidate->fd >= 0, std::memory_order_relaxed);
    PIPE_FD.store(candidate->fd, std::memory_order_release);
  }
}

void append_to_log_file(std::string_view line) noexcept {
  const char* path = ::getenv("VELMORA_IO_LOG");
  if (path == nullptr || !is_valid_utf8(path)) return;
  // Opened and closed per line: the process holds no descriptor of ours between lines.
  // O_CLOEXEC so a concurrent fork+exec in another thread cannot inherit it.
  const int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  write_one(fd, line);
  if (auto* real_close = RealClose::get()) real_close(fd);
}

}  // namespace

void write_one(int32_t fd, std::string_view bytes) noexcept {
  std::size_t done = 0;
  while (done < bytes.size()) {
    auto* real_write = RealWrite::get();
    if (real_write == nullptr) return;
    const ssize_t n = real_write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n == 0 || errno != EINTR) {
      return;
    }
  }
}

void log_event(std::string_view kind, std::string_view detail, int32_t fd) noexcept {
  // A line lost to the sink (no room, no reader, no log file) must not show in errno.
  ErrnoSaver caller_errno;
  const int32_t pid = ::getpid();
  const int64_t tid = ::syscall(SYS_gettid);

  const std::size_t escaped = escaped_size(detail);
  const std::size_t capacity = event_line_capacity(kind.size(), escaped);
  char stack_line[STACK_LINE_SIZE];
  char* buffer = stack_line;
  OwnedText heap_line;
  if (capacity > sizeof(stack_line)) {
    heap_line = OwnedText::allocate(capacity);
    if (!heap_line) return;
    buffer = heap_line.data();
  }
  const std::size_t size = format_event_line(buffer, kind, detail, escaped, fd, pid, tid);
  const std::string_view line(buffer, size);

  if (!PIPE_FD_CHECKED.load(std::memory_order_acquire)) settle_pipe_fd();
  const int32_t pipe_fd = PIPE_FD.load(std::memory_order_acquire);
  if (pipe_fd >= 0) {
    write_one(pipe_fd, line);  // no fallback to the log file
    return;
  }
  append_to_log_file(line);
}

void forget_pipe_identity() noexcept { PIPE_FROM_ENV.store(false, std::memory_order_relaxed); }

void verify_pipe_fd() noexcept {
  if (!PIPE_FROM_ENV.load(std::memory_order_relaxed)) return;
  const int32_t fd = PIPE_FD.load(std::memory_order_acquire);
  if (fd < 0) return;
  const std::optional<SinkIdentity> now = sink_identity(fd);
  if (now && now->dev == PIPE_DEV.load(std::memory_order_relaxed) &&
      now->ino == PIPE_INO.load(std::memory_order_relaxed)) {
    return;
  }
  pipe_fd_closed(fd);
}

void pipe_fd_closed(int32_t fd) noexcept {
  int32_t expected = fd;
  PIPE_FD.compare_exchange_strong(expected, -1, std::memory_order_acq_rel);
}

}  // namespace velmora_io
