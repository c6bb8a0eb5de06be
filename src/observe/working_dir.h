// The working directory that relative paths are made absolute against (wide library),
// remembered so that a probe of a relative name costs no getcwd of its own.
//
// One memo per process image: the directory's text, the pid it was read in and the
// count of working-directory changes seen at the time. It is used only by the same pid
// (a forked or vfork child, which may have moved without passing through a wrapper,
// asks the kernel afresh) and only while no chdir or fchdir has gone through the
// wrappers since (or through syscall() by number); threads share the directory, so a
// change by any thread forgets it for all. Writers never wait: a thread that finds
// another writing, or a signal handler that interrupted a write, asks the kernel (so
// does, every time, a child forked while another thread was writing it).
//
// What a memo cannot see, and then reports under the directory it remembers: a chdir
// made where no wrapper runs (the C library's own, as nftw with FTW_CHDIR does; a raw
// system call instruction; chroot), a thread with a working directory of its own
// (made without CLONE_FS, or after unshare), and the directory, or one above it, being
// renamed or removed by any process.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora_io::linux_intercept {

// As the getcwd system call: the text and its NUL into buffer, the count with the NUL,
// or -1 with errno (ERANGE when buffer is too small). `pid` is the caller's getpid.
long working_dir(int32_t pid, char* buffer, std::size_t size) noexcept;

// A chdir or fchdir was made (whatever its outcome): the memo is forgotten.
void working_dir_changed() noexcept;

}  // namespace velmora_io::linux_intercept
