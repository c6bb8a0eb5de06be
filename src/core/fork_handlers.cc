#include "fork_handlers.h"

#include <pthread.h>
#include <unistd.h>

#include "fd_map.h"
#include "loaded_objects.h"
#include "process_identity.h"
#include "ring_sink.h"
#include "sink.h"
#include "raw_syscalls.h"

namespace velmora_io {
namespace {

// Forks whose prepare handler took nothing, not yet answered by a parent or child
// handler. Handlers nest, so a count.
constinit thread_local unsigned FORKS_SKIPPED __attribute__((tls_model("initial-exec"))) = 0;

constinit pthread_once_t FORK_HANDLERS_ONCE = PTHREAD_ONCE_INIT;

void before_fork() noexcept {
  // The table is marked first: a signal handler that runs in between (a SIGCHLD handler
  // writing to its self-pipe) must not lock it again.
  if (!forking_process_owns() || !table_mark_for_fork()) {
    ++FORKS_SKIPPED;
    return;
  }
  sink_before_fork();
  table_lock_for_fork();
}

void after_fork_parent() noexcept {
  if (FORKS_SKIPPED > 0) {
    --FORKS_SKIPPED;
    return;
  }
  table_unlock_after_fork();
  sink_after_fork_parent();
  table_unmark_after_fork();
}

// The child has one thread; whoever held a lock in the parent does not exist here.
// After a skipped prepare, the lock is this thread's own (or free), left as it is.
void after_fork_child() noexcept {
  if (FORKS_SKIPPED > 0) {
    --FORKS_SKIPPED;
  } else {
    table_renew_lock();
    table_unmark_after_fork();
  }
  record_owner(raw::getpid());
  forget_this_thread();
  loads_after_fork_child();
  ring_after_fork_child();
  sink_after_fork_child();
}

// A raw clone's child with memory of its own. A lock this very thread held (a clone
// from a signal handler inside a table operation) is unlocked by it later, harmlessly:
// the mutex is a plain one.
void renew_own_copy() noexcept {
  table_renew_lock();
  forget_this_thread();
  loads_after_fork_child();
  ring_after_fork_child();
  sink_after_fork_child();
}

void register_fork_handlers() noexcept {
  on_own_copy(renew_own_copy);
  pthread_atfork(before_fork, after_fork_parent, after_fork_child);
}

}  // namespace

void ensure_fork_handlers() noexcept { pthread_once(&FORK_HANDLERS_ONCE, register_fork_handlers); }

}  // namespace velmora_io
