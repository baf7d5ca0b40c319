// Runs whole transfers of the public client for the fault, garbage and soak
// tests: a callback object that records the course of one transfer and lets
// the test thread wait for its completion with a bound, a scratch folder for
// download targets, and readings of the process's descriptors and memory.
//
// Threads: TransferProbe is filled on the client's delivering thread and read
// on the test thread (guarded by its mutex). ScratchDir, ReadWholeFile and the
// process readings run on the test thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "include/znhttpclient.h"

namespace zntest {

// Sanitizer builds run slower: the tests shrink their counts and widen their
// time-outs there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitizedBuild = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitizedBuild = true;
#else
constexpr bool kSanitizedBuild = false;
#endif
#else
constexpr bool kSanitizedBuild = false;
#endif

// The course of one transfer as the host sees it.
class TransferProbe final : public IHttpClientNotify {
 public:
  TransferProbe() = default;
  TransferProbe(const TransferProbe&) = delete;
  TransferProbe& operator=(const TransferProbe&) = delete;

  void OnConnecting(zn::IHttpClient*, zn::strutf16&) override;
  void OnConnected(zn::IHttpClient*) override;
  void OnDownloadStart(zn::IHttpClient*, uint32_t, uint32_t) override;
  void OnProgress(zn::IHttpClient*, uint64_t, uint64_t, uint32_t, uint64_t) override {}
  void OnRedirected(zn::IHttpClient*, zn::strutf16& strUrl) override;
  void OnDownloadComplete(zn::IHttpClient*, uint32_t dwCode) override;

  // Waits until OnDownloadComplete came, at most bound; true when it did.
  bool WaitComplete(std::chrono::milliseconds bound);
  // Waits until OnConnected, or OnDownloadStart, came, at most bound.
  bool WaitConnected(std::chrono::milliseconds bound);
  bool WaitStarted(std::chrono::milliseconds bound);
  // The code of the first completion; UINT32_MAX while there is none.
  uint32_t Code();
  int Completions();
  int Connects();
  std::vector<std::string> Redirects();
  // Forgets everything, for the next transfer on the same client.
  void Reset();

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  uint32_t m_dwCode = UINT32_MAX;     // guarded by m_mutex
  int m_nCompletions = 0;             // guarded by m_mutex
  int m_nConnecting = 0;              // guarded by m_mutex
  int m_nConnected = 0;               // guarded by m_mutex
  int m_nStarted = 0;                 // guarded by m_mutex
  std::vector<std::string> m_redirects;  // guarded by m_mutex
};

// A fresh folder under the system's temporary folder, removed with its files.
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
void RemoveFile(const std::string& path);
// Open descriptors of this process.
int OpenDescriptorCount();
// Resident memory of this process in KiB.
long ResidentKiB();
// Threads of this process.
int ThreadCount();

}  // namespace zntest
