/* velmora_io.h: for host code that runs inside a process which has libvelmora_io.so
 * (or a wider build of it) preloaded, and wants the event lines on a pipe of its own.
 *
 * Both functions are exported by the preloaded library under these plain names. A host
 * that runs with and without the library can define VELMORA_IO_WEAK before including
 * this header: the declarations become weak, and a function's address is NULL when no
 * loaded library defines it.
 *
 * Ownership: the host creates the pipe and owns both descriptors. The library never
 * checks, duplicates or closes them; it only writes lines to the write end. To stop,
 * call velmora_io_set_pipe_fd(-1) (and velmora_io_set_pipe_read_fd(-1)) before closing
 * them, or a number reused later by the program would receive lines.
 *
 * When to call: before the first event, if every line is wanted. A line made earlier
 * already went where the environment said ("VELMORA_IO_FD", else the file named by
 * "VELMORA_IO_LOG", else nowhere). Calls may come at any time and from any thread;
 * the latest call wins. Hand over the read end too, before reading from it: the host's
 * own reads are then never observed (the end of a socket pair has a name).
 *
 * Keep draining the read end: a full pipe blocks the writing thread of the observed
 * program (or, if the host made the write end non-blocking, loses lines).
 *
 * A host that starts the program may choose the sinks through its environment instead:
 * "VELMORA_IO_FD" (a pipe, adopted through a close-on-exec duplicate made at the first
 * line, at the highest free number up to 1023), "VELMORA_IO_LOG" (a file, appended to
 * line by line, never past the file-size limit), and "VELMORA_IO_RING" with
 * "VELMORA_IO_HOST" (a directory of shared-memory rings and the pid of the process that
 * reads them; docs/library.md, "Choosing the sink").
 *
 * The event line, the only thing the library writes:
 *
 *     kind TAB detail TAB fd TAB pid TAB tid LF
 *
 *   kind    "read", "write", "close", "connect" or "sql_write"; the wide library
 *           also writes "open_read", "open_write", "open_read_write", "create",
 *           "missing", "query", "delete", "rename_from", "rename_to", "make_dir",
 *           "link_from", "link_to", "symlink", "exec", "exec_failed", "bind",
 *           "listen", "accept", "accept_local", "connect_failed", "resolve" (a name
 *           lookup: "socket:HOST:SERVICE") and "load" (a shared object: "file:PATH")
 *           (docs/library.md, "Events of the wide library"); fd is -1 where no
 *           descriptor is involved
 *   detail  a resource name ("file:/abs/path", "socket:127.0.0.1:5432",
 *           "socket:[0000:...:0001]:5432", "socket:unix:/path", "socket:unix:abstract:name",
 *           "socket:unix:"), or for "sql_write" the query text; for "exec" the
 *           program's path and its arguments, each escaped as a detail is and joined
 *           by TAB (so a TAB inside an argument reaches the line as \\t)
 *   fd      the descriptor number, signed decimal
 *   pid     the process id
 *   tid     the kernel thread id (equal to pid on the main thread)
 *
 * In the detail TAB is written as backslash-t, LF as backslash-n and backslash as two
 * backslashes; no other byte is escaped. Undoing the three escapes from left to right
 * gives the detail back exactly. Each line is handed to the kernel in one write, so
 * lines up to PIPE_BUF (4096) bytes never interleave on a pipe.
 */
#ifndef VELMORA_IO_H
#define VELMORA_IO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef VELMORA_IO_WEAK
#define VELMORA_IO_DECL __attribute__((weak))
#else
#define VELMORA_IO_DECL
#endif

/* Lines go to fd from now on; a negative fd switches the pipe off (lines then go to the
 * file named by "VELMORA_IO_LOG", else nowhere). The environment's pipe is never
 * consulted once this has been called. */
VELMORA_IO_DECL void velmora_io_set_pipe_fd(int32_t fd);

/* The host's read end: calls on it are never observed. -1 forgets it. */
VELMORA_IO_DECL void velmora_io_set_pipe_read_fd(int32_t fd);

#undef VELMORA_IO_DECL

#ifdef __cplusplus
}
#endif

#endif /* VELMORA_IO_H */
