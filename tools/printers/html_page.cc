// The page of the --html report: style and script inline, nothing fetched.
// The script (report.js, embedded at build time) builds everything from the JSON in #data, always through
// textContent, so that no byte of a detail is ever taken as markup.
#include "html_printer.h"
#include "report_script.h"  // generated from report.js

namespace velmora::trace {
namespace {

constexpr const char* HEAD = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>)PAGE";

constexpr const char* STYLE = R"PAGE(</title>
<style>
body { font: 13px/1.4 system-ui, sans-serif; margin: 16px; color: #222; background: #fff; }
h1 { font-size: 16px; margin: 0 0 4px; font-family: monospace; word-break: break-all; }
h2 { font-size: 14px; margin: 20px 0 6px; }
#caption { color: #555; margin: 0 0 8px; }
#legend span { display: inline-block; margin-right: 14px; }
#legend i { display: inline-block; width: 10px; height: 10px; margin-right: 4px; vertical-align: -1px; }
#timeline { display: flex; border: 1px solid #ccc; overflow-x: auto; }
#plot { flex: none; }
#axis { position: relative; height: 18px; border-bottom: 1px solid #ccc; font-size: 11px; color: #555; }
#axis .tick { position: absolute; top: 2px; padding-left: 2px; border-left: 1px solid #999; white-space: nowrap; }
#labels div.axis { color: #555; border-bottom: 1px solid #ccc; height: 18px; }
#labels { flex: none; font-family: monospace; font-size: 11px; border-right: 1px solid #ccc; }
#labels div { height: 18px; line-height: 18px; padding: 0 6px; white-space: nowrap; overflow: hidden;
  text-overflow: ellipsis; max-width: 360px; }
#labels div.proc { background: #f3f3f3; font-weight: bold; }
#marks { display: block; cursor: crosshair; }
#tip { position: fixed; pointer-events: none; background: #ffffe8; border: 1px solid #aaa; padding: 4px 6px;
  font-family: monospace; font-size: 11px; max-width: 600px; white-space: pre-wrap; word-break: break-all;
  display: none; z-index: 2; }
#picked { font-family: monospace; font-size: 12px; white-space: pre-wrap; word-break: break-all; min-height: 1.4em;
  margin-top: 6px; color: #333; }
table { border-collapse: collapse; font-size: 12px; }
th, td { border-bottom: 1px solid #e4e4e4; padding: 2px 8px; text-align: right; vertical-align: top; }
th { background: #f3f3f3; position: sticky; top: 0; }
th:first-child, th.name { text-align: left; }
td.name { text-align: left; font-family: monospace; word-break: break-all; max-width: 900px; white-space: pre-wrap; }
p.more { color: #777; margin: 4px 0; }
</style>
</head>
<body>
<h1 id="title"></h1>
<p id="caption"></p>
<div id="legend"></div>
<div id="timeline"><div id="labels"></div><div id="plot"><div id="axis"></div><canvas id="marks" width="800" height="40"></canvas></div></div>
<div id="picked">Hover over a mark to see its event; click to keep it here.</div>
<div id="tip"></div>
<h2>Resources</h2><div id="resources"></div>
<h2>SQL texts, most frequent first</h2><div id="queries"></div>
<h2>Processes</h2><div id="processes"></div>
<h2>Files read and written, sockets</h2><div id="files"></div>
<script type="application/json" id="data">)PAGE";

constexpr const char* TAIL = R"PAGE(</script>
</body>
</html>
)PAGE";

}  // namespace

std::string html_page(const std::string& title, const std::string& data_json) {
  std::string page = HEAD;
  page += escape_markup(title);
  page += STYLE;
  page += data_json;
  page += "</script>\n<script>\n";
  page += REPORT_SCRIPT;
  page += TAIL;
  return page;
}

}  // namespace velmora::trace
