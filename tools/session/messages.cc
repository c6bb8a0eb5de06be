#include "messages.h"

#include <unistd.h>

namespace velmora::trace {

void say(const std::string& line) {
  const std::string text = "velmora-trace: " + line + "\n";
  // Nothing sensible is left to do when standard error itself fails.
  const ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
  (void)ignored;
}

}  // namespace velmora::trace
