// The fork handlers: the top of the core, the one piece that knows every part of the
// state a fork must carry over (the table's lock, the sink's gates, the ring and the
// thread's identity) and hands each its turn.
//
// Registered once per process by the first call of any wrapper, never at load time, and
// before any owner is recorded, so that every fork child records itself. A fork from a
// signal handler that interrupted this thread inside a table operation, or inside
// another fork's handlers, takes and gives back nothing; so does a fork from a child
// sharing its parent's memory.
#pragma once

namespace velmora_io {

void ensure_fork_handlers() noexcept;

}  // namespace velmora_io
