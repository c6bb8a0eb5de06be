#include "junit_report.h"

#include "display_text.h"

namespace velmora::trace {
namespace {

// Text for an attribute or element: shown as the tool shows details (control bytes and
// bytes that are not UTF-8 as escapes), then markup's characters escaped.
std::string xml_text(const std::string& bytes) { return escape_markup(to_display(bytes)); }

}  // namespace

std::string junit_report(const Forbidden& forbidden, const std::string& command) {
  const std::string count = std::to_string(forbidden.touched().size());
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuite name=\"velmora-trace --forbid\" tests=\"" +
                    count + "\" failures=\"" + count + "\" errors=\"0\">\n";
  for (const auto& [resource, touch] : forbidden.touched()) {
    const std::string what = std::string(kind_name(touch.kind)) + " " + resource + " by pid " +
                             std::to_string(touch.pid) + " (" + touch.program + "), matching '" + touch.pattern + "'";
    xml += "  <testcase classname=\"" + xml_text(command) + "\" name=\"" + xml_text(resource) + "\">\n";
    xml += "    <failure message=\"" + xml_text(what) + "\">" + xml_text(what) + "; " +
           std::to_string(touch.events) + (touch.events == 1 ? " event" : " events") + "</failure>\n  </testcase>\n";
  }
  return xml + "</testsuite>\n";
}

}  // namespace velmora::trace
