// getaddrinfo, gethostbyname, gethostbyname2, their reentrant forms and getnameinfo
// (wide library): "resolve" after the call, whatever its outcome, naming what was asked
// as a socket is named ("socket:example.com:443"; getnameinfo: the address it was
// given). The C library's own files, sockets and queries for a lookup are made where
// no wrapper sees them, so this event is the lookup's one trace.
#include <netdb.h>

#include <optional>

#include "errno_saver.h"
#include "export.h"
#include "reentrancy.h"
#include "sink.h"
#include "sockaddr_name.h"
#include "slots.h"

namespace velmora_io::linux_intercept {
namespace {

void report_lookup(const std::optional<SocketName>& name) noexcept {
  if (!name) return;
  ErrnoSaver caller_errno;
  run_guarded([&] { log_event("resolve", name->view(), -1); });
}

}  // namespace
}  // namespace velmora_io::linux_intercept

namespace vio = velmora_io;
namespace li = velmora_io::linux_intercept;

VELMORA_EXPORT int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** res) {
  auto* real = li::getaddrinfo::get();
  if (real == nullptr) return li::real_function_missing<int>();
  const int result = real(node, service, hints, res);
  li::report_lookup(vio::lookup_to_resource(node, service));
  return result;
}

VELMORA_EXPORT hostent* gethostbyname(const char* name) {
  auto* real = li::gethostbyname::get();
  if (real == nullptr) return li::real_function_missing<hostent*>();
  hostent* result = real(name);
  li::report_lookup(vio::lookup_to_resource(name, nullptr));
  return result;
}

VELMORA_EXPORT hostent* gethostbyname2(const char* name, int family) {
  auto* real = li::gethostbyname2::get();
  if (real == nullptr) return li::real_function_missing<hostent*>();
  hostent* result = real(name, family);
  li::report_lookup(vio::lookup_to_resource(name, nullptr));
  return result;
}

VELMORA_EXPORT int gethostbyname_r(const char* name, hostent* ret, char* buf, size_t size, hostent** result,
                                   int* h_errnop) {
  auto* real = li::gethostbyname_r::get();
  if (real == nullptr) return li::real_function_missing<int>();
  const int status = real(name, ret, buf, size, result, h_errnop);
  li::report_lookup(vio::lookup_to_resource(name, nullptr));
  return status;
}

VELMORA_EXPORT int gethostbyname2_r(const char* name, int family, hostent* ret, char* buf, size_t size,
                                    hostent** result, int* h_errnop) {
  auto* real = li::gethostbyname2_r::get();
  if (real == nullptr) return li::real_function_missing<int>();
  const int status = real(name, family, ret, buf, size, result, h_errnop);
  li::report_lookup(vio::lookup_to_resource(name, nullptr));
  return status;
}

VELMORA_EXPORT int getnameinfo(const sockaddr* address, socklen_t length, char* host, socklen_t host_size,
                               char* service, socklen_t service_size, int flags) {
  auto* real = li::getnameinfo::get();
  if (real == nullptr) return li::real_function_missing<int>();
  const int result = real(address, length, host, host_size, service, service_size, flags);
  li::report_lookup(vio::sockaddr_to_resource(address, length));
  return result;
}
