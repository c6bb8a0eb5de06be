// fseek, fseeko, fseeko64, rewind, fsetpos and fsetpos64 (wide library): a seek flushes
// pending output ("write") and, on a stream that reads, the C library refills the buffer
// at once from the block holding the new position unless that position is still inside
// the buffer or starts a block ("read"); judged before the call (stdio_buffer.h).
#include <cstdio>

#include "errno_saver.h"
#include "export.h"
#include "stdio_buffer.h"
#include "data_call.h"
#include "slots.h"

namespace velmora_io::linux_intercept {
namespace {

void observe_seek(FILE* fp, long long offset, int whence) noexcept {
  const int fd = fp != nullptr ? stdio_descriptor(fp) : -1;
  if (!may_observe(fd)) return;
  ErrnoSaver caller_errno;  // the judgement may look at the descriptor (fstat)
  const Transfer t = seek_transfer(fp, offset, whence);
  if (t.write) observe_data_above_2(fd, "write");
  if (t.read) observe_data_above_2(fd, "read");
}

template <typename Slot, typename... Args>
int seek_call(long long offset, int whence, FILE* fp, Args... args) noexcept {
  auto* real = Slot::get();
  if (real == nullptr) return real_function_missing<int>();
  observe_seek(fp, offset, whence);
  return real(fp, args...);
}

}  // namespace
}  // namespace velmora_io::linux_intercept

namespace li = velmora_io::linux_intercept;

VELMORA_EXPORT int fseek(FILE* fp, long offset, int whence) {
  return li::seek_call<li::fseek>(offset, whence, fp, offset, whence);
}
VELMORA_EXPORT int fseeko(FILE* fp, off_t offset, int whence) {
  return li::seek_call<li::fseeko>(offset, whence, fp, offset, whence);
}
VELMORA_EXPORT int fseeko64(FILE* fp, off64_t offset, int whence) {
  return li::seek_call<li::fseeko64>(offset, whence, fp, offset, whence);
}
// fpos_t holds the position first (__pos); the stream's conversion state follows.
VELMORA_EXPORT int fsetpos(FILE* fp, const fpos_t* pos) {
  return li::seek_call<li::fsetpos>(pos != nullptr ? pos->__pos : 0, SEEK_SET, fp, pos);
}
VELMORA_EXPORT int fsetpos64(FILE* fp, const fpos64_t* pos) {
  return li::seek_call<li::fsetpos64>(pos != nullptr ? pos->__pos : 0, SEEK_SET, fp, pos);
}
VELMORA_EXPORT void rewind(FILE* fp) {
  auto* real = li::rewind::get();
  if (real == nullptr) return;
  li::observe_seek(fp, 0, SEEK_SET);
  real(fp);
}
