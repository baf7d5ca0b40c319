// A blocking-free loopback client of the tests' own (plain TCP, or TLS through
// OpenSSL), used to prove the test servers before the library's tests rely on
// them. Every wait is bounded.
//
// Thread: one thread at a time. Ownership: owns its socket and TLS objects.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

namespace zntest {

class LoopbackClient final {
 public:
  LoopbackClient() = default;
  LoopbackClient(const LoopbackClient&) = delete;
  LoopbackClient& operator=(const LoopbackClient&) = delete;
  ~LoopbackClient();

  // Connects to a numeric loopback address ("127.0.0.1", "::1"); with tls, runs
  // a TLS handshake too (no certificate verification; the subject is readable
  // through PeerSubject). False on failure or when the bound passes.
  bool Connect(const std::string& address, uint16_t port, bool tls = false,
               std::chrono::milliseconds bound = std::chrono::milliseconds(5000));
  bool SendAll(const std::string& bytes, std::chrono::milliseconds bound = std::chrono::milliseconds(5000));
  // Reads until this call has at least n bytes (bytes left over from the last
  // response count first), or the end, an error or the bound; returns them.
  std::string ReadAtLeast(size_t n, std::chrono::milliseconds bound);
  // Reads until the peer closes, an error, or the bound; Closed() tells which.
  std::string ReadUntilClose(std::chrono::milliseconds bound);
  // Reads one HTTP response: head, then a body of Content-Length bytes (none
  // for 1xx, 204 and 304; up to the close when no length is given). "" on
  // time-out.
  std::string ReadResponse(std::chrono::milliseconds bound);
  // The peer closed in order (end of stream) during the last read.
  bool Closed() const { return m_bClosed; }
  // The connection was reset during the last read.
  bool WasReset() const { return m_bReset; }
  // The subject line of the server's certificate ("" without TLS).
  std::string PeerSubject() const;
  void Close();

 private:
  // One read: >0 bytes, 0 at the end, -1 on error, -2 on time-out.
  long ReadOnce(char* buf, size_t len, std::chrono::steady_clock::time_point deadline);

  int m_fd = -1;                // owned socket, -1 when closed
  SSL_CTX* m_pCtx = nullptr;    // owned; null without TLS
  SSL* m_pSsl = nullptr;        // owned; null without TLS
  std::string m_strBuffered;    // read past the last response
  bool m_bClosed = false;
  bool m_bReset = false;
};

}  // namespace zntest
