// A scripted loopback TCP server for the integration tests: it accepts
// connections on a free port of 127.0.0.1 (and/or ::1), optionally runs TLS on
// them, and plays one script per connection, in the order the connections are
// accepted. A script reads requests (recording their exact bytes), sends bytes
// (whole or split into pieces with delays between them), stalls, closes or
// resets the connection: exactly what a test needs to put a fault at an exact
// byte.
//
// Threads: the server runs an accept thread and one thread per connection; the
// test thread builds the scripts before construction and reads the records
// through the guarded accessors, waiting for events with a bound. The
// destructor stops every thread promptly (a pipe that all waits include), also
// when the client never connected or a script is stalled.
//
// Ownership: the server owns its sockets, its TLS context and its threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TestCerts.h"

typedef struct ssl_ctx_st SSL_CTX;

namespace zntest {

// The steps of one connection, played in order. After the last step the
// connection is kept open and read (recorded) until the peer closes it or the
// server stops, unless the script closed or reset it.
class ServerScript final {
 public:
  // Reads a request head (up to and including the empty line) and then, when
  // the head announces a Content-Length, that many body bytes. The bytes form
  // one request record.
  ServerScript& ReadRequest();
  // Reads a request head only; a body is left for ReadBytes.
  ServerScript& ReadHead();
  // Reads exactly n more bytes, added to the connection's last request record
  // (or to a new one when there is none yet).
  ServerScript& ReadBytes(size_t n);
  // Sends bytes as one write.
  ServerScript& Send(std::string bytes);
  // Sends bytes in pieces of the given sizes (what is left after the last size
  // goes as a final piece), waiting delayMs before each piece after the first.
  ServerScript& SendPieces(std::string bytes, std::vector<size_t> pieces, int delayMs);
  // Waits ms milliseconds, silently.
  ServerScript& Delay(int ms);
  // Keeps the connection open without reading or writing: for ms milliseconds,
  // or (ms < 0) until the server is destroyed.
  ServerScript& Stall(int ms = -1);
  // Orderly close: TLS close_notify, FIN, then reads (recording) until the
  // peer closes or a short bound passes, so no unread byte turns it into a reset.
  ServerScript& Close();
  // Abortive close: the peer sees a reset.
  ServerScript& Reset();
  // Reads (recording) until the peer closes, for at most ms milliseconds.
  ServerScript& WaitPeerClose(int ms);

  // A script that answers every request on the connection with the same
  // response, until the peer closes (up to a bound of requests).
  static ServerScript Repeat(const std::string& response, size_t maxRequests = 100);

  struct Step {
    enum Kind { kReadRequest, kReadHead, kReadBytes, kSend, kDelay, kStall, kClose, kReset, kWaitPeerClose };
    Kind kind;
    std::string bytes;           // kSend: what to send
    std::vector<size_t> pieces;  // kSend: piece sizes; empty = one write
    size_t count = 0;            // kReadBytes: bytes to read
    int ms = 0;                  // kSend: delay between pieces; kDelay, kStall, kWaitPeerClose: time
  };
  const std::vector<Step>& Steps() const { return m_steps; }

 private:
  std::vector<Step> m_steps;
};

// The listening families.
enum class ServerFamily { kIPv4, kIPv6, kBoth };

struct ScriptedServerOptions {
  ServerFamily family = ServerFamily::kIPv4;
  // TLS on every connection with this certificate when valid.
  TestCert tlsCert;
  // Script for the connections beyond the list: closes at once when null.
  std::shared_ptr<ServerScript> defaultScript;
};

class ScriptedServer final {
 public:
  explicit ScriptedServer(std::vector<ServerScript> scripts, ScriptedServerOptions options = {});
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;
  ~ScriptedServer();

  // Listening (and, with TLS, the certificate loaded).
  bool ok() const { return m_bOk; }
  uint16_t port() const { return m_wPort; }
  // "127.0.0.1", or "::1" when only IPv6 listens.
  std::string host() const;
  // "http://127.0.0.1:PORT" + path ("https" with TLS; "[::1]" for IPv6 only).
  std::string Url(const std::string& path = "/") const;

  // Connections accepted so far.
  size_t Accepted() const;
  // True when at least n connections were accepted within the bound.
  bool WaitAccepted(size_t n, std::chrono::milliseconds bound) const;
  // Requests recorded so far, over all connections in the order they completed.
  size_t RequestCount() const;
  // True when at least k requests were recorded within the bound.
  bool WaitRequests(size_t k, std::chrono::milliseconds bound) const;
  // The exact bytes of request k (0-based), "" when there is none.
  std::string Request(size_t k) const;
  // The connection (0-based, in accept order) that carried request k, or SIZE_MAX.
  size_t RequestConnection(size_t k) const;
  // Every byte received on connection c so far.
  std::string Received(size_t c) const;
  // The peer address of connection c ("127.0.0.1", "::1", ...), "" when unknown.
  std::string PeerAddress(size_t c) const;
  // True when connection c finished its script and was closed, within the bound.
  bool WaitConnectionDone(size_t c, std::chrono::milliseconds bound) const;

 private:
  struct Connection;
  struct Record {
    std::string received;
    std::string peer;
    bool done = false;
  };
  struct RequestRecord {
    size_t connection;
    std::string bytes;
  };

  void AcceptLoop();
  void RunConnection(size_t index, int fd);
  bool RunStep(Connection& conn, const ServerScript::Step& step, bool* closed);
  bool ReadMore(Connection& conn, std::chrono::steady_clock::time_point deadline, bool bounded);
  void NoteReceived(size_t index, const char* data, size_t len);
  size_t AddRequest(size_t index, std::string bytes);
  void AppendToRequest(size_t requestIndex, const std::string& bytes);
  bool OpenListener(int family, uint16_t port, int* fd);

  std::vector<ServerScript> m_scripts;       // by accept order
  ScriptedServerOptions m_options;
  bool m_bOk = false;
  uint16_t m_wPort = 0;
  int m_listen4 = -1;                        // owned listening socket, -1 when not used
  int m_listen6 = -1;                        // owned listening socket, -1 when not used
  int m_stopPipe[2] = {-1, -1};              // owned; readable once the server stops
  SSL_CTX* m_pSslCtx = nullptr;              // owned; null without TLS

  mutable std::mutex m_mutex;
  mutable std::condition_variable m_cv;
  std::vector<Record> m_records;             // by accept order; guarded by m_mutex
  std::vector<RequestRecord> m_requests;     // in completion order; guarded by m_mutex
  std::vector<std::thread> m_threads;        // connection threads; guarded by m_mutex
  std::thread m_acceptThread;
};

}  // namespace zntest
