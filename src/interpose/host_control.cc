// The two functions through which host code in the same process hands over its pipe.
#include "velmora_io.h"  // the public declarations: a signature that drifts fails to compile

#include <cstdint>

#include "export.h"
#include "sink.h"

VELMORA_EXPORT void velmora_io_set_pipe_fd(int32_t fd) {
  // Ownership stays with the host: the descriptor is neither checked nor closed here.
  velmora_io::hand_over_pipe(fd);
}

VELMORA_EXPORT void velmora_io_set_pipe_read_fd(int32_t fd) {
  velmora_io::hand_over_read_end(fd);
}
