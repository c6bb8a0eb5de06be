// Descriptor number parsing against the C library's own conversion.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "../unit/pipe_fd_model.h"
#include "pipe_fd_env.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (velmora_io::parse_pipe_fd(text) != velmora_test::strtoll_model(text)) std::abort();
  return 0;
}
