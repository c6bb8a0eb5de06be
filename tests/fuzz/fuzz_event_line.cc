// The event line round trip, both ways, through the one codec the library and its
// readers share:
//   1. any kind, detail and numbers: formatted, then parsed back by the codec and by
//      the host's stream parser, must give exactly what went in;
//   2. any bytes taken as a line: if the codec accepts them, formatting what it read
//      must give those bytes again (one spelling per event, so a lenient reader
//      cannot accept a line the library never writes).
// libFuzzer drives it under the sanitizers; the unit tests drive the same entry
// point with seeded random inputs.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "event_line.h"
#include "event_parse.h"

namespace {

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "event line round trip: %s\n", what);
  std::abort();
}

// Exactly `size` bytes on the heap, so that the sanitizers see any write past them.
struct HeapBytes {
  explicit HeapBytes(std::size_t size) : data(static_cast<char*>(std::malloc(size + (size == 0)))) {}
  ~HeapBytes() { std::free(data); }
  char* data;
};

std::string format(std::string_view kind, std::string_view detail, int32_t fd, int32_t pid, int64_t tid) {
  const std::size_t escaped = velmora_io::escaped_size(detail);
  const std::size_t capacity = velmora_io::event_line_capacity(kind.size(), escaped);
  HeapBytes line(capacity);
  const std::size_t n = velmora_io::format_event_line(line.data, kind, detail, escaped, fd, pid, tid);
  check(n > 0 && n <= capacity, "line within its capacity");
  return std::string(line.data, n);
}

std::string unescape(const velmora_io::ParsedLine& parsed) {
  HeapBytes detail(parsed.detail_size);
  const char* end = velmora_io::unescape_detail(parsed.escaped_detail, detail.data);
  check(static_cast<std::size_t>(end - detail.data) == parsed.detail_size, "unescaped size as announced");
  return std::string(detail.data, parsed.detail_size);
}

void formatted_then_parsed(const uint8_t* data, std::size_t size) {
  if (size < 17) return;
  // 17 leading bytes choose the kind and the numbers; the rest is the detail.
  const std::size_t kind = data[0] % velmora_io::EVENT_KIND_COUNT;
  int32_t fd, pid;
  int64_t tid;
  std::memcpy(&fd, data + 1, 4);
  std::memcpy(&pid, data + 5, 4);
  std::memcpy(&tid, data + 9, 8);
  const std::string_view detail(reinterpret_cast<const char*>(data) + 17, size - 17);

  const std::string line = format(velmora_io::EVENT_KINDS[kind], detail, fd, pid, tid);
  check(line.find('\n') == line.size() - 1, "one LF, at the end");

  velmora_io::ParsedLine parsed;
  check(velmora_io::parse_event_line(std::string_view(line).substr(0, line.size() - 1), parsed) ==
            velmora_io::LineError::none,
        "a formatted line parses");
  check(parsed.kind == kind, "kind back");
  check(parsed.fd == fd && parsed.pid == pid && parsed.tid == tid, "numbers back");
  check(unescape(parsed) == detail, "detail back");

  // The host reads a stream, not single lines: split it at an arbitrary point.
  velmora::trace::LineParser stream;
  std::vector<velmora::trace::Event> events;
  const auto keep = [&](const velmora::trace::Event& e) { events.push_back(e); };
  const std::size_t cut = static_cast<std::size_t>(data[1]) % (line.size() + 1);
  stream.feed(std::string_view(line).substr(0, cut), keep);
  stream.feed(std::string_view(line).substr(cut), keep);
  stream.finish();
  check(events.size() == 1 && stream.rejected() == 0, "the host reads one event");
  const velmora::trace::Event& e = events[0];
  check(static_cast<std::size_t>(e.kind) == kind && e.detail == detail && e.fd == fd && e.pid == pid &&
            e.tid == tid,
        "the host's event is what went in");
}

void parsed_then_formatted(const uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  velmora_io::ParsedLine parsed;
  if (velmora_io::parse_event_line(line, parsed) != velmora_io::LineError::none) return;
  const std::string again =
      format(velmora_io::EVENT_KINDS[parsed.kind], unescape(parsed), parsed.fd, parsed.pid, parsed.tid);
  check(again.size() == size + 1 && std::string_view(again).substr(0, size) == line,
        "an accepted line is what the library writes for it");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  formatted_then_parsed(data, size);
  parsed_then_formatted(data, size);
  return 0;
}
