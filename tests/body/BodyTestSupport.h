// Helpers of the body object tests: a capture of the log lines, a temporary
// folder, deterministic byte patterns and an allocator that refuses sizes.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "base/znplatform.h"
#include "body/BodyAllocator.h"

namespace zntest {

// Collects every log line (all levels) while alive. The sink may be called on
// any thread, so the lines are guarded and waited for with a bound.
class LogCapture final {
 public:
  LogCapture() {
    m_nOldLevel = znsyslog_getlevel();
    znsyslog_setlevel(4);
    znsyslog_setsink(&LogCapture::Sink, this);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  ~LogCapture() {
    znsyslog_setsink(nullptr, nullptr);
    znsyslog_setlevel(m_nOldLevel);
  }

  // True when a line of this tag and level containing text arrives within the bound.
  bool WaitFor(const std::string& tag, int level, const std::string& text,
               std::chrono::milliseconds bound = std::chrono::milliseconds(2000)) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, bound, [&] { return FindLocked(tag, level, text); });
  }
  std::string Dump() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string all;
    for (const Line& l : m_lines) all += "[" + std::to_string(l.level) + "] " + l.tag + " " + l.text + "\n";
    return all;
  }

 private:
  struct Line {
    int level;
    std::string tag;
    std::string text;
  };
  static void Sink(int level, const char* tag, int, const char* text, void* ctx) {
    LogCapture* self = static_cast<LogCapture*>(ctx);
    {
      std::lock_guard<std::mutex> lock(self->m_mutex);
      self->m_lines.push_back(Line{level, tag ? tag : "", text ? text : ""});
    }
    self->m_cv.notify_all();
  }
  bool FindLocked(const std::string& tag, int level, const std::string& text) const {
    for (const Line& l : m_lines) {
      if (l.tag == tag && l.level == level && l.text.find(text) != std::string::npos) return true;
    }
    return false;
  }

  int m_nOldLevel = 0;
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<Line> m_lines;  // guarded by m_mutex
};

// A fresh folder under the system's temporary folder, removed with its content.
class TempDir final {
 public:
  TempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "znbody.XXXXXX").string();
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data())) m_path = buf.data();
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ec;
    if (!m_path.empty()) std::filesystem::remove_all(m_path, ec);
  }
  std::string File(const std::string& name) const { return m_path + "/" + name; }
  bool Ok() const { return !m_path.empty(); }

 private:
  std::string m_path;
};

// Bytes whose value depends on their offset, so a byte out of place shows.
inline std::vector<unsigned char> Pattern(size_t len, uint32_t seed = 1) {
  std::vector<unsigned char> v(len);
  uint32_t x = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < len; ++i) {
    x = x * 1103515245u + 12345u;
    v[i] = static_cast<unsigned char>((x >> 16) ^ i);
  }
  return v;
}

inline bool WriteWholeFile(const std::string& path, const std::vector<unsigned char>& data) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(f);
}

inline std::vector<unsigned char> ReadWholeFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// Installs an allocator for the body objects that refuses every block larger
// than a limit and records the sizes it hands out; restores the C heap when
// it goes.
class LimitedAllocator final {
 public:
  explicit LimitedAllocator(size_t limit) {
    s_limit.store(limit);
    std::lock_guard<std::mutex> lock(Mutex());
    Sizes().clear();
    zn::SetBodyAllocator(&LimitedAllocator::Alloc);
  }
  LimitedAllocator(const LimitedAllocator&) = delete;
  LimitedAllocator& operator=(const LimitedAllocator&) = delete;
  ~LimitedAllocator() { zn::SetBodyAllocator(nullptr); }

  // The sizes handed out, in order (refused sizes are not listed).
  std::vector<size_t> Granted() const {
    std::lock_guard<std::mutex> lock(Mutex());
    return Sizes();
  }

 private:
  static void* Alloc(size_t size) {
    if (size > s_limit.load()) return nullptr;
    {
      std::lock_guard<std::mutex> lock(Mutex());
      Sizes().push_back(size);
    }
    return std::malloc(size);
  }
  static std::mutex& Mutex() {
    static std::mutex m;
    return m;
  }
  static std::vector<size_t>& Sizes() {
    static std::vector<size_t> v;
    return v;
  }
  static inline std::atomic<size_t> s_limit{0};
};

}  // namespace zntest
