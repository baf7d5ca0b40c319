// Helpers shared by the client tests: a recording callback object, a host
// client that waits with a bound, a client whose engine fields a test may set,
// and the bytes of scripted answers and recorded requests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "base/znplatform.h"
#include "client/CHttpClient.h"
#include "include/znhttpclient.h"
#include "support/NginxFixture.h"
#include "support/TestNet.h"
#include "support/TestSha256.h"
#include "support/TestUtil.h"

namespace zntest {

constexpr auto kWait = std::chrono::seconds(10);
constexpr int kWaitMs = 10000;

inline zn::strutf8 U8(const std::string& s) { return zn::strutf8(s.c_str()); }
inline zn::strutf16 U16(const std::string& s) { return zn::strutf16(s.c_str()); }

// Splits a recorded request into head (through the empty line) and body.
inline void SplitRequest(const std::string& req, std::string* head, std::string* body) {
  const size_t end = req.find("\r\n\r\n");
  *head = end == std::string::npos ? req : req.substr(0, end + 4);
  *body = end == std::string::npos ? "" : req.substr(end + 4);
}

// The value of a header in a recorded head, "" when missing.
inline std::string HeaderOf(const std::string& head, const std::string& name) {
  const size_t at = head.find("\r\n" + name + ":");
  if (at == std::string::npos) return "";
  size_t from = at + 2 + name.size() + 1;
  while (from < head.size() && head[from] == ' ') ++from;
  return head.substr(from, head.find("\r\n", from) - from);
}

// One callback as the host saw it.
struct HostEvent {
  HostEvent(std::string n = "", std::string t = "", uint64_t x = 0, uint64_t y = 0)
      : name(std::move(n)), text(std::move(t)), a(x), b(y) {}
  std::string name;      // "OnConnecting", ... "OnDownloadComplete"
  std::string text;      // host or URL for the two text callbacks
  uint64_t a = 0;        // first numeric argument
  uint64_t b = 0;        // second numeric argument
  uint64_t thread = 0;   // znthread_selfid() of the delivering thread
  bool running = false;  // IsRunning() as seen inside the callback
};

// Records every callback. Thread: any; the events are guarded by the waiter,
// and waits are bounded.
class Recorder {
 public:
  void Add(zn::IHttpClient* client, HostEvent ev) {
    ev.thread = znthread_selfid();
    ev.running = client->IsRunning();
    if (auto hook = m_waiter.Get(m_hook)) hook(ev);
    m_waiter.Update([&] { m_events.push_back(ev); });
  }
  // True when pred held on the events within the bound.
  bool WaitUntil(const std::function<bool(const std::vector<HostEvent>&)>& pred,
                 std::chrono::milliseconds bound = kWait) {
    return m_waiter.WaitFor([&] { return pred(m_events); }, static_cast<int>(bound.count()));
  }
  bool WaitForName(const std::string& name) {
    return WaitUntil([&](const std::vector<HostEvent>& ev) {
      for (auto& e : ev)
        if (e.name == name) return true;
      return false;
    });
  }
  std::vector<HostEvent> Events() { return m_waiter.Get(m_events); }
  std::vector<std::string> Names() {
    std::vector<std::string> out;
    for (auto& e : Events()) out.push_back(e.name);
    return out;
  }
  size_t Count(const std::string& name) {
    size_t n = 0;
    for (auto& e : Events()) n += e.name == name;
    return n;
  }
  // Forgets the events, for the next transfer on the same client.
  void Clear() {
    m_waiter.Update([&] { m_events.clear(); });
  }
  // Called inside each callback before it is recorded, on the delivering thread.
  void SetHook(std::function<void(const HostEvent&)> hook) {
    m_waiter.Update([&] { m_hook = std::move(hook); });
  }

 private:
  Waiter m_waiter;
  std::vector<HostEvent> m_events;                // guarded by m_waiter
  std::function<void(const HostEvent&)> m_hook;  // guarded by m_waiter
};

// A callback object (plain, or counted with Base IHttpClientNotifyRef) that
// forwards every callback to a recorder.
template <class Base>
class RecordingNotifyOf : public Base {
 public:
  explicit RecordingNotifyOf(Recorder& rec, const char* prefix = "") : m_rec(rec), m_prefix(prefix) {}
  void OnConnecting(zn::IHttpClient* c, zn::strutf16& host) override {
    Add(c, {"OnConnecting", zn::strutf8(host).c_str()});
  }
  void OnConnected(zn::IHttpClient* c) override { Add(c, {"OnConnected"}); }
  void OnDownloadStart(zn::IHttpClient* c, uint32_t present, uint32_t total) override {
    Add(c, {"OnDownloadStart", "", present, total});
  }
  void OnProgress(zn::IHttpClient* c, uint64_t done, uint64_t total, uint32_t, uint64_t) override {
    Add(c, {"OnProgress", "", done, total});
  }
  void OnRedirected(zn::IHttpClient* c, zn::strutf16& url) override {
    Add(c, {"OnRedirected", zn::strutf8(url).c_str()});
    if (!m_rewrite.empty()) url = zn::strutf16(m_rewrite.c_str());
  }
  void OnDownloadComplete(zn::IHttpClient* c, uint32_t code) override { Add(c, {"OnDownloadComplete", "", code}); }
  // OnRedirected replaces the URL with this text when not empty.
  std::string m_rewrite;
  // Counted form: the reference count while a callback ran (the client holds one more then).
  int m_nRefInCall = 0;

 private:
  void Add(zn::IHttpClient* c, HostEvent ev) {
    if constexpr (std::is_same<Base, IHttpClientNotifyRef>::value) m_nRefInCall = this->RefCount();
    ev.name = m_prefix + ev.name;
    m_rec.Add(c, std::move(ev));
  }
  Recorder& m_rec;
  std::string m_prefix;
};
using RecordingNotify = RecordingNotifyOf<IHttpClientNotify>;
// The counted callback object; its events are named "Ref.On...".
struct RecordingNotifyRef : RecordingNotifyOf<IHttpClientNotifyRef> {
  explicit RecordingNotifyRef(Recorder& rec) : RecordingNotifyOf(rec, "Ref.") {}
};

// Blocks a task until Open() is called, so that calls queue up behind it. The
// state is counted and shared with the blocking call, which may still be
// waking up after the gate is gone.
class TaskGate {
 public:
  explicit TaskGate(CZNTaskBase* task) : m_pState(new State) {
    auto run = [](void*, CRefCount* p) -> int {
      State* st = static_cast<State*>(p);
      st->waiter.Update([st] { st->entered = true; });
      st->waiter.WaitFor([st] { return st->open; }, kWaitMs);
      return 0;
    };
    {
      CScopeCall call(nullptr, nullptr, run, m_pState);
      CZNTaskBase::PushTask(task, call);
    }
    State* st = m_pState;
    st->waiter.WaitFor([st] { return st->entered; }, kWaitMs);
  }
  TaskGate(const TaskGate&) = delete;
  TaskGate& operator=(const TaskGate&) = delete;
  ~TaskGate() {
    Open();
    m_pState->Release();
  }
  void Open() {
    m_pState->waiter.Update([this] { m_pState->open = true; });
  }
  bool Entered() { return m_pState->waiter.Get(m_pState->entered); }

 private:
  struct State : CRefCountSafe {
    Waiter waiter;
    bool entered = false;  // guarded by waiter
    bool open = false;     // guarded by waiter
  };
  State* m_pState;  // counted (one reference); the blocking call holds another
};

// A suite that shares one nginx among its tests.
class NginxSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_pNginx = new NginxFixture(); }
  static void TearDownTestSuite() {
    delete s_pNginx;
    s_pNginx = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(s_pNginx->ok()) << s_pNginx->error(); }
  static NginxFixture& nginx() { return *s_pNginx; }
  static inline NginxFixture* s_pNginx = nullptr;  // owned while a suite runs
};

// A client whose engine fields a test may set, as the engine would.
class ProbeClient : public zn::CHttpClient {
 public:
  explicit ProbeClient(CZNTaskBase* notifyTask) : zn::CHttpClient(notifyTask) {}
  void SetRunning(bool b) { m_bRunning.store(b); }
  void SetCompleted(bool b) { m_bCompleted.store(b); }
  void SetMethod(const char* m) { m_oRequestInfo.m_strMethod = m; }
  void SetContentLength(uint32_t n) { m_oResponse.m_qwContentLength = n; }
  CZNLock& ThreadLock() { return m_lockThread; }
};

// The body a client kept in memory, "<none>" when there is none.
inline std::string BodyOf(zn::IHttpClientEx* client) {
  const unsigned char* data = nullptr;
  uint32_t len = 0;
  if (!client->GetDownloadedBuffer(&data, &len)) return "<none>";
  return std::string(reinterpret_cast<const char*>(data), len);
}

// A client with a started notify task (or none: the callbacks then run on the
// client's worker) and a recording callback object: the usual host of the
// tests. The client comes from the factory, as a host's does; with probe set it
// is a ProbeClient, whose engine steps a test may drive. Only the factory's
// client may be deleted while its worker runs: a subclass's destructor rewrites
// the object's vtable pointer before the client's own destructor waits for the
// worker.
class Host {
 public:
  // flags < 0: the client's own default mask, never set.
  explicit Host(int flags = 0xFF, bool withNotifyTask = true, bool probe = false)
      : m_task("notify"), m_notify(m_rec) {
    CZNTaskIO* task = withNotifyTask ? m_task.task() : nullptr;
    m_pProbe = probe ? new ProbeClient(task) : nullptr;
    m_pClient.reset(probe ? m_pProbe : zn_create_httpclient_ex(task));
    m_pClient->SetNotify(&m_notify);
    if (flags >= 0) m_pClient->SetNotifyFlags(static_cast<uint8_t>(flags));
  }
  zn::IHttpClientEx* operator->() const { return m_pClient.get(); }
  zn::IHttpClientEx* get() const { return m_pClient.get(); }
  ProbeClient& probe() const { return *m_pProbe; }
  Recorder& rec() { return m_rec; }
  RecordingNotify& notify() { return m_notify; }
  CZNTaskIO* task() const { return m_task.task(); }
  // Waits (bounded) until the notify task ran everything queued so far.
  bool Drain() {
    return RunOn(m_task.task(), [] {});
  }
  // The code of the n-th (1-based) completion, or -1 when it did not come in time.
  int64_t WaitComplete(size_t n = 1, std::chrono::milliseconds bound = std::chrono::seconds(60)) {
    int64_t code = -1;
    m_rec.WaitUntil(
        [&](const std::vector<HostEvent>& ev) {
          size_t seen = 0;
          for (const HostEvent& e : ev)
            if (e.name == "OnDownloadComplete" && ++seen == n) code = static_cast<int64_t>(e.a);
          return seen >= n;
        },
        bound);
    // Let the notify task finish the callback before the test goes on.
    if (code >= 0) Drain();
    return code;
  }
  std::string Body() { return BodyOf(m_pClient.get()); }
  // Event names in order, without progress reports.
  std::vector<std::string> Course() {
    std::vector<std::string> out;
    for (const HostEvent& e : m_rec.Events())
      if (e.name != "OnProgress") out.push_back(e.name);
    return out;
  }
  void Reset() { m_pClient.reset(); }
  // Hands the probe over: the test deletes it.
  ProbeClient* Release() {
    m_pClient.release();
    return m_pProbe;
  }

 private:
  TaskThread m_task;
  Recorder m_rec;
  RecordingNotify m_notify;
  std::unique_ptr<zn::IHttpClientEx> m_pClient;  // destroyed before the task and the recorder
  ProbeClient* m_pProbe = nullptr;               // the same object when it is a probe, else null
};

// A host whose client is a ProbeClient.
class ProbeHost final : public Host {
 public:
  explicit ProbeHost(int flags = 0xFF, bool withNotifyTask = true) : Host(flags, withNotifyTask, true) {}
};

// One download to target on a fresh host whose callbacks run on the worker
// (3 s to connect, 3 attempts), deleted once it completed: the codes of its
// completions, none when it was refused or did not complete within bound.
inline std::vector<uint32_t> DownloadOnce(const std::string& url, const std::string& target, uint32_t recvTimeoutMs,
                                          std::chrono::milliseconds bound) {
  Host host(0xFF, false);
  host->SetTimeout(3000, recvTimeoutMs, 3);
  if (!host->Download(U8(url), U8(target), nullptr, false) || host.WaitComplete(1, bound) < 0) return {};
  host.Reset();
  std::vector<uint32_t> codes;
  for (const HostEvent& e : host.rec().Events())
    if (e.name == "OnDownloadComplete") codes.push_back(static_cast<uint32_t>(e.a));
  return codes;
}

// What a host stream saw: its bytes (counted, and kept when asked), its Close
// and its deletion, to see that the client frees a stream exactly once.
struct StreamRecord {
  explicit StreamRecord(bool keepBytes = false) : keep(keepBytes) {}
  const bool keep;
  std::atomic<uint64_t> bytes{0};
  std::atomic<int> closed{0};
  std::atomic<int> deleted{0};
  std::string kept;  // written on the worker; read once the completion came
};

class RecordingStream final : public IZNStreamWriter {
 public:
  explicit RecordingStream(StreamRecord* record) : m_pRecord(record) {}
  ~RecordingStream() override { ++m_pRecord->deleted; }
  void Close() override { ++m_pRecord->closed; }
  uint64_t Write(const void* data, uint32_t len) override {
    m_pRecord->bytes += len;
    if (m_pRecord->keep) m_pRecord->kept.append(static_cast<const char*>(data), len);
    return len;
  }

 private:
  StreamRecord* m_pRecord;  // borrowed; outlives the stream
};

}  // namespace zntest
