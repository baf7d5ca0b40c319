// Helpers shared by the transport tests: capture of log lines, running code on
// a platform task with a bounded wait, and a bounded waiter for test events.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "base/znplatform.h"
#include "base/zntask.h"

namespace zntest {

// One captured log line.
struct LogLine {
  int level;
  std::string tag;
  std::string text;
};

// Captures every log line (all levels) while alive; restores silence after.
// Thread: lines may arrive from any thread; reads take the lock.
class LogCapture final {
 public:
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

  std::vector<LogLine> Lines() const {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_lines;
  }
  // Lines of the given tag whose text equals text exactly.
  int Count(const std::string& tag, const std::string& text) const {
    std::lock_guard<std::mutex> g(m_mutex);
    int n = 0;
    for (const auto& l : m_lines) n += (l.tag == tag && l.text == text) ? 1 : 0;
    return n;
  }
  // Lines of the given tag whose text contains part.
  int CountContaining(const std::string& tag, const std::string& part) const {
    std::lock_guard<std::mutex> g(m_mutex);
    int n = 0;
    for (const auto& l : m_lines) n += (l.tag == tag && l.text.find(part) != std::string::npos) ? 1 : 0;
    return n;
  }
  int CountLevel(const std::string& tag, int level) const {
    std::lock_guard<std::mutex> g(m_mutex);
    int n = 0;
    for (const auto& l : m_lines) n += (l.tag == tag && l.level == level) ? 1 : 0;
    return n;
  }
  void Clear() {
    std::lock_guard<std::mutex> g(m_mutex);
    m_lines.clear();
  }

 private:
  static void Sink(int level, const char* tag, int /*line*/, const char* text, void* ctx) {
    auto* self = static_cast<LogCapture*>(ctx);
    std::lock_guard<std::mutex> g(self->m_mutex);
    self->m_lines.push_back(LogLine{level, tag ? tag : "", text ? text : ""});
  }

  mutable std::mutex m_mutex;
  std::vector<LogLine> m_lines;  // guarded by m_mutex
};

// A value set once from any thread and awaited with a bound.
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
  bool IsSet() {
    std::lock_guard<std::mutex> g(m_mutex);
    return m_bSet;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_bSet = false;  // guarded by m_mutex
};

// Waits until pred() holds, checking after each notification of the given
// condition; pred runs under the mutex. False when ms elapsed first.
template <class Pred>
bool WaitFor(std::mutex& m, std::condition_variable& cv, int ms, Pred pred) {
  std::unique_lock<std::mutex> g(m);
  return cv.wait_for(g, std::chrono::milliseconds(ms), pred);
}

// A started CZNTaskIO for the duration of a test, and a way to run code on it.
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

  // Posts fn to the task and waits (bounded) until it has run. False when the
  // task refused the call or the wait ran out.
  bool Run(std::function<void()> fn, int ms = 10000) {
    auto* call = new Call(std::move(fn));
    CScopeCall record(nullptr, nullptr, &Call::Invoke, call);
    const bool pushed = CZNTaskBase::PushTask(m_pTask, record);
    bool done = pushed && call->done.Wait(ms);
    call->Release();
    return done;
  }
  // Posts fn without waiting.
  bool Post(std::function<void()> fn) {
    auto* call = new Call(std::move(fn));
    CScopeCall record(nullptr, nullptr, &Call::Invoke, call);
    const bool pushed = CZNTaskBase::PushTask(m_pTask, record);
    call->Release();
    return pushed;
  }

 private:
  struct Call final : public CRefCountSafe {
    explicit Call(std::function<void()> f) : fn(std::move(f)) {}
    static int Invoke(void* /*object*/, CRefCount* arg) {
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

}  // namespace zntest

#include <map>

#include "base/znsocket.h"
#include "support/TlsTestServer.h"

namespace zntest {

// Replaces the platform resolver while alive with a table of answers, so that
// tests decide what a name resolves to (loopback addresses only).
class ScopedResolver final {
 public:
  struct Answer {
    bool resolved;                   // the resolved flag to give back
    std::vector<std::string> ips;    // the records, in order
  };
  explicit ScopedResolver(std::map<std::string, Answer> table) {
    std::lock_guard<std::mutex> g(Mutex());
    Table() = std::move(table);
    znnet_setresolver(&ScopedResolver::Resolve);
  }
  ~ScopedResolver() {
    znnet_setresolver(nullptr);
    std::lock_guard<std::mutex> g(Mutex());
    Table().clear();
  }
  ScopedResolver(const ScopedResolver&) = delete;
  ScopedResolver& operator=(const ScopedResolver&) = delete;

  // How many times a name was asked for.
  static int Queries(const std::string& host) {
    std::lock_guard<std::mutex> g(Mutex());
    auto it = QueryCounts().find(host);
    return it == QueryCounts().end() ? 0 : it->second;
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
  static std::map<std::string, int>& QueryCounts() {
    static std::map<std::string, int> c;
    return c;
  }
  static bool Resolve(const char* host, znhostent6* result, bool* resolved) {
    std::lock_guard<std::mutex> g(Mutex());
    ++QueryCounts()[host ? host : ""];
    auto it = Table().find(host ? host : "");
    if (it == Table().end()) {
      *resolved = true;
      result->count = 0;
      return false;
    }
    *resolved = it->second.resolved;
    uint32_t n = 0;
    for (const auto& ip : it->second.ips) {
      if (n < 11 && FillAddressRecord(ip, result->addrs[n].data)) ++n;
    }
    result->count = n;
    return it->second.resolved;
  }
};

}  // namespace zntest
