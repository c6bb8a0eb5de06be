// Text with a single owner that never touches the heap: kept inline (on the owner's
// stack) when short, else in private pages of its own (mmap). Both are safe in a signal
// handler that interrupted malloc, which the C library's allocator is not. Long texts
// (names over 256 bytes) are rare, so their two system calls cost little overall.
// Allocation failure leaves the object empty; callers treat that like "no name".
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

#include "raw_syscalls.h"

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
      // Raw mmap: a library that interposes mmap must not see our own memory.
      void* p = raw::map_pages(size);
      if (p == nullptr) return nullptr;
      data_ = static_cast<char*>(p);
      pages_ = size;
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
  void drop_pages() noexcept {
    if (pages_ != 0) raw::unmap_pages(data_, pages_);
    pages_ = 0;
    data_ = inline_;
  }

  char inline_[INLINE_CAPACITY];
  char* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t pages_ = 0;  // bytes asked for, when in pages of their own
};

}  // namespace velmora_io
