// Internal to the platform library: small descriptor and address helpers shared
// by the TCP socket, the connecting sockets and the resolver.
//
// Every function here is a plain call on the calling thread; none keeps state.
// Nothing outside platform/ includes this header.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cerrno>
#include <string>

#include "base/znsocket.h"

namespace znplatform {

// The tag of the socket layer's log lines.
constexpr const char kSocketLogTag[] = "znsocket";

// Descriptor <-> handle. A handle that does not hold a descriptor gives -1.
inline int FdOfHandle(znsocket_t s) { return znsocket_isvalid(s) ? static_cast<int>(s) : -1; }
inline znsocket_t HandleOfFd(int fd) { return fd >= 0 ? static_cast<znsocket_t>(fd) : znsocket_makeinvalid(); }

// Repeats a system call while it is interrupted by a signal; the one place
// where EINTR is handled.
template <typename Fn>
auto RetryOnEintr(Fn fn) -> decltype(fn()) {
  decltype(fn()) r;
  do {
    r = fn();
  } while (r < 0 && errno == EINTR);
  return r;
}

// True for the errors that only mean "not now" on a non-blocking descriptor.
inline bool IsWouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }

// Puts the descriptor into non-blocking mode; false (errno set) on failure.
bool SetNonBlocking(int fd);

// A numeric IPv4 or IPv6 address text (an IPv6 scope suffix "%n" or "%if" is
// accepted, brackets are not) and a port as a socket address. False, with addr
// untouched, for anything else, host names included.
bool ParseNumericAddress(const char* ip, uint16_t port, sockaddr_storage& addr, socklen_t& len);

// The address text (IPv6 without brackets, with "%scope" when it has one) and
// the port of a socket address. False for a family other than IPv4 and IPv6.
bool SockaddrToText(const sockaddr* sa, socklen_t len, std::string& ip, uint16_t& port);

// The text of an errno value, for log lines.
const char* ErrorText(int err);

}  // namespace znplatform
