// The parts of TestOs.h that are the same on every system.
#include "support/TestOs.h"

#include <cstring>
#include <thread>

#include "support/TestNet.h"

namespace zntest {

int PendingError(int fd) {
  int err = 0;
  socklen_t len = sizeof(err);
  const int r = ::getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len);
  return r == 0 ? err : SocketError();
}

void CloseWakePair(int fds[2]) {
  for (int i = 0; i < 2; ++i) {
    CloseSocket(fds[i]);
    fds[i] = -1;
  }
}

bool LoopbackAddress(const std::string& ip, uint16_t port, sockaddr_storage* addr, socklen_t* len) {
  std::memset(addr, 0, sizeof(*addr));
  auto* v4 = reinterpret_cast<sockaddr_in*>(addr);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(addr);
  if (::inet_pton(AF_INET, ip.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    *len = sizeof(sockaddr_in);
    return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
  }
  if (::inet_pton(AF_INET6, ip.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    *len = sizeof(sockaddr_in6);
    return IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr);
  }
  return false;
}

std::string AddressText(const sockaddr_storage& addr) {
  char text[INET6_ADDRSTRLEN] = "";
  const bool v4 = addr.ss_family == AF_INET;
  ::inet_ntop(addr.ss_family,
              v4 ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(&addr)->sin_addr)
                 : static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_addr),
              text, sizeof(text));
  return text;
}

uint16_t AddressPort(const sockaddr_storage& addr) {
  return ntohs(addr.ss_family == AF_INET ? reinterpret_cast<const sockaddr_in*>(&addr)->sin_port
                                         : reinterpret_cast<const sockaddr_in6*>(&addr)->sin6_port);
}

// A process we cannot be told about: polled, with a bound.
bool ServerProcess::WaitAccepting(const std::vector<uint16_t>& ports, std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (std::chrono::steady_clock::now() < deadline && !Exited()) {
    size_t accepting = 0;
    for (const uint16_t port : ports) {
      const int fd = ConnectTo("127.0.0.1", port, 1000);
      CloseSocket(fd);
      accepting += fd >= 0;
    }
    if (accepting == ports.size()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  Stop();
  return false;
}

}  // namespace zntest
