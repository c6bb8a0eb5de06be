#include "outgoing_sql.h"

#include <string_view>

#include "errno_saver.h"
#include "identify.h"
#include "owned_text.h"
#include "reentrancy.h"
#include "sink.h"
#include "sql_extract.h"
#include "data_call.h"
#include "query_assembly.h"

namespace velmora_io::linux_intercept {
namespace {

// A message spread over buffers is copied to one place to be read: on the stack when
// small (signal handlers may write on small stacks), else in private pages (never the
// heap), up to this size. A larger spread query is reported as a plain write.
constexpr std::size_t MAX_GATHER = std::size_t{1} << 20;

// The first message must lie within the `sent` bytes the kernel took: its five header
// bytes are read only when at least six were sent (the shortest whole message).
bool report_query(int fd, SentBytes bytes, std::size_t sent) noexcept {
  if (bytes.iov == nullptr || bytes.count > 1024 || sent < 6) return false;
  const std::size_t size = sql_extract::first_message_size(bytes.iov, bytes.count);
  if (size == 0 || size > sent || size > MAX_GATHER) return false;
  TextCopy room;
  char* buffer = room.reserve(size);
  if (buffer == nullptr) return false;
  std::optional<std::string_view> message = sql_extract::gather_first_message(bytes.iov, bytes.count, buffer, size);
  if (!message) return false;
  const std::optional<std::string_view> query = sql_extract::extract_pg_query(message->data(), message->size());
  if (!query) return false;
  log_event("sql_write", *query, fd);
  return true;
}

}  // namespace

void report_sent(int fd, ssize_t sent, SentBytes bytes) noexcept {
  if (IN_HOOK) return;
  ErrnoSaver caller_errno;
  if (sent > 0) {
    if constexpr (WIDE_LIBRARY) {
      if (report_piece(fd, bytes, static_cast<std::size_t>(sent))) return;
    }
    if (report_query(fd, bytes, static_cast<std::size_t>(sent))) return;
  }
  report_io(fd, "write");
}

bool defer_if_socket(int fd, bool data_test) noexcept {
  if (data_test && !is_reportable(fd)) {
    observe_data_above_2(fd, "write");  // whatever read and write do with such a descriptor
    return false;
  }
  return observe_io_unless_socket(fd, "write");
}

}  // namespace velmora_io::linux_intercept
