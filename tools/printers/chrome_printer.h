// The Chrome trace event format (JSON object form), which Perfetto and
// chrome://tracing open: one instant event per line received, named by what it
// touched ("read data.txt"), on the track of its process and thread; then for
// every process its name, its lifetime as a bar, and its threads' names; with the
// summary or the file lists asked for, those become members of the same object.
#pragma once

#include "json_writer.h"
#include "printer.h"

namespace velmora::trace {

class ChromePrinter : public Printer {
 public:
  // `stream`: the events themselves, not only what follows them.
  ChromePrinter(OutputSink& out, bool stream, bool summary, bool files);
  void event(const Event& event, double seconds, const ProcessInfo& who) override;
  std::string finish(const Model& model) override;
  bool needs_summary() const override { return summary_ || files_; }
  bool needs_threads() const override { return true; }

 private:
  OutputSink& out_;
  JsonWriter json_;
  bool stream_;
  bool summary_;
  bool files_;
};

}  // namespace velmora::trace
