// Every C-library function the libraries interpose, one line each: which library
// exports it (narrow: both; wide: the wide library only; wide variadic: the wide
// library only, with no real-function slot of its own, since its wrapper hands its
// arguments to the va_list form's slot; wide direct: the same, for an entry that makes
// its system call itself, as vfork does), its family, its name, result and parameters.
//
// The family is the folder of wrappers/ that defines the wrapper:
//   data       reads and writes of any descriptor, positional, fortified, zero-copy, mapped
//   sockets    what only sockets do: connect, send and receive with flags or peers,
//              batches, bind, listen, accept, the outcome of a pending connect; and
//              the name lookups that come before a connect
//   lifecycle  descriptors handed out, copied and closed
//   paths      calls that name a file: opens, probes, creations, renames, deletions,
//              the working directory
//   stdio      streams: opens and closes, reads, writes, formatted I/O, seeks
//   processes  program starts (exec, spawn, popen), their ends (wait), children made
//              without fork handlers (vfork, clone, _Fork), and objects loaded (dlopen)
//   by_number  syscall(), which runs the named wrappers' observation for their numbers
// The narrow library is the NARROW lines: its wrappers are in data/, sockets/ and
// lifecycle/, and src/CMakeLists.txt lists its sources apart.
//
// This list generates the real-function slots (slots.h), the one pass that resolves
// them (resolve_all.cc) and both version scripts (src/CMakeLists.txt reads the lines
// that start with "X("); the face test checks each library's exports against it, and
// that each wrapper is defined in its family's folder. Adding a function is one line
// here, its wrapper, and a test.
//
// Keep one entry per line, in the form X(LIBRARY, family, name, result, (parameters)).
#pragma once

#include <dirent.h>  // DIR, for opendir
#include <dlfcn.h>   // Lmid_t, for dlmopen
#include <netdb.h>   // addrinfo and hostent, for the name lookups
#include <spawn.h>   // the posix_spawn types
#include <sys/resource.h>  // rusage, for wait3 and wait4
#include <sys/wait.h>      // idtype_t and siginfo_t, for waitid
#include <sys/stat.h>  // struct stat, stat64 and statx, for the probes

#include <cstdarg>  // va_list and FILE, for the stdio lines
#include <cstdio>

#define VELMORA_ENTRY_POINTS(X) \
X(NARROW, data, read, ssize_t, (int, void*, size_t)) \
X(NARROW, data, readv, ssize_t, (int, const iovec*, int)) \
X(NARROW, data, write, ssize_t, (int, const void*, size_t)) \
X(NARROW, data, writev, ssize_t, (int, const iovec*, int)) \
X(NARROW, sockets, recv, ssize_t, (int, void*, size_t, int)) \
X(NARROW, sockets, recvfrom, ssize_t, (int, void*, size_t, int, sockaddr*, socklen_t*)) \
X(NARROW, sockets, recvmsg, ssize_t, (int, msghdr*, int)) \
X(NARROW, sockets, send, ssize_t, (int, const void*, size_t, int)) \
X(NARROW, sockets, sendmsg, ssize_t, (int, const msghdr*, int)) \
X(NARROW, sockets, sendto, ssize_t, (int, const void*, size_t, int, const sockaddr*, socklen_t)) \
X(NARROW, sockets, connect, int, (int, const sockaddr*, socklen_t)) \
X(NARROW, lifecycle, close, int, (int)) \
X(NARROW, lifecycle, dup2, int, (int, int)) \
X(NARROW, lifecycle, dup3, int, (int, int, int)) \
X(WIDE, data, pread, ssize_t, (int, void*, size_t, off_t)) \
X(WIDE, data, pread64, ssize_t, (int, void*, size_t, off64_t)) \
X(WIDE, data, preadv, ssize_t, (int, const iovec*, int, off_t)) \
X(WIDE, data, preadv64, ssize_t, (int, const iovec*, int, off64_t)) \
X(WIDE, data, preadv2, ssize_t, (int, const iovec*, int, off_t, int)) \
X(WIDE, data, preadv64v2, ssize_t, (int, const iovec*, int, off64_t, int)) \
X(WIDE, data, pwrite, ssize_t, (int, const void*, size_t, off_t)) \
X(WIDE, data, pwrite64, ssize_t, (int, const void*, size_t, off64_t)) \
X(WIDE, data, pwritev, ssize_t, (int, const iovec*, int, off_t)) \
X(WIDE, data, pwritev64, ssize_t, (int, const iovec*, int, off64_t)) \
X(WIDE, data, pwritev2, ssize_t, (int, const iovec*, int, off_t, int)) \
X(WIDE, data, pwritev64v2, ssize_t, (int, const iovec*, int, off64_t, int)) \
X(WIDE, data, __read_chk, ssize_t, (int, void*, size_t, size_t)) \
X(WIDE, data, __pread_chk, ssize_t, (int, void*, size_t, off_t, size_t)) \
X(WIDE, data, __pread64_chk, ssize_t, (int, void*, size_t, off64_t, size_t)) \
X(WIDE, data, __recv_chk, ssize_t, (int, void*, size_t, size_t, int)) \
X(WIDE, data, __recvfrom_chk, ssize_t, (int, void*, size_t, size_t, int, sockaddr*, socklen_t*)) \
X(WIDE, sockets, recvmmsg, int, (int, mmsghdr*, unsigned int, int, timespec*)) \
X(WIDE, sockets, sendmmsg, int, (int, mmsghdr*, unsigned int, int)) \
X(WIDE, data, sendfile, ssize_t, (int, int, off_t*, size_t)) \
X(WIDE, data, sendfile64, ssize_t, (int, int, off64_t*, size_t)) \
X(WIDE, data, copy_file_range, ssize_t, (int, off64_t*, int, off64_t*, size_t, unsigned int)) \
X(WIDE, data, splice, ssize_t, (int, off64_t*, int, off64_t*, size_t, unsigned int)) \
X(WIDE, data, mmap, void*, (void*, size_t, int, int, int, off_t)) \
X(WIDE, data, mmap64, void*, (void*, size_t, int, int, int, off64_t)) \
X(WIDE, lifecycle, close_range, int, (unsigned int, unsigned int, int)) \
X(WIDE, lifecycle, closefrom, void, (int)) \
X(WIDE, stdio, fclose, int, (FILE*)) \
X(WIDE, stdio, fopen, FILE*, (const char*, const char*)) \
X(WIDE, stdio, fopen64, FILE*, (const char*, const char*)) \
X(WIDE, stdio, fdopen, FILE*, (int, const char*)) \
X(WIDE, stdio, freopen, FILE*, (const char*, const char*, FILE*)) \
X(WIDE, paths, open, int, (const char*, int, ...)) \
X(WIDE, paths, open64, int, (const char*, int, ...)) \
X(WIDE, paths, openat, int, (int, const char*, int, ...)) \
X(WIDE, paths, openat64, int, (int, const char*, int, ...)) \
X(WIDE, paths, __open_2, int, (const char*, int)) \
X(WIDE, paths, __open64_2, int, (const char*, int)) \
X(WIDE, paths, __openat_2, int, (int, const char*, int)) \
X(WIDE, paths, __openat64_2, int, (int, const char*, int)) \
X(WIDE, paths, creat, int, (const char*, mode_t)) \
X(WIDE, paths, creat64, int, (const char*, mode_t)) \
X(WIDE, lifecycle, socket, int, (int, int, int)) \
X(WIDE, lifecycle, socketpair, int, (int, int, int, int*)) \
X(WIDE, sockets, accept, int, (int, sockaddr*, socklen_t*)) \
X(WIDE, sockets, accept4, int, (int, sockaddr*, socklen_t*, int)) \
X(WIDE, lifecycle, pipe, int, (int*)) \
X(WIDE, lifecycle, pipe2, int, (int*, int)) \
X(WIDE, lifecycle, dup, int, (int)) \
X(WIDE, lifecycle, fcntl, int, (int, int, ...)) \
X(WIDE, lifecycle, eventfd, int, (unsigned int, int)) \
X(WIDE, lifecycle, memfd_create, int, (const char*, unsigned int)) \
X(WIDE, lifecycle, epoll_create1, int, (int)) \
X(WIDE, stdio, fread, size_t, (void*, size_t, size_t, FILE*)) \
X(WIDE, stdio, fread_unlocked, size_t, (void*, size_t, size_t, FILE*)) \
X(WIDE, stdio, __fread_chk, size_t, (void*, size_t, size_t, size_t, FILE*)) \
X(WIDE, stdio, __fread_unlocked_chk, size_t, (void*, size_t, size_t, size_t, FILE*)) \
X(WIDE, stdio, fgets, char*, (char*, int, FILE*)) \
X(WIDE, stdio, fgets_unlocked, char*, (char*, int, FILE*)) \
X(WIDE, stdio, __fgets_chk, char*, (char*, size_t, int, FILE*)) \
X(WIDE, stdio, __fgets_unlocked_chk, char*, (char*, size_t, int, FILE*)) \
X(WIDE, stdio, getline, ssize_t, (char**, size_t*, FILE*)) \
X(WIDE, stdio, getdelim, ssize_t, (char**, size_t*, int, FILE*)) \
X(WIDE, stdio, __getdelim, ssize_t, (char**, size_t*, int, FILE*)) \
X(WIDE, stdio, fgetc, int, (FILE*)) \
X(WIDE, stdio, fgetc_unlocked, int, (FILE*)) \
X(WIDE, stdio, getc, int, (FILE*)) \
X(WIDE, stdio, getc_unlocked, int, (FILE*)) \
X(WIDE, stdio, __uflow, int, (FILE*)) \
X(WIDE, stdio, fwrite, size_t, (const void*, size_t, size_t, FILE*)) \
X(WIDE, stdio, fwrite_unlocked, size_t, (const void*, size_t, size_t, FILE*)) \
X(WIDE, stdio, fputs, int, (const char*, FILE*)) \
X(WIDE, stdio, fputs_unlocked, int, (const char*, FILE*)) \
X(WIDE, stdio, fputc, int, (int, FILE*)) \
X(WIDE, stdio, fputc_unlocked, int, (int, FILE*)) \
X(WIDE, stdio, putc, int, (int, FILE*)) \
X(WIDE, stdio, putc_unlocked, int, (int, FILE*)) \
X(WIDE, stdio, __overflow, int, (FILE*, int)) \
X(WIDE, stdio, fflush, int, (FILE*)) \
X(WIDE, stdio, fflush_unlocked, int, (FILE*)) \
X(WIDE_VARIADIC, stdio, fprintf, int, (FILE*, const char*, ...)) \
X(WIDE, stdio, vfprintf, int, (FILE*, const char*, va_list)) \
X(WIDE_VARIADIC, stdio, __fprintf_chk, int, (FILE*, int, const char*, ...)) \
X(WIDE, stdio, __vfprintf_chk, int, (FILE*, int, const char*, va_list)) \
X(WIDE_VARIADIC, stdio, fscanf, int, (FILE*, const char*, ...)) \
X(WIDE, stdio, vfscanf, int, (FILE*, const char*, va_list)) \
X(WIDE_VARIADIC, stdio, __isoc99_fscanf, int, (FILE*, const char*, ...)) \
X(WIDE, stdio, __isoc99_vfscanf, int, (FILE*, const char*, va_list)) \
X(WIDE, paths, opendir, DIR*, (const char*)) \
X(WIDE, paths, closedir, int, (DIR*)) \
X(WIDE, paths, mkstemp, int, (char*)) \
X(WIDE, paths, mkstemp64, int, (char*)) \
X(WIDE, paths, mkostemp, int, (char*, int)) \
X(WIDE, paths, mkostemp64, int, (char*, int)) \
X(WIDE, paths, mkstemps, int, (char*, int)) \
X(WIDE, paths, mkstemps64, int, (char*, int)) \
X(WIDE, paths, mkostemps, int, (char*, int, int)) \
X(WIDE, paths, mkostemps64, int, (char*, int, int)) \
X(WIDE, paths, mkdtemp, char*, (char*)) \
X(WIDE, paths, stat, int, (const char*, struct ::stat*)) \
X(WIDE, paths, stat64, int, (const char*, struct ::stat64*)) \
X(WIDE, paths, lstat, int, (const char*, struct ::stat*)) \
X(WIDE, paths, lstat64, int, (const char*, struct ::stat64*)) \
X(WIDE, paths, fstatat, int, (int, const char*, struct ::stat*, int)) \
X(WIDE, paths, fstatat64, int, (int, const char*, struct ::stat64*, int)) \
X(WIDE, paths, statx, int, (int, const char*, int, unsigned int, struct ::statx*)) \
X(WIDE, paths, __xstat, int, (int, const char*, struct ::stat*)) \
X(WIDE, paths, __xstat64, int, (int, const char*, struct ::stat64*)) \
X(WIDE, paths, __lxstat, int, (int, const char*, struct ::stat*)) \
X(WIDE, paths, __lxstat64, int, (int, const char*, struct ::stat64*)) \
X(WIDE, paths, __fxstatat, int, (int, int, const char*, struct ::stat*, int)) \
X(WIDE, paths, __fxstatat64, int, (int, int, const char*, struct ::stat64*, int)) \
X(WIDE, paths, access, int, (const char*, int)) \
X(WIDE, paths, faccessat, int, (int, const char*, int, int)) \
X(WIDE, paths, euidaccess, int, (const char*, int)) \
X(WIDE, paths, eaccess, int, (const char*, int)) \
X(WIDE, paths, readlink, ssize_t, (const char*, char*, size_t)) \
X(WIDE, paths, readlinkat, ssize_t, (int, const char*, char*, size_t)) \
X(WIDE, paths, realpath, char*, (const char*, char*)) \
X(WIDE, paths, canonicalize_file_name, char*, (const char*)) \
X(WIDE, paths, unlink, int, (const char*)) \
X(WIDE, paths, unlinkat, int, (int, const char*, int)) \
X(WIDE, paths, remove, int, (const char*)) \
X(WIDE, paths, rmdir, int, (const char*)) \
X(WIDE, paths, mkdir, int, (const char*, mode_t)) \
X(WIDE, paths, mkdirat, int, (int, const char*, mode_t)) \
X(WIDE, paths, rename, int, (const char*, const char*)) \
X(WIDE, paths, renameat, int, (int, const char*, int, const char*)) \
X(WIDE, paths, renameat2, int, (int, const char*, int, const char*, unsigned int)) \
X(WIDE, paths, chdir, int, (const char*)) \
X(WIDE, paths, fchdir, int, (int)) \
X(WIDE, paths, link, int, (const char*, const char*)) \
X(WIDE, paths, linkat, int, (int, const char*, int, const char*, int)) \
X(WIDE, paths, symlink, int, (const char*, const char*)) \
X(WIDE, paths, symlinkat, int, (const char*, int, const char*)) \
X(WIDE, processes, execve, int, (const char*, char* const*, char* const*)) \
X(WIDE, processes, execveat, int, (int, const char*, char* const*, char* const*, int)) \
X(WIDE, processes, fexecve, int, (int, char* const*, char* const*)) \
X(WIDE, processes, execv, int, (const char*, char* const*)) \
X(WIDE, processes, execvp, int, (const char*, char* const*)) \
X(WIDE, processes, execvpe, int, (const char*, char* const*, char* const*)) \
X(WIDE, processes, execl, int, (const char*, const char*, ...)) \
X(WIDE, processes, execlp, int, (const char*, const char*, ...)) \
X(WIDE, processes, execle, int, (const char*, const char*, ...)) \
X(WIDE, processes, posix_spawn, int, (pid_t*, const char*, const posix_spawn_file_actions_t*, const posix_spawnattr_t*, char* const*, char* const*)) \
X(WIDE, processes, posix_spawnp, int, (pid_t*, const char*, const posix_spawn_file_actions_t*, const posix_spawnattr_t*, char* const*, char* const*)) \
X(WIDE, processes, popen, FILE*, (const char*, const char*)) \
X(WIDE, processes, wait, pid_t, (int*)) \
X(WIDE, processes, waitpid, pid_t, (pid_t, int*, int)) \
X(WIDE, processes, wait3, pid_t, (int*, int, rusage*)) \
X(WIDE, processes, wait4, pid_t, (pid_t, int*, int, rusage*)) \
X(WIDE, processes, waitid, int, (idtype_t, id_t, siginfo_t*, int)) \
X(WIDE, processes, dlopen, void*, (const char*, int)) \
X(WIDE, processes, dlmopen, void*, (Lmid_t, const char*, int)) \
X(WIDE_DIRECT, processes, vfork, pid_t, ()) \
X(WIDE, processes, clone, int, (int (*)(void*), void*, int, void*, ...)) \
X(WIDE, processes, _Fork, pid_t, ()) \
X(WIDE, sockets, bind, int, (int, const sockaddr*, socklen_t)) \
X(WIDE, sockets, listen, int, (int, int)) \
X(WIDE, sockets, getsockopt, int, (int, int, int, void*, socklen_t*)) \
X(WIDE, sockets, getaddrinfo, int, (const char*, const char*, const addrinfo*, addrinfo**)) \
X(WIDE, sockets, gethostbyname, hostent*, (const char*)) \
X(WIDE, sockets, gethostbyname2, hostent*, (const char*, int)) \
X(WIDE, sockets, gethostbyname_r, int, (const char*, hostent*, char*, size_t, hostent**, int*)) \
X(WIDE, sockets, gethostbyname2_r, int, (const char*, int, hostent*, char*, size_t, hostent**, int*)) \
X(WIDE, sockets, getnameinfo, int, (const sockaddr*, socklen_t, char*, socklen_t, char*, socklen_t, int)) \
X(WIDE, by_number, syscall, long, (long, ...)) \
X(WIDE, stdio, fseek, int, (FILE*, long, int)) \
X(WIDE, stdio, fseeko, int, (FILE*, off_t, int)) \
X(WIDE, stdio, fseeko64, int, (FILE*, off64_t, int)) \
X(WIDE, stdio, rewind, void, (FILE*)) \
X(WIDE, stdio, fsetpos, int, (FILE*, const fpos_t*)) \
X(WIDE, stdio, fsetpos64, int, (FILE*, const fpos64_t*)) \
/* end of list */
