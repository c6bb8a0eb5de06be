// Text with a single owner that never touches the heap: kept inline (on the owner's
// stack) when short, else in private pages of its own (mmap). Both are safe in a signal
// handler that interrupted malloc, which the C library's allocator is not. Long texts
// (names over 256 bytes) are rare, so their two system calls cost little overall.
// Allocation failure leaves the object empty; callers treat that like "no name".
#pragma once

#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <string_view>

namespace velmora_io {

class TextCopy {
 public:
  static constexpr std::size_t INLINE_CAPACITY = 192;

  TextCopy() noexcept = default;
  TextCopy(const TextCopy&) = delete;
  TextCopy& operator=(const TextCopy&) = delete;
  ~TextCopy() { drop_pages(); }

  // Room for `size` bytes, replacing any earlier text; null when no room could be had.
  char* reserve(std::size_t size) noexcept {
    drop_pages();
    size_ = 0;
    data_ = inline_;
    if (size > INLINE_CAPACITY) {
      const std::size_t bytes = round_to_pages(size);
      // Raw system calls: a library that interposes mmap must not see its own memory.
      void* p = reinterpret_cast<void*>(
          ::syscall(SYS_mmap, nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
      if (p == MAP_FAILED) return nullptr;
      data_ = static_cast<char*>(p);
      pages_ = bytes;
    }
    size_ = size;
    return data_;
  }

  // False when the text did not fit inline and no pages could be had.
  bool assign(std::string_view text) noexcept {
    char* to = reserve(text.size());
    if (to == nullptr) return false;
    std::memcpy(to, text.data(), text.size());
    return true;
  }

  // Keeps only the first `size` bytes.
  void shrink_to(std::size_t size) noexcept {
    if (size < size_) size_ = size;
  }

  std::string_view view() const noexcept { return {data_, size_}; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }

 private:
  static std::size_t round_to_pages(std::size_t size) noexcept {
    constexpr std::size_t PAGE = 4096;
    return (size + PAGE - 1) / PAGE * PAGE;
  }
  void drop_pages() noexcept {
    if (pages_ != 0) ::syscall(SYS_munmap, data_, pages_);
    pages_ = 0;
    data_ = inline_;
  }

  char inline_[INLINE_CAPACITY];
  char* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t pages_ = 0;
};

}  // namespace velmora_io
