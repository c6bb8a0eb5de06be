// io_driver's loader hazards: symbol lookups the library makes, and its first call made
// inside dlopen.
#include <dlfcn.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <utility>

#include "io_scenarios.h"

// Every dynamic-symbol lookup of the process passes through here (the library's
// included: this definition is exported, see CMakeLists.txt) and is counted. A lookup
// of the next definition is answered from the C library itself, which is what comes
// after the preloaded library.
std::atomic<long> LOOKUPS{0};
extern "C" void* dlsym(void* handle, const char* name) noexcept {
  // Plain atomics, not guarded statics: a signal handler may make the first lookup
  // while this thread is inside the guard of a static's initialisation.
  using Dlsym = void* (*)(void*, const char*);
  static constinit std::atomic<Dlsym> real{nullptr};
  static constinit std::atomic<void*> libc{nullptr};
  Dlsym next = real.load();
  if (next == nullptr) {
    next = reinterpret_cast<Dlsym>(dlvsym(RTLD_NEXT, "dlsym", "GLIBC_2.34"));
    real.store(next);
  }
  LOOKUPS.fetch_add(1);
  if (handle == RTLD_NEXT) {
    void* found = libc.load();
    if (found == nullptr) {
      found = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
      libc.store(found);
    }
    handle = found;
  }
  return next(handle, name);
}

namespace velmora_test {
namespace {

// The C library's first segment, from its ELF header on: its hash tables, symbols,
// strings and versions, all that a symbol lookup in it reads.
std::pair<void*, std::size_t> libc_symbol_tables() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&strtol), &info) == 0) return {nullptr, 0};
  auto* base = static_cast<char*>(info.dli_fbase);
  auto* phdr = reinterpret_cast<const ElfW(Phdr)*>(base + reinterpret_cast<const ElfW(Ehdr)*>(base)->e_phoff);
  while (phdr->p_type != PT_LOAD) ++phdr;
  return {base, phdr->p_memsz};
}

// lookups PATH: one write to PATH, then a call of every other function the library
// interposes (on bad descriptors, so nothing happens) with the C library's symbol
// tables unreadable, so that any lookup there crashes (run it with LD_BIND_NOW set).
// Prints how many dlsym calls the first call made and the later ones together.
int scenario_lookups(int, char** argv) {
  const int fd = open_for_write(argv[2]);
  fact("written", write(fd, "x", 1));
  const long first = LOOKUPS.load();
  const auto [tables, size] = libc_symbol_tables();
  if (size == 0 || mprotect(tables, size, PROT_NONE) != 0) fail("libc's symbol tables");
  char buf[1];
  iovec iov{buf, 1};
  msghdr msg{};
  sockaddr_storage addr{};
  socklen_t len = sizeof(addr);
  read(-1, buf, 1);
  readv(-1, &iov, 1);
  writev(-1, &iov, 1);
  recv(-1, buf, 1, 0);
  recvfrom(-1, buf, 1, 0, reinterpret_cast<sockaddr*>(&addr), &len);
  recvmsg(-1, &msg, 0);
  send(-1, buf, 1, 0);
  sendmsg(-1, &msg, 0);
  sendto(-1, buf, 1, 0, nullptr, 0);
  connect(-1, reinterpret_cast<sockaddr*>(&addr), sizeof(sockaddr_un));
  dup2(-1, -1);
  dup3(-1, -1, 0);
  close(-1);
  pread(-1, buf, 1, 0);
  pwrite(-1, buf, 1, 0);
  dup(-1);
  mmap(nullptr, 1, PROT_READ, MAP_PRIVATE, -1, 0);
  close_range(~0u, ~0u, 0);
  mprotect(tables, size, PROT_READ);
  fact("first", first);
  fact("later", LOOKUPS.load() - first);
  close(fd);
  return 0;
}

// plugin PLUGIN PATH: the process's first observed call is made inside dlopen, by a
// thread that the plugin's constructor starts and waits for (plugin.c); it writes PATH.
int scenario_plugin(int, char** argv) {
  setenv("VELMORA_TEST_PLUGIN_FILE", argv[3], 1);
  if (dlopen(argv[2], RTLD_NOW) == nullptr) fail(dlerror());
  fact("loaded", 1);
  return 0;
}


constexpr Scenario SCENARIOS[] = {
    {"lookups", 1, scenario_lookups},
    {"plugin", 2, scenario_plugin},
};

}  // namespace

constinit const std::span<const Scenario> HAZARD_SCENARIOS = SCENARIOS;

}  // namespace velmora_test
