#include "outgoing_sql.h"

#include <string_view>

#include "../fd_map.h"
#include "../identify.h"
#include "../owned_text.h"
#include "../reentrancy.h"
#include "../reportable.h"
#include "../sink.h"
#include "../sql_extract.h"
#include "data_call.h"

namespace velmora_io::linux_intercept {
namespace {

// A message spread over buffers is copied to one place to be read: on the stack when
// small (signal handlers may write on small stacks), else in private pages (never the
// heap), up to this size. A larger spread query is reported as a plain write.
constexpr std::size_t MAX_GATHER = std::size_t{1} << 20;

bool report_query(int fd, const iovec* iov, std::size_t count) noexcept {
  const std::size_t size = sql_extract::first_message_size(iov, count);
  if (size == 0 || size > MAX_GATHER) return false;
  TextCopy room;
  char* buffer = room.reserve(size);
  if (buffer == nullptr) return false;
  std::optional<std::string_view> message = sql_extract::gather_first_message(iov, count, buffer, size);
  if (!message) return false;
  const std::optional<std::string_view> query = sql_extract::extract_pg_query(message->data(), message->size());
  if (!query) return false;
  log_event("sql_write", *query, fd);
  return true;
}

}  // namespace

void observe_outgoing(int fd, const iovec* iov, std::size_t count, bool data_test) noexcept {
  if (data_test && !is_reportable(fd)) {
    observe_data_above_2(fd, "write");  // whatever read and write do with such a descriptor
    return;
  }
  if (!IN_HOOK) {
    ensure_fd_mapped(fd);
    TextCopy name;
    if (table_copy_name(fd, &name) == Lookup::FOUND && name.view().starts_with("socket:") &&
        report_query(fd, iov, count)) {
      return;
    }
  }
  observe_io(fd, "write");
}

}  // namespace velmora_io::linux_intercept
