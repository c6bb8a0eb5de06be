// mmap and mmap64 of a descriptor (wide library): the mapping is the program's access
// to the file, reported once when it is made: "read" when the pages can be read,
// "write" when they are shared and writable (stores reach the file). Anonymous
// mappings, the allocators' daily bread, go straight through, as does any mapping made
// from inside an observation step.
#include <sys/mman.h>

#include "export.h"
#include "reentrancy.h"
#include "data_call.h"
#include "slots.h"

namespace velmora_io::linux_intercept {
namespace {

template <typename Slot, typename Offset>
void* mapping_call(void* addr, size_t length, int prot, int flags, int fd, Offset offset) {
  auto* real = Slot::get();
  if (real == nullptr) return real_function_missing(MAP_FAILED);
  if (fd > 2 && (flags & MAP_ANONYMOUS) == 0 && !IN_HOOK) {
    if ((prot & PROT_READ) != 0) observe_data_above_2(fd, "read");
    if ((prot & PROT_WRITE) != 0 && (flags & MAP_TYPE) != MAP_PRIVATE) observe_data_above_2(fd, "write");
  }
  return real(addr, length, prot, flags, fd, offset);
}

}  // namespace
}  // namespace velmora_io::linux_intercept

namespace li = velmora_io::linux_intercept;

VELMORA_EXPORT void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) noexcept {
  return li::mapping_call<li::mmap>(addr, length, prot, flags, fd, offset);
}

VELMORA_EXPORT void* mmap64(void* addr, size_t length, int prot, int flags, int fd, off64_t offset) noexcept {
  return li::mapping_call<li::mmap64>(addr, length, prot, flags, fd, offset);
}
