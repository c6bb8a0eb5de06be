// Every C-library function the libraries interpose, one line each: which library
// exports it (narrow: both; wide: the wide library only), its name, result and
// parameters. This list generates the real-function slots (slots.h), the one pass
// that resolves them (resolve_all.cc) and both version scripts (src/CMakeLists.txt
// reads the lines that start with "X("); the face test checks each library's exports
// against it. Adding a function is one line here, its wrapper, and a test.
//
// Keep one entry per line, in the form X(LIBRARY, name, result, (parameters)).
#pragma once

#define VELMORA_ENTRY_POINTS(X) \
X(NARROW, read, ssize_t, (int, void*, size_t)) \
X(NARROW, readv, ssize_t, (int, const iovec*, int)) \
X(NARROW, write, ssize_t, (int, const void*, size_t)) \
X(NARROW, writev, ssize_t, (int, const iovec*, int)) \
X(NARROW, recv, ssize_t, (int, void*, size_t, int)) \
X(NARROW, recvfrom, ssize_t, (int, void*, size_t, int, sockaddr*, socklen_t*)) \
X(NARROW, recvmsg, ssize_t, (int, msghdr*, int)) \
X(NARROW, send, ssize_t, (int, const void*, size_t, int)) \
X(NARROW, sendmsg, ssize_t, (int, const msghdr*, int)) \
X(NARROW, sendto, ssize_t, (int, const void*, size_t, int, const sockaddr*, socklen_t)) \
X(NARROW, connect, int, (int, const sockaddr*, socklen_t)) \
X(NARROW, close, int, (int)) \
X(NARROW, dup2, int, (int, int)) \
X(NARROW, dup3, int, (int, int, int)) \
X(WIDE, pread, ssize_t, (int, void*, size_t, off_t)) \
X(WIDE, pread64, ssize_t, (int, void*, size_t, off64_t)) \
X(WIDE, preadv, ssize_t, (int, const iovec*, int, off_t)) \
X(WIDE, preadv64, ssize_t, (int, const iovec*, int, off64_t)) \
X(WIDE, preadv2, ssize_t, (int, const iovec*, int, off_t, int)) \
X(WIDE, preadv64v2, ssize_t, (int, const iovec*, int, off64_t, int)) \
X(WIDE, pwrite, ssize_t, (int, const void*, size_t, off_t)) \
X(WIDE, pwrite64, ssize_t, (int, const void*, size_t, off64_t)) \
X(WIDE, pwritev, ssize_t, (int, const iovec*, int, off_t)) \
X(WIDE, pwritev64, ssize_t, (int, const iovec*, int, off64_t)) \
X(WIDE, pwritev2, ssize_t, (int, const iovec*, int, off_t, int)) \
X(WIDE, pwritev64v2, ssize_t, (int, const iovec*, int, off64_t, int)) \
/* end of list */
