// The lookup that replaces dlsym(RTLD_NEXT) gives dlsym's answer. From this test program
// "this object" is the executable, so both search the libraries after it.
#include "next_definition.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include "entry_points.h"

namespace velmora_io {
namespace {

TEST(NextDefinition, GivesWhatDlsymGivesForEveryInterposedAndVersionedName) {
#define VELMORA_NAME(library, family, name, result, params) #name,
  // Besides the interposed: names of several versions (the default one wins), IFUNCs,
  // the loader's own exports, data, and a name nobody defines.
  for (const char* name : {VELMORA_ENTRY_POINTS(VELMORA_NAME) "posix_spawn", "realpath", "pthread_cond_wait",
                           "sched_setaffinity", "regexec", "glob64", "memcpy", "strlen", "gettimeofday", "time",
                           "__tls_get_addr", "_dl_find_object", "_r_debug", "environ", "no_such_function"}) {
    EXPECT_EQ(next_definition(search_order(), name), dlsym(RTLD_NEXT, name)) << name;
  }
#undef VELMORA_NAME
}

}  // namespace
}  // namespace velmora_io
