// Helpers of the message, body and transport tests: a log recorder, memory or
// refusing writers, byte patterns and an allocator that refuses sizes.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "base/znplatform.h"
#include "base/znstreamwriter.h"
#include "body/BodyAllocator.h"
#include "body/HttpResponseDataWriter.h"
#include "support/TestSha256.h"
#include "support/TransferProbe.h"

namespace zn_test {

// Records every log line (level 4 and below), from any thread, while alive.
class LogRecorder final {
 public:
  LogRecorder() : m_nOldLevel(znsyslog_getlevel()) {
    znsyslog_setlevel(4);
    znsyslog_setsink(&LogRecorder::Sink, this);
  }
  ~LogRecorder() {
    znsyslog_setsink(nullptr, nullptr);
    znsyslog_setlevel(m_nOldLevel);
  }
  // Lines with this level and tag whose text equals text (or, with part, contains it).
  int Count(int level, const std::string& tag, const std::string& text, bool part = false) const {
    std::lock_guard<std::mutex> guard(m_mutex);
    int n = 0;
    for (const Line& l : m_lines) {
      n += l.level == level && l.tag == tag && (part ? l.text.find(text) != std::string::npos : l.text == text);
    }
    return n;
  }
  bool Has(int level, const std::string& tag, const std::string& part) const { return Count(level, tag, part, true); }
  std::string Dump() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    std::string all;
    for (const Line& l : m_lines) all += "[" + std::to_string(l.level) + "] " + l.tag + " " + l.text + "\n";
    return all;
  }

 private:
  struct Line {
    int level;
    std::string tag, text;
  };
  static void Sink(int level, const char* tag, int, const char* text, void* ctx) {
    LogRecorder* self = static_cast<LogRecorder*>(ctx);
    std::lock_guard<std::mutex> guard(self->m_mutex);
    self->m_lines.push_back({level, tag ? tag : "", text ? text : ""});
  }
  const int m_nOldLevel;
  mutable std::mutex m_mutex;
  std::vector<Line> m_lines;  // guarded by m_mutex
};

// A host stream that takes nothing, so the writer refuses every byte.
class RefusingStream final : public IZNStreamWriter {
 public:
  uint64_t Write(const void*, uint32_t) override { return 0; }
};

inline zn::HttpResponseDataWriter* NewWriter(IZNStreamWriter* stream = nullptr) {
  zn::HttpResponseDataWriter* w = new zn::HttpResponseDataWriter();
  EXPECT_TRUE(w->Open(false, nullptr, stream));
  return w;
}

// The bytes a memory writer holds.
inline std::string MemoryOf(zn::HttpResponseDataWriter* w) {
  unsigned char* data = nullptr;
  uint32_t len = 0;
  if (!w || !w->GetBuffer(&data, &len) || !data) return std::string();
  return std::string(reinterpret_cast<char*>(data), len);
}

inline std::string Str(const zn::strutf8& s) { return std::string(s.c_str(), s.length()); }
inline const unsigned char* U(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

using zntest::Pattern;

inline bool WriteWholeFile(const std::string& path, const std::string& data, bool append = false) {
  std::ofstream f(path, std::ios::binary | (append ? std::ios::app : std::ios::trunc));
  f.write(data.data(), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(f);
}

// A fresh temporary folder, removed with its content.
using TempDir = zntest::ScratchDir;
using zntest::ReadWholeFile;

// Installs an allocator for the body objects that refuses every block larger
// than a limit and records the sizes it grants; restores the C heap when it
// goes. The body objects allocate on the test's thread only.
class LimitedAllocator final {
 public:
  explicit LimitedAllocator(size_t limit) {
    s_limit = limit;
    s_sizes.clear();
    zn::SetBodyAllocator(&LimitedAllocator::Alloc);
  }
  ~LimitedAllocator() { zn::SetBodyAllocator(nullptr); }
  std::vector<size_t> Granted() const { return s_sizes; }

 private:
  static void* Alloc(size_t size) {
    if (size > s_limit) return nullptr;
    s_sizes.push_back(size);
    return std::malloc(size);
  }
  static inline size_t s_limit = 0;
  static inline std::vector<size_t> s_sizes;
};

}  // namespace zn_test
