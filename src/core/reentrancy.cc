#include "reentrancy.h"

namespace velmora_io {

constinit thread_local bool IN_HOOK __attribute__((tls_model("initial-exec"))) = false;

}  // namespace velmora_io
