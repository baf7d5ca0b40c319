// Address helpers of the socket layer and the peer-name function of the
// platform interface; the same on every system.
#include "platform/znsocketutil.h"

#include <cstdio>
#include <cstring>

#include "base/znplatform.h"

namespace znplatform {

namespace {

// The longest interface name a scope suffix can carry (IF_NAMESIZE on Linux).
constexpr size_t kScopeNameCapacity = 16;
// The longest text an IPv6 address with a scope suffix can take, terminator included.
constexpr size_t kAddressTextCapacity = INET6_ADDRSTRLEN + kScopeNameCapacity + 2;

}  // namespace

bool ParseNumericAddress(const char* ip, uint16_t port, sockaddr_storage& addr, socklen_t& len) {
  if (ip == nullptr || *ip == '\0') return false;
  in_addr v4;
  if (::inet_pton(AF_INET, ip, &v4) == 1) {
    // Dotted quads only: the short forms getaddrinfo would take ("127.1") are
    // not addresses to us.
    std::memset(&addr, 0, sizeof(addr));
    auto* in4 = reinterpret_cast<sockaddr_in*>(&addr);
    in4->sin_family = AF_INET;
    in4->sin_addr = v4;
    in4->sin_port = htons(port);
    len = sizeof(sockaddr_in);
    return true;
  }
  // Brackets belong to URLs, not to address texts (Winsock's getaddrinfo
  // would take "[::1]").
  if (std::strchr(ip, ':') == nullptr || std::strpbrk(ip, "[]") != nullptr) return false;
  // IPv6 through getaddrinfo, which also reads a scope suffix ("fe80::1%2") and
  // with AI_NUMERICHOST never touches the network.
  addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_INET6;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  char service[8];
  std::snprintf(service, sizeof(service), "%u", static_cast<unsigned>(port));
  addrinfo* res = nullptr;
  if (::getaddrinfo(ip, service, &hints, &res) != 0 || res == nullptr) return false;
  bool ok = false;
  if (res->ai_family == AF_INET6 && res->ai_addrlen <= sizeof(addr)) {
    std::memset(&addr, 0, sizeof(addr));
    std::memcpy(&addr, res->ai_addr, res->ai_addrlen);
    len = res->ai_addrlen;
    ok = true;
  }
  ::freeaddrinfo(res);
  return ok;
}

bool SockaddrToText(const sockaddr* sa, socklen_t len, std::string& ip, uint16_t& port) {
  char text[kAddressTextCapacity] = {0};
  if (sa->sa_family == AF_INET && len >= static_cast<socklen_t>(sizeof(sockaddr_in))) {
    const auto* in4 = reinterpret_cast<const sockaddr_in*>(sa);
    if (::inet_ntop(AF_INET, &in4->sin_addr, text, sizeof(text)) == nullptr) return false;
    ip = text;
    port = ntohs(in4->sin_port);
    return true;
  }
  if (sa->sa_family == AF_INET6 && len >= static_cast<socklen_t>(sizeof(sockaddr_in6))) {
    const auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
    if (::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof(text)) == nullptr) return false;
    ip = text;
    if (in6->sin6_scope_id != 0) {
      ip += '%';
      ip += std::to_string(in6->sin6_scope_id);
    }
    port = ntohs(in6->sin6_port);
    return true;
  }
  return false;
}

}  // namespace znplatform

using znplatform::FdOfHandle;

bool znsocket_getpeername6(znsocket_t s, zn::strutf8& ip, uint16_t& port) {
  const znplatform::NativeSocket fd = FdOfHandle(s);
  if (fd == znplatform::kNoSocket) {
    znsyslog(2, znplatform::kSocketLogTag, __LINE__, "znsocket_getpeername6: invalid socket");
    return false;
  }
  sockaddr_storage addr;
  socklen_t len = sizeof(addr);
  std::memset(&addr, 0, sizeof(addr));
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    znsyslog(2, znplatform::kSocketLogTag, __LINE__, "znsocket_getpeername6: getpeername(%d) failed: %s",
             static_cast<int>(fd), znplatform::ErrorText(znplatform::LastSocketError()));
    return false;
  }
  std::string text;
  if (!znplatform::SockaddrToText(reinterpret_cast<const sockaddr*>(&addr), len, text, port)) {
    znsyslog(2, znplatform::kSocketLogTag, __LINE__, "znsocket_getpeername6: unknown address family %d",
             static_cast<int>(addr.ss_family));
    return false;
  }
  ip = text.c_str();
  return true;
}
