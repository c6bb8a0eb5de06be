// Opens that succeeded or found nothing (wide library), shared by the descriptor and the
// stream calls: "open_read", "open_write" or "open_read_write" under the new
// descriptor, named as its first read would name it (its /proc/self/fd link) and kept in
// the table, so its close is reported even with no I/O between and an unlinked file
// keeps its name; "create" before it when the call proves the file is new; "missing"
// (fd -1) for a path that does not exist. When the path the program gave, made absolute
// and folded, is not that name (a symbolic link on the way), a "query" of it (fd -1)
// comes first, so that both show.
#pragma once

namespace velmora_io::linux_intercept {

struct OpenIntent {
  int flags = 0;
  bool absent_before = false;  // the cheap check found no file at the path
};

// Before the real call: one raw existence check when the flags may create a file
// without proving it (O_CREAT without O_EXCL). Keeps errno.
OpenIntent before_open(int dir_fd, const char* path, int flags) noexcept;

// After it: `fd` is the new descriptor or -1 with the call's errno, which is kept.
void after_open(int fd, int dir_fd, const char* path, const OpenIntent& intent) noexcept;

// The open flags a stdio mode ("r", "w+", "ax", ...) stands for.
int stream_open_flags(const char* mode) noexcept;

}  // namespace velmora_io::linux_intercept
