// Runs whole transfers of the public client for the fault, garbage and soak
// tests: a callback object that records the course of a transfer and lets the
// test thread wait for its completion with a bound, a scratch folder, and
// readings of the process's descriptors, threads and memory.
//
// Threads: TransferProbe is filled on the client's delivering thread and read
// on the test thread (guarded by its waiter); the rest runs on the test thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "include/znhttpclient.h"
#include "support/TestNet.h"

namespace zntest {

// Sanitizer builds run slower: the tests shrink their counts and widen their
// time-outs there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizedBuild = true;
#else
constexpr bool kSanitizedBuild = false;
#endif

// The course of a transfer as the host sees it.
class TransferProbe final : public IHttpClientNotify {
 public:
  void OnConnecting(zn::IHttpClient*, zn::strutf16&) override {}
  void OnConnected(zn::IHttpClient*) override { m_waiter.Update([this] { ++m_nConnected; }); }
  void OnDownloadStart(zn::IHttpClient*, uint32_t, uint32_t) override {
    m_waiter.Update([this] { ++m_nStarted; });
  }
  void OnProgress(zn::IHttpClient*, uint64_t, uint64_t, uint32_t, uint64_t) override {}
  void OnRedirected(zn::IHttpClient*, zn::strutf16& strUrl) override;
  void OnDownloadComplete(zn::IHttpClient*, uint32_t dwCode) override;

  // Wait until OnDownloadComplete, OnConnected or OnDownloadStart came, at
  // most bound; true when it did.
  bool WaitComplete(std::chrono::milliseconds bound) { return Wait(m_nCompletions, bound); }
  bool WaitConnected(std::chrono::milliseconds bound) { return Wait(m_nConnected, bound); }
  bool WaitStarted(std::chrono::milliseconds bound) { return Wait(m_nStarted, bound); }
  // The code of the first completion; UINT32_MAX while there is none.
  uint32_t Code() { return m_waiter.Get(m_dwCode); }
  int Completions() { return m_waiter.Get(m_nCompletions); }
  std::vector<std::string> Redirects() { return m_waiter.Get(m_redirects); }
  // Forgets everything, for the next transfer on the same client.
  void Reset();

 private:
  bool Wait(const int& counter, std::chrono::milliseconds bound) {
    return m_waiter.WaitFor([&counter] { return counter > 0; }, static_cast<int>(bound.count()));
  }

  Waiter m_waiter;
  uint32_t m_dwCode = UINT32_MAX;        // guarded by m_waiter
  int m_nCompletions = 0;                // guarded by m_waiter
  int m_nConnected = 0;                  // guarded by m_waiter
  int m_nStarted = 0;                    // guarded by m_waiter
  std::vector<std::string> m_redirects;  // guarded by m_waiter
};

// One download on a fresh client with these time-outs (3 s to connect, 3
// attempts), to target or (target "") to memory. False when it was refused or
// did not complete within bound; the memory body goes to *body.
bool DownloadOnce(TransferProbe& probe, const std::string& url, const std::string& target, uint32_t recvTimeoutMs,
                  std::chrono::milliseconds bound, std::string* body = nullptr);

// A fresh folder under /tmp, removed with its files.
class ScratchDir final {
 public:
  ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir();
  bool ok() const { return !m_strPath.empty(); }
  const std::string& path() const { return m_strPath; }
  std::string File(const std::string& name) const { return m_strPath + "/" + name; }

 private:
  std::string m_strPath;  // "" when the folder could not be made
};

// The whole content of a file; missing reads as "" with *exists false.
std::string ReadWholeFile(const std::string& path, bool* exists = nullptr);
// The content from offset to the end ("" when the file is missing or shorter).
std::string ReadFileFrom(const std::string& path, uint64_t offset);
// The size of a file, 0 when it is missing.
uint64_t FileSize(const std::string& path);
// Writes a sparse file: a hole of holeSize zero bytes, then tail.
bool WriteSparseFile(const std::string& path, uint64_t holeSize, const std::string& tail);
void RemoveFile(const std::string& path);
// Open descriptors (-1 where they cannot be counted), resident memory in KiB,
// and threads of this process.
int OpenDescriptorCount();
long ResidentKiB();
int ThreadCount();
// Bytes of the C runtime's heap in use (Windows: of every heap of the process).
long long HeapInUseBytes();

}  // namespace zntest
