#include "support/TinyProxy.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "support/TestNet.h"
#include "support/TransferProbe.h"

extern char** environ;

namespace zntest {

namespace {

constexpr const char kTinyProxyPath[] = "/usr/bin/tinyproxy";
// Starting can lose the race for the free port to another process; try again.
constexpr int kStartAttempts = 3;
// Bounded polls of a process we cannot be notified by: how long, how often.
constexpr auto kStartupWait = std::chrono::milliseconds(5000);
constexpr auto kStopWait = std::chrono::milliseconds(3000);
constexpr auto kProbeInterval = std::chrono::milliseconds(20);

bool ChildExited(pid_t pid) {
  int status = 0;
  return ::waitpid(pid, &status, WNOHANG) == pid;
}

}  // namespace

TinyProxy::TinyProxy(const std::vector<uint16_t>& connectPorts) {
  char tmpl[] = "/tmp/zn-tinyproxy-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) return;
  m_dir = tmpl;
  for (int i = 0; i < kStartAttempts && !ok(); ++i) StartOnce(connectPorts);
}

TinyProxy::~TinyProxy() {
  Stop();
  if (m_dir.empty()) return;
  ::unlink((m_dir + "/tinyproxy.conf").c_str());
  ::unlink((m_dir + "/tinyproxy.log").c_str());
  ::rmdir(m_dir.c_str());
}

bool TinyProxy::StartOnce(const std::vector<uint16_t>& connectPorts) {
  m_port = FreeLoopbackPort();
  const std::string conf = m_dir + "/tinyproxy.conf";
  {
    std::ofstream out(conf, std::ios::trunc);
    out << "Port " << m_port << "\nListen 127.0.0.1\nTimeout 30\nMaxClients 32\n"
        << "LogFile \"" << m_dir << "/tinyproxy.log\"\nLogLevel Info\nAllow 127.0.0.1\n";
    for (uint16_t p : connectPorts) out << "ConnectPort " << p << "\n";
    if (!out || m_port == 0) return false;
  }
  // Foreground (-d) so that the process is ours to stop.
  const char* argv[] = {kTinyProxyPath, "-d", "-c", conf.c_str(), nullptr};
  pid_t pid = -1;
  if (::posix_spawn(&pid, kTinyProxyPath, nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) {
    return false;
  }
  const auto deadline = std::chrono::steady_clock::now() + kStartupWait;
  while (std::chrono::steady_clock::now() < deadline) {
    if (ChildExited(pid)) return false;
    const int fd = ConnectTo("127.0.0.1", m_port, 200);
    if (fd >= 0) {
      ::close(fd);
      m_pid = pid;
      return true;
    }
    std::this_thread::sleep_for(kProbeInterval);
  }
  m_pid = pid;
  Stop();
  return false;
}

void TinyProxy::Stop() {
  if (m_pid <= 0) return;
  ::kill(m_pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + kStopWait;
  bool exited = false;
  while (!(exited = ChildExited(m_pid)) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kProbeInterval);
  }
  if (!exited) {
    ::kill(m_pid, SIGKILL);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
  }
  m_pid = -1;
}

std::string TinyProxy::Log() const { return ReadWholeFile(m_dir + "/tinyproxy.log"); }

}  // namespace zntest
