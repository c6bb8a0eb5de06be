// The one pass, at the first call of any wrapper, that fills every real-function slot
// of this library and settles the environment's sink. Built into each library
// (library_kind.h), so each looks up exactly the functions it exports.
#include "fork_handlers.h"
#include "library_kind.h"
#include "loaded_objects.h"
#include "sink.h"
#include "slots.h"

namespace velmora_io {
namespace {

enum class Library { NARROW, WIDE, WIDE_VARIADIC, WIDE_DIRECT };

// A variadic wrapper calls its va_list form's slot, and a direct one makes its system
// call itself: a slot of its own would be looked up for nothing.
constexpr bool looked_up_here(Library library) {
  return library == Library::NARROW || (library == Library::WIDE && linux_intercept::WIDE_LIBRARY);
}

}  // namespace

void resolve_all_real_functions() noexcept {
  const SearchOrder order = search_order();
  const bool memo = hold_tables_memo();
#define VELMORA_RESOLVE(library, family, name, result, params) \
  if constexpr (looked_up_here(Library::library)) linux_intercept::name::resolve(order);
  VELMORA_ENTRY_POINTS(VELMORA_RESOLVE)
#undef VELMORA_RESOLVE
  if (memo) release_tables_memo();
  // Before any event can record the table's owner, so that every fork child records itself.
  ensure_fork_handlers();
  // The environment's pipe is settled at the first call of any wrapper, not at the
  // first event: a close, dup2 or dup3 of its number before any event is then seen as
  // the sink going away, whichever wrapper the process happens to call first.
  settle_sink();
  // The objects the loader mapped before the program ran, at the process's first event.
  if constexpr (linux_intercept::WIDE_LIBRARY) want_loads_looked_at();
}

}  // namespace velmora_io
