#include "summary_printer.h"

#include "summary_json.h"
#include "summary_text.h"

namespace velmora::trace {

std::string SummaryPrinter::finish(const Model& model) {
  std::string& out = out_.buffer();
  if (!json_) {
    out += what_ == What::summary ? summary_text(model.summary, width_, &model.processes) : files_text(model.summary, &model.processes);
    return {};
  }
  JsonWriter json(out);
  json.begin_object();
  if (what_ == What::summary) write_summary_json(json.key("summary"), model.summary, &model.processes);
  else write_files_json(json.key("files"), model.summary, &model.processes);
  json.end_object();
  out += '\n';
  return {};
}

}  // namespace velmora::trace
