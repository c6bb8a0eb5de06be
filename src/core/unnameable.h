// A memo of descriptors that identification found can never be named, so that a pipe
// written in a loop costs one fstat per call instead of a failed getpeername and
// readlink.
//
// A descriptor is remembered only when nothing can ever give it a name: it is not a
// socket (an unconnected socket may gain a peer), and its /proc/self/fd link is not a
// path (pipe:[..], anon_inode:[..]) or is a path of an object with no link left and
// marked "(deleted)" (an unlinked or memory-backed file). The memo keeps the object's
// identity (device, inode, link count); a descriptor counts as still unnameable only
// while fstat shows that same identity, so a number reused behind the wrappers' back
// (close_range, closefrom, a raw system call) is identified afresh, and a temporary
// file that gains a link is named again. close, dup2 and dup3 forget the mark.
//
// Fixed storage for descriptor numbers below UNNAMEABLE_LIMIT (beyond it, nothing is
// remembered), constant-initialised, lock-free: no allocation, no lock, safe from a
// signal handler and after fork. Concurrent marks of one number may lose one of them;
// a lost mark only costs one more identification.
#pragma once

#include <cstdint>

namespace velmora_io {

inline constexpr int32_t UNNAMEABLE_LIMIT = 1024;

// True when fd carries a mark and fstat shows the object it was taken from: there is
// nothing to name, skip identification. One fstat when marked, no system call when not.
bool still_unnameable(int32_t fd) noexcept;

// After identification found no name: marks fd when its object can never be named.
// Costs fstat, readlink and fstat again (the mark is kept only if the descriptor did not
// change meanwhile).
void remember_if_unnameable(int32_t fd) noexcept;

// The descriptor is closed or overwritten: drops its mark. One load when it has none.
void forget_unnameable(int32_t fd) noexcept;

}  // namespace velmora_io
