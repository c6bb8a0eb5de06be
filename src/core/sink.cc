#include "sink.h"

#include <limits.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "errno_saver.h"
#include "event_line.h"
#include "process_identity.h"
#include "pipe_fd_env.h"
#include "raw_syscalls.h"
#include "ring_sink.h"
#include "utf8.h"

namespace velmora_io {

namespace {

// -1 while unset; any negative value means "no pipe".
constinit std::atomic<int32_t> PIPE_FD{-1};
// The host's read end, kept out of observation; -1 while unset.
constinit std::atomic<int32_t> PIPE_READ_FD{-1};
// PIPE_FD has been settled, by the host or from the environment; never reset.
constinit std::atomic<bool> PIPE_FD_CHECKED{false};

[[gnu::noinline, gnu::cold]] void settle_pipe_fd() noexcept;

// Every system call below is a raw one (raw_syscalls.h): no cancellation point, unseen
// by other interposers.
using raw::futex_wait;
using raw::futex_wake_all;

int raw_open_log(const char* path) noexcept {
  // O_NONBLOCK: a FIFO without a reader fails at once (ENXIO) instead of hanging the
  // program, and a full one drops the line; a regular file is not affected.
  // O_CLOEXEC: a concurrent fork+exec in another thread cannot inherit it.
  return raw::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK, 0644);
}
int64_t now_ms() noexcept { return static_cast<int64_t>(raw::monotonic_ns() / 1'000'000); }

// ---- The sink's identity.

// What the environment's pipe was when it was adopted, so that every line can tell
// whether its number still refers to it. A host that hands over its own descriptor
// through the setter owns it, and it is not checked.
constinit std::atomic<bool> PIPE_FROM_ENV{false};
// Lines of an adopted pipe go through the library's own close-on-exec duplicate of it,
// made at the first line that goes to the pipe (a process whose lines all take the ring
// never holds one): the program may close and reuse the pipe's number by a route no
// wrapper sees, and no line may follow it there. NO_COPY: lines go to PIPE_FD itself
// (a setter's pipe, or no number was free).
constexpr int32_t COPY_UNMADE = -2;
constexpr int32_t NO_COPY = -1;
constinit std::atomic<int32_t> LINE_FD{COPY_UNMADE};
constinit std::atomic<bool> COPY_MAKING{false};
constinit thread_local bool MAKING_HERE __attribute__((tls_model("initial-exec"))) = false;
// A thread is adopting the pipe (settle_pipe_fd); this thread is that one.
constinit std::atomic<bool> PIPE_SETTLING{false};
constinit thread_local bool SETTLING_HERE __attribute__((tls_model("initial-exec"))) = false;
constinit std::atomic<uint64_t> PIPE_DEV{0};
constinit std::atomic<uint64_t> PIPE_INO{0};

std::optional<PipeIdentity> identity_of(int32_t fd, bool must_be_stream) noexcept {
  struct stat st;
  if (raw::fstat(fd, &st) != 0) return std::nullopt;
  // Without a stated identity, only what can be a host's pipe is trusted: a number
  // closed by an intermediate program and reused for a regular file is not.
  if (must_be_stream && !S_ISFIFO(st.st_mode) && !S_ISSOCK(st.st_mode) && !S_ISCHR(st.st_mode)) {
    return std::nullopt;
  }
  return PipeIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

const char* sink_variable(const char* name) noexcept {
  // In a set-user-ID or capability-raised process the environment comes from an
  // untrusted caller: it must not choose a file that the library creates or appends to.
  const char* value = ::secure_getenv(name);
  return value != nullptr && is_valid_utf8(value) ? value : nullptr;
}

struct Candidate {
  int32_t fd;
  PipeIdentity identity;
};

std::optional<Candidate> pipe_fd_from_environment() noexcept {
  const char* value = sink_variable("VELMORA_IO_FD");
  if (value == nullptr) return std::nullopt;
  const std::optional<int32_t> fd = parse_pipe_fd(value);
  if (!fd) return std::nullopt;
  if (*fd < 0) return Candidate{*fd, {}};
  // A host that states the identity of its pipe gets exactly that object adopted.
  if (const char* stated = ::secure_getenv("VELMORA_IO_PIPEID")) {
    const std::optional<PipeIdentity> expected = parse_pipe_identity(stated);
    const std::optional<PipeIdentity> actual = identity_of(*fd, false);
    if (!expected || !actual || *expected != *actual) return std::nullopt;
    return Candidate{*fd, *actual};
  }
  const std::optional<PipeIdentity> actual = identity_of(*fd, true);
  if (!actual) return std::nullopt;
  return Candidate{*fd, *actual};
}

// A number out of the program's way for the adopted pipe: the lowest free one from just
// under the descriptor limit (at most 1023, so the kernel's table grows no further than
// a program with a thousand descriptors makes it), lower floors only when that is taken.
// A program handed numbers lowest first meets it only after it has taken every number
// below, the adopted one included; -1 when there is none.
int private_duplicate(int fd) noexcept {
  rlimit limit;
  if (raw::open_file_limit(&limit) != 0) return -1;
  for (rlim_t floor = (limit.rlim_cur < 1024 ? limit.rlim_cur : 1024) - 1; floor >= 3 && floor < 1024; floor /= 2) {
    const long copy = raw::dup_cloexec_at_least(fd, static_cast<int>(floor));
    if (copy >= 0) return static_cast<int>(copy);
    if (errno != EMFILE && errno != EINVAL) break;
  }
  return -1;
}

bool is_adopted_pipe(int32_t fd) noexcept {
  const std::optional<PipeIdentity> now = identity_of(fd, false);
  return now && now->dev == PIPE_DEV.load(std::memory_order_relaxed) &&
         now->ino == PIPE_INO.load(std::memory_order_relaxed);
}

// ---- The line gate: lines of this process never interleave.
//
// Lines up to PIPE_BUF are written in one call and the kernel keeps them whole; any
// number of them may be in flight at once (the count in the low bits). A longer line,
// or the one that ends a cut line, needs the sink to itself (LONG_LINE): it waits for
// the short lines in flight to finish and holds later ones back until it is done.
// Waiting is a futex: a system call, safe in a signal handler and no cancellation point.
// A signal handler that interrupts its own thread's line drops its line instead of
// waiting for itself; a forked child keeps only its own thread's share.
constexpr uint32_t LONG_LINE = 0x80000000u;
constinit std::atomic<uint32_t> LINE_GATE{0};
// WAITING: this thread is waiting for its turn and holds no share yet.
enum class LineShare : unsigned char { NONE, WAITING, SHORT, LONG };
constinit thread_local LineShare MY_LINE __attribute__((tls_model("initial-exec"))) = LineShare::NONE;
// A line was cut part-way: the next line starts with a line feed to end it.
constinit std::atomic<bool> LINE_CUT{false};

// ---- The log-file gate: a fork waits until no line holds the log file open.
//
// A line opens, writes and closes the log file inside it; a fork's prepare handler
// raises FORKING and waits for the count to drain, so no child is born holding the log
// file's descriptor. Pipe lines do not count: a fork must not wait on a full pipe that
// the forking thread itself drains. The word carries a generation that a child resets:
// a line started in the parent (a fork from a signal handler on its own thread) gives
// back nothing in the child.
constexpr uint32_t LOG_COUNT = 0xFFFFu;
constexpr uint32_t LOG_FORKING = 0x10000u;
constexpr uint32_t LOG_GENERATION = ~(LOG_COUNT | LOG_FORKING);
constexpr uint32_t LOG_GENERATION_STEP = 0x20000u;
constinit std::atomic<uint32_t> LOG_GATE{0};
// This thread holds a line on the log file / holds LOG_FORKING for its fork.
constinit thread_local bool IN_LOG_LINE __attribute__((tls_model("initial-exec"))) = false;
constinit thread_local bool MY_FORK_HOLD __attribute__((tls_model("initial-exec"))) = false;

class LogFileTurn {
 public:
  LogFileTurn() noexcept {
    // A signal handler on the thread that is forking would wait for itself.
    if (MY_FORK_HOLD || IN_LOG_LINE) return;
    IN_LOG_LINE = true;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    for (;;) {
      uint32_t s = LOG_GATE.load(std::memory_order_acquire);
      if (s & LOG_FORKING) {
        futex_wait(&LOG_GATE, s);
        continue;
      }
      if (LOG_GATE.compare_exchange_weak(s, s + 1, std::memory_order_acquire)) {
        generation_ = s & LOG_GENERATION;
        break;
      }
    }
    held_ = true;
  }
  ~LogFileTurn() {
    if (!held_) return;
    for (uint32_t s = LOG_GATE.load(std::memory_order_relaxed); (s & LOG_GENERATION) == generation_;) {
      if (LOG_GATE.compare_exchange_weak(s, s - 1, std::memory_order_release)) {
        if (s & LOG_FORKING) futex_wake_all(&LOG_GATE);
        break;
      }
    }
    std::atomic_signal_fence(std::memory_order_seq_cst);
    IN_LOG_LINE = false;
  }
  LogFileTurn(const LogFileTurn&) = delete;
  LogFileTurn& operator=(const LogFileTurn&) = delete;

  bool held() const noexcept { return held_; }

 private:
  bool held_ = false;
  uint32_t generation_ = 0;
};

class LineTurn {
 public:
  explicit LineTurn(bool alone) noexcept {
    if (MY_LINE != LineShare::NONE) return;
    MY_LINE = LineShare::WAITING;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    for (;;) {
      uint32_t s = LINE_GATE.load(std::memory_order_acquire);
      if (s & LONG_LINE) {
        futex_wait(&LINE_GATE, s);
        continue;
      }
      if (LINE_GATE.compare_exchange_weak(s, alone ? (s | LONG_LINE) : s + 1, std::memory_order_acquire)) break;
    }
    // Recorded at once, so that a fork from a signal handler right here leaves the
    // child's gate with exactly this thread's share.
    MY_LINE = alone ? LineShare::LONG : LineShare::SHORT;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (alone) {
      for (uint32_t s; (s = LINE_GATE.load(std::memory_order_acquire)) != LONG_LINE;) futex_wait(&LINE_GATE, s);
    }
    held_ = true;
  }
  ~LineTurn() {
    if (!held_) return;
    if (MY_LINE == LineShare::SHORT) {
      if (LINE_GATE.fetch_sub(1, std::memory_order_release) == (LONG_LINE | 1)) futex_wake_all(&LINE_GATE);
    } else {
      LINE_GATE.fetch_and(~LONG_LINE, std::memory_order_release);
      futex_wake_all(&LINE_GATE);
    }
    std::atomic_signal_fence(std::memory_order_seq_cst);
    MY_LINE = LineShare::NONE;
  }
  LineTurn(const LineTurn&) = delete;
  LineTurn& operator=(const LineTurn&) = delete;

  bool held() const noexcept { return held_; }

 private:
  bool held_ = false;
};

// ---- Writing one line: batches of pieces, the caller's text never copied.

// How long the rest of a started line may wait for room on a full non-blocking sink.
constexpr int64_t ROOM_WAIT_MS = 1000;

class LineWriter {
 public:
  // Pieces per writev; a line in more pieces is written alone (see emit). Small: signal
  // handlers may run on small stacks.
  static constexpr int BATCH = 5;  // a line with no escape is four pieces, after a cut five

  explicit LineWriter(int fd) noexcept : fd_(fd) {}
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  void put(const char* bytes, std::size_t size) noexcept {
    if (size == 0) return;
    if (count_ == BATCH) flush();
    iov_[count_++] = {const_cast<char*>(bytes), size};
  }
  void put(std::string_view text) noexcept { put(text.data(), text.size()); }
  // Whether the whole line went out.
  bool finish() noexcept {
    flush();
    return ok_;
  }
  bool started() const noexcept { return started_; }

 private:

  void flush() noexcept {
    if (ok_ && count_ > 0) ok_ = write_all(iov_, count_);
    count_ = 0;
  }
  bool write_all(iovec* iov, int count) noexcept {
    while (count > 0) {
      if (iov->iov_len == 0) {
        ++iov;
        --count;
        continue;
      }
      const long n = raw::writev(fd_, iov, count);
      if (n > 0) {
        started_ = true;
        for (std::size_t left = static_cast<std::size_t>(n); left > 0;) {
          const std::size_t step = left < iov->iov_len ? left : iov->iov_len;
          iov->iov_base = static_cast<char*>(iov->iov_base) + step;
          iov->iov_len -= step;
          left -= step;
          if (iov->iov_len == 0) {
            ++iov;
            --count;
          }
        }
        continue;
      }
      if (n == 0) return false;
      if (errno == EINTR) continue;
      // A line that has not started is dropped whole; one that has is finished.
      if (errno == EAGAIN && started_ && wait_for_room()) continue;
      return false;
    }
    return true;
  }
  bool wait_for_room() noexcept {
    const int64_t now = now_ms();
    if (deadline_ms_ == 0) deadline_ms_ = now + ROOM_WAIT_MS;
    const int64_t left = deadline_ms_ - now;
    if (left <= 0) return false;
    const timespec wait{static_cast<time_t>(left / 1000), static_cast<long>(left % 1000) * 1000000};
    return raw::wait_writable(fd_, &wait) >= 0 || errno == EINTR;
  }

  int fd_;
  bool ok_ = true;
  bool started_ = false;
  int count_ = 0;
  int64_t deadline_ms_ = 0;
  iovec iov_[BATCH];
};

// The line in pieces straight from the caller's text: kind, TAB, the detail's runs and
// escapes, then `tail` (the detail's closing TAB and the numbers). Out of line, so that
// its writer and the sink's choice (which may fstat the pipe) never share the stack.
[[gnu::noinline]] void write_line(int fd, std::string_view kind, std::string_view detail,
                                  std::size_t escaped, std::string_view tail) noexcept {
  LineWriter out(fd);
  if (LINE_CUT.load(std::memory_order_relaxed)) out.put("\n", 1);
  out.put(kind);
  out.put("\t", 1);
  if (escaped == detail.size()) {
    out.put(detail);  // nothing to escape, the usual case: no scan piece by piece
  } else {
    escape_detail_in_pieces(detail, [&out](const char* data, std::size_t size) { out.put(data, size); });
  }
  out.put(tail);
  const bool whole = out.finish();
  if (out.started()) LINE_CUT.store(!whole, std::memory_order_relaxed);
}

// A line of many escapes that still fits one atomic write, formatted whole in private
// pages and written in one call: in pieces it would take several writes, and another
// process's line could come between them. Rare (program starts, multi-line queries), so
// the pages' two system calls are paid only then, and no signal stack pays the room.
[[gnu::noinline]] void write_line_whole(int fd, std::string_view kind, std::string_view detail,
                                        std::size_t escaped, std::string_view tail) noexcept {
  const std::size_t room = kind.size() + 1 + escaped + tail.size();
  auto* line = static_cast<char*>(raw::map_pages(room));
  if (line == nullptr) return;
  std::memcpy(line, kind.data(), kind.size());
  line[kind.size()] = '\t';
  char* at = line + kind.size() + 1;
  escape_detail_in_pieces(detail, [&at](const char* data, std::size_t size) {
    std::memcpy(at, data, size);
    at += size;
  });
  std::memcpy(at, tail.data(), tail.size());
  LineWriter out(fd);
  if (LINE_CUT.load(std::memory_order_relaxed)) out.put("\n", 1);
  out.put(line, room);
  const bool whole = out.finish();
  if (out.started()) LINE_CUT.store(!whole, std::memory_order_relaxed);
  raw::unmap_pages(line, room);
}

// Writes the line to fd, whole when it fits one atomic write but not one batch of pieces.
void put_line(int fd, std::string_view kind, std::string_view detail, std::size_t escaped,
              std::string_view tail, bool whole) noexcept {
  if (whole) {
    write_line_whole(fd, kind, detail, escaped, tail);
  } else {
    write_line(fd, kind, detail, escaped, tail);
  }
}

// Whether `size` more bytes fit in the log file under the process's file-size limit: a
// write past it would raise SIGXFSZ, which kills the program, so such a line is
// dropped. Out of line, so that the stat's room is not under the line's writer.
[[gnu::noinline]] bool log_has_room(int log_fd, std::size_t size) noexcept {
  struct stat st;
  if (raw::fstat(log_fd, &st) != 0) return false;
  return !S_ISREG(st.st_mode) || raw::file_may_reach(st.st_size + static_cast<off_t>(size));
}

// The private duplicate, made by the first line that needs it. Lines of other threads
// meanwhile wait for it (bounded): written to the pipe's number itself, one could land
// in a file that reused the number between its check and its write. A child sharing
// this memory (vfork) must not store a number of its own table, and a signal handler
// that interrupted the making on its own thread cannot wait: they write to the number.
[[gnu::noinline, gnu::cold]] int32_t settled_copy(int32_t pipe_fd) noexcept {
  if (!owned_here()) return NO_COPY;
  bool idle = false;
  if (!COPY_MAKING.compare_exchange_strong(idle, true, std::memory_order_acq_rel)) {
    for (int i = 0; i < 100000 && !MAKING_HERE; ++i) {
      const int32_t copy = LINE_FD.load(std::memory_order_acquire);
      if (copy != COPY_UNMADE) return copy;
      raw::yield();
    }
    return NO_COPY;
  }
  MAKING_HERE = true;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  const int made = is_adopted_pipe(pipe_fd) ? private_duplicate(pipe_fd) : NO_COPY;
  int32_t copy = COPY_UNMADE;
  // A switch-off or a setter meanwhile (from a signal handler) has the last word.
  if (LINE_FD.compare_exchange_strong(copy, made >= 0 ? made : NO_COPY, std::memory_order_acq_rel)) {
    copy = made >= 0 ? made : NO_COPY;
  } else if (made >= 0) {
    raw::close(made);
  }
  std::atomic_signal_fence(std::memory_order_seq_cst);
  MAKING_HERE = false;
  return copy;
}

// The descriptor a line to the pipe goes to, called inside the line's turn: the
// private duplicate of an adopted pipe (made here at the first such line), else the
// pipe's number itself. An adopted pipe is checked first; -1 when it is found gone, and
// then (in the process that owns the sink) it is switched off.
[[gnu::noinline]] int32_t line_fd(int32_t pipe_fd) noexcept {
  if (!PIPE_FROM_ENV.load(std::memory_order_relaxed)) return pipe_fd;
  int32_t copy = LINE_FD.load(std::memory_order_acquire);
  if (copy == COPY_UNMADE) copy = settled_copy(pipe_fd);
  const int32_t out = copy >= 0 ? copy : pipe_fd;
  if (is_adopted_pipe(out)) return out;
  pipe_number_gone(out);
  return -1;
}

// The sink is chosen, and the pipe's identity checked, inside the line's turn: a close
// of the pipe's number through the library waits for the turns of lines that passed the
// check (pipe_number_gone). A line is written in pieces, never copied whole to the
// stack: signal handlers (which may write) can run on small stacks. A line of more
// pieces than one writev takes is formatted in private pages when it fits one atomic
// write, else it goes out alone, as any line too long for one atomic write does. Out of
// line, so that the caller's frame is not under it.
[[gnu::noinline]] void write_event(std::string_view kind, std::string_view detail, int32_t fd,
                                   int32_t pid, bool checked = false) noexcept {
  // A line lost to the sink (no room, no reader, no log file) must not show in errno.
  ErrnoSaver caller_errno;
  const int64_t tid = raw::gettid();
  const std::size_t escaped = escaped_size(detail);
  // The line without kind and detail is TAB TAB fd TAB pid TAB tid LF: from its second
  // byte on it is the detail's closing TAB and the numbers.
  char numbers[event_line_capacity(0, 0)];
  const std::size_t numbers_size = format_event_line(numbers, {}, {}, 0, fd, pid, tid);
  const std::string_view tail(numbers + 1, numbers_size - 1);
  const std::size_t size = kind.size() + 1 + escaped + tail.size();
  // kind, TAB, the detail's runs and escapes, the tail.
  const std::size_t pieces = 4 + 2 * (escaped - detail.size());
  settle_sink();
  const bool whole = size <= PIPE_BUF && pieces > static_cast<std::size_t>(LineWriter::BATCH);
  LineTurn turn(LINE_CUT.load(std::memory_order_relaxed) || size > PIPE_BUF ||
                pieces > static_cast<std::size_t>(LineWriter::BATCH));
  if (!turn.held()) return;
  const int32_t pipe_fd = PIPE_FD.load(std::memory_order_acquire);
  if (pipe_fd >= 0) {
    int32_t out = line_fd(pipe_fd);
    // The host's own pipe is trusted as it is, except for a line that may come from a
    // child sharing this memory (vfork), whose descriptors are its own: it may have
    // closed the pipe on its way to exec.
    if (checked && out >= 0 && !PIPE_FROM_ENV.load(std::memory_order_relaxed) && !is_adopted_pipe(out)) out = -1;
    if (out >= 0) {
      put_line(out, kind, detail, escaped, tail, whole);
      return;  // no fallback to the log file
    }
  }
  const char* path = sink_variable("VELMORA_IO_LOG");
  if (path == nullptr) return;
  LogFileTurn log_turn;
  if (!log_turn.held()) return;
  // Opened and closed per line: the process holds no descriptor of ours between lines.
  const int log_fd = raw_open_log(path);
  if (log_fd < 0) return;
  if (log_has_room(log_fd, size + (LINE_CUT.load(std::memory_order_relaxed) ? 1 : 0))) {
    put_line(log_fd, kind, detail, escaped, tail, whole);
  }
  raw::close(log_fd);
}

void settle_pipe_fd() noexcept {
  // One thread adopts; the others wait (bounded) until PIPE_FD is stored, or their lines
  // would go nowhere meanwhile. A signal handler on the adopting thread does not wait.
  bool idle = false;
  if (!PIPE_SETTLING.compare_exchange_strong(idle, true, std::memory_order_acq_rel)) {
    for (int i = 0; i < 100000 && !SETTLING_HERE && !PIPE_FD_CHECKED.load(std::memory_order_acquire); ++i) {
      raw::yield();
    }
    return;
  }
  SETTLING_HERE = true;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  // Only the number and what it refers to are taken now: the private duplicate waits for
  // the first line that goes to the pipe.
  const std::optional<Candidate> candidate = pipe_fd_from_environment();
  // The host's setter, called meanwhile, wins.
  if (candidate && !PIPE_FD_CHECKED.load(std::memory_order_acquire)) {
    PIPE_DEV.store(candidate->identity.dev, std::memory_order_relaxed);
    PIPE_INO.store(candidate->identity.ino, std::memory_order_relaxed);
    PIPE_FROM_ENV.store(candidate->fd >= 0, std::memory_order_relaxed);
    PIPE_FD.store(candidate->fd, std::memory_order_release);
  }
  PIPE_FD_CHECKED.store(true, std::memory_order_release);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  SETTLING_HERE = false;
}

}  // namespace

void settle_sink() noexcept {
  if (!PIPE_FD_CHECKED.load(std::memory_order_acquire)) [[unlikely]] {
    settle_pipe_fd();
  }
}

bool is_sink_fd(int32_t fd) noexcept {
  return fd >= 0 && (fd == PIPE_FD.load(std::memory_order_relaxed) ||
                     fd == PIPE_READ_FD.load(std::memory_order_relaxed));
}

bool is_reportable(int32_t fd) noexcept { return fd > 2 && !is_sink_fd(fd); }

bool is_reportable_checked(int32_t fd) noexcept {
  if (is_reportable(fd)) return true;
  if (fd <= 2 || fd != PIPE_FD.load(std::memory_order_relaxed)) return false;
  // The program uses the pipe's number: still the adopted pipe, or reused since.
  if (PIPE_FROM_ENV.load(std::memory_order_relaxed) && !is_adopted_pipe(fd)) pipe_number_gone(fd);
  return is_reportable(fd);
}

void log_event(std::string_view kind, std::string_view detail, int32_t fd, int32_t pid) noexcept {
  report_loads_if_wanted();
  saw_pid(pid);
  if (ring_log_event(kind, detail, fd)) return;  // the host's ring, when it chose one
  // A child sharing this memory (vfork) would report its descriptors under the names
  // of its parent's table: its lines are left out.
  if (!owned_by(pid)) return;
  write_event(kind, detail, fd, pid);
}

void log_own_event(std::string_view kind, std::string_view detail, int32_t fd, int32_t pid,
                   bool callers_pid) noexcept {
  report_loads_if_wanted();
  // The caller's getpid tells the identity cache whether this is still its thread
  // (not a vfork child running on the parent's memory).
  if (callers_pid) saw_pid(pid);
  if (ring_log_event_as(kind, detail, fd, pid)) return;
  write_event(kind, detail, fd, pid, true);
}

void hand_over_pipe(int32_t fd) noexcept {
  PIPE_FROM_ENV.store(false, std::memory_order_relaxed);
  // A private duplicate is closed once no line can still be writing to it.
  LineTurn turn(true);
  const int32_t copy = LINE_FD.exchange(NO_COPY, std::memory_order_acq_rel);
  const std::optional<PipeIdentity> identity = identity_of(fd, false);
  PIPE_DEV.store(identity ? identity->dev : 0, std::memory_order_relaxed);
  PIPE_INO.store(identity ? identity->ino : 0, std::memory_order_relaxed);
  PIPE_FD.store(fd, std::memory_order_relaxed);
  if (copy >= 0 && turn.held()) raw::close(copy);
  PIPE_FD_CHECKED.store(true, std::memory_order_release);
}

void hand_over_read_end(int32_t fd) noexcept { PIPE_READ_FD.store(fd, std::memory_order_relaxed); }

void pipe_number_gone(int32_t fd) noexcept {
  if (fd < 0) return;
  const int32_t copy = LINE_FD.load(std::memory_order_relaxed);
  if (fd != PIPE_FD.load(std::memory_order_relaxed) && fd != copy) return;
  // A child sharing this memory (vfork) has descriptors of its own: what it does to
  // the number says nothing about the parent's sink.
  if (!owned_here()) return;
  // Every line that found the pipe sound finishes before the number is given up.
  LineTurn turn(true);
  int32_t pipe = PIPE_FD.load(std::memory_order_relaxed);
  if (pipe >= 0) PIPE_FD.compare_exchange_strong(pipe, -1, std::memory_order_acq_rel);
  const int32_t left = LINE_FD.exchange(NO_COPY, std::memory_order_acq_rel);
  // The duplicate is closed here unless it is the number in question: the program's
  // own call closes it then, or the number is the program's already.
  if (left >= 0 && left != fd && turn.held()) raw::close(left);
}

void pipe_range_closing(unsigned first, unsigned last) noexcept {
  // The duplicate first: inside the range, the program's call is the one to close it.
  for (const int32_t fd : {LINE_FD.load(std::memory_order_relaxed), PIPE_FD.load(std::memory_order_relaxed)}) {
    if (fd >= 0 && static_cast<unsigned>(fd) >= first && static_cast<unsigned>(fd) <= last) pipe_number_gone(fd);
  }
}

void sink_before_fork() noexcept {
  // A fork from a signal handler that interrupted this thread's own log line waits
  // for the others only.
  const uint32_t own = IN_LOG_LINE ? 1u : 0u;
  for (;;) {
    uint32_t s = LOG_GATE.load(std::memory_order_acquire);
    if (s & LOG_FORKING) {
      futex_wait(&LOG_GATE, s);
      continue;
    }
    if (LOG_GATE.compare_exchange_weak(s, s | LOG_FORKING, std::memory_order_acquire)) break;
  }
  MY_FORK_HOLD = true;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  for (uint32_t s; ((s = LOG_GATE.load(std::memory_order_acquire)) & LOG_COUNT) > own;) futex_wait(&LOG_GATE, s);
}

void sink_after_fork_parent() noexcept {
  LOG_GATE.fetch_and(~LOG_FORKING, std::memory_order_release);
  futex_wake_all(&LOG_GATE);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  MY_FORK_HOLD = false;
}

void sink_after_fork_child() noexcept {
  LINE_GATE.store(MY_LINE == LineShare::SHORT  ? 1u
                  : MY_LINE == LineShare::LONG ? LONG_LINE
                                               : 0u,
                  std::memory_order_relaxed);
  LOG_GATE.store((LOG_GATE.load(std::memory_order_relaxed) & LOG_GENERATION) + LOG_GENERATION_STEP,
                 std::memory_order_relaxed);
  // An adoption or a duplicate that another thread of the parent had begun is begun
  // again here.
  if (!PIPE_FD_CHECKED.load(std::memory_order_relaxed) && !SETTLING_HERE) {
    PIPE_SETTLING.store(false, std::memory_order_relaxed);
  }
  if (LINE_FD.load(std::memory_order_relaxed) == COPY_UNMADE) COPY_MAKING.store(false, std::memory_order_relaxed);
  std::atomic_signal_fence(std::memory_order_seq_cst);
  MY_FORK_HOLD = false;
}

}  // namespace velmora_io
