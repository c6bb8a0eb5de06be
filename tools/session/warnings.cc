#include "warnings.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "display_text.h"
#include "messages.h"

namespace velmora::trace {
namespace {

// Processes named in the note; the rest are counted.
constexpr std::size_t NAMED_IN_NOTE = 3;
// Lines through the log file are never lost on the way (a straggler's lines after
// the end are, and the grace period says so); what it costs is time: an open and a
// close per event on top of the pipe's write, 2.2 µs on a quiet machine (the
// bench: 3 084 against 867 ns per call). Below about 10 ms in all that is lost in
// a run's own noise, and a note about it would be noise too.
constexpr std::uint64_t LOG_EVENTS_WORTH_A_NOTE = 4500;
constexpr double LOG_COST_SECONDS = 2.2e-6;

// One note when processes that lost the event pipe were slowed measurably by the log file.
void note_log_fallbacks(const RunFacts& facts) {
  std::vector<std::pair<std::uint64_t, std::int32_t>> switched;  // events, pid
  std::uint64_t events = 0;
  for (const auto& [pid, info] : facts.processes->all()) {
    if (info.log_events != 0) switched.emplace_back(info.log_events, pid);
    events += info.log_events;
  }
  if (events < LOG_EVENTS_WORTH_A_NOTE) return;
  std::sort(switched.rbegin(), switched.rend());  // the most events first
  std::string who;
  for (std::size_t i = 0; i < switched.size() && i < NAMED_IN_NOTE; ++i) {
    const ProcessInfo& info = *facts.processes->find(switched[i].second);
    who += (i == 0 ? "" : ", ") + shorten_middle(to_display(program_short_label(info)), 40) + " (pid " +
           std::to_string(switched[i].second) + ")";
  }
  if (switched.size() > NAMED_IN_NOTE) who += " and " + std::to_string(switched.size() - NAMED_IN_NOTE) + " more";
  const std::string fd = std::to_string(facts.pipe_number);
  char cost[32];
  std::snprintf(cost, sizeof cost, "%.0f ms", static_cast<double>(events) * LOG_COST_SECONDS * 1e3);
  say("note: " + who + " lost the event pipe and reported " + std::to_string(events) +
      " events through the log file, an open and a close each (about " + cost + " slower in all); to keep a " +
      "process on the pipe, leave descriptor " + fd + " open in it (Python: subprocess pass_fds=[" + fd + "])");
}

}  // namespace

void say_warnings(const RunFacts& facts) {
  for (const std::string& w : *facts.program_warnings) say("warning: " + w);
  if (facts.accepted == 0 && facts.program_warnings->empty()) {
    say("warning: no event arrived from pid " + std::to_string(facts.program_pid) + " (" +
        to_display(facts.program) +
        ") or anything it started: it touched no file or socket through the calls the library sees " +
        (facts.wide_library
             ? "(system calls made without the C library, and statically linked programs, are not seen)"
             : "(the narrow library sees only read, write, send, recv, connect and close with their variants; "
               "the default one also sees open, stdio, mmap, sendfile and copy_file_range)"));
  }
  if (facts.rejected != 0) {
    say("warning: " + std::to_string(facts.rejected) + " malformed event line" + (facts.rejected == 1 ? "" : "s") +
        " ignored (lines torn by many writers, or not from the library); the counts may be short");
  }
  for (const RingLoss& loss : facts.ring_losses) {
    std::string what = "warning: pid " + std::to_string(loss.pid) + " lost ";
    if (loss.dropped != 0) what += std::to_string(loss.dropped) + " events (its ring stayed full)";
    if (loss.dropped != 0 && loss.torn != 0) what += " and ";
    if (loss.torn != 0) what += std::to_string(loss.torn) + " ring slots of unfinished records";
    say(what + "; the counts are short");
  }
  note_log_fallbacks(facts);
}

}  // namespace velmora::trace
