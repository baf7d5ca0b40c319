// A scripted loopback TCP server for the integration and transport tests: it
// accepts connections on a loopback address, optionally runs TLS on them, and
// plays one script per connection, in accept order. A script reads requests
// (recording their exact bytes), sends bytes (whole or in delayed pieces),
// streams a counted pattern both ways (checked by its SHA-256), delays or
// skips the handshake, stalls, closes or resets: a test can put a fault at an
// exact byte.
//
// Threads: an accept thread and one thread per connection; the test thread
// builds the scripts before construction and reads the records through the
// guarded accessors, waiting with a bound. Stop() and the destructor end every
// thread promptly (a pipe that all waits include), also when a script is
// stalled. Ownership: the server owns its sockets, its TLS context and its threads.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TestCerts.h"
#include "TestNet.h"

typedef struct ssl_ctx_st SSL_CTX;
struct ssl_st;

namespace zntest {

// The steps of one connection, played in order. After the last step the
// connection is kept open and read until the peer closes it or the server
// stops, unless the script closed or reset it.
class ServerScript final {
 public:
  // Reads a request head (through the empty line) and the Content-Length body
  // bytes it announces, as one request record.
  ServerScript& ReadRequest() { return Add(Step::kReadRequest); }
  // Reads a request head only; a body is left for ReadBytes.
  ServerScript& ReadHead() { return Add(Step::kReadHead); }
  // Reads exactly n more bytes, added to the connection's last request record.
  ServerScript& ReadBytes(size_t n) { return Add(Step::kReadBytes, "", {}, n); }
  ServerScript& Send(std::string bytes) { return Add(Step::kSend, std::move(bytes)); }
  // Sends bytes in pieces of the given sizes (the rest goes as a final piece),
  // waiting delayMs before each piece after the first.
  ServerScript& SendPieces(std::string bytes, std::vector<size_t> pieces, int delayMs) {
    return Add(Step::kSend, std::move(bytes), std::move(pieces), 0, delayMs);
  }
  ServerScript& Delay(int ms) { return Add(Step::kDelay, "", {}, 0, ms); }
  // Neither reads nor writes until the server is destroyed.
  ServerScript& Stall() { return Add(Step::kStall); }
  // Orderly close: TLS close_notify (unless notify is false), FIN, then reads
  // until the peer closes or a short bound passes, so no unread byte turns it
  // into a reset.
  ServerScript& Close(bool notify = true) { return Add(Step::kClose, "", {}, 0, 0, notify); }
  // Abortive close: the peer sees a reset.
  ServerScript& Reset() { return Add(Step::kReset); }
  // Reads until the peer closes, for at most ms milliseconds.
  ServerScript& WaitPeerClose(int ms) { return Add(Step::kWaitPeerClose, "", {}, 0, ms); }
  // The same, and the bytes join the connection's last request record: what a
  // client sent beyond the body it announced.
  ServerScript& ReadFor(int ms) { return Add(Step::kReadFor, "", {}, 0, ms); }
  // TLS close_notify alone: the TCP connection stays open.
  ServerScript& CloseNotify() { return Add(Step::kCloseNotify); }
  // Bytes straight to the socket, past TLS (a corrupted record, say).
  ServerScript& SendRaw(std::string bytes) { return Add(Step::kSendRaw, std::move(bytes)); }
  // With TLS the handshake runs before the first step, unless the script has
  // this step (it runs here, after a Delay, say) or ReadHello.
  ServerScript& Handshake() { return Add(Step::kHandshake); }
  // Reads the client's first bytes past TLS (its hello); no handshake runs.
  ServerScript& ReadHello() { return Add(Step::kReadHello); }
  // Sends sendBytes of Pattern(., kStreamSeed) while it reads; what arrives is
  // counted and hashed into the connection's result and, with echo, sent back
  // after what is queued. Ends once all is sent and expectBytes arrived, or at
  // the peer's close; fails after idleMs without progress.
  ServerScript& Stream(uint64_t sendBytes, uint64_t expectBytes = UINT64_MAX, bool echo = false,
                       int idleMs = 20000) {
    Add(Step::kStream, "", {}, sendBytes, idleMs, echo);
    m_steps.back().expect = expectBytes;
    return *this;
  }
  static constexpr uint64_t kStreamSeed = 1;

  struct Step {
    enum Kind {
      kReadRequest, kReadHead, kReadBytes, kSend, kDelay, kStall, kClose, kReset, kWaitPeerClose, kReadFor,
      kCloseNotify, kSendRaw, kHandshake, kReadHello, kStream
    };
    Kind kind;
    std::string bytes;           // kSend: what to send
    std::vector<size_t> pieces;  // kSend: piece sizes; empty = one write
    uint64_t count = 0;          // kReadBytes: bytes to read; kStream: bytes to send
    int ms = 0;                  // kSend: delay between pieces; kDelay, kWaitPeerClose: time; kStream: idle bound
    bool flag = false;           // kStream: echo; kClose: close_notify first
    uint64_t expect = 0;         // kStream: bytes to read
  };
  const std::vector<Step>& Steps() const { return m_steps; }

 private:
  ServerScript& Add(Step::Kind kind, std::string bytes = "", std::vector<size_t> pieces = {}, uint64_t count = 0,
                    int ms = 0, bool flag = false) {
    m_steps.push_back(Step{kind, std::move(bytes), std::move(pieces), count, ms, flag, 0});
    return *this;
  }
  std::vector<Step> m_steps;
};

struct ScriptedServerOptions {
  std::string address = "127.0.0.1";  // a loopback address: "127.0.0.1", "127.0.0.2", "::1"
  uint16_t port = 0;                   // 0 picks a free one
  // TLS on every connection with this certificate when valid.
  TestCert tlsCert;
  // Script for the connections beyond the list: closes at once when null.
  std::shared_ptr<ServerScript> defaultScript;
  // Serve one connection to its end before accepting the next, as a server
  // with a single worker does; later connections wait in the listen queue.
  bool oneAtATime = false;
};

// How one connection went, once it ended.
struct ConnectionResult {
  uint64_t bytesReceived = 0, bytesSent = 0;  // by its Stream steps
  std::string receivedSha256;                 // of the bytes its Stream steps received
  std::string error;                          // "" when every step ran
};

class ScriptedServer final {
 public:
  explicit ScriptedServer(std::vector<ServerScript> scripts, ScriptedServerOptions options = {});
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;
  ~ScriptedServer();

  // Listening (and, with TLS, the certificate loaded). False when the address
  // cannot be bound (::1 on a machine without IPv6, a port in use).
  bool ok() const { return m_bOk; }
  uint16_t port() const { return m_listener.port(); }
  // "http://127.0.0.1:PORT" + path ("https" with TLS; "[::1]" for IPv6).
  std::string Url(const std::string& path = "/") const;
  // Stops listening, wakes and joins every connection. Idempotent.
  void Stop();

  // Connections accepted so far.
  size_t Accepted() const;
  bool WaitAccepted(size_t n, int ms) const;
  // Waits (at most ms) until n connections have ended; copies the results, in
  // the order the connections ended, to out when given.
  bool WaitEnded(size_t n, int ms, std::vector<ConnectionResult>* out = nullptr) const;
  // Requests recorded so far, over all connections in the order they completed.
  size_t RequestCount() const;
  // True when at least k requests were recorded within the bound.
  bool WaitRequests(size_t k, std::chrono::milliseconds bound) const;
  // The exact bytes of request k (0-based), "" when there is none.
  std::string Request(size_t k) const;
  // The peer address of connection c ("127.0.0.1", "::1", ...), "" when unknown.
  std::string PeerAddress(size_t c) const;
  // The TLS server name indication that connection c sent, "" when none.
  std::string ServerName(size_t c) const;

 private:
  struct Connection;

  void AcceptLoop();
  void RunConnection(size_t index, int fd);
  bool RunStep(Connection& conn, const ServerScript::Step& step, bool* closed);
  bool Stream(Connection& conn, const ServerScript::Step& step);
  // Adds bytes to the connection's last request record (append) or as a new record.
  void Record(Connection& conn, std::string bytes, bool append);
  // records[k] under the lock, "" when there is none.
  std::string At(const std::vector<std::string>& records, size_t k) const;
  // TLS's server name callback: records the name while the ClientHello is
  // read, before the server answers, so that it is known by the time the
  // client can have finished with the connection.
  static int OnServerName(ssl_st* ssl, int* alert, void* arg);

  std::vector<ServerScript> m_scripts;  // by accept order
  ScriptedServerOptions m_options;
  LoopbackListener m_listener;
  bool m_bOk = false;
  int m_stopPipe[2] = {-1, -1};         // owned; readable once the server stops
  SSL_CTX* m_pSslCtx = nullptr;         // owned; null without TLS

  mutable Waiter m_waiter;
  std::vector<std::string> m_peers;        // by accept order; guarded by m_waiter
  std::vector<std::string> m_serverNames;  // by accept order; guarded by m_waiter
  std::vector<std::string> m_requests;     // in completion order; guarded by m_waiter
  std::vector<ConnectionResult> m_ended;   // in the order connections ended; guarded by m_waiter
  std::vector<std::thread> m_threads;      // connection threads; guarded by m_waiter
  std::thread m_acceptThread;
};

}  // namespace zntest
