// The one interface of everything the tool prints: the event stream in each
// format, the summary, the file lists, the HTML report. Printers read the model;
// the session only hands them events and, at the end, the model.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "event_parse.h"
#include "model.h"
#include "output_sink.h"
#include "unique_fd.h"

namespace velmora::trace {

enum class Format { text, jsonl, raw, chrome };

class Printer {
 public:
  virtual ~Printer() = default;
  // An event the filter kept, made (ring) or received (pipe, log file) `seconds` after
  // the start; `who` is its process.
  virtual void event(const Event&, double /*seconds*/, const ProcessInfo& /*who*/) {}
  // Once, after the last event. Returns an empty string, or a one-line problem.
  virtual std::string finish(const Model& model) = 0;
  // What the session must collect for it: the summary's counts, each thread's name.
  virtual bool needs_summary() const { return false; }
  virtual bool needs_threads() const { return false; }
};

// What the user asked to see.
struct PrintChoice {
  Format format = Format::text;
  bool stream = true;      // events as they arrive
  bool summary = false;    // the tables at the end
  bool files = false;      // what was touched (files, programs, sockets, SQL texts) at the end
  bool per_process = false;  // with files: also what each process touched
  bool queries = false;    // text stream: show "query" lines (hidden by default: many and dull)
  std::size_t width = 0;   // terminal columns to fit the tables to; 0: names whole
  UniqueFd html;           // --html's file, opened before the program started; none: no report
  std::string html_path;   // for messages
  bool discarded = false;  // the output is the null device: nothing for it is made
};

// The printers for `choice`, in the order their output appears; all but the HTML
// report write to `out`.
std::vector<std::unique_ptr<Printer>> make_printers(PrintChoice choice, OutputSink& out);

}  // namespace velmora::trace
