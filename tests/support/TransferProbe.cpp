#include "TransferProbe.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

namespace zntest {

void TransferProbe::OnConnecting(zn::IHttpClient*, zn::strutf16&) {
  std::lock_guard<std::mutex> g(m_mutex);
  ++m_nConnecting;
}

void TransferProbe::OnConnected(zn::IHttpClient*) {
  std::lock_guard<std::mutex> g(m_mutex);
  ++m_nConnected;
  m_cv.notify_all();
}

void TransferProbe::OnDownloadStart(zn::IHttpClient*, uint32_t, uint32_t) {
  std::lock_guard<std::mutex> g(m_mutex);
  ++m_nStarted;
  m_cv.notify_all();
}

bool TransferProbe::WaitConnected(std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> g(m_mutex);
  return m_cv.wait_for(g, bound, [&] { return m_nConnected > 0; });
}

bool TransferProbe::WaitStarted(std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> g(m_mutex);
  return m_cv.wait_for(g, bound, [&] { return m_nStarted > 0; });
}

void TransferProbe::OnRedirected(zn::IHttpClient*, zn::strutf16& strUrl) {
  std::lock_guard<std::mutex> g(m_mutex);
  m_redirects.push_back(zn::strutf8(strUrl).c_str());
}

void TransferProbe::OnDownloadComplete(zn::IHttpClient*, uint32_t dwCode) {
  std::lock_guard<std::mutex> g(m_mutex);
  if (m_nCompletions++ == 0) m_dwCode = dwCode;
  m_cv.notify_all();
}

bool TransferProbe::WaitComplete(std::chrono::milliseconds bound) {
  std::unique_lock<std::mutex> g(m_mutex);
  return m_cv.wait_for(g, bound, [&] { return m_nCompletions > 0; });
}

uint32_t TransferProbe::Code() {
  std::lock_guard<std::mutex> g(m_mutex);
  return m_dwCode;
}

int TransferProbe::Completions() {
  std::lock_guard<std::mutex> g(m_mutex);
  return m_nCompletions;
}

int TransferProbe::Connects() {
  std::lock_guard<std::mutex> g(m_mutex);
  return m_nConnected;
}

std::vector<std::string> TransferProbe::Redirects() {
  std::lock_guard<std::mutex> g(m_mutex);
  return m_redirects;
}

void TransferProbe::Reset() {
  std::lock_guard<std::mutex> g(m_mutex);
  m_dwCode = UINT32_MAX;
  m_nCompletions = 0;
  m_nConnecting = 0;
  m_nConnected = 0;
  m_nStarted = 0;
  m_redirects.clear();
}

ScratchDir::ScratchDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/zntransfer.XXXXXX";
  if (mkdtemp(&pattern[0])) m_strPath = pattern;
}

ScratchDir::~ScratchDir() {
  if (m_strPath.empty()) return;
  if (DIR* dir = opendir(m_strPath.c_str())) {
    while (dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") unlink((m_strPath + "/" + name).c_str());
    }
    closedir(dir);
  }
  rmdir(m_strPath.c_str());
}

std::string ReadWholeFile(const std::string& path, bool* exists) {
  std::ifstream in(path, std::ios::binary);
  if (exists) *exists = static_cast<bool>(in);
  if (!in) return std::string();
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void RemoveFile(const std::string& path) { unlink(path.c_str()); }

int OpenDescriptorCount() {
  int n = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(dir)) {
      if (e->d_name[0] != '.') ++n;
    }
    closedir(dir);
    --n;  // the descriptor of the listing itself
  }
  return n;
}

namespace {

// A numeric field of /proc/self/status ("VmRSS:", "Threads:"); -1 when absent.
long StatusField(const std::string& field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, field.size(), field) == 0) return strtol(line.c_str() + field.size(), nullptr, 10);
  }
  return -1;
}

}  // namespace

long ResidentKiB() { return StatusField("VmRSS:"); }

int ThreadCount() { return static_cast<int>(StatusField("Threads:")); }

}  // namespace zntest
