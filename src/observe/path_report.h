// Events that name a path a call was given rather than a descriptor (wide library):
// a lookup that found nothing, a query, a delete, a rename, a directory made.
//
// The path is made absolute against the working directory or the directory descriptor
// and folded lexically ("." and ".." and repeated slashes; no link is followed), so a
// probe of a name that does not exist can be named at all. The caller's text is read
// only after the real call accepted the pointer. Names are built on the stack, or in
// private pages when long: never on the heap.
#pragma once

#include <cstdint>
#include <string_view>

#include "owned_text.h"

namespace velmora_io::linux_intercept {

// "file:" and the absolute, folded path into *out; false for an empty path or when no
// room could be had. `pid` is the caller's (current_pid), 0 to have it found when needed.
bool absolute_file_name(int dir_fd, const char* path, TextCopy* out, int32_t pid = 0) noexcept;

// Whether an absolute path is already what folding would make of it: no empty, "." or
// ".." component, no slash at the end; looked for from byte `from` on.
bool folds_to_itself(std::string_view path, std::size_t from = 0) noexcept;

// One event of `kind` naming the path (fd -1 unless given), as a guarded step; keeps
// errno. Written from a vfork child too, under its own pid.
void report_path(std::string_view kind, int dir_fd, const char* path, int fd = -1) noexcept;

// Whether an error means the path, or a folder on it, does not exist.
constexpr bool means_missing(int err) noexcept { return err == 2 /* ENOENT */ || err == 20 /* ENOTDIR */; }

// After a failed lookup whose errno is `err`: "missing" when it means absence.
inline void report_if_missing(int err, int dir_fd, const char* path) noexcept {
  if (means_missing(err)) report_path("missing", dir_fd, path);
}

// The outcome of a path call that succeeds (result 0 or more) or fails with errno: the
// event on success, "missing" on absence. errno is the caller's afterwards.
void report_outcome(long result, std::string_view kind, int dir_fd, const char* path) noexcept;

}  // namespace velmora_io::linux_intercept
