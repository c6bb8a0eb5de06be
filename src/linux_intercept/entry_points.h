// Every C-library function the libraries interpose, one line each: which library
// exports it (narrow: both; wide: the wide library only; wide variadic: the wide
// library only, with no real-function slot of its own, since its wrapper hands its
// arguments to the va_list form's slot; wide direct: the same, for an entry that makes
// its system call itself, vfork_entry.cc), its name, result and parameters. This list generates the real-function slots (slots.h), the one pass
// that resolves them (resolve_all.cc) and both version scripts (src/CMakeLists.txt
// reads the lines that start with "X("); the face test checks each library's exports
// against it. Adding a function is one line here, its wrapper, and a test.
//
// Keep one entry per line, in the form X(LIBRARY, name, result, (parameters)).
#pragma once

#include <dirent.h>  // DIR, for opendir
#include <spawn.h>   // the posix_spawn types
#include <sys/stat.h>  // struct stat, stat64 and statx, for the probes

#include <cstdarg>  // va_list and FILE, for the stdio lines
#include <cstdio>

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
X(WIDE, __read_chk, ssize_t, (int, void*, size_t, size_t)) \
X(WIDE, __pread_chk, ssize_t, (int, void*, size_t, off_t, size_t)) \
X(WIDE, __pread64_chk, ssize_t, (int, void*, size_t, off64_t, size_t)) \
X(WIDE, __recv_chk, ssize_t, (int, void*, size_t, size_t, int)) \
X(WIDE, __recvfrom_chk, ssize_t, (int, void*, size_t, size_t, int, sockaddr*, socklen_t*)) \
X(WIDE, recvmmsg, int, (int, mmsghdr*, unsigned int, int, timespec*)) \
X(WIDE, sendmmsg, int, (int, mmsghdr*, unsigned int, int)) \
X(WIDE, sendfile, ssize_t, (int, int, off_t*, size_t)) \
X(WIDE, sendfile64, ssize_t, (int, int, off64_t*, size_t)) \
X(WIDE, copy_file_range, ssize_t, (int, off64_t*, int, off64_t*, size_t, unsigned int)) \
X(WIDE, splice, ssize_t, (int, off64_t*, int, off64_t*, size_t, unsigned int)) \
X(WIDE, mmap, void*, (void*, size_t, int, int, int, off_t)) \
X(WIDE, mmap64, void*, (void*, size_t, int, int, int, off64_t)) \
X(WIDE, close_range, int, (unsigned int, unsigned int, int)) \
X(WIDE, closefrom, void, (int)) \
X(WIDE, fclose, int, (FILE*)) \
X(WIDE, fopen, FILE*, (const char*, const char*)) \
X(WIDE, fopen64, FILE*, (const char*, const char*)) \
X(WIDE, fdopen, FILE*, (int, const char*)) \
X(WIDE, freopen, FILE*, (const char*, const char*, FILE*)) \
X(WIDE, open, int, (const char*, int, ...)) \
X(WIDE, open64, int, (const char*, int, ...)) \
X(WIDE, openat, int, (int, const char*, int, ...)) \
X(WIDE, openat64, int, (int, const char*, int, ...)) \
X(WIDE, __open_2, int, (const char*, int)) \
X(WIDE, __open64_2, int, (const char*, int)) \
X(WIDE, __openat_2, int, (int, const char*, int)) \
X(WIDE, __openat64_2, int, (int, const char*, int)) \
X(WIDE, creat, int, (const char*, mode_t)) \
X(WIDE, creat64, int, (const char*, mode_t)) \
X(WIDE, socket, int, (int, int, int)) \
X(WIDE, socketpair, int, (int, int, int, int*)) \
X(WIDE, accept, int, (int, sockaddr*, socklen_t*)) \
X(WIDE, accept4, int, (int, sockaddr*, socklen_t*, int)) \
X(WIDE, pipe, int, (int*)) \
X(WIDE, pipe2, int, (int*, int)) \
X(WIDE, dup, int, (int)) \
X(WIDE, fcntl, int, (int, int, ...)) \
X(WIDE, eventfd, int, (unsigned int, int)) \
X(WIDE, memfd_create, int, (const char*, unsigned int)) \
X(WIDE, epoll_create1, int, (int)) \
X(WIDE, fread, size_t, (void*, size_t, size_t, FILE*)) \
X(WIDE, fread_unlocked, size_t, (void*, size_t, size_t, FILE*)) \
X(WIDE, __fread_chk, size_t, (void*, size_t, size_t, size_t, FILE*)) \
X(WIDE, __fread_unlocked_chk, size_t, (void*, size_t, size_t, size_t, FILE*)) \
X(WIDE, fgets, char*, (char*, int, FILE*)) \
X(WIDE, fgets_unlocked, char*, (char*, int, FILE*)) \
X(WIDE, __fgets_chk, char*, (char*, size_t, int, FILE*)) \
X(WIDE, __fgets_unlocked_chk, char*, (char*, size_t, int, FILE*)) \
X(WIDE, getline, ssize_t, (char**, size_t*, FILE*)) \
X(WIDE, getdelim, ssize_t, (char**, size_t*, int, FILE*)) \
X(WIDE, __getdelim, ssize_t, (char**, size_t*, int, FILE*)) \
X(WIDE, fgetc, int, (FILE*)) \
X(WIDE, fgetc_unlocked, int, (FILE*)) \
X(WIDE, getc, int, (FILE*)) \
X(WIDE, getc_unlocked, int, (FILE*)) \
X(WIDE, __uflow, int, (FILE*)) \
X(WIDE, fwrite, size_t, (const void*, size_t, size_t, FILE*)) \
X(WIDE, fwrite_unlocked, size_t, (const void*, size_t, size_t, FILE*)) \
X(WIDE, fputs, int, (const char*, FILE*)) \
X(WIDE, fputs_unlocked, int, (const char*, FILE*)) \
X(WIDE, fputc, int, (int, FILE*)) \
X(WIDE, fputc_unlocked, int, (int, FILE*)) \
X(WIDE, putc, int, (int, FILE*)) \
X(WIDE, putc_unlocked, int, (int, FILE*)) \
X(WIDE, __overflow, int, (FILE*, int)) \
X(WIDE, fflush, int, (FILE*)) \
X(WIDE, fflush_unlocked, int, (FILE*)) \
X(WIDE_VARIADIC, fprintf, int, (FILE*, const char*, ...)) \
X(WIDE, vfprintf, int, (FILE*, const char*, va_list)) \
X(WIDE_VARIADIC, __fprintf_chk, int, (FILE*, int, const char*, ...)) \
X(WIDE, __vfprintf_chk, int, (FILE*, int, const char*, va_list)) \
X(WIDE_VARIADIC, fscanf, int, (FILE*, const char*, ...)) \
X(WIDE, vfscanf, int, (FILE*, const char*, va_list)) \
X(WIDE_VARIADIC, __isoc99_fscanf, int, (FILE*, const char*, ...)) \
X(WIDE, __isoc99_vfscanf, int, (FILE*, const char*, va_list)) \
X(WIDE, opendir, DIR*, (const char*)) \
X(WIDE, closedir, int, (DIR*)) \
X(WIDE, mkstemp, int, (char*)) \
X(WIDE, mkstemp64, int, (char*)) \
X(WIDE, mkostemp, int, (char*, int)) \
X(WIDE, mkostemp64, int, (char*, int)) \
X(WIDE, mkstemps, int, (char*, int)) \
X(WIDE, mkstemps64, int, (char*, int)) \
X(WIDE, mkostemps, int, (char*, int, int)) \
X(WIDE, mkostemps64, int, (char*, int, int)) \
X(WIDE, mkdtemp, char*, (char*)) \
X(WIDE, stat, int, (const char*, struct ::stat*)) \
X(WIDE, stat64, int, (const char*, struct ::stat64*)) \
X(WIDE, lstat, int, (const char*, struct ::stat*)) \
X(WIDE, lstat64, int, (const char*, struct ::stat64*)) \
X(WIDE, fstatat, int, (int, const char*, struct ::stat*, int)) \
X(WIDE, fstatat64, int, (int, const char*, struct ::stat64*, int)) \
X(WIDE, statx, int, (int, const char*, int, unsigned int, struct ::statx*)) \
X(WIDE, __xstat, int, (int, const char*, struct ::stat*)) \
X(WIDE, __xstat64, int, (int, const char*, struct ::stat64*)) \
X(WIDE, __lxstat, int, (int, const char*, struct ::stat*)) \
X(WIDE, __lxstat64, int, (int, const char*, struct ::stat64*)) \
X(WIDE, __fxstatat, int, (int, int, const char*, struct ::stat*, int)) \
X(WIDE, __fxstatat64, int, (int, int, const char*, struct ::stat64*, int)) \
X(WIDE, access, int, (const char*, int)) \
X(WIDE, faccessat, int, (int, const char*, int, int)) \
X(WIDE, euidaccess, int, (const char*, int)) \
X(WIDE, eaccess, int, (const char*, int)) \
X(WIDE, readlink, ssize_t, (const char*, char*, size_t)) \
X(WIDE, readlinkat, ssize_t, (int, const char*, char*, size_t)) \
X(WIDE, realpath, char*, (const char*, char*)) \
X(WIDE, canonicalize_file_name, char*, (const char*)) \
X(WIDE, unlink, int, (const char*)) \
X(WIDE, unlinkat, int, (int, const char*, int)) \
X(WIDE, remove, int, (const char*)) \
X(WIDE, rmdir, int, (const char*)) \
X(WIDE, mkdir, int, (const char*, mode_t)) \
X(WIDE, mkdirat, int, (int, const char*, mode_t)) \
X(WIDE, rename, int, (const char*, const char*)) \
X(WIDE, renameat, int, (int, const char*, int, const char*)) \
X(WIDE, renameat2, int, (int, const char*, int, const char*, unsigned int)) \
X(WIDE, chdir, int, (const char*)) \
X(WIDE, fchdir, int, (int)) \
X(WIDE, link, int, (const char*, const char*)) \
X(WIDE, linkat, int, (int, const char*, int, const char*, int)) \
X(WIDE, symlink, int, (const char*, const char*)) \
X(WIDE, symlinkat, int, (const char*, int, const char*)) \
X(WIDE, execve, int, (const char*, char* const*, char* const*)) \
X(WIDE, execveat, int, (int, const char*, char* const*, char* const*, int)) \
X(WIDE, fexecve, int, (int, char* const*, char* const*)) \
X(WIDE, execv, int, (const char*, char* const*)) \
X(WIDE, execvp, int, (const char*, char* const*)) \
X(WIDE, execvpe, int, (const char*, char* const*, char* const*)) \
X(WIDE, execl, int, (const char*, const char*, ...)) \
X(WIDE, execlp, int, (const char*, const char*, ...)) \
X(WIDE, execle, int, (const char*, const char*, ...)) \
X(WIDE, posix_spawn, int, (pid_t*, const char*, const posix_spawn_file_actions_t*, const posix_spawnattr_t*, char* const*, char* const*)) \
X(WIDE, posix_spawnp, int, (pid_t*, const char*, const posix_spawn_file_actions_t*, const posix_spawnattr_t*, char* const*, char* const*)) \
X(WIDE, popen, FILE*, (const char*, const char*)) \
X(WIDE_DIRECT, vfork, pid_t, ()) \
X(WIDE, bind, int, (int, const sockaddr*, socklen_t)) \
X(WIDE, listen, int, (int, int)) \
X(WIDE, getsockopt, int, (int, int, int, void*, socklen_t*)) \
X(WIDE, syscall, long, (long, ...)) \
X(WIDE, fseek, int, (FILE*, long, int)) \
X(WIDE, fseeko, int, (FILE*, off_t, int)) \
X(WIDE, fseeko64, int, (FILE*, off64_t, int)) \
X(WIDE, rewind, void, (FILE*)) \
X(WIDE, fsetpos, int, (FILE*, const fpos_t*)) \
X(WIDE, fsetpos64, int, (FILE*, const fpos64_t*)) \
/* end of list */
