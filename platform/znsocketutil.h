// Internal to the platform library: small socket and address helpers shared
// by the TCP socket, the connecting sockets and the resolver. The calls that
// differ between the systems (descriptor or Winsock handle, errno or
// WSAGetLastError, the read that reports what stays queued) are declared here
// once and implemented in znsocketutil_posix.cpp and znsocketutil_win.cpp.
//
// Every function here is a plain call on the calling thread; none keeps state.
// Nothing outside platform/ includes this header.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/types.h>
#endif

#include <cerrno>
#include <cstddef>
#include <string>

#include "base/znsocket.h"

namespace znplatform {

// The tag of the socket layer's log lines.
constexpr const char kSocketLogTag[] = "znsocket";

#ifdef _WIN32
using NativeSocket = SOCKET;
constexpr NativeSocket kNoSocket = INVALID_SOCKET;
using ssize_t = int;
#else
using NativeSocket = int;
constexpr NativeSocket kNoSocket = -1;
using ssize_t = ::ssize_t;
#endif

// Handle <-> native socket. A handle that does not hold a socket gives kNoSocket.
NativeSocket FdOfHandle(znsocket_t s);
znsocket_t HandleOfFd(NativeSocket fd);

// The error of the calling thread's last failed socket call.
int LastSocketError();
// True when the last failed call was only interrupted by a signal.
bool Interrupted();

// Repeats a system call while it is interrupted by a signal; the one place
// where an interruption is handled.
template <typename Fn>
auto RetryOnEintr(Fn fn) -> decltype(fn()) {
  decltype(fn()) r;
  do {
    r = fn();
  } while (r < 0 && Interrupted());
  return r;
}

// True for the errors that only mean "not now" on a non-blocking socket.
bool IsWouldBlock(int err);
// The error that stands for a peer gone while sending.
int BrokenPipeError();

// Puts the socket into non-blocking mode; false (error set) on failure.
bool SetNonBlocking(NativeSocket fd);

// A new non-blocking stream socket of the family that is not inherited by
// child processes, or kNoSocket (error set).
NativeSocket NewStreamSocket(int family);
// Closes a socket; logs a failure.
void CloseSocket(NativeSocket fd);

// Starts a non-blocking connect: 0 when it is under way or done, else the error.
int StartConnect(NativeSocket fd, const sockaddr* peer, socklen_t len);
// The outcome of a finished non-blocking connect: 0 or the error.
int ConnectResult(NativeSocket fd);
// On Windows a failed non-blocking connect is reported as an exceptional
// condition, not as writability; the connecting socket then waits for both.
bool ConnectFailureIsExceptional();

// Send without blocking and without a signal: the bytes taken, or -1 (error set).
ssize_t SendSome(NativeSocket fd, const void* data, size_t len);
// Receive without blocking: the bytes read, 0 at the end of the stream, -1 (error set).
ssize_t RecvSome(NativeSocket fd, void* data, size_t len);
// The same, leaving the bytes in the socket.
ssize_t PeekSome(NativeSocket fd, void* data, size_t len);
// Receive into two buffers one after the other, without blocking. queued gets
// what the kernel still holds behind the read when the system tells (a FIN
// counts as one byte), else -1.
ssize_t RecvTwo(NativeSocket fd, void* first, size_t firstLen, void* second, size_t secondLen, int& queued);
// Asks the system to report the queued count with every RecvTwo, where it can.
void EnableQueuedCount(NativeSocket fd);
// The bytes waiting to be read; false (error set) on failure.
bool PendingBytes(NativeSocket fd, uint32_t& pending);

// A numeric IPv4 or IPv6 address text (an IPv6 scope suffix "%n" or "%if" is
// accepted, brackets are not) and a port as a socket address. False, with addr
// untouched, for anything else, host names included.
bool ParseNumericAddress(const char* ip, uint16_t port, sockaddr_storage& addr, socklen_t& len);

// The address text (IPv6 without brackets, with "%scope" when it has one) and
// the port of a socket address. False for a family other than IPv4 and IPv6.
bool SockaddrToText(const sockaddr* sa, socklen_t len, std::string& ip, uint16_t& port);

// The text of a socket error (errno or Winsock) for log lines.
const char* ErrorText(int err);

}  // namespace znplatform
