// A real CONNECT proxy for tests: tinyproxy started in the foreground on a free
// loopback port with a generated configuration, stopped by the destructor.
// Thread: the test thread. Owns: the tinyproxy process and its temporary
// folder (configuration and log), both removed by the destructor.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/TestOs.h"

namespace zntest {

class TinyProxy final {
 public:
  // connectPorts: the target ports CONNECT may reach (tinyproxy refuses others
  // with 403); empty allows every port.
  explicit TinyProxy(const std::vector<uint16_t>& connectPorts);
  ~TinyProxy();
  TinyProxy(const TinyProxy&) = delete;
  TinyProxy& operator=(const TinyProxy&) = delete;

  // True when the proxy accepts connections on port().
  bool ok() const { return m_process.running(); }
  uint16_t port() const { return m_port; }
  // The proxy's log so far, for failure messages.
  std::string Log() const;

 private:
  bool StartOnce(const std::vector<uint16_t>& connectPorts);

  std::string m_dir;    // owned temporary folder
  ServerProcess m_process;  // tinyproxy; running once it accepts
  uint16_t m_port = 0;  // the proxy's port
};

}  // namespace zntest
