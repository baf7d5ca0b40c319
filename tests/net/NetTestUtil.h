// Helpers of the transport tests: connectors on a task with their reports, and
// a resolver whose answers the test chooses. Logs are read through the message
// tests' LogCapture.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#include "../http/HttpTestSupport.h"
#include "base/znplatform.h"
#include "base/znsocket.h"
#include "net/CHttpConnector.h"
#include "net/CHttpSubConnector.h"
#include "support/ScriptedServer.h"
#include "support/TestNet.h"

namespace zntest {

// Runs fn on the task and returns its result.
template <class F>
auto OnTask(TaskThread& task, F fn) {
  decltype(fn()) result{};
  task.Run([&] { result = fn(); });
  return result;
}

// A connector or sub-connector (T) made on the test task with id, and what it
// reports, in order. ssl names the host for TLS (nullptr: plain).
template <class T>
class ConnectFixture final : public CHttpConnectorSink, public CHttpSubConnectorSink {
 public:
  struct Event {
    bool https, success;  // success: plain bSuccess, or code 0
    int code;             // the HTTPS code, -1 for a plain result
    bool validSocket;
    CZNSslProcessor* processor;
    uint64_t threadId;
    std::chrono::steady_clock::time_point at;
  };
  ConnectFixture(uint64_t id, const char* ssl = nullptr) {
    task.Run([&] {
      obj = new T(id, this, false);
      obj->SetIpAndPort2Bind("", 0);  // as the engine does when no address is chosen
      if (ssl) obj->SetHttps(zn::strutf8(ssl));
    });
  }
  ~ConnectFixture() override {
    task.Run([&] { delete obj; });
  }
  bool Connect(const std::vector<std::string>& hosts, uint16_t port) {
    return OnTask(task, [&] {
      std::conditional_t<std::is_same_v<T, CHttpConnector>, zn::hostlist, std::vector<zn::strutf8>> list;
      for (const auto& h : hosts) list.push_back(zn::strutf8(h.c_str()));
      return obj->Connect(list, port, 0);
    });
  }
  bool WaitCount(size_t n, int ms) {
    return m_waiter.WaitFor([&] { return m_events.size() >= n; }, ms);
  }
  std::vector<Event> Events() { return m_waiter.Get(m_events); }
  // Waits (bounded) for n reports, lets the task settle, and returns them all.
  std::vector<Event> Outcome(size_t n = 1) {
    WaitCount(n, 10000);
    task.Drain();
    return Events();
  }

  TaskThread task;
  T* obj = nullptr;  // owned, used on the task

 private:
  // A connected descriptor is closed at once.
  void OnConnected(bool bSuccess, znsocket_t s) override {
    const bool valid = znsocket_isvalid(s);
    if (bSuccess) znsocket_close(s);
    Add(Event{false, bSuccess, -1, valid, nullptr, 0, {}});
  }
  void OnHttpsConnected(int code, CZNSslProcessor* p) override { Add(Event{true, code == 0, code, false, p, 0, {}}); }
  void OnConnected(CHttpSubConnector*, bool bSuccess, znsocket_t s) override { OnConnected(bSuccess, s); }
  void OnHttpsConnected(CHttpSubConnector*, int code, CZNSslProcessor* p) override { OnHttpsConnected(code, p); }
  void Add(Event e) {
    e.threadId = znthread_selfid();
    e.at = std::chrono::steady_clock::now();
    m_waiter.Update([&] { m_events.push_back(e); });
  }
  Waiter m_waiter;
  std::vector<Event> m_events;  // guarded by m_waiter
};

// A server (none when its address is "") and refusing ports on other loopback
// addresses, all under one port number, which is taken again while another
// process holds it on one of them.
struct ServerAmongRefusals {
  std::unique_ptr<RefusingPorts> refusing;
  std::unique_ptr<ScriptedServer> server;
  uint16_t port = 0;
  bool Start(ScriptedServerOptions options, const std::vector<std::string>& refuse) {
    for (int attempt = 0; attempt < 20; ++attempt) {
      server.reset();
      if (!refuse.empty()) {
        refusing = std::make_unique<RefusingPorts>(refuse);
        if (!refusing->valid()) continue;
        options.port = port = refusing->port();
      }
      if (options.address.empty()) return port != 0;
      server = std::make_unique<ScriptedServer>(std::vector<ServerScript>{}, options);
      if (server->ok()) return (port = server->port()) != 0;
    }
    return false;
  }
};

// Options of a server that plays script on every connection, with TLS (a
// certificate for subject) unless subject is "".
inline ScriptedServerOptions EveryConnection(const ServerScript& script, const std::string& subject = "/CN=localhost") {
  ScriptedServerOptions options;
  if (!subject.empty()) options.tlsCert = TestCert::Make(subject);
  options.defaultScript = std::make_shared<ServerScript>(script);
  return options;
}

// Replaces the platform resolver while alive with a table of answers. A name
// not in the table resolves to nothing.
class ScopedResolver final {
 public:
  struct Answer {
    bool resolved;                 // the flag to give back
    std::vector<std::string> ips;  // numeric loopback addresses, in order
  };
  explicit ScopedResolver(std::map<std::string, Answer> table) {
    std::lock_guard<std::mutex> g(s_mutex);
    s_table = std::move(table);
    znnet_setresolver(&ScopedResolver::Resolve);
  }
  ~ScopedResolver() { znnet_setresolver(nullptr); }

 private:
  static bool Resolve(const char* host, znhostent6* result, bool* resolved) {
    std::lock_guard<std::mutex> g(s_mutex);
    const auto it = s_table.find(host ? host : "");
    *resolved = it == s_table.end() || it->second.resolved;
    result->count = 0;
    if (it == s_table.end()) return true;
    for (const auto& ip : it->second.ips) {
      if (result->count < 11 && FillAddressRecord(ip, result->addrs[result->count].data)) ++result->count;
    }
    return *resolved;
  }
  static inline std::mutex s_mutex;
  static inline std::map<std::string, Answer> s_table;   // guarded by s_mutex
};

}  // namespace zntest
