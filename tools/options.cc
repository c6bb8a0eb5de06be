#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace velmora::trace {
namespace {

bool parse_seconds(const std::string& text, double& out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(v) || v < 0) return false;
  // poll() takes milliseconds in an int; a day is plenty for "forever".
  out = v > 86400 ? 86400 : v;
  return true;
}

}  // namespace

std::string usage_text() {
  return
      "Usage: velmora-trace [OPTIONS] [--] COMMAND [ARGS...]\n"
      "Run COMMAND, and everything it starts, with the wide library\n"
      "(libvelmora_io_wide.so) preloaded and show the file, socket and SQL activity\n"
      "it reports.\n"
      "\n"
      "Options:\n"
      "  --lib PATH          library to preload (default: $VELMORA_IO_LIB, then\n"
      "                      the library beside this program or in ../lib)\n"
      "      --narrow        preload libvelmora_io.so, which sees only read, readv,\n"
      "                      write, writev, the socket calls, connect, close, dup2\n"
      "                      and dup3, instead of the wide library\n"
      "  -o, --output FILE   write events and summary to FILE (default: stderr)\n"
      "  -f, --format FMT    text (default), jsonl or raw\n"
      "  -c, --summary       also print a summary table at exit\n"
      "      --summary-only  print only the summary table\n"
      "      --kind LIST     keep only these kinds: read,write,close,connect,sql_write\n"
      "                      (query is another name for sql_write)\n"
      "      --only LIST     keep only these classes: file,socket,sql\n"
      "      --match TEXT    keep only events whose detail contains TEXT\n"
      "      --wait SECONDS  after COMMAND exits, wait at most this long for\n"
      "                      processes it left behind to finish reporting (default 2)\n"
      "  -h, --help          show this help\n"
      "\n"
      "Formats:\n"
      "  text   '<t> <pid>/<tid> <kind> fd=<fd> <detail>'; control bytes, backslash\n"
      "         and malformed UTF-8 in the detail are shown as \\t \\n \\r \\\\ \\xNN\n"
      "  jsonl  one object per line: t, pid, tid, kind, fd, detail. Bytes that are\n"
      "         not valid UTF-8 become U+FFFD in detail; the exact bytes are then\n"
      "         added as detail_base64\n"
      "  raw    the lines exactly as the library wrote them\n"
      "\n"
      "Exit status: that of COMMAND; 128+N if a signal N ended it; 127 if COMMAND\n"
      "was not found, 126 if it could not be run; 2 for usage or setup errors.\n";
}

ParseOutcome parse_options(int argc, char** argv, Options& out) {
  ParseOutcome outcome;
  const auto fail = [&](std::string message) {
    outcome.status = ParseOutcome::error;
    outcome.message = std::move(message);
    return outcome;
  };

  int i = 1;
  while (i < argc) {
    const std::string_view arg = argv[i];
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg.size() < 2 || arg[0] != '-') break;  // the command starts here

    // Split "--name=value"; short options take their value from the next word.
    std::string_view name = arg;
    std::optional<std::string> inline_value;
    if (arg.starts_with("--")) {
      const std::size_t eq = arg.find('=');
      if (eq != std::string_view::npos) {
        name = arg.substr(0, eq);
        inline_value = std::string(arg.substr(eq + 1));
      }
    }
    const auto value = [&](std::string& dest) -> bool {
      if (inline_value) {
        dest = *inline_value;
        return true;
      }
      if (i + 1 >= argc) return false;
      dest = argv[++i];
      return true;
    };
    const auto flag = [&]() { return !inline_value.has_value(); };

    std::string v;
    if (name == "-h" || name == "--help") {
      if (!flag()) return fail("option '--help' takes no value");
      outcome.status = ParseOutcome::help;
      return outcome;
    } else if (name == "--lib") {
      if (!value(out.lib) || out.lib.empty()) return fail("option '--lib' needs a path");
    } else if (name == "--narrow") {
      if (!flag()) return fail("option '--narrow' takes no value");
      out.narrow = true;
    } else if (name == "-o" || name == "--output") {
      if (!value(out.output) || out.output.empty()) return fail("option '-o' needs a file name");
    } else if (name == "-f" || name == "--format") {
      if (!value(v)) return fail("option '--format' needs text, jsonl or raw");
      if (v == "text") out.format = Format::text;
      else if (v == "jsonl" || v == "json") out.format = Format::jsonl;
      else if (v == "raw") out.format = Format::raw;
      else return fail("unknown format '" + v + "' (use text, jsonl or raw)");
    } else if (name == "-c" || name == "--summary") {
      if (!flag()) return fail("option '--summary' takes no value");
      out.summary = true;
    } else if (name == "--summary-only") {
      if (!flag()) return fail("option '--summary-only' takes no value");
      out.summary = true;
      out.stream = false;
    } else if (name == "--kind") {
      std::string why;
      if (!value(v)) return fail("option '--kind' needs a list of kinds");
      if (!out.filter.set_kinds(v, why)) return fail("--kind: " + why);
    } else if (name == "--only") {
      std::string why;
      if (!value(v)) return fail("option '--only' needs file, socket or sql");
      if (!out.filter.set_only(v, why)) return fail("--only: " + why);
    } else if (name == "--match") {
      if (!value(out.filter.match)) return fail("option '--match' needs a text");
    } else if (name == "--wait") {
      if (!value(v) || !parse_seconds(v, out.wait_seconds)) {
        return fail("option '--wait' needs a number of seconds >= 0");
      }
    } else {
      return fail("unknown option '" + std::string(arg) + "'");
    }
    ++i;
  }
  if (i >= argc) return fail("no command given");
  out.command.assign(argv + i, argv + argc);
  return outcome;
}

}  // namespace velmora::trace
