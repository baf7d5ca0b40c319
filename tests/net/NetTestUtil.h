// Helpers shared by the transport tests: log capture, a platform task to run
// code on with bounded waits, a recorder of connect results, and a resolver
// whose answers the test chooses.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "base/znplatform.h"
#include "base/znsocket.h"
#include "base/zntask.h"
#include "support/TlsTestServer.h"

class CZNSslProcessor;

namespace zntest {

// Captures every log line while alive, from any thread; silence again after.
class LogCapture final {
 public:
  struct Line {
    int level;
    std::string tag;
    std::string text;
  };
  LogCapture() {
    znsyslog_setsink(&LogCapture::Sink, this);
    znsyslog_setlevel(4);
  }
  ~LogCapture() {
    znsyslog_setlevel(0);
    znsyslog_setsink(nullptr, nullptr);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<Line> Lines() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_lines;
  }
  // Lines of tag whose text equals text (or, with part, contains it).
  int Count(const std::string& tag, const std::string& text, bool part = false) const {
    int n = 0;
    for (const auto& l : Lines()) {
      n += (l.tag == tag && (part ? l.text.find(text) != std::string::npos : l.text == text)) ? 1 : 0;
    }
    return n;
  }
  int CountContaining(const std::string& tag, const std::string& part) const { return Count(tag, part, true); }

 private:
  static void Sink(int level, const char* tag, int, const char* text, void* ctx) {
    auto* self = static_cast<LogCapture*>(ctx);
    std::lock_guard<std::mutex> g(self->m_mutex);
    self->m_lines.push_back(Line{level, tag ? tag : "", text ? text : ""});
  }
  mutable std::mutex m_mutex;
  std::vector<Line> m_lines;  // guarded by m_mutex
};

// Set once from any thread, awaited with a bound.
class Signal final {
 public:
  void Set() {
    std::lock_guard<std::mutex> g(m_mutex);
    m_bSet = true;
    m_cv.notify_all();
  }
  bool Wait(int ms) {
    std::unique_lock<std::mutex> g(m_mutex);
    return m_cv.wait_for(g, std::chrono::milliseconds(ms), [this] { return m_bSet; });
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_bSet = false;  // guarded by m_mutex
};

// Waits until pred() (run under m) holds; false when ms elapsed first.
template <class Pred>
bool WaitFor(std::mutex& m, std::condition_variable& cv, int ms, Pred pred) {
  std::unique_lock<std::mutex> g(m);
  return cv.wait_for(g, std::chrono::milliseconds(ms), pred);
}

// A started CZNTaskIO for the life of a test. Objects under test are made,
// used and destroyed through Run, on the task's thread.
class TaskThread final {
 public:
  TaskThread() : m_pTask(new CZNTaskIO("NetTest", 0, 0)) { m_bStarted = m_pTask->Start(); }
  ~TaskThread() {
    m_pTask->Stop();
    m_pTask->Release();
  }
  TaskThread(const TaskThread&) = delete;
  TaskThread& operator=(const TaskThread&) = delete;

  bool started() const { return m_bStarted; }
  CZNTaskIO* task() const { return m_pTask; }  // counted by this object
  // Runs fn on the task and waits for it (bounded). With an empty fn it is a
  // barrier: everything queued before it has run.
  bool Run(std::function<void()> fn = [] {}, int ms = 10000) {
    auto* call = new Call(std::move(fn));
    const bool done = CZNTaskBase::PushTask(m_pTask, CScopeCall(nullptr, nullptr, &Call::Invoke, call)) &&
                      call->done.Wait(ms);
    call->Release();
    return done;
  }

 private:
  struct Call final : public CRefCountSafe {
    explicit Call(std::function<void()> f) : fn(std::move(f)) {}
    static int Invoke(void*, CRefCount* arg) {
      auto* self = static_cast<Call*>(arg);
      self->fn();
      self->done.Set();
      return 0;
    }
    std::function<void()> fn;
    Signal done;
  };
  CZNTaskIO* m_pTask;  // counted reference
  bool m_bStarted = false;
};

// What a connector or sub-connector reported, in order, from any thread.
class ConnectEvents final {
 public:
  struct Event {
    bool https;
    bool success;  // plain bSuccess, or code 0
    int code;      // the HTTPS code, -1 for a plain result
    bool validSocket;
    CZNSslProcessor* processor;
    uint64_t threadId;
    std::chrono::steady_clock::time_point at;
  };
  // A plain result; a connected descriptor is closed at once.
  void Plain(bool bSuccess, znsocket_t s) {
    const bool valid = znsocket_isvalid(s);
    if (bSuccess) znsocket_close(s);
    Add(Event{false, bSuccess, -1, valid, nullptr, znthread_selfid(), std::chrono::steady_clock::now()});
  }
  void Https(int code, CZNSslProcessor* p) {
    Add(Event{true, code == 0, code, false, p, znthread_selfid(), std::chrono::steady_clock::now()});
  }
  bool WaitCount(size_t n, int ms) {
    return WaitFor(m_mutex, m_cv, ms, [&] { return m_events.size() >= n; });
  }
  std::vector<Event> Events() {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_events;
  }

 private:
  void Add(const Event& e) {
    std::lock_guard<std::mutex> g(m_mutex);
    m_events.push_back(e);
    m_cv.notify_all();
  }
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<Event> m_events;  // guarded by m_mutex
};

// Replaces the platform resolver while alive with a table of answers. A name
// not in the table resolves to nothing.
class ScopedResolver final {
 public:
  struct Answer {
    bool resolved;                 // the flag to give back
    std::vector<std::string> ips;  // numeric loopback addresses, in order
  };
  explicit ScopedResolver(std::map<std::string, Answer> table) {
    std::lock_guard<std::mutex> g(Mutex());
    Table() = std::move(table);
    Queries().clear();
    znnet_setresolver(&ScopedResolver::Resolve);
  }
  ~ScopedResolver() { znnet_setresolver(nullptr); }
  ScopedResolver(const ScopedResolver&) = delete;
  ScopedResolver& operator=(const ScopedResolver&) = delete;
  static int QueriesOf(const std::string& host) {
    std::lock_guard<std::mutex> g(Mutex());
    return Queries()[host];
  }

 private:
  static std::mutex& Mutex() {
    static std::mutex m;
    return m;
  }
  static std::map<std::string, Answer>& Table() {
    static std::map<std::string, Answer> t;
    return t;
  }
  static std::map<std::string, int>& Queries() {
    static std::map<std::string, int> q;
    return q;
  }
  static bool Resolve(const char* host, znhostent6* result, bool* resolved) {
    std::lock_guard<std::mutex> g(Mutex());
    const std::string name = host ? host : "";
    ++Queries()[name];
    const auto it = Table().find(name);
    *resolved = it == Table().end() || it->second.resolved;
    result->count = 0;
    if (it == Table().end()) return true;
    for (const auto& ip : it->second.ips) {
      if (result->count < 11 && FillAddressRecord(ip, result->addrs[result->count].data)) ++result->count;
    }
    return *resolved;
  }
};

}  // namespace zntest
