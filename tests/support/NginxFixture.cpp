#include "NginxFixture.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "TestCerts.h"
#include "TestNet.h"
#include "TestOs.h"
#include "TestSha256.h"
#include "TestUtil.h"

namespace zntest {

namespace {

using Clock = std::chrono::steady_clock;

const char kNginx[] = "/usr/sbin/nginx";
// Attempts with fresh ports when nginx loses a port to another process
// between our probe and its bind.
constexpr int kStartAttempts = 4;
constexpr auto kReadyBound = std::chrono::milliseconds(15000);

// The pattern seed of a file: its name and size.
uint64_t Seed(const std::string& name, uint64_t size) {
  uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (unsigned char c : name) h = (h ^ c) * 1099511628211ull;
  return h ^ size;
}

// "CONN REQUESTS STATUS "REQUEST" "RANGE" "IMS"" (nginx escapes quotes as \x22).
bool ParseAccessLine(const std::string& line, AccessLogEntry* e) {
  std::istringstream in(line);
  if (!(in >> e->connection >> e->connectionRequests >> e->status)) return false;
  size_t pos = static_cast<size_t>(in.tellg());
  for (std::string* field : {&e->request, &e->range, &e->ifModifiedSince}) {
    const size_t open = line.find('"', pos);
    const size_t closeQuote = open == std::string::npos ? open : line.find('"', open + 1);
    if (closeQuote == std::string::npos) return false;
    *field = line.substr(open + 1, closeQuote - open - 1);
    pos = closeQuote + 1;
  }
  return true;
}

}  // namespace

NginxFixture::NginxFixture() {
  m_strDir = MakeServerDir("znnginx");
  if (m_strDir.empty()) {
    m_strError = "cannot make a folder for nginx";
    return;
  }
  std::error_code ec;
  for (const char* sub : {"/html/files", "/tmp"}) std::filesystem::create_directories(m_strDir + sub, ec);
  // Two names on the HTTPS port, told apart by server name indication, both
  // signed by a test authority: 127.0.0.1 (the default, also by its common
  // name) and localhost.
  const TestCert ca = TestCert::Make("/O=Test/CN=Test Authority", {"", nullptr, true});
  const TestCert cert = TestCert::Make("/CN=127.0.0.1", {"IP:127.0.0.1", &ca});
  const TestCert named = TestCert::Make("/CN=localhost", {"DNS:localhost", &ca});
  if (!ca.WriteCertFile(CaFile()) || !cert.WriteFiles(m_strDir + "/cert.pem", m_strDir + "/key.pem") ||
      !named.WriteFiles(m_strDir + "/localhost.pem", m_strDir + "/localhost.key")) {
    m_strError = "cannot make the certificates";
    return;
  }
  for (int attempt = 0; attempt < kStartAttempts && !ok(); ++attempt) {
    m_wHttpPort = FreeLoopbackPort();
    m_wHttpsPort = FreeLoopbackPort();
    if (m_wHttpPort == 0 || m_wHttpsPort == 0 || m_wHttpPort == m_wHttpsPort) continue;
    if (!WriteConfig()) {
      m_strError = "cannot write the configuration";
      return;
    }
    const std::string d = ServerSidePath(m_strDir);
    if (m_process.Start({kNginx, "-p", d + "/", "-c", d + "/nginx.conf", "-e", d + "/error.log"},
                        m_strDir + "/stderr.log") &&
        m_process.WaitAccepting({m_wHttpPort, m_wHttpsPort}, kReadyBound)) {
      m_strError.clear();
      return;
    }
    m_strError =
        "nginx did not start: " + ReadWholeFile(m_strDir + "/error.log") + ReadWholeFile(m_strDir + "/stderr.log");
  }
}

NginxFixture::~NginxFixture() {
  m_process.Stop();
  std::error_code ec;
  if (!m_strDir.empty()) std::filesystem::remove_all(m_strDir, ec);
}

bool NginxFixture::WriteConfig() {
  const std::string d = ServerSidePath(m_strDir);
  std::ostringstream loc;
  loc << "root " << d << "/html;\n"
      << "location /files/ { }\n"
      << "location /slow/ { alias " << d << "/html/files/; limit_rate 262144; }\n"
      << "location /norange/ { alias " << d << "/html/files/; max_ranges 0; }\n"
      << "location = /self { return 302 /self; }\n"
      << "location = /self-rel { absolute_redirect off; return 302 /self-rel; }\n"
      << "location = /post { client_max_body_size 0; return 200 \"posted\\n\"; }\n";
  for (int n = 1; n <= 10; ++n) {
    const std::string next = n == 1 ? "/files/" : "/redir/" + std::to_string(n - 1) + "/";
    const std::string nextRel = n == 1 ? "/files/" : "/rel/" + std::to_string(n - 1) + "/";
    loc << "location ~ ^/redir/" << n << "/(.+)$ { return 302 " << next << "$1; }\n"
        << "location ~ ^/rel/" << n << "/(.+)$ { absolute_redirect off; return 302 " << nextRel << "$1; }\n";
  }
  for (int code : kStatusCodes) {
    loc << "location = /status/" << code << " { return " << code << " \"status " << code << "\\n\"; }\n";
  }
  std::ostringstream conf;
  conf << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
       << "pid " << d << "/nginx.pid;\n"
       << "error_log " << d << "/error.log warn;\n"
       << "events { worker_connections 512; }\n"
       << "http {\n"
       << "  log_format zn '$connection $connection_requests $status "
          "\"$request\" \"$http_range\" \"$http_if_modified_since\"';\n"
       << "  access_log " << d << "/access.log zn;\n";
  for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"}) {
    conf << "  " << temp << "_temp_path " << d << "/tmp/" << temp << ";\n";
  }
  conf << "  default_type application/octet-stream;\n"
       << "  sendfile on;\n  tcp_nodelay on;\n"
       << "  keepalive_timeout 120s;\n  keepalive_requests 10000;\n"
       << "  if_modified_since before;\n  server_tokens off;\n"
       << "  server {\n    listen 127.0.0.1:" << m_wHttpPort << ";\n"
       << "    server_name 127.0.0.1;\n    include " << d << "/locations.conf;\n  }\n"
       << "  server {\n    listen 127.0.0.1:" << m_wHttpsPort << " ssl;\n"
       << "    server_name 127.0.0.1;\n"
       << "    ssl_certificate " << d << "/cert.pem;\n    ssl_certificate_key " << d << "/key.pem;\n"
       << "    include " << d << "/locations.conf;\n  }\n"
       << "  server {\n    listen 127.0.0.1:" << m_wHttpsPort << " ssl;\n"
       << "    server_name localhost;\n"
       << "    ssl_certificate " << d << "/localhost.pem;\n    ssl_certificate_key " << d << "/localhost.key;\n"
       << "    include " << d << "/locations.conf;\n  }\n"
       << "}\n";
  std::ofstream(m_strDir + "/locations.conf", std::ios::trunc | std::ios::binary) << loc.str();
  std::ofstream(m_strDir + "/nginx.conf", std::ios::trunc | std::ios::binary) << conf.str();
  return ReadWholeFile(m_strDir + "/nginx.conf") == conf.str();
}

std::string NginxFixture::HttpUrl(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(m_wHttpPort) + path;
}

std::string NginxFixture::HttpsUrl(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(m_wHttpsPort) + path;
}

std::string NginxFixture::FileBytes(const std::string& name, uint64_t size, uint64_t offset, size_t len) {
  if (offset >= size) return std::string();
  if (len > size - offset) len = static_cast<size_t>(size - offset);
  return Pattern(len, Seed(name, size), offset);
}

std::string NginxFixture::MakeFile(const std::string& name, uint64_t size, std::string* path) {
  const std::string key = name + "/" + std::to_string(size);
  const std::string filePath = m_strDir + "/html/files/" + name;
  if (path) *path = filePath;
  const auto it = m_made.find(key);
  if (it != m_made.end()) return it->second;
  // The name is UTF-8; a path object opens it as such on every system.
  std::ofstream f(std::filesystem::u8path(filePath), std::ios::binary | std::ios::trunc);
  if (!f) return std::string();
  std::vector<unsigned char> block(1 << 20);
  Sha256 sha;
  for (uint64_t offset = 0; offset < size && f;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), size - offset));
    FillPattern(Seed(name, size), offset, block.data(), n);
    sha.Update(block.data(), n);
    f.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
    offset += n;
  }
  if (!f.flush()) return std::string();
  return m_made[key] = sha.FinalHex();
}

std::string NginxFixture::MakeSparseFile(const std::string& name, uint64_t holeSize, const std::string& tail) {
  const std::string filePath = m_strDir + "/html/files/" + name;
  return WriteSparseFile(filePath, holeSize, tail) ? filePath : std::string();
}

std::vector<AccessLogEntry> NginxFixture::AccessLogOf(const std::string& path, size_t n,
                                                      std::chrono::milliseconds bound) const {
  const Clock::time_point deadline = Clock::now() + bound;
  for (;;) {
    std::vector<AccessLogEntry> of;
    std::ifstream f(m_strDir + "/access.log");
    std::string line;
    AccessLogEntry e;
    while (std::getline(f, line)) {
      if (ParseAccessLine(line, &e) && e.request.find(" " + path + " ") != std::string::npos) of.push_back(e);
    }
    if (of.size() >= n || Clock::now() >= deadline) return of;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace zntest
