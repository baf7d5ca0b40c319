// Helpers shared by the message-layer tests: a log recorder and a memory or
// refusing response writer.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "base/znplatform.h"
#include "base/znstreamwriter.h"
#include "body/HttpResponseDataWriter.h"

namespace zn_test {

// Records every log line while alive (level 4 and below).
class LogRecorder {
 public:
  struct Line {
    int level;
    std::string tag;
    std::string text;
  };
  LogRecorder() {
    znsyslog_setlevel(4);
    znsyslog_setsink(&LogRecorder::Sink, this);
  }
  ~LogRecorder() {
    znsyslog_setsink(nullptr, nullptr);
    znsyslog_setlevel(0);
  }
  // Lines with this level and tag whose text equals text exactly.
  int Count(int level, const char* tag, const std::string& text) const {
    std::lock_guard<std::mutex> guard(m_mutex);
    int n = 0;
    for (const Line& l : m_lines) n += (l.level == level && l.tag == tag && l.text == text) ? 1 : 0;
    return n;
  }
  std::string Dump() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    std::string all;
    for (const Line& l : m_lines) all += "[" + std::to_string(l.level) + "] " + l.tag + " " + l.text + "\n";
    return all;
  }

 private:
  static void Sink(int level, const char* tag, int, const char* text, void* ctx) {
    LogRecorder* self = static_cast<LogRecorder*>(ctx);
    std::lock_guard<std::mutex> guard(self->m_mutex);
    self->m_lines.push_back({level, tag, text});
  }
  mutable std::mutex m_mutex;
  std::vector<Line> m_lines;
};

// A host stream that takes nothing, so the writer refuses every byte.
class RefusingStream final : public IZNStreamWriter {
 public:
  uint64_t Write(const void*, uint32_t) override { return 0; }
};

inline zn::HttpResponseDataWriter* NewMemoryWriter() {
  zn::HttpResponseDataWriter* w = new zn::HttpResponseDataWriter();
  EXPECT_TRUE(w->Open(false, nullptr, nullptr));
  return w;
}

inline zn::HttpResponseDataWriter* NewRefusingWriter() {
  zn::HttpResponseDataWriter* w = new zn::HttpResponseDataWriter();
  EXPECT_TRUE(w->Open(false, nullptr, new RefusingStream()));
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

}  // namespace zn_test
