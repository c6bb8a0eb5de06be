#include "forbidden.h"

#include "event_filter.h"

namespace velmora::trace {

void Forbidden::see(const Event& event, const ProcessInfo& who) {
  if (forbid.empty()) return;
  const std::string* matched = nullptr;
  for (const std::string& pattern : forbid) {
    if (pattern_matches(pattern, event.detail)) {
      matched = &pattern;
      break;
    }
  }
  if (matched == nullptr) return;
  for (const std::string& pattern : allow) {
    if (pattern_matches(pattern, event.detail)) return;
  }
  const std::string resource = event.kind == Kind::exec ? event.detail.substr(0, event.detail.find('\t')) : event.detail;
  auto [it, fresh] = touched_.try_emplace(resource);
  if (fresh) it->second = Touch{event.kind, event.pid, program_label(who), *matched, 0};
  ++it->second.events;
}

}  // namespace velmora::trace
