// Heap text with a single owner, allocated with malloc so the library needs no C++
// runtime. Allocation failure gives an empty object that callers treat like "no name".
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

namespace velmora_io {

class OwnedText {
 public:
  OwnedText() noexcept = default;
  OwnedText(OwnedText&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  OwnedText& operator=(OwnedText&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  OwnedText(const OwnedText&) = delete;
  OwnedText& operator=(const OwnedText&) = delete;
  ~OwnedText() { std::free(data_); }

  // Room for `size` bytes plus a terminating zero; empty on allocation failure.
  static OwnedText allocate(std::size_t size) noexcept {
    OwnedText t;
    t.data_ = static_cast<char*>(std::malloc(size + 1));
    if (t.data_ != nullptr) {
      t.size_ = size;
      t.data_[size] = '\0';
    }
    return t;
  }

  static OwnedText copy_of(std::string_view text) noexcept {
    OwnedText t = allocate(text.size());
    if (t) std::memcpy(t.data_, text.data(), text.size());
    return t;
  }

  explicit operator bool() const noexcept { return data_ != nullptr; }
  char* data() noexcept { return data_; }
  std::size_t size() const noexcept { return size_; }
  std::string_view view() const noexcept { return {data_, size_}; }

  // Gives up ownership of the bytes (malloc'd, zero-terminated) to the caller.
  char* release() noexcept {
    size_ = 0;
    return std::exchange(data_, nullptr);
  }
  // Takes ownership of bytes from release().
  static OwnedText adopt(char* data, std::size_t size) noexcept {
    OwnedText t;
    t.data_ = data;
    t.size_ = data != nullptr ? size : 0;
    return t;
  }

  // Keeps only the first `size` bytes (no reallocation).
  void shrink_to(std::size_t size) noexcept {
    if (data_ != nullptr && size < size_) {
      size_ = size;
      data_[size] = '\0';
    }
  }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
};

// A text copied out of the table: on the stack when it fits (names up to 256 bytes), so
// the common observed call allocates nothing; on the heap otherwise.
class TextCopy {
 public:
  static constexpr std::size_t INLINE_CAPACITY = 256;

  TextCopy() noexcept = default;
  TextCopy(const TextCopy&) = delete;
  TextCopy& operator=(const TextCopy&) = delete;

  // False when the text did not fit inline and the heap had no room either.
  bool assign(std::string_view text) noexcept {
    if (text.size() <= INLINE_CAPACITY) {
      std::memcpy(inline_, text.data(), text.size());
      view_ = {inline_, text.size()};
      return true;
    }
    heap_ = OwnedText::copy_of(text);
    view_ = heap_.view();
    return static_cast<bool>(heap_);
  }

  std::string_view view() const noexcept { return view_; }

 private:
  char inline_[INLINE_CAPACITY];
  OwnedText heap_;
  std::string_view view_;
};

}  // namespace velmora_io
