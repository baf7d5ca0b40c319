#include "TransferProbe.h"

#include "TestOs.h"

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

namespace zntest {

void TransferProbe::OnRedirected(zn::IHttpClient*, zn::strutf16& strUrl) {
  const std::string url = zn::strutf8(strUrl).c_str();
  m_waiter.Update([&] { m_redirects.push_back(url); });
}

void TransferProbe::OnDownloadComplete(zn::IHttpClient*, uint32_t dwCode) {
  m_waiter.Update([&] {
    if (m_nCompletions++ == 0) m_dwCode = dwCode;
  });
}

void TransferProbe::Reset() {
  m_waiter.Update([this] {
    m_dwCode = UINT32_MAX;
    m_nCompletions = m_nConnected = m_nStarted = 0;
    m_redirects.clear();
  });
}

bool DownloadOnce(TransferProbe& probe, const std::string& url, const std::string& target, uint32_t recvTimeoutMs,
                  std::chrono::milliseconds bound, std::string* body) {
  std::unique_ptr<zn::IHttpClientEx> client(zn_create_httpclient_ex(nullptr));
  client->SetNotify(&probe);
  client->SetTimeout(3000, recvTimeoutMs, 3);
  const bool started = target.empty() ? client->Download(zn::strutf16(url.c_str()), nullptr)
                                      : client->Download(zn::strutf8(url.c_str()), zn::strutf8(target.c_str()),
                                                         nullptr, false);
  if (!started || !probe.WaitComplete(bound)) return false;
  const unsigned char* data = nullptr;
  uint32_t len = 0;
  if (body && client->GetDownloadedBuffer(&data, &len)) body->assign(reinterpret_cast<const char*>(data), len);
  return true;
}

ScratchDir::ScratchDir() {
  m_strPath = MakeTempDir("zntransfer");
}

ScratchDir::~ScratchDir() {
  if (m_strPath.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(m_strPath, ec);
}

std::string ReadWholeFile(const std::string& path, bool* exists) {
  std::ifstream in(path, std::ios::binary);
  if (exists) *exists = static_cast<bool>(in);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string ReadFileFrom(const std::string& path, uint64_t offset) {
  std::ifstream in(path, std::ios::binary);
  if (!in.seekg(static_cast<std::streamoff>(offset))) return std::string();
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint64_t FileSize(const std::string& path) {
  std::error_code ec;
  const uintmax_t size = std::filesystem::file_size(path, ec);
  return ec ? 0 : size;
}

bool WriteSparseFile(const std::string& path, uint64_t holeSize, const std::string& tail) {
  std::error_code ec;
  { std::ofstream create(path, std::ios::binary | std::ios::trunc); }
  std::filesystem::resize_file(path, holeSize, ec);
  if (ec) return false;
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out << tail;
  return static_cast<bool>(out.flush());
}

void RemoveFile(const std::string& path) {
  std::error_code ec;
  std::filesystem::remove(path, ec);
}

}  // namespace zntest
