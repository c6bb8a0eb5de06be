// The summary and the file lists as text tables.
#pragma once

#include <cstddef>
#include <string>

#include "process_names.h"
#include "summary.h"

namespace velmora::trace {

// The three tables (resources, queries, processes). With a `width`, they fit
// it: long names are shortened in the middle, keeping a path's file name. With 0
// (output that is not a terminal) names are shown whole. With `processes`, the
// process table names each program.
std::string summary_text(const Summary& summary, std::size_t width = 80,
                         const ProcessRegistry* processes = nullptr);

// The --files view: each section of FILE_SECTIONS with each name once and its event
// count (the four both libraries fill always, the others when not empty); then, when
// the summary kept them, the same per process, named by `processes`.
std::string files_text(const Summary& summary, const ProcessRegistry* processes = nullptr);

}  // namespace velmora::trace
