#include "warnings.h"

#include <algorithm>

#include "display_text.h"
#include "messages.h"

namespace velmora::trace {
namespace {

// Processes named one by one in a warning before the rest are counted.
constexpr std::size_t NAMED_IN_WARNING = 5;

// A pid with "(PROGRAM)" when it is known.
std::string who_text(std::int32_t pid, const ProcessRegistry& processes) {
  std::string text = "pid " + std::to_string(pid);
  if (const ProcessInfo* info = processes.find(pid); info != nullptr && !info->gone) {
    text += " (" + shorten_middle(to_display(program_label(*info)), 60) + ")";
  }
  return text;
}

void say_log_fallbacks(const RunFacts& facts) {
  std::vector<std::int32_t> switched;
  for (const auto& [pid, info] : facts.processes->all()) {
    if (info.via_log) switched.push_back(pid);
  }
  std::sort(switched.begin(), switched.end());
  const std::string fd = std::to_string(facts.pipe_number);
  for (std::size_t i = 0; i < switched.size() && i < NAMED_IN_WARNING; ++i) {
    say("warning: " + who_text(switched[i], *facts.processes) + " lost the event pipe (descriptor " + fd +
        ") and reported through the log file: each event cost it an open and a close, and its lines were "
        "timed when the file was read; to keep it on the pipe, leave descriptor " + fd +
        " open in it (Python: subprocess pass_fds=[" + fd + "])");
  }
  if (switched.size() > NAMED_IN_WARNING) {
    say("warning: " + std::to_string(switched.size() - NAMED_IN_WARNING) +
        " more processes reported through the log file");
  }
}

}  // namespace

void say_warnings(const RunFacts& facts) {
  for (const std::string& w : *facts.program_warnings) say("warning: " + w);
  if (facts.accepted == 0 && facts.program_warnings->empty()) {
    say("warning: no event arrived from pid " + std::to_string(facts.program_pid) + " (" +
        to_display(facts.program) +
        ") or anything it started: it touched no file or socket through the calls the library sees "
        "(stdio, copy_file_range, sendfile and mmap are not seen; nor are statically linked programs)");
  }
  if (facts.rejected != 0) {
    say("warning: " + std::to_string(facts.rejected) + " malformed event line" + (facts.rejected == 1 ? "" : "s") +
        " ignored (lines torn by many writers, or not from the library); the counts may be short");
  }
  say_log_fallbacks(facts);
}

}  // namespace velmora::trace
