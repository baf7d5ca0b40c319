// A scripted loopback TCP server for the integration tests: it accepts
// connections on a free port of 127.0.0.1 (or ::1), optionally runs TLS on
// them, and plays one script per connection, in accept order. A script reads
// requests (recording their exact bytes), sends bytes (whole or in delayed
// pieces), stalls, closes or resets: a test can put a fault at an exact byte.
//
// Threads: an accept thread and one thread per connection; the test thread
// builds the scripts before construction and reads the records through the
// guarded accessors, waiting with a bound. The destructor stops every thread
// promptly (a pipe that all waits include), also when a script is stalled.
// Ownership: the server owns its sockets, its TLS context and its threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
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
  // Orderly close: TLS close_notify, FIN, then reads until the peer closes or
  // a short bound passes, so no unread byte turns it into a reset.
  ServerScript& Close() { return Add(Step::kClose); }
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

  struct Step {
    enum Kind {
      kReadRequest, kReadHead, kReadBytes, kSend, kDelay, kStall, kClose, kReset, kWaitPeerClose, kReadFor,
      kCloseNotify, kSendRaw
    };
    Kind kind;
    std::string bytes;           // kSend: what to send
    std::vector<size_t> pieces;  // kSend: piece sizes; empty = one write
    size_t count = 0;            // kReadBytes: bytes to read
    int ms = 0;                  // kSend: delay between pieces; kDelay, kWaitPeerClose: time
  };
  const std::vector<Step>& Steps() const { return m_steps; }

 private:
  ServerScript& Add(Step::Kind kind, std::string bytes = "", std::vector<size_t> pieces = {}, size_t count = 0,
                    int ms = 0) {
    m_steps.push_back(Step{kind, std::move(bytes), std::move(pieces), count, ms});
    return *this;
  }
  std::vector<Step> m_steps;
};

enum class ServerFamily { kIPv4, kIPv6 };

struct ScriptedServerOptions {
  ServerFamily family = ServerFamily::kIPv4;
  // TLS on every connection with this certificate when valid.
  TestCert tlsCert;
  // Script for the connections beyond the list: closes at once when null.
  std::shared_ptr<ServerScript> defaultScript;
  // Serve one connection to its end before accepting the next, as a server
  // with a single worker does; later connections wait in the listen queue.
  bool oneAtATime = false;
};

class ScriptedServer final {
 public:
  explicit ScriptedServer(std::vector<ServerScript> scripts, ScriptedServerOptions options = {});
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;
  ~ScriptedServer();

  // Listening (and, with TLS, the certificate loaded).
  bool ok() const { return m_bOk; }
  uint16_t port() const { return m_listener.port(); }
  // "http://127.0.0.1:PORT" + path ("https" with TLS; "[::1]" for IPv6).
  std::string Url(const std::string& path = "/") const;

  // Connections accepted so far.
  size_t Accepted() const;
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

  mutable std::mutex m_mutex;
  mutable std::condition_variable m_cv;
  std::vector<std::string> m_peers;     // by accept order; guarded by m_mutex
  std::vector<std::string> m_serverNames;  // by accept order; guarded by m_mutex
  std::vector<std::string> m_requests;  // in completion order; guarded by m_mutex
  std::vector<std::thread> m_threads;   // connection threads; guarded by m_mutex
  std::thread m_acceptThread;
};

}  // namespace zntest
