// What differs between the systems for the tests: the socket calls the
// in-process servers and the helpers make (descriptors on POSIX systems,
// Winsock handles on Windows, both held in an int: Winsock handles of a
// 32-bit process are small numbers), temporary folders and processes. The
// implementations are TestOs_posix.cpp and TestOs_win.cpp, with what both
// share in TestOs.cpp; the test files include this header instead of the
// systems' socket headers.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace zntest {

#ifdef _WIN32
constexpr int kNoSignal = 0;  // Winsock raises no signal for a broken connection
constexpr int kDontWait = 0;  // callers make the socket non-blocking or poll first
constexpr int kShutWrite = SD_SEND;
using ssize_t = int;
#else
constexpr int kNoSignal = MSG_NOSIGNAL;
constexpr int kDontWait = MSG_DONTWAIT;
constexpr int kShutWrite = SHUT_WR;
using ssize_t = ::ssize_t;
#endif

// A new blocking TCP socket of the family, not inherited by child processes; -1 on failure.
int NewSocket(int family);
void CloseSocket(int fd);
bool SetNonBlocking(int fd, bool nonBlocking = true);
// The pending error of a socket (SO_ERROR), e.g. of a finished non-blocking connect.
int PendingError(int fd);
// A poll record for the socket (the record's field is not an int on Windows).
inline pollfd PollRecord(int fd, short events) {
  pollfd p{};
  p.fd = static_cast<decltype(p.fd)>(fd);
  p.events = events;
  return p;
}
// The last socket error of the calling thread, and whether it only means "not now"
// (including a non-blocking connect under way).
int SocketError();
bool SocketWouldBlock();
// poll() over sockets.
int PollSockets(pollfd* fds, size_t n, int timeoutMs);
// Accepts a connection as a non-blocking socket not inherited by children; -1 when none.
int AcceptNonBlocking(int listenFd, sockaddr* peer, socklen_t* len);
// A pair that wakes poll(): fds[0] turns readable once Wake(fds[1]) was called.
// A pipe on POSIX systems, a connected loopback socket pair on Windows (where
// only sockets can be polled). Both ends non-blocking.
bool MakeWakePair(int fds[2]);
void Wake(int fd);
void CloseWakePair(int fds[2]);
// A write to a peer that has gone must fail, not end the process (SIGPIPE).
void IgnoreBrokenPipes();
// The bytes waiting to be read on the socket, or -1.
int UnreadBytes(int fd);

// The socket address of a numeric loopback address text ("127.0.0.2", "::1")
// and port; false for any other text.
bool LoopbackAddress(const std::string& ip, uint16_t port, sockaddr_storage* addr, socklen_t* len);
// The address text and the port of an IPv4 or IPv6 socket address.
std::string AddressText(const sockaddr_storage& addr);
uint16_t AddressPort(const sockaddr_storage& addr);

// Sets (value null: removes) a proxy variable of the environment. False where
// the system's proxy setting is not read from the environment (Windows: the
// Internet Explorer setting).
bool SetProxyVariable(const char* name, const char* value);
// Makes "host:port" the system's proxy for SetUseIEProxy, with the addresses
// of bypass (separated by ';') connecting directly; hostPort null: no proxy.
// POSIX systems: http_proxy and no_proxy. Windows: the current user's Internet
// Explorer setting in the registry, where WinHTTP reads it, where hostPort may
// also be a per-scheme list ("http=host:port;https=host:port"), which POSIX
// systems refuse (false).
bool SetSystemProxy(const char* hostPort, const char* bypass);

// The calling thread's name as the system keeps it.
std::string CurrentThreadName();
// The address space reserved for the calling thread's stack, in bytes.
size_t CurrentThreadStackReservation();

// A fresh folder under the system's temporary folder whose name starts with
// prefix; "" on failure. The caller removes it.
std::string MakeTempDir(const std::string& prefix);

// File permission bits where the system has them: SetCreationMask sets the
// process's umask (false where there is none), FileModeBits gives a file's
// permission bits (-1 where there are none).
bool SetCreationMask(int mask);
int FileModeBits(const std::string& path);

// ---- programs run by the tests ------------------------------------------------
struct ProcessResult {
  int status = -1;  // exit status, or -1 when killed at the bound
  std::string out, err;
};
// Runs argv[0] (a path) with the arguments in dir (empty: here), collecting
// its standard output and error; kills it when it runs longer than boundMs.
// With interruptWhen, the program gets an interrupt (Ctrl-C) once the output
// so far satisfies it; where a program cannot be interrupted that way
// (CanInterruptProcesses false), the predicate is never asked.
ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& dir, int boundMs,
                         const std::function<bool(const ProcessResult&)>& interruptWhen = nullptr);
// Whether RunProcess can send an interrupt here.
bool CanInterruptProcesses();
// False where a reset from the peer reads like an orderly close (Wine's
// sockets give 0, not WSAECONNRESET), so that no test can tell the two apart.
bool PeerResetIsSeen();

// ---- real servers -------------------------------------------------------------
// Real servers (nginx, tinyproxy) are Linux programs. Under Wine a Windows
// program can start one but can neither wait for it nor stop it, so there the
// process is started by a launcher on the Linux side (scripts/win32-launcher,
// run as a CTest fixture) that the tests reach through a spool folder named
// by ZN_LAUNCHER_DIR; on POSIX systems the test starts it itself.

// A folder that the test and the server both reach, with the prefix in its
// name; "" on failure. The caller removes it.
std::string MakeServerDir(const std::string& prefix);
// The name under which the server sees a path the test uses.
std::string ServerSidePath(const std::string& path);

// One server process. Thread: the test thread. Owns the process: Stop (and
// the destructor) ends it; on POSIX systems it also dies with the test.
class ServerProcess final {
 public:
  ServerProcess() = default;
  ~ServerProcess() { Stop(); }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts argv (server-side paths) with standard output and error appended
  // to outputPath (a test-side path). False when it cannot be started.
  bool Start(const std::vector<std::string>& argv, const std::string& outputPath);
  // True once the process is known to have ended.
  bool Exited();
  // Waits until every port accepts a connection on 127.0.0.1; false (and the
  // process stopped) when it ends first or the bound passes.
  bool WaitAccepting(const std::vector<uint16_t>& ports, std::chrono::milliseconds bound);
  // Ends the process (a polite signal, then a kill after a bound) and waits for it.
  void Stop();
  bool running() const { return m_nId > 0; }

 private:
  long m_nId = -1;  // the process id (POSIX) or the launcher's job number (Windows); -1 when none
};

}  // namespace zntest
