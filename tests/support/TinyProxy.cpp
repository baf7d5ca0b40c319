// tinyproxy as a test fixture.
#include "support/TinyProxy.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "support/TestNet.h"

extern char** environ;

namespace zntest {

namespace {

constexpr const char kTinyProxyPath[] = "/usr/bin/tinyproxy";
// Starting can lose the race for the free port to another process; try again.
constexpr int kStartAttempts = 3;
// How long the proxy may take to accept its first connection.
constexpr int kStartupWaitMs = 5000;
// How often the startup probe connects while waiting.
constexpr int kProbeIntervalMs = 20;
constexpr int kStopWaitMs = 3000;

bool ChildExited(pid_t pid) {
  int status = 0;
  return ::waitpid(pid, &status, WNOHANG) == pid;
}

}  // namespace

TinyProxy::TinyProxy(const std::vector<uint16_t>& connectPorts) {
  char tmpl[] = "/tmp/zn-tinyproxy-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) return;
  m_dir = tmpl;
  for (int i = 0; i < kStartAttempts && !ok(); ++i) {
    if (!StartOnce(connectPorts)) Stop();
  }
}

TinyProxy::~TinyProxy() {
  Stop();
  if (!m_dir.empty()) {
    ::unlink((m_dir + "/tinyproxy.conf").c_str());
    ::unlink((m_dir + "/tinyproxy.log").c_str());
    ::rmdir(m_dir.c_str());
  }
}

bool TinyProxy::StartOnce(const std::vector<uint16_t>& connectPorts) {
  const uint16_t port = FreeLoopbackPort();
  if (port == 0) return false;
  const std::string conf = m_dir + "/tinyproxy.conf";
  {
    std::ofstream out(conf, std::ios::trunc);
    out << "Port " << port << "\n"
        << "Listen 127.0.0.1\n"
        << "Timeout 30\n"
        << "MaxClients 32\n"
        << "LogFile \"" << m_dir << "/tinyproxy.log\"\n"
        << "LogLevel Info\n"
        << "Allow 127.0.0.1\n";
    for (uint16_t p : connectPorts) out << "ConnectPort " << p << "\n";
    if (!out) return false;
  }
  // Foreground (-d) so that the process is ours to stop; the configuration is ours too.
  const char* argv[] = {kTinyProxyPath, "-d", "-c", conf.c_str(), nullptr};
  pid_t pid = -1;
  if (::posix_spawn(&pid, kTinyProxyPath, nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) {
    return false;
  }
  m_pid = pid;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartupWaitMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (ChildExited(m_pid)) {
      m_pid = -1;
      return false;
    }
    const int fd = ConnectTo("127.0.0.1", port, kProbeIntervalMs * 10);
    if (fd >= 0) {
      ::close(fd);
      m_port = port;
      return true;
    }
    // A bounded poll of a process we cannot be notified by: wait a little, then probe again.
    std::this_thread::sleep_for(std::chrono::milliseconds(kProbeIntervalMs));
  }
  return false;
}

void TinyProxy::Stop() {
  m_port = 0;
  if (m_pid <= 0) return;
  ::kill(m_pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopWaitMs);
  bool exited = false;
  while (!(exited = ChildExited(m_pid)) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kProbeIntervalMs));
  }
  if (!exited) {
    ::kill(m_pid, SIGKILL);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
  }
  m_pid = -1;
}

std::string TinyProxy::Log() const {
  std::ifstream in(m_dir + "/tinyproxy.log");
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace zntest
