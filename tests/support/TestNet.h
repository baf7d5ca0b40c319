// Loopback networking helpers for tests: free ports, a listening socket, blocking
// reads and writes with bounds, a running task to create sockets on, and a
// waiting helper on a condition variable.
//
// Every network call here goes to loopback addresses only. Every wait has a
// time-out; a helper that times out reports it through its result.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CZNTaskBase;
class CZNTaskIO;
struct ssl_st;

namespace zntest {

// The bound used by tests for events that must happen.
constexpr int kEventWaitMs = 5000;

// A loopback TCP port that was free when asked (bound and released).
uint16_t FreeLoopbackPort(const char* ip = "127.0.0.1");

// A listening TCP socket on a loopback address.
// Thread: any, one at a time. Owns: its descriptor.
class LoopbackListener final {
 public:
  // ip: "127.0.0.1", "::1", ...; port 0 picks a free one; backlog as listen()
  // takes it, or negative: bound but not listening, so connections are refused.
  explicit LoopbackListener(const char* ip = "127.0.0.1", uint16_t port = 0, int backlog = 16);
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  bool ok() const { return m_fd >= 0; }
  uint16_t port() const { return m_port; }
  int fd() const { return m_fd; }
  // A connected descriptor (owned by the caller), or -1 after timeoutMs.
  int Accept(int timeoutMs = kEventWaitMs, std::string* peerIp = nullptr, uint16_t* peerPort = nullptr);
  void Close();

 private:
  int m_fd = -1;        // owned listening descriptor, -1 once closed
  uint16_t m_port = 0;  // the bound port
};

// A blocking client connection to ip:port (owned by the caller), or -1.
int ConnectTo(const char* ip, uint16_t port, int timeoutMs = kEventWaitMs);

// Writes all bytes; false on error or when the peer does not take them in time.
bool WriteAll(int fd, const std::string& data, int timeoutMs = kEventWaitMs);
// Reads until n bytes arrived, the stream ended or the time ran out; returns what came.
std::string ReadAtLeast(int fd, size_t n, int timeoutMs = kEventWaitMs);
// True when the peer closed (read returns 0) within the time; false when bytes
// came instead or nothing happened.
bool WaitPeerClosed(int fd, int timeoutMs = kEventWaitMs);
// Sends a reset instead of a normal close (SO_LINGER with zero time) and closes.
void CloseWithReset(int fd);
// True when the descriptor number is open in this process.
bool IsOpenFd(int fd);

// The result r of a TLS call (SSL_accept, SSL_read, ...) on a non-blocking
// socket: >0 done, 0 failed or ended, -1 to retry once the socket is ready for
// the poll events put in *want.
long TlsStep(ssl_st* ssl, int r, short* want);
// One send or receive on a non-blocking socket, through TLS when ssl is not
// null; the result as TlsStep gives it.
long TransferSome(int fd, ssl_st* ssl, bool write, void* buf, size_t len, short* want);

// Counts and flags shared between callbacks on a task and the test thread.
// Thread: any; every access goes through the mutex.
class Waiter final {
 public:
  // Runs fn under the lock and wakes the waiters.
  void Update(const std::function<void()>& fn);
  // True when pred (called under the lock) held within timeoutMs.
  bool WaitFor(const std::function<bool()>& pred, int timeoutMs = kEventWaitMs);
  // Reads under the lock.
  template <typename T>
  T Get(const T& field) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return field;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
};

// Runs fn on the task's thread and waits for it to finish; false when it did
// not run within timeoutMs. fn's captures must outlive the wait.
bool RunOn(CZNTaskBase* task, const std::function<void()>& fn, int timeoutMs = kEventWaitMs);

// A started platform I/O task for the duration of a test.
// Thread: the test thread. Owns: one counted reference to the task.
class TaskThread final {
 public:
  explicit TaskThread(const char* name = "ZnTestTask");
  ~TaskThread();
  TaskThread(const TaskThread&) = delete;
  TaskThread& operator=(const TaskThread&) = delete;

  CZNTaskIO* task() const { return m_pTask; }
  // Runs fn on the task's thread and waits for it to finish; false when it did
  // not run within timeoutMs. fn's captures must outlive the wait.
  bool Run(const std::function<void()>& fn, int timeoutMs = kEventWaitMs);
  // Lets the task's loop turn a few times (each a posted call waited for), so
  // that events already due have been delivered.
  bool Drain(int turns = 5);

 private:
  CZNTaskIO* m_pTask = nullptr;  // counted
};

// A loopback port that refuses connections: bound, never listening. Use it to
// make an address family fail fast on a chosen port.
class RefusingPort final {
 public:
  // port 0 picks a free one. valid() is false when the address cannot be bound.
  RefusingPort(const std::string& address, uint16_t port) : m_socket(address.c_str(), port, -1) {}
  bool valid() const { return m_socket.ok(); }
  uint16_t port() const { return m_socket.port(); }

 private:
  LoopbackListener m_socket;  // bound, never listening
};

// Refusing ports on several loopback addresses under one port number that is
// free on every one of them: another process may hold a number on one address
// only. valid() is false when no such number was found.
class RefusingPorts final {
 public:
  explicit RefusingPorts(const std::vector<std::string>& addresses);
  bool valid() const { return !m_ports.empty(); }
  uint16_t port() const { return valid() ? m_ports.front()->port() : 0; }

 private:
  std::vector<std::unique_ptr<RefusingPort>> m_ports;  // owned, one per address
};

// True when the machine has an IPv6 loopback that can be bound.
bool HasIpv6Loopback();

// Writes the socket address (port 0) of a numeric loopback address text into a
// 128-byte record, as a resolver's result holds it. False for other text.
bool FillAddressRecord(const std::string& ip, unsigned char record[128]);

}  // namespace zntest
