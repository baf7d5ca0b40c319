#include "support/TinyProxy.h"

#include <chrono>
#include <filesystem>
#include <fstream>

#include "support/TestNet.h"
#include "support/TestOs.h"
#include "support/TestUtil.h"

namespace zntest {

namespace {

constexpr const char kTinyProxyPath[] = "/usr/bin/tinyproxy";
// Starting can lose the race for the free port to another process; try again.
constexpr int kStartAttempts = 3;
constexpr auto kStartupWait = std::chrono::milliseconds(5000);

}  // namespace

TinyProxy::TinyProxy(const std::vector<uint16_t>& connectPorts) {
  m_dir = MakeServerDir("zn-tinyproxy");
  if (m_dir.empty()) return;
  for (int i = 0; i < kStartAttempts && !ok(); ++i) StartOnce(connectPorts);
}

TinyProxy::~TinyProxy() {
  m_process.Stop();
  std::error_code ec;
  if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ec);
}

bool TinyProxy::StartOnce(const std::vector<uint16_t>& connectPorts) {
  m_port = FreeLoopbackPort();
  const std::string conf = m_dir + "/tinyproxy.conf";
  {
    std::ofstream out(conf, std::ios::trunc | std::ios::binary);
    out << "Port " << m_port << "\nListen 127.0.0.1\nTimeout 30\nMaxClients 32\n"
        << "LogFile \"" << ServerSidePath(m_dir) << "/tinyproxy.log\"\nLogLevel Info\nAllow 127.0.0.1\n";
    for (uint16_t p : connectPorts) out << "ConnectPort " << p << "\n";
    if (!out || m_port == 0) return false;
  }
  // Foreground (-d) so that the process is ours to stop.
  return m_process.Start({kTinyProxyPath, "-d", "-c", ServerSidePath(conf)}, m_dir + "/stderr.log") &&
         m_process.WaitAccepting({m_port}, kStartupWait);
}

std::string TinyProxy::Log() const { return ReadWholeFile(m_dir + "/tinyproxy.log"); }

}  // namespace zntest
