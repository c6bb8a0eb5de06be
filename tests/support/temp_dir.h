// A fresh directory under $TMPDIR (else /tmp), symlinks resolved so that paths match
// what /proc/self/fd shows; removed with its contents. Header-only, so that tests
// which link nothing of the harness (the table's, under ThreadSanitizer) can use it.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace velmora_test {

class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/velmora-test-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = std::filesystem::canonical(pattern).string();
  }
  ~TempDir() {
    std::error_code ec;
    // A test may have taken its own permissions away to provoke a failure.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }
  std::string operator/(std::string_view name) const { return file(name); }

 private:
  std::string path_;
};

}  // namespace velmora_test
