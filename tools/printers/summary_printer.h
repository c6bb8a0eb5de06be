// The summary's tables and the file lists at the end of the stream: text, or one
// JSON object per line for jsonl ({"summary":{...}}, {"files":{...}}).
#pragma once

#include "printer.h"

namespace velmora::trace {

class SummaryPrinter : public Printer {
 public:
  enum class What { summary, files };
  // `width`: terminal columns to fit the text to, 0 for names whole.
  SummaryPrinter(What what, bool json, std::size_t width, OutputSink& out)
      : what_(what), json_(json), width_(width), out_(out) {}
  std::string finish(const Model& model) override;
  bool needs_summary() const override { return true; }

 private:
  What what_;
  bool json_;
  std::size_t width_;
  OutputSink& out_;
};

}  // namespace velmora::trace
