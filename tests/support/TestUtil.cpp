#include "TestUtil.h"

#include "TestOs.h"
#include "base/znplatform.h"

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace zntest {

LogCapture::LogCapture(int level) : m_nOldLevel(znsyslog_getlevel()) {
  znsyslog_setlevel(level);
  znsyslog_setsink(&LogCapture::Sink, this);
}

LogCapture::~LogCapture() {
  znsyslog_setsink(nullptr, nullptr);
  znsyslog_setlevel(m_nOldLevel);
}

std::vector<LogCapture::Line> LogCapture::Lines() const {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_lines;
}

int LogCapture::Count(int level, const std::string& tag, const std::string& text, bool part) const {
  int n = 0;
  for (const Line& l : Lines()) {
    n += (level == 0 || l.level == level) && (tag.empty() || l.tag == tag) &&
         (part ? l.text.find(text) != std::string::npos : l.text == text);
  }
  return n;
}

std::string LogCapture::Dump() const {
  std::string all;
  for (const Line& l : Lines()) all += "[" + std::to_string(l.level) + "] " + l.tag + " " + l.text + "\n";
  return all;
}

void LogCapture::Sink(int level, const char* tag, int line, const char* text, void* ctx) {
  LogCapture* self = static_cast<LogCapture*>(ctx);
  std::lock_guard<std::mutex> guard(self->m_mutex);
  self->m_lines.push_back({level, tag ? tag : "", line, text ? text : ""});
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

bool WriteWholeFile(const std::string& path, const std::string& data, bool append) {
  std::ofstream f(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
  f.write(data.data(), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(f);
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
