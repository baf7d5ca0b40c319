#include "NginxFixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "TestCerts.h"
#include "TestSha256.h"

namespace zntest {

namespace {

using Clock = std::chrono::steady_clock;

const char kNginx[] = "/usr/sbin/nginx";
// Attempts with fresh ports when nginx loses a port to another process
// between our probe and its bind.
constexpr int kStartAttempts = 4;
constexpr auto kReadyBound = std::chrono::milliseconds(15000);
constexpr auto kStopBound = std::chrono::milliseconds(5000);
// Interval of the bounded polls for the listener and the access log.
constexpr auto kPollStep = std::chrono::milliseconds(10);

// A port that is free on 127.0.0.1 right now.
uint16_t FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
    port = ntohs(a.sin_port);
  }
  close(fd);
  return port;
}

bool Accepts(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
  close(fd);
  return ok;
}

std::string ReadText(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

bool WriteText(const std::string& path, const std::string& text) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << text;
  return static_cast<bool>(f);
}

uint64_t SplitMix(uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

uint64_t Seed(const std::string& name, uint64_t size) {
  uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (unsigned char c : name) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return SplitMix(h ^ size);
}

// Fills out with the file's bytes [offset, offset + len): byte i is byte i % 8
// of SplitMix(seed + i / 8), so any range can be made on its own.
void Fill(uint64_t seed, uint64_t offset, unsigned char* out, size_t len) {
  size_t done = 0;
  while (done < len) {
    const uint64_t pos = offset + done;
    const uint64_t word = SplitMix(seed + pos / 8);
    for (unsigned b = static_cast<unsigned>(pos % 8); b < 8 && done < len; ++b, ++done) {
      out[done] = static_cast<unsigned char>(word >> (8 * b));
    }
  }
}

// Waits for the child to end within the bound; true when it was reaped.
bool ReapWithin(pid_t pid, std::chrono::milliseconds bound) {
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  const Clock::time_point deadline = Clock::now() + bound;
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno == ECHILD)) {
      if (pidfd >= 0) close(pidfd);
      return true;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    if (pidfd >= 0) {
      pollfd p{pidfd, POLLIN, 0};
      poll(&p, 1, static_cast<int>(left));
    } else {
      std::this_thread::sleep_for(kPollStep);
    }
  }
  if (pidfd >= 0) close(pidfd);
  return false;
}

}  // namespace

NginxFixture::NginxFixture() {
  std::string templ = (std::filesystem::temp_directory_path() / "znnginx.XXXXXX").string();
  if (!mkdtemp(templ.data())) {
    m_strError = "mkdtemp failed";
    return;
  }
  m_strDir = templ;
  std::error_code ec;
  for (const char* sub : {"/html/files", "/tmp"}) std::filesystem::create_directories(m_strDir + sub, ec);
  const TestCert cert = TestCert::Make("/CN=127.0.0.1");
  if (!cert.valid() || !cert.WriteFiles(m_strDir + "/cert.pem", m_strDir + "/key.pem")) {
    m_strError = "cannot make the certificate";
    return;
  }
  for (int attempt = 0; attempt < kStartAttempts && !ok(); ++attempt) {
    m_wHttpPort = FreePort();
    m_wHttpsPort = FreePort();
    if (m_wHttpPort == 0 || m_wHttpsPort == 0 || m_wHttpPort == m_wHttpsPort) continue;
    if (!WriteConfig()) {
      m_strError = "cannot write the configuration";
      return;
    }
    if (Start() && WaitReady(kReadyBound)) {
      m_strError.clear();
      return;
    }
    m_strError = "nginx did not start: " + ReadText(m_strDir + "/error.log") + ReadText(m_strDir + "/stderr.log");
    Stop();
  }
}

NginxFixture::~NginxFixture() {
  Stop();
  if (!m_strDir.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(m_strDir, ec);
  }
}

bool NginxFixture::WriteConfig() {
  const std::string& d = m_strDir;
  std::ostringstream loc;
  loc << "root " << d << "/html;\n"
      << "location /files/ { }\n"
      << "location /slow/ { alias " << d << "/html/files/; limit_rate " << kSlowRate << "; }\n"
      << "location /norange/ { alias " << d << "/html/files/; max_ranges 0; }\n"
      << "location = /self { return 302 /self; }\n"
      << "location = /self-rel { absolute_redirect off; return 302 /self-rel; }\n"
      << "location = /post { client_max_body_size 0; return 200 \"posted\\n\"; }\n";
  for (int n = 1; n <= kMaxRedirects; ++n) {
    const std::string next = n == 1 ? "/files/" : "/redir/" + std::to_string(n - 1) + "/";
    const std::string nextRel = n == 1 ? "/files/" : "/rel/" + std::to_string(n - 1) + "/";
    loc << "location ~ ^/redir/" << n << "/(.+)$ { return 302 " << next << "$1; }\n"
        << "location ~ ^/rel/" << n << "/(.+)$ { absolute_redirect off; return 302 " << nextRel << "$1; }\n";
  }
  for (int code : kStatusCodes) {
    loc << "location = /status/" << code << " { return " << code << " \"status " << code << "\\n\"; }\n";
  }
  if (!WriteText(d + "/locations.conf", loc.str())) return false;

  std::ostringstream conf;
  conf << "daemon off;\n"
       << "master_process off;\n"
       << "worker_processes 1;\n"
       << "pid " << d << "/nginx.pid;\n"
       << "error_log " << d << "/error.log warn;\n"
       << "events { worker_connections 512; }\n"
       << "http {\n"
       << "  log_format zn '$connection $connection_requests $status $body_bytes_sent $remote_addr $server_port "
          "\"$request\" \"$http_range\" \"$http_if_modified_since\"';\n"
       << "  access_log " << d << "/access.log zn;\n"
       << "  client_body_temp_path " << d << "/tmp/body;\n"
       << "  proxy_temp_path " << d << "/tmp/proxy;\n"
       << "  fastcgi_temp_path " << d << "/tmp/fastcgi;\n"
       << "  uwsgi_temp_path " << d << "/tmp/uwsgi;\n"
       << "  scgi_temp_path " << d << "/tmp/scgi;\n"
       << "  default_type application/octet-stream;\n"
       << "  sendfile on;\n"
       << "  tcp_nodelay on;\n"
       << "  keepalive_timeout 120s;\n"
       << "  keepalive_requests 10000;\n"
       << "  if_modified_since before;\n"
       << "  server_tokens off;\n"
       << "  server {\n"
       << "    listen 127.0.0.1:" << m_wHttpPort << ";\n"
       << "    server_name 127.0.0.1;\n"
       << "    include " << d << "/locations.conf;\n"
       << "  }\n"
       << "  server {\n"
       << "    listen 127.0.0.1:" << m_wHttpsPort << " ssl;\n"
       << "    server_name 127.0.0.1;\n"
       << "    ssl_certificate " << d << "/cert.pem;\n"
       << "    ssl_certificate_key " << d << "/key.pem;\n"
       << "    include " << d << "/locations.conf;\n"
       << "  }\n"
       << "}\n";
  return WriteText(d + "/nginx.conf", conf.str());
}

bool NginxFixture::Start() {
  // Everything the child needs is made before the fork: between fork and exec
  // only async-signal-safe calls are allowed in a threaded process.
  const std::string prefix = m_strDir + "/";
  const std::string confPath = m_strDir + "/nginx.conf";
  const std::string errPath = m_strDir + "/error.log";
  std::vector<char*> argv = {const_cast<char*>(kNginx),      const_cast<char*>("-p"),
                             const_cast<char*>(prefix.c_str()), const_cast<char*>("-c"),
                             const_cast<char*>(confPath.c_str()), const_cast<char*>("-e"),
                             const_cast<char*>(errPath.c_str()),  nullptr};
  const int out = open((m_strDir + "/stderr.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (out < 0) return false;
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    close(out);
    return false;
  }
  if (pid == 0) {
    // Dies with the test process, whatever way that ends.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    dup2(out, 1);
    dup2(out, 2);
    const int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    execv(kNginx, argv.data());
    _exit(127);
  }
  close(out);
  m_pid = pid;
  return true;
}

bool NginxFixture::WaitReady(std::chrono::milliseconds bound) {
  const Clock::time_point deadline = Clock::now() + bound;
  while (Clock::now() < deadline) {
    int status = 0;
    if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
      m_pid = -1;
      return false;
    }
    if (Accepts(m_wHttpPort) && Accepts(m_wHttpsPort)) {
      m_bReady = true;
      return true;
    }
    std::this_thread::sleep_for(kPollStep);
  }
  return false;
}

void NginxFixture::Stop() {
  m_bReady = false;
  if (m_pid <= 0) return;
  // Fast shutdown first; a process that does not end in time is killed.
  kill(m_pid, SIGTERM);
  if (!ReapWithin(m_pid, kStopBound)) {
    kill(m_pid, SIGKILL);
    ReapWithin(m_pid, kStopBound);
  }
  m_pid = -1;
}

std::string NginxFixture::HttpUrl(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(m_wHttpPort) + path;
}

std::string NginxFixture::HttpsUrl(const std::string& path) const {
  return "https://127.0.0.1:" + std::to_string(m_wHttpsPort) + path;
}

std::string NginxFixture::FilePath(const std::string& name) const { return m_strDir + "/html/files/" + name; }

std::string NginxFixture::FileBytes(const std::string& name, uint64_t size, uint64_t offset, size_t len) {
  if (offset >= size) return std::string();
  if (len > size - offset) len = static_cast<size_t>(size - offset);
  std::string out(len, '\0');
  Fill(Seed(name, size), offset, reinterpret_cast<unsigned char*>(out.data()), len);
  return out;
}

std::string NginxFixture::MakeFile(const std::string& name, uint64_t size, std::string* path) {
  const std::string key = name + "/" + std::to_string(size);
  const std::string filePath = FilePath(name);
  if (path) *path = filePath;
  const auto it = m_made.find(key);
  if (it != m_made.end()) return it->second;
  FILE* f = std::fopen(filePath.c_str(), "wb");
  if (!f) return std::string();
  const uint64_t seed = Seed(name, size);
  std::vector<unsigned char> block(1 << 20);
  Sha256 sha;
  bool ok = true;
  for (uint64_t offset = 0; offset < size && ok;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), size - offset));
    Fill(seed, offset, block.data(), n);
    sha.Update(block.data(), n);
    ok = std::fwrite(block.data(), 1, n, f) == n;
    offset += n;
  }
  ok = std::fclose(f) == 0 && ok;
  if (!ok) return std::string();
  const std::string digest = sha.FinalHex();
  m_made[key] = digest;
  return digest;
}

bool NginxFixture::ParseAccessLine(const std::string& line, AccessLogEntry* e) {
  std::istringstream in(line);
  unsigned port = 0;
  if (!(in >> e->connection >> e->connectionRequests >> e->status >> e->bodyBytes >> e->remoteAddr >> port)) {
    return false;
  }
  e->serverPort = static_cast<uint16_t>(port);
  // Then three quoted fields; nginx escapes quotes inside them as \x22.
  std::string* fields[] = {&e->request, &e->range, &e->ifModifiedSince};
  size_t pos = static_cast<size_t>(in.tellg());
  for (std::string* field : fields) {
    const size_t open = line.find('"', pos);
    if (open == std::string::npos) return false;
    const size_t closeQuote = line.find('"', open + 1);
    if (closeQuote == std::string::npos) return false;
    *field = line.substr(open + 1, closeQuote - open - 1);
    pos = closeQuote + 1;
  }
  return true;
}

std::vector<AccessLogEntry> NginxFixture::AccessLog() const {
  std::vector<AccessLogEntry> entries;
  std::ifstream f(m_strDir + "/access.log");
  std::string line;
  while (std::getline(f, line)) {
    AccessLogEntry e;
    if (ParseAccessLine(line, &e)) entries.push_back(e);
  }
  return entries;
}

std::vector<AccessLogEntry> NginxFixture::AccessLogOf(const std::string& path, size_t n,
                                                      std::chrono::milliseconds bound) const {
  const Clock::time_point deadline = Clock::now() + bound;
  for (;;) {
    std::vector<AccessLogEntry> of;
    for (const AccessLogEntry& e : AccessLog())
      if (e.request.find(" " + path + " ") != std::string::npos) of.push_back(e);
    if (of.size() >= n || Clock::now() >= deadline) return of;
    std::this_thread::sleep_for(kPollStep);
  }
}

}  // namespace zntest
