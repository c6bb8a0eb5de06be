// The summary and the file lists as JSON values, written where the caller's
// document has room for them: a line of jsonl output, members of the Chrome
// trace object, the HTML report's data.
#pragma once

#include <cstddef>
#include <cstdint>

#include "json_writer.h"
#include "process_names.h"
#include "summary.h"

namespace velmora::trace {

// {"events":N,"resources":[...],"queries":[...],"processes":[...]}; every
// resource and query is listed, unless `limit` caps them (the rest are counted
// in "resources_more" and "queries_more"). With `processes`, each process row
// names its program.
void write_summary_json(JsonWriter& json, const Summary& summary, const ProcessRegistry* processes,
                        std::size_t limit = SIZE_MAX);

// {"read":[{"path","events"}],"written":[...],...,"renamed":[{"from","to","events"}],
// "sockets":[{"name","events"}],...,"sql":[{"text","events"}]}: every section of
// FILE_SECTIONS, each list capped at `limit` with the rest counted in "<list>_more";
// when the summary kept them, "processes":[{"pid","program","files":{...}}] too.
void write_files_json(JsonWriter& json, const Summary& summary, const ProcessRegistry* processes,
                      std::size_t limit = SIZE_MAX);

}  // namespace velmora::trace
