// The link stage of identification: a descriptor named by the target of its
// /proc/self/fd link, as "file:" followed by the target (lossy UTF-8).
#pragma once

#include <cstdint>
#include <string_view>

#include "owned_text.h"

namespace velmora_io {

inline constexpr std::string_view FILE_PREFIX = "file:";

// Whether a raw link target names a file we report: absolute and not marked
// "(deleted)". Pipes, sockets and anonymous objects have targets like "pipe:[4711]".
bool link_target_is_file(std::string_view target) noexcept;

// "file:" + the target converted to UTF-8, into *name; false when no room could be had.
bool file_name_from_link(std::string_view target, TextCopy* name) noexcept;

// Reads /proc/self/fd/<fd> whole and names it into *name; false when it is not a
// nameable file. Targets that are not files are rejected before any room is taken.
bool link_stage(int32_t fd, TextCopy* name) noexcept;

}  // namespace velmora_io
