// The host's side of the ring transport: the directory handed to the traced
// processes as "VELMORA_IO_RING", the rings they create in it, and their records read
// back as the events the line parser yields, each with the time its call was made.
//
// Each ring file is mapped once it has its size and unlinked at once: the mapping is
// all the reader (and the writer) needs, so a program's exit or the tracer's leaves no
// file behind, and the records of a process that has exited are still read. Reading
// never blocks and never makes a writer fail: a full ring only makes writers wait
// (bounded) and count what they could not write, which dropped() reports.
#pragma once

#include <dirent.h>
#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "event_parse.h"
#include "ring_protocol.h"

namespace velmora::trace {

struct TimedEvent {
  Event event;
  std::uint64_t time_ns = 0;  // CLOCK_MONOTONIC (std::chrono::steady_clock) when the call was made
};

// Where a ring's process came from, as it wrote in the ring's header.
struct RingOrigin {
  std::int32_t pid = 0;
  std::int32_t ppid = 0;
  std::string cwd;
};

// How a child ended, as the process that reaped it wrote in its ring.
struct RingExit {
  std::int32_t pid = 0;
  int status = 0;  // as waitpid gives it
};

struct RingLoss {
  std::int32_t pid = 0;
  std::uint64_t dropped = 0;  // records the process could not write (no room in time)
  std::uint64_t torn = 0;     // slots left by a writer that ended mid-record
};

class RingReader {
 public:
  RingReader() = default;
  ~RingReader();  // unmaps the rings; removes the directory if it made one
  RingReader(const RingReader&) = delete;
  RingReader& operator=(const RingReader&) = delete;

  // Makes a private directory (mode 0700) under `parent` (/dev/shm when it is usable:
  // its pages never go to a disk). Returns an empty string or a one-line reason.
  std::string create(const std::string& parent);
  // The same, but a `private_dir` of the caller's (mode 0700) that is in memory already
  // is used as it is: one directory fewer to make and remove. The rings left in it are
  // removed at the end, the directory is not.
  std::string create_in(const std::string& private_dir);
  // Reads the rings of a directory made by someone else (tests).
  void attach(const std::string& dir) { dir_ = dir; }
  // The value for VELMORA_IO_RING.
  const std::string& dir() const { return dir_; }

  // Maps the rings that appeared, reads every ring and hands the events out in the
  // order of their times (within this call). `final`: no writer is left, so a record
  // still unfinished never will be; otherwise such a record is waited for unless its
  // process has ended. Returns the number of events. `on_origin` first hears of each
  // ring made since, before any of its events.
  template <class OnEvent, class OnOrigin>
  std::size_t drain(bool final, OnEvent&& on_event, OnOrigin&& on_origin);
  template <class OnEvent>
  std::size_t drain(bool final, OnEvent&& on_event) {
    return drain(final, on_event, [](const RingOrigin&) {});
  }

  std::uint64_t dropped() const;
  std::uint64_t torn() const;
  // Per process, for those that lost anything.
  std::vector<RingLoss> losses() const;
  std::size_t rings() const { return rings_.size(); }
  // The children's ends read since the last call.
  std::vector<RingExit> take_exits() { return std::exchange(exits_, {}); }
  // The processes that made the rings mapped so far and may still write: those not yet
  // found gone (a process once gone never writes again, even if its pid is reused).
  std::vector<std::int32_t> pids();

 private:
  struct Mapped {
    void* base = nullptr;
    std::size_t size = 0;
    std::int32_t pid = 0;
    std::uint64_t torn = 0;
    bool gone = false;  // its process has ended
    bool told = false;  // its origin handed out
  };
  void scan();
  void read_ring(Mapped& ring, bool final);

  std::string dir_;
  // Kept open between looks: a look is then a rewind and a read, not a path lookup.
  DIR* listing_ = nullptr;
  bool made_dir_ = false;
  bool owns_rings_ = false;  // the ring files left in dir_ are ours to remove
  std::vector<Mapped> rings_;
  // The events of one drain: the first batch_size_ of batch_. The elements stay between
  // drains, so that a detail is copied into room it already has, not into a new string.
  std::vector<TimedEvent> batch_;
  std::vector<RingOrigin> origins_;  // of one drain
  std::unordered_set<std::int32_t> vfork_children_;  // told already
  std::vector<RingExit> exits_;
  std::size_t batch_size_ = 0;
  // Not zeroed, for the same reason as the collector's read buffer.
  std::unique_ptr<char[]> detail_ = std::unique_ptr<char[]>(new char[velmora_io::ring_detail_capacity()]);
};

template <class OnEvent, class OnOrigin>
std::size_t RingReader::drain(bool final, OnEvent&& on_event, OnOrigin&& on_origin) {
  scan();
  batch_size_ = 0;
  origins_.clear();
  for (Mapped& ring : rings_) read_ring(ring, final);
  for (const RingOrigin& origin : origins_) on_origin(origin);
  const auto end = batch_.begin() + static_cast<std::ptrdiff_t>(batch_size_);
  // Each ring is in the order of reservation, a process's threads nearly in time order,
  // several processes interleaved: one sort of the batch puts them in the calls' order.
  const auto earlier = [](const TimedEvent& a, const TimedEvent& b) { return a.time_ns < b.time_ns; };
  if (!std::is_sorted(batch_.begin(), end, earlier)) std::stable_sort(batch_.begin(), end, earlier);
  for (auto e = batch_.begin(); e != end; ++e) on_event(*e);
  return batch_size_;
}

}  // namespace velmora::trace
