// What the stdio wrappers (stdio_io.cc) offer the stream lifecycle wrappers.
#pragma once

#include <cstdio>

namespace velmora_io::linux_intercept {

// A "write" on the stream's descriptor if output is still buffered: fclose flushes it
// before it closes the descriptor. Keeps errno.
void report_pending_output(FILE* stream) noexcept;

}  // namespace velmora_io::linux_intercept
