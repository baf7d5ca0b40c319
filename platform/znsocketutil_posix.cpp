// The socket calls of the platform library on POSIX descriptors, and the
// handle functions of the platform interface (znsocket_*).
#include "platform/znsocketutil.h"

#include <fcntl.h>
#include <netinet/tcp.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <climits>
#include <cstring>

#include "base/znplatform.h"
#include "platform/znasiosocket.h"

namespace znplatform {

namespace {

// The queued byte count that a read on a TCP_INQ socket reports, or -1.
int QueuedBytes(msghdr& msg) {
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level == IPPROTO_TCP && c->cmsg_type == TCP_CM_INQ && c->cmsg_len >= CMSG_LEN(sizeof(int))) {
      int queued = -1;
      std::memcpy(&queued, CMSG_DATA(c), sizeof(queued));
      return queued;
    }
  }
  return -1;
}

}  // namespace

NativeSocket FdOfHandle(znsocket_t s) { return znsocket_isvalid(s) ? static_cast<int>(s) : -1; }
znsocket_t HandleOfFd(NativeSocket fd) { return fd >= 0 ? static_cast<znsocket_t>(fd) : znsocket_makeinvalid(); }

int LastSocketError() { return errno; }
bool Interrupted() { return errno == EINTR; }
bool IsWouldBlock(int err) { return err == EAGAIN || err == EWOULDBLOCK; }
int BrokenPipeError() { return EPIPE; }

bool SetNonBlocking(NativeSocket fd) {
  const int flags = RetryOnEintr([&] { return ::fcntl(fd, F_GETFL, 0); });
  if (flags < 0) return false;
  if (flags & O_NONBLOCK) return true;
  return RetryOnEintr([&] { return ::fcntl(fd, F_SETFL, flags | O_NONBLOCK); }) == 0;
}

NativeSocket NewStreamSocket(int family) { return ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0); }

void CloseSocket(NativeSocket fd) {
  // close is not retried on EINTR: on Linux the descriptor is gone either way.
  if (fd >= 0 && ::close(fd) != 0) {
    znsyslog(2, kSocketLogTag, __LINE__, "close(%d) failed: %s", fd, ErrorText(errno));
  }
}

int StartConnect(NativeSocket fd, const sockaddr* peer, socklen_t len) {
  const int rc = RetryOnEintr([&] { return ::connect(fd, peer, len); });
  return (rc == 0 || errno == EINPROGRESS) ? 0 : errno;
}

int ConnectResult(NativeSocket fd) {
  int err = 0;
  socklen_t len = sizeof(err);
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
  return err;
}

bool ConnectFailureIsExceptional() { return false; }

ssize_t SendSome(NativeSocket fd, const void* data, size_t len) {
  return RetryOnEintr([&] { return ::send(fd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT); });
}

ssize_t RecvSome(NativeSocket fd, void* data, size_t len) {
  return RetryOnEintr([&] { return ::recv(fd, data, len, MSG_DONTWAIT); });
}

ssize_t PeekSome(NativeSocket fd, void* data, size_t len) {
  return RetryOnEintr([&] { return ::recv(fd, data, len, MSG_PEEK | MSG_DONTWAIT); });
}

ssize_t RecvTwo(NativeSocket fd, void* first, size_t firstLen, void* second, size_t secondLen, int& queued) {
  iovec iov[2] = {{first, firstLen}, {second, secondLen}};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  msghdr msg{};
  msg.msg_iov = iov;
  msg.msg_iovlen = secondLen > 0 ? 2 : 1;
  const ssize_t n = RetryOnEintr([&] {
    msg.msg_control = control;
    msg.msg_controllen = sizeof(control);
    return ::recvmsg(fd, &msg, MSG_DONTWAIT);
  });
  queued = n > 0 ? QueuedBytes(msg) : -1;
  return n;
}

void EnableQueuedCount(NativeSocket fd) {
  // A socket that cannot (not TCP) simply reports nothing.
  const int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_INQ, &one, sizeof(one));
}

bool PendingBytes(NativeSocket fd, uint32_t& pending) {
  int n = 0;
  if (::ioctl(fd, FIONREAD, &n) != 0) return false;
  pending = n > 0 ? static_cast<uint32_t>(n) : 0u;
  return true;
}

void AssignSocket(AsioSocket& desc, NativeSocket fd, int /*family*/, asio::error_code& ec) { desc.assign(fd, ec); }

NativeSocket ReleaseSocket(AsioSocket& desc) { return desc.release(); }

const char* ErrorText(int err) {
  const char* text = ::strerrordesc_np(err);
  return text ? text : "unknown error";
}

}  // namespace znplatform

znsocket_t znsocket_makeinvalid() { return ~static_cast<znsocket_t>(0); }

bool znsocket_isvalid(znsocket_t s) { return s <= static_cast<znsocket_t>(INT_MAX); }

void znsocket_close(znsocket_t s) {
  const int fd = znplatform::FdOfHandle(s);
  if (fd < 0) return;
  // close is not retried on EINTR: on Linux the descriptor is gone either way.
  if (::close(fd) != 0) {
    znsyslog(2, znplatform::kSocketLogTag, __LINE__, "znsocket_close: close(%d) failed: %s", fd,
             znplatform::ErrorText(errno));
  }
}
