#include "options.h"

#include <getopt.h>

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

// Values for the long-only options.
enum : int {
  kLib = 1000,
  kNarrow,
  kSummaryOnly,
  kFiles,
  kKind,
  kOnly,
  kMatch,
  kExclude,
  kWait,
  kHtml,
  kPerProcess,
  kQueries,
  kUnder,
  kPid,
  kProgram,
  kNoRing,
  kForbid,
  kAllow,
  kJunit,
};

// '+': stop at the first word that is not an option, so that the command's
// own options are left alone; ':' first: report a missing value as ':'.
constexpr const char* kShort = "+:ho:f:c";
constexpr option kLong[] = {
    {"help", no_argument, nullptr, 'h'},
    {"lib", required_argument, nullptr, kLib},
    {"narrow", no_argument, nullptr, kNarrow},
    {"output", required_argument, nullptr, 'o'},
    {"format", required_argument, nullptr, 'f'},
    {"summary", no_argument, nullptr, 'c'},
    {"summary-only", no_argument, nullptr, kSummaryOnly},
    {"files", no_argument, nullptr, kFiles},
    {"kind", required_argument, nullptr, kKind},
    {"only", required_argument, nullptr, kOnly},
    {"match", required_argument, nullptr, kMatch},
    {"exclude", required_argument, nullptr, kExclude},
    {"wait", required_argument, nullptr, kWait},
    {"html", required_argument, nullptr, kHtml},
    {"per-process", no_argument, nullptr, kPerProcess},
    {"queries", no_argument, nullptr, kQueries},
    {"under", required_argument, nullptr, kUnder},
    {"pid", required_argument, nullptr, kPid},
    {"program", required_argument, nullptr, kProgram},
    {"no-ring", no_argument, nullptr, kNoRing},
    {"forbid", required_argument, nullptr, kForbid},
    {"allow", required_argument, nullptr, kAllow},
    {"report-junit", required_argument, nullptr, kJunit},
    {nullptr, 0, nullptr, 0},
};

// The name of the option getopt_long stopped at, for messages.
std::string option_word(int argc, char** argv, int index) {
  if (index <= 0 || index > argc) return "?";
  std::string_view word = argv[index - 1];
  if (const std::size_t eq = word.find('='); word.starts_with("--") && eq != std::string_view::npos) {
    word = word.substr(0, eq);
  }
  return std::string(word);
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
      "  -o, --output FILE   write events and summary to FILE (default: stderr);\n"
      "                      to /dev/null, none are made (a guard's run)\n"
      "  -f, --format FMT    text (default), jsonl, raw or chrome (needs -o)\n"
      "  -c, --summary       also print a summary table at exit\n"
      "      --summary-only  print only the summary table\n"
      "      --files         print only what was touched, each name once with its\n"
      "                      event count, at exit: files read, written, created,\n"
      "                      deleted, renamed (from -> to), missing (looked for,\n"
      "                      absent), looked up; directories and links made;\n"
      "                      programs started; sockets used, listening, accepted,\n"
      "                      failed; SQL texts (text, or one JSON object with jsonl)\n"
      "      --per-process   --files, then the same for each process, named by the\n"
      "                      program it last became (what each command read and wrote)\n"
      "      --kind LIST     keep only these kinds: read,write,close,connect,sql_write\n"
      "                      (sql is another name for it) and the wide library's own\n"
      "                      (open_read, missing, query, exec, ...: see docs/library.md)\n"
      "      --queries       text: also show \"query\" lines (metadata and existence\n"
      "                      lookups that found their path; hidden by default, counted)\n"
      "      --under DIR     keep only files and programs under DIR (repeatable)\n"
      "      --pid PID       keep only process PID (repeatable)\n"
      "      --program GLOB  keep only processes whose program (what they last exec'd),\n"
      "                      or its file name, matches GLOB (repeatable)\n"
      "      --only LIST     keep only these classes: file,socket,sql\n"
      "      --match PAT     keep only events whose detail matches PAT (repeatable:\n"
      "                      any of them); see Patterns\n"
      "      --exclude PAT   drop events whose detail matches PAT (repeatable)\n"
      "      --html FILE     also write a self-contained HTML report: a timeline per\n"
      "                      process and thread, the summary, the files\n"
      "      --wait SECONDS  after COMMAND exits, wait at most this long for\n"
      "                      processes it left behind to finish reporting (default 2)\n"
      "      --no-ring       events through the pipe and the log file only, timed when\n"
      "                      read (by default shared memory carries them, with the\n"
      "                      time of each call)\n"
      "      --forbid PAT    a guard for any test runner: report every resource whose\n"
      "                      detail matches PAT (repeatable), once, with the process\n"
      "                      that touched it first; the command is not stopped\n"
      "      --allow PAT     let through what a --forbid would catch (repeatable)\n"
      "      --report-junit FILE  with --forbid: a JUnit XML file, one failed test case\n"
      "                      per forbidden resource\n"
      "  -h, --help          show this help\n"
      "\n"
      "Patterns: with any of * ? [ the pattern is a shell glob that must match the\n"
      "whole detail, or the path or address after 'file:' or 'socket:'\n"
      "('*.pyc', '/tmp/*'); otherwise any detail containing it matches.\n"
      "\n"
      "Formats:\n"
      "  text   '<t> <pid>/<tid> <kind> fd=<fd> <detail>'; control bytes, backslash\n"
      "         and malformed UTF-8 in the detail are shown as \\t \\n \\r \\\\ \\xNN.\n"
      "         The first time a process appears, 'pid N = PROGRAM ARGS' says who it is\n"
      "         (named by its exec line when it exited before it could be looked up);\n"
      "         an exec line shows the program and its arguments the same way\n"
      "  jsonl  one object per line: t, pid, tid, kind, fd, detail. Bytes that are\n"
      "         not valid UTF-8 become U+FFFD in detail; the exact bytes are then\n"
      "         added as detail_base64. A process's first appearance is an object\n"
      "         with kind \"process\", exe and argv (or gone); an exec event also has\n"
      "         program and argv. The summary and --files are one JSON object each\n"
      "  raw    the lines exactly as the library wrote them\n"
      "  chrome the Chrome trace event format (Perfetto, chrome://tracing): an\n"
      "         instant event per line on its process's and thread's track, named\n"
      "         by what it touched (\"read data.txt\"), then each process's life\n"
      "         and the names; with -c and --files their JSON objects are added\n"
      "\n"
      "Times (t, and ts in chrome) are when velmora-trace read the line (seconds,\n"
      "microseconds in chrome, since the start),\n"
      "not when the program made the call: lines read in one go share a time.\n"
      "\n"
      "Exit status: that of COMMAND; 128+N if a signal N ended it; 127 if COMMAND\n"
      "was not found, 126 if it could not be run; 2 for usage or setup errors; 3\n"
      "if COMMAND succeeded but touched a resource --forbid names.\n";
}

ParseOutcome parse_options(int argc, char** argv, Options& out) {
  ParseOutcome outcome;
  const auto fail = [&](std::string message) {
    outcome.status = ParseOutcome::error;
    outcome.message = std::move(message);
    return outcome;
  };

  // getopt keeps its position in globals: start afresh, and let it print nothing.
  optind = 0;
  opterr = 0;
  for (;;) {
    int long_index = -1;
    const int c = ::getopt_long(argc, argv, kShort, kLong, &long_index);
    if (c == -1) break;
    const std::string v = optarg != nullptr ? optarg : "";
    std::string why;
    switch (c) {
      case 'h':
        outcome.status = ParseOutcome::help;
        return outcome;
      case kLib:
        if (v.empty()) return fail("option '--lib' needs a path");
        out.lib = v;
        break;
      case kNarrow:
        out.narrow = true;
        break;
      case 'o':
        if (v.empty()) return fail("option '-o' needs a file name");
        out.output = v;
        break;
      case 'f':
        if (v == "text") out.format = Format::text;
        else if (v == "jsonl" || v == "json") out.format = Format::jsonl;
        else if (v == "raw") out.format = Format::raw;
        else if (v == "chrome") out.format = Format::chrome;
        else return fail("unknown format '" + v + "' (use text, jsonl, raw or chrome)");
        break;
      case 'c':
        out.summary = true;
        break;
      case kSummaryOnly:
        out.summary = true;
        out.stream = false;
        break;
      case kFiles:
        out.files = true;
        out.stream = false;
        break;
      case kKind:
        if (!out.filter.set_kinds(v, why)) return fail("--kind: " + why);
        break;
      case kOnly:
        if (!out.filter.set_only(v, why)) return fail("--only: " + why);
        break;
      case kMatch:
        out.filter.match.push_back(v);
        break;
      case kExclude:
        out.filter.exclude.push_back(v);
        break;
      case kPerProcess:
        out.per_process = out.files = true;
        out.stream = false;
        break;
      case kQueries:
        out.queries = true;
        break;
      case kNoRing:
        out.ring = false;
        break;
      case kUnder:
        if (!EventFilter::normalise_under(out.filter.under.emplace_back(v))) return fail("option '--under' needs a directory");
        break;
      case kPid: {
        const auto pid = velmora_io::parse_line_i32(v);
        if (!pid || *pid <= 0) return fail("option '--pid' needs a process id");
        out.filter.pids.push_back(*pid);
        break;
      }
      case kProgram:
        if (v.empty()) return fail("option '--program' needs a pattern");
        out.filter.programs.push_back(v);
        break;
      case kHtml:
        if (v.empty()) return fail("option '--html' needs a file name");
        out.html = v;
        break;
      case kForbid:
      case kAllow:
        if (v.empty()) return fail(std::string("option '--") + (c == kForbid ? "forbid" : "allow") + "' needs a pattern");
        (c == kForbid ? out.forbid : out.allow).push_back(v);
        break;
      case kJunit:
        if (v.empty()) return fail("option '--report-junit' needs a file name");
        out.junit = v;
        break;
      case kWait:
        if (!parse_seconds(v, out.wait_seconds)) return fail("option '--wait' needs a number of seconds >= 0");
        break;
      case ':':
        return fail("option '" + option_word(argc, argv, optind) + "' needs a value");
      default: {
        // '?': unknown, ambiguous, or a value given to a flag ("--summary=yes").
        std::string word = option_word(argc, argv, optind);
        if (!word.starts_with("--") && optopt > 0 && optopt < kLib) word = std::string("-") + static_cast<char>(optopt);
        return fail("unknown option '" + word + "', or it takes no value");
      }
    }
  }
  if (optind >= argc) return fail("no command given");
  if (out.format == Format::chrome && out.output.empty()) return fail("--format chrome needs -o FILE");
  if (!out.junit.empty() && out.forbid.empty()) return fail("--report-junit needs --forbid");
  out.command.assign(argv + optind, argv + argc);
  return outcome;
}

}  // namespace velmora::trace
