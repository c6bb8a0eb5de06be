// What every wrapper promises about signals, fork, vfork and thread cancellation.
//
// The wrappers run inside whatever the program is doing: in a signal handler that
// interrupted malloc, in a child between fork and exec, in a thread that is being
// cancelled. They must never be the reason such a program hangs, aborts or corrupts its
// own data. The rules below hold on every path of every wrapper, first call included.
//
// Signal handlers
//   Every wrapper is async-signal-safe in the POSIX sense: callable from a handler that
//   interrupted any code of the program, including malloc, stdio and the library itself.
//   - No heap: names live in the table's own mmap'd blocks (fd_map.h), copies and long
//     names on the stack or in private pages (owned_text.h), lines on the stack or
//     written in pieces from the caller's text (sink.h). The library imports no malloc,
//     free, stdio or getenv; a test of the library's face checks it.
//   - No lock a handler could find held by its own thread: the table's lock and the
//     sink's line gate each carry a per-thread "inside" flag; a handler that interrupted
//     its own thread inside either loses its event instead of waiting for itself.
//   - No dlsym at all and no loader lock: the real functions are found in the loaded
//     objects' own symbol tables (next_definition.h), all together at the first entry
//     of any wrapper; no stdio anywhere.
//   - errno is the real call's after a failed call; observation saves and restores it.
//
// fork
//   Fork handlers, registered at first use of the table or the sink (never at load),
//   hold the table's lock across fork and re-create it in the child, and give the
//   child's line gate only its own thread's share, so no child inherits a lock or a
//   line held by a thread that does not exist in it. The child records itself as the
//   table's owner. The prepare handler first waits until no line holds the log file
//   open (its open, write and close happen inside the log-file gate), so no child
//   inherits that descriptor; pipe lines are not waited for. A fork from a signal
//   handler that interrupted its own thread's table operation, log line or fork takes
//   nothing it would wait for itself on (a count of skipped forks pairs the handlers).
//
// The sink's descriptors
//   An adopted pipe is written through the library's own close-on-exec duplicate at a
//   high number, never through the number the program may close and reuse; the wide
//   library's close_range/closefrom close around it and never open a descriptor.
//
// vfork and clone(CLONE_VM) without CLONE_THREAD
//   Such a child runs the wrappers in its parent's memory but has descriptors of its
//   own, and no fork handler runs for it. It is recognised by a pid other than the
//   table's owner, and the kernel (kcmp KCMP_VM with the owner) confirms the shared
//   memory: it never changes the table (no insert, no removal, no switching off of the
//   parent's sink) and writes no lines, so the parent's names stay right; the child's
//   own events are missing.
//
// clone without CLONE_VM (a raw clone: no fork handlers)
//   The child's copy of the table's lock and the sink's gates may be held by threads
//   that do not exist in it. At its first call (or first lock found held) it is found
//   not to be the owner, kcmp says its memory is its own, and it re-creates the lock
//   and gates as a forked child would and becomes the owner of its copy. When the
//   kernel cannot tell, it leaves the state alone and never waits for the lock.
//
// Thread cancellation
//   Nothing the library does while a thread is inside a guarded step is a cancellation
//   point: the sink opens, writes, waits and closes through raw system calls, and
//   identification uses raw readlink and getpeername (raw_syscalls.h). So a deferred
//   cancellation can only act in the real call, after IN_HOOK is clear again; the
//   cleanup handlers' own I/O is observed as any other.
#pragma once
