#include "ring_reader.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace velmora::trace {

namespace {

bool ends_with(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

bool process_gone(std::int32_t pid) { return pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH; }

}  // namespace

RingReader::~RingReader() {
  for (const Mapped& ring : rings_) ::munmap(ring.base, ring.size);
  if (owns_rings_) {
    // Rings made since the last look (their processes may still write: the mapping is
    // theirs, the name goes).
    if (listing_ != nullptr || (listing_ = ::opendir(dir_.c_str())) != nullptr) {
      ::rewinddir(listing_);
      while (const dirent* entry = ::readdir(listing_)) {
        if (ends_with(entry->d_name, ".ring")) ::unlinkat(::dirfd(listing_), entry->d_name, 0);
      }
    }
  }
  if (listing_ != nullptr) ::closedir(listing_);
  if (made_dir_) ::rmdir(dir_.c_str());
}

std::string RingReader::create(const std::string& parent) {
  for (const std::string& base : {std::string("/dev/shm"), parent}) {
    std::string pattern = base + "/velmora-ring-XXXXXX";
    if (::mkdtemp(pattern.data()) != nullptr) {
      dir_ = pattern;
      made_dir_ = owns_rings_ = true;
      return {};
    }
  }
  return "cannot create a directory for the rings in " + parent + ": " + std::strerror(errno);
}

std::string RingReader::create_in(const std::string& private_dir) {
  struct statfs fs;
  if (::statfs(private_dir.c_str(), &fs) != 0 || fs.f_type != TMPFS_MAGIC) return create(private_dir);
  dir_ = private_dir;
  owns_rings_ = true;
  return {};
}

void RingReader::scan() {
  if (listing_ == nullptr && (listing_ = ::opendir(dir_.c_str())) == nullptr) return;
  ::rewinddir(listing_);
  const int dir_fd = ::dirfd(listing_);
  while (const dirent* entry = ::readdir(listing_)) {
    const std::string_view name = entry->d_name;
    if (!ends_with(name, ".ring")) continue;
    const int fd = ::openat(dir_fd, entry->d_name, O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;
    struct stat st;
    // Not sized yet: looked at again next time.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        static_cast<std::size_t>(st.st_size) < velmora_io::ring_file_size(2)) {
      ::close(fd);
      continue;
    }
    const std::size_t size = static_cast<std::size_t>(st.st_size);
    void* base = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    ::close(fd);
    if (base == MAP_FAILED) continue;
    ::unlinkat(dir_fd, entry->d_name, 0);
    // The name starts with the creator's pid; the header says it too once written.
    rings_.push_back({base, size, static_cast<std::int32_t>(std::strtol(entry->d_name, nullptr, 10)), 0});
  }
}

void RingReader::read_ring(Mapped& mapped, bool final) {
  const velmora_io::Ring ring = velmora_io::Ring::of(mapped.base, mapped.size);
  if (!ring) return;  // the creator has not finished making it
  mapped.pid = ring.header->pid;
  if (!mapped.told) {
    mapped.told = true;
    origins_.push_back({mapped.pid, ring.header->ppid, std::string(velmora_io::ring_cwd(mapped.base))});
  }
  // Bounded while writers may be left, so that a process that keeps writing cannot
  // hold the reader here; the last reading takes everything.
  for (std::size_t n = 0; final || n <= ring.mask; ++n) {
    velmora_io::RingRecord record;
    velmora_io::RingRead got = velmora_io::ring_read(ring, final, &record, detail_.get(), &mapped.torn);
    if (got == velmora_io::RingRead::PENDING && process_gone(mapped.pid)) {
      got = velmora_io::ring_read(ring, true, &record, detail_.get(), &mapped.torn);
    }
    if (got == velmora_io::RingRead::EMPTY || got == velmora_io::RingRead::PENDING) return;
    if (got != velmora_io::RingRead::RECORD) continue;
    if (record.kind == velmora_io::RECORD_CHILD_EXIT) {
      exits_.push_back({record.pid, record.fd});
      continue;
    }
    if (batch_size_ == batch_.size()) batch_.emplace_back();
    TimedEvent& e = batch_[batch_size_++];
    e.time_ns = record.time_ns;
    e.event.kind = static_cast<Kind>(record.kind);
    e.event.detail.assign(detail_.get(), record.detail_size);
    e.event.fd = record.fd;
    e.event.pid = record.pid;
    // A child that shares its parent's memory (vfork) writes into the parent's ring: that
    // ring says whose child it is.
    if (record.pid != mapped.pid && vfork_children_.insert(record.pid).second) {
      origins_.push_back({record.pid, mapped.pid, {}});
    }
    e.event.tid = record.tid;
    e.event.no_data = (record.outcome & velmora_io::RECORD_NO_DATA) != 0;
  }
}

std::vector<std::int32_t> RingReader::pids() {
  std::vector<std::int32_t> out;
  for (Mapped& mapped : rings_) {
    if (!mapped.gone && !(mapped.gone = process_gone(mapped.pid))) out.push_back(mapped.pid);
  }
  return out;
}

std::uint64_t RingReader::dropped() const {
  std::uint64_t n = 0;
  for (const RingLoss& loss : losses()) n += loss.dropped;
  return n;
}

std::uint64_t RingReader::torn() const {
  std::uint64_t n = 0;
  for (const RingLoss& loss : losses()) n += loss.torn;
  return n;
}

std::vector<RingLoss> RingReader::losses() const {
  std::vector<RingLoss> out;
  for (const Mapped& mapped : rings_) {
    const velmora_io::Ring ring = velmora_io::Ring::of(mapped.base, mapped.size);
    const std::uint64_t dropped = ring ? ring.header->dropped.load(std::memory_order_relaxed) : 0;
    if (dropped != 0 || mapped.torn != 0) out.push_back({mapped.pid, dropped, mapped.torn});
  }
  return out;
}

}  // namespace velmora::trace
