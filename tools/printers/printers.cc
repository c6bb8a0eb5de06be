#include "chrome_printer.h"
#include "html_printer.h"
#include "line_printer.h"
#include "summary_printer.h"

namespace velmora::trace {

std::vector<std::unique_ptr<Printer>> make_printers(PrintChoice choice, OutputSink& out) {
  std::vector<std::unique_ptr<Printer>> printers;
  if (choice.discarded) {
    // Lines, tables and documents nobody reads are not made; the HTML report has a file.
  } else if (choice.format == Format::chrome) {
    // One document: the summary and the file lists are members of the trace object.
    printers.push_back(std::make_unique<ChromePrinter>(out, choice.stream, choice.summary, choice.files));
  } else {
    if (choice.stream) printers.push_back(std::make_unique<LinePrinter>(choice.format, choice.queries, out));
    const bool json = choice.format == Format::jsonl;
    using What = SummaryPrinter::What;
    if (choice.summary) printers.push_back(std::make_unique<SummaryPrinter>(What::summary, json, choice.width, out));
    if (choice.files) printers.push_back(std::make_unique<SummaryPrinter>(What::files, json, choice.width, out));
  }
  if (choice.html.valid()) {
    printers.push_back(std::make_unique<HtmlPrinter>(std::move(choice.html), std::move(choice.html_path)));
  }
  return printers;
}

}  // namespace velmora::trace
