// An in-process TLS (or plain TCP) server for transport tests, with faults that
// a test can choose: a delayed handshake, a close in the middle of the
// handshake, echo, sending or receiving a counted pattern with its SHA-256, a
// close while the client still has data buffered, a truncated last record.
//
// The server listens on a loopback address only. Each accepted connection is
// served on a thread of its own with a non-blocking socket and poll(); every
// wait is bounded (by the options' idle time-out) and Stop() wakes all of them.
// Connections never outlive Stop() or the destructor.
//
// Thread: Start, Stop and the destructor from one controlling thread; the
// result accessors from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TestNet.h"
#include "TestSha256.h"

namespace zntest {

struct TlsServerOptions {
  std::string address = "127.0.0.1";  // a loopback address: "127.0.0.1", "127.0.0.2", "::1"
  uint16_t port = 0;                   // 0 picks a free port
  bool tls = true;                     // false serves plain TCP with the same behaviours
  std::string subject = "/CN=localhost";  // of the certificate made for the server
  int handshakeDelayMs = 0;            // after accepting, wait this long before the handshake
  bool closeDuringHandshake = false;   // read the client's first bytes, then close
  bool echo = false;                   // send back what arrives
  uint64_t sendBytes = 0;              // bytes of Pattern(., 1) sent after the handshake
  // The connection ends once everything is sent and this many bytes arrived
  // (or the peer closed); with the default it ends at the peer's close.
  uint64_t expectBytes = UINT64_MAX;
  // After sending, push a record header promising more bytes than follow, raw
  // on the socket, before closing (a truncated stream).
  bool partialRecordAtEnd = false;
  bool closeNotify = true;             // end a TLS connection with close_notify before the FIN
  int idleTimeoutMs = 20000;           // a connection without progress this long is abandoned
};

struct TlsConnectionResult {
  uint64_t bytesReceived = 0;
  std::string receivedSha256;
  uint64_t bytesSent = 0;
  std::string peerAddress;     // the client's address text
  std::string error;           // empty when the connection went as configured
};

class TlsTestServer final {
 public:
  explicit TlsTestServer(const TlsServerOptions& options);
  ~TlsTestServer();
  TlsTestServer(const TlsTestServer&) = delete;
  TlsTestServer& operator=(const TlsTestServer&) = delete;

  // Binds and listens, then serves on a thread of its own. False when the
  // address cannot be bound (for example ::1 on a machine without IPv6) or
  // the certificate cannot be made.
  bool Start();
  // Stops accepting, wakes and joins every connection. Idempotent.
  void Stop();
  uint16_t port() const { return m_wPort; }

  size_t AcceptedCount() const { return m_waiter.Get(m_nAccepted); }
  // Waits (at most ms) until n connections have finished; copies all finished
  // results to out when given. False when the wait ran out.
  bool WaitForConnections(size_t n, int ms, std::vector<TlsConnectionResult>* out = nullptr);
  // Waits (at most ms) until n connections have been accepted.
  bool WaitForAccepted(size_t n, int ms) { return m_waiter.WaitFor([&] { return m_nAccepted >= n; }, ms); }

 private:
  void AcceptLoop();
  void Serve(int fd, std::string peer);
  // Waits for fd to become readable (and writable when wantWrite) or for Stop;
  // false on stop or after ms without an event.
  bool WaitFd(int fd, bool wantRead, bool wantWrite, int ms);
  bool Stopped() const { return m_bStop.load(); }

  TlsServerOptions m_options;
  void* m_pSslCtx = nullptr;    // owned SSL_CTX, null for plain TCP
  std::unique_ptr<LoopbackListener> m_listener;  // non-blocking
  int m_wakePipe[2] = {-1, -1};                   // owned; a byte in it wakes every waiter
  uint16_t m_wPort = 0;
  std::atomic<bool> m_bStop{false};
  std::thread m_acceptThread;

  mutable Waiter m_waiter;
  std::vector<std::thread> m_connections;      // guarded by m_waiter
  std::vector<TlsConnectionResult> m_results;  // guarded by m_waiter
  size_t m_nAccepted = 0;                      // guarded by m_waiter
};

// A loopback port that refuses connections: bound, never listening. Use it to
// make an address family fail fast on a chosen port.
class RefusingPort final {
 public:
  // port 0 picks a free one. valid() is false when the address cannot be bound.
  RefusingPort(const std::string& address, uint16_t port) : m_socket(address.c_str(), port, -1) {}
  bool valid() const { return m_socket.ok(); }
  uint16_t port() const { return m_socket.port(); }

 private:
  LoopbackListener m_socket;  // bound, never listening
};

// Refusing ports on several loopback addresses under one port number that is
// free on every one of them: another process may hold a number on one address
// only. valid() is false when no such number was found.
class RefusingPorts final {
 public:
  explicit RefusingPorts(const std::vector<std::string>& addresses);
  bool valid() const { return !m_ports.empty(); }
  uint16_t port() const { return valid() ? m_ports.front()->port() : 0; }

 private:
  std::vector<std::unique_ptr<RefusingPort>> m_ports;  // owned, one per address
};

// True when the machine has an IPv6 loopback that can be bound.
bool HasIpv6Loopback();

// Writes the socket address (port 0) of a numeric loopback address text into a
// 128-byte record, as a resolver's result holds it. False for other text.
bool FillAddressRecord(const std::string& ip, unsigned char record[128]);

}  // namespace zntest
