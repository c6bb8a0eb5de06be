// chdir and fchdir (wide library): each one, whatever its outcome, makes the working
// directory's memo forget what it held.
#include "export.h"
#include "slots.h"
#include "working_dir.h"

namespace li = velmora_io::linux_intercept;

VELMORA_EXPORT int chdir(const char* path) noexcept {
  auto* real = li::chdir::get();
  if (real == nullptr) return li::real_function_missing<int>();
  const int result = real(path);
  li::working_dir_changed();
  return result;
}

VELMORA_EXPORT int fchdir(int fd) noexcept {
  auto* real = li::fchdir::get();
  if (real == nullptr) return li::real_function_missing<int>();
  const int result = real(fd);
  li::working_dir_changed();
  return result;
}
