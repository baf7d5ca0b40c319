// The socket calls of the platform library on Winsock handles, and the handle
// functions of the platform interface (znsocket_*). Winsock itself is started
// by Asio (its headers start it in every module that includes them) and here
// once more, so that a host that only resolves names finds it started too.
#include "platform/znsocketutil.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "base/znplatform.h"
#include "platform/znasiosocket.h"

namespace znplatform {

namespace {

// Starts Winsock 2.2 when the library is loaded. It is never ended: the
// destructor would run inside DllMain at unload, where WSACleanup must not be
// called, and the process's end releases Winsock anyway.
struct WinsockSession final {
  WinsockSession() {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
  }
};
WinsockSession g_winsock;

// The text of an error, per thread (ErrorText hands out a pointer to it).
thread_local char t_errorText[256];

}  // namespace

NativeSocket FdOfHandle(znsocket_t s) { return znsocket_isvalid(s) ? static_cast<SOCKET>(s) : INVALID_SOCKET; }
znsocket_t HandleOfFd(NativeSocket fd) {
  return fd != INVALID_SOCKET ? static_cast<znsocket_t>(fd) : znsocket_makeinvalid();
}

int LastSocketError() { return ::WSAGetLastError(); }
bool Interrupted() { return ::WSAGetLastError() == WSAEINTR; }
bool IsWouldBlock(int err) { return err == WSAEWOULDBLOCK; }
int BrokenPipeError() { return WSAECONNRESET; }

bool SetNonBlocking(NativeSocket fd) {
  u_long on = 1;
  return ::ioctlsocket(fd, FIONBIO, &on) == 0;
}

NativeSocket NewStreamSocket(int family) {
  const SOCKET s = ::WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return s;
  if (!SetNonBlocking(s)) {
    const int err = ::WSAGetLastError();
    ::closesocket(s);
    ::WSASetLastError(err);
    return INVALID_SOCKET;
  }
  return s;
}

void CloseSocket(NativeSocket fd) {
  if (fd != INVALID_SOCKET && ::closesocket(fd) != 0) {
    znsyslog(2, kSocketLogTag, __LINE__, "closesocket(%u) failed: %s", static_cast<unsigned>(fd),
             ErrorText(::WSAGetLastError()));
  }
}

int StartConnect(NativeSocket fd, const sockaddr* peer, socklen_t len) {
  if (::connect(fd, peer, len) == 0) return 0;
  const int err = ::WSAGetLastError();
  return err == WSAEWOULDBLOCK ? 0 : err;
}

int ConnectResult(NativeSocket fd) {
  int err = 0;
  int len = sizeof(err);
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0) err = ::WSAGetLastError();
  return err;
}

bool ConnectFailureIsExceptional() { return true; }

// The socket is non-blocking from Attach or NewStreamSocket on, and Winsock
// raises no signal for a broken connection.
ssize_t SendSome(NativeSocket fd, const void* data, size_t len) {
  return ::send(fd, static_cast<const char*>(data), static_cast<int>(len), 0);
}

ssize_t RecvSome(NativeSocket fd, void* data, size_t len) {
  return ::recv(fd, static_cast<char*>(data), static_cast<int>(len), 0);
}

ssize_t PeekSome(NativeSocket fd, void* data, size_t len) {
  return ::recv(fd, static_cast<char*>(data), static_cast<int>(len), MSG_PEEK);
}

ssize_t RecvTwo(NativeSocket fd, void* first, size_t firstLen, void* second, size_t secondLen, int& queued) {
  queued = -1;  // Winsock does not tell
  WSABUF bufs[2];
  bufs[0].buf = static_cast<char*>(first);
  bufs[0].len = static_cast<ULONG>(firstLen);
  bufs[1].buf = static_cast<char*>(second);
  bufs[1].len = static_cast<ULONG>(secondLen);
  DWORD got = 0;
  DWORD flags = 0;
  if (::WSARecv(fd, bufs, secondLen > 0 ? 2 : 1, &got, &flags, nullptr, nullptr) != 0) return -1;
  return static_cast<ssize_t>(got);
}

void EnableQueuedCount(NativeSocket) {}

bool PendingBytes(NativeSocket fd, uint32_t& pending) {
  u_long n = 0;
  if (::ioctlsocket(fd, FIONREAD, &n) != 0) return false;
  pending = static_cast<uint32_t>(n);
  return true;
}

void AssignSocket(AsioSocket& desc, NativeSocket fd, int family, asio::error_code& ec) {
  if (family == AF_UNSPEC) {
    // A connected socket: its own address tells the family.
    sockaddr_storage addr;
    int len = sizeof(addr);
    std::memset(&addr, 0, sizeof(addr));
    family = ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0 ? addr.ss_family : AF_INET;
  }
  desc.assign(family == AF_INET6 ? asio::ip::tcp::v6() : asio::ip::tcp::v4(), fd, ec);
}

NativeSocket ReleaseSocket(AsioSocket& desc) {
  asio::error_code ec;
  const NativeSocket fd = desc.release(ec);
  return ec ? INVALID_SOCKET : fd;
}

const char* ErrorText(int err) {
  const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(err), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                   t_errorText, sizeof(t_errorText), nullptr);
  if (n == 0) {
    std::snprintf(t_errorText, sizeof(t_errorText), "error %d", err);
  } else {
    // The system's texts end with a line break.
    size_t len = n;
    while (len > 0 && (t_errorText[len - 1] == '\r' || t_errorText[len - 1] == '\n' || t_errorText[len - 1] == ' '))
      t_errorText[--len] = '\0';
  }
  return t_errorText;
}

}  // namespace znplatform

znsocket_t znsocket_makeinvalid() { return ~static_cast<znsocket_t>(0); }

// A Winsock handle is a pointer-sized number other than INVALID_SOCKET.
bool znsocket_isvalid(znsocket_t s) { return s < static_cast<znsocket_t>(INVALID_SOCKET); }

void znsocket_close(znsocket_t s) {
  const SOCKET fd = znplatform::FdOfHandle(s);
  if (fd == INVALID_SOCKET) return;
  if (::closesocket(fd) != 0) {
    znsyslog(2, znplatform::kSocketLogTag, __LINE__, "znsocket_close: closesocket(%u) failed: %s",
             static_cast<unsigned>(fd), znplatform::ErrorText(::WSAGetLastError()));
  }
}
