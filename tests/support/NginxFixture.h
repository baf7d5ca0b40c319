// A real nginx for the integration tests, run from a temporary prefix on free
// loopback ports: HTTP and HTTPS (certificates made at test time by a test
// authority: CN 127.0.0.1 by default, localhost by server name), keep-alive on, static files with native Range and
// If-Modified-Since handling, and an access log that names the connection and
// its request count.
//
// Locations (the same on both ports):
//   /files/NAME      the generated file NAME (MakeFile)
//   /slow/NAME       the same file, sent at 256 KiB per second
//   /norange/NAME    the same file, answering a Range request with the whole
//                    file (200), as a server without ranges does
//   /redir/N/NAME    N = 1..10: 302 to /redir/N-1/NAME, and /redir/1/NAME to
//                    /files/NAME (absolute Location)
//   /rel/N/NAME      the same chain with relative Location values
//   /self            302 to itself (absolute); /self-rel the same, relative
//   /status/CODE     answers CODE with "status CODE\n", for the codes in kStatusCodes
//   /post            reads and drops a request body, answers 200 "posted\n"
//
// Threads: made, used and destroyed on one test thread. Ownership: owns the
// nginx process (killed in the destructor, and by the kernel should the test
// process die first) and the temporary folder (removed with its content).
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "TestOs.h"

namespace zntest {

// One line of the access log.
struct AccessLogEntry {
  uint64_t connection = 0;          // nginx's connection serial number
  uint64_t connectionRequests = 0;  // the request's number on its connection, from 1
  int status = 0;
  std::string request;              // the request line
  std::string range;                // the Range header, "-" when absent
  std::string ifModifiedSince;      // the If-Modified-Since header, "-" when absent
};

class NginxFixture final {
 public:
  static constexpr int kStatusCodes[] = {200, 204, 400, 401, 403, 404, 416, 500, 502, 503, 299, 599};

  NginxFixture();
  NginxFixture(const NginxFixture&) = delete;
  NginxFixture& operator=(const NginxFixture&) = delete;
  ~NginxFixture();

  // nginx runs and both ports accept connections.
  bool ok() const { return m_process.running(); }
  // Why it is not ok (with the error log), for the test's failure message.
  const std::string& error() const { return m_strError; }

  uint16_t httpPort() const { return m_wHttpPort; }
  uint16_t httpsPort() const { return m_wHttpsPort; }
  std::string HttpUrl(const std::string& path) const;
  std::string HttpsUrl(const std::string& path) const;
  // The test authority that signed both HTTPS certificates, as a PEM file.
  std::string CaFile() const { return m_strDir + "/ca.pem"; }

  // Makes /files/NAME of size bytes with content that depends only on name and
  // size; returns its SHA-256 (lower-case hex) and, through path, where it lies.
  // The same name and size are made once. "" on failure.
  std::string MakeFile(const std::string& name, uint64_t size, std::string* path = nullptr);
  // Makes /files/NAME as a sparse file: a hole of holeSize zero bytes, then
  // tail. Large sizes cost neither time nor disk. The path, "" on failure.
  std::string MakeSparseFile(const std::string& name, uint64_t holeSize, const std::string& tail);
  // The same deterministic bytes MakeFile writes, for a range of a file.
  static std::string FileBytes(const std::string& name, uint64_t size, uint64_t offset, size_t len);

  // The access log lines whose request names path, once there are at least n
  // of them or the bound has passed (nginx writes a line only after the last
  // byte went out, which may be after the client has finished).
  std::vector<AccessLogEntry> AccessLogOf(const std::string& path, size_t n,
                                          std::chrono::milliseconds bound = std::chrono::seconds(5)) const;

 private:
  bool WriteConfig();

  std::string m_strDir;  // the prefix, removed in the destructor
  uint16_t m_wHttpPort = 0;
  uint16_t m_wHttpsPort = 0;
  ServerProcess m_process;  // nginx; running once it accepts
  std::string m_strError;
  std::map<std::string, std::string> m_made;  // "name/size" -> SHA-256
};

}  // namespace zntest
