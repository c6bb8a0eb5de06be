// Test bytes placed flush against an inaccessible page, so that reading even one byte
// past the end faults instead of silently succeeding.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include <gtest/gtest.h>

namespace velmora_io::testing {

class GuardedBytes {
 public:
  // Copies `bytes` so that its last byte is the last readable byte of the mapping.
  explicit GuardedBytes(std::string_view bytes) {
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t data_pages = (bytes.size() + page - 1) / page + 1;
    map_size_ = (data_pages + 1) * page;
    void* map = ::mmap(nullptr, map_size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) std::abort();
    base_ = static_cast<unsigned char*>(map);
    unsigned char* guard = base_ + data_pages * page;
    if (::mprotect(guard, page, PROT_NONE) != 0) std::abort();
    data_ = guard - bytes.size();
    if (!bytes.empty()) std::memcpy(data_, bytes.data(), bytes.size());
    // The bytes are read-only from here on: a function that writes to its input faults too.
    if (::mprotect(base_, data_pages * page, PROT_READ) != 0) std::abort();
    size_ = bytes.size();
  }
  ~GuardedBytes() { ::munmap(base_, map_size_); }
  GuardedBytes(const GuardedBytes&) = delete;
  GuardedBytes& operator=(const GuardedBytes&) = delete;

  const unsigned char* data() const { return data_; }
  std::size_t size() const { return size_; }
  const unsigned char* end() const { return data_ + size_; }

  // Whether `view` lies wholly inside these bytes.
  bool contains(std::string_view view) const {
    const auto at = reinterpret_cast<std::uintptr_t>(view.data());
    const auto begin = reinterpret_cast<std::uintptr_t>(data_);
    return at >= begin && at <= begin + size_ && view.size() <= begin + size_ - at;
  }

 private:
  unsigned char* base_ = nullptr;
  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t map_size_ = 0;
};

}  // namespace velmora_io::testing
