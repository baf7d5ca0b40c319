// Helpers of every test folder: a capture of the log lines, texts of the
// library's strings and of response heads, a scratch folder, whole files, and
// readings of the process's descriptors, threads and memory.
//
// Threads: LogCapture takes lines from any thread; the rest runs on the
// calling thread.
#pragma once

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
#else
constexpr bool kSanitizedBuild = false;
#endif

// Collects the log lines of the whole process while it lives (one at a time),
// at the threshold level; the former threshold comes back when it goes.
// Thread: lines come from any thread; every access takes the mutex.
class LogCapture final {
 public:
  struct Line {
    int level;
    std::string tag;
    int line;
    std::string text;
  };
  explicit LogCapture(int level = 4);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;
  std::vector<Line> Lines() const;
  // Lines of the level and tag (0 and "": any) whose text equals text (with
  // part: contains it).
  int Count(int level, const std::string& tag, const std::string& text, bool part = false) const;
  bool Has(int level, const std::string& tag, const std::string& part) const {
    return Count(level, tag, part, true) > 0;
  }
  // Lines of the tag, at any level, that contain text.
  int Count(const std::string& text, const std::string& tag = "znhttp") const { return Count(0, tag, text, true); }
  bool Has(const std::string& text, const std::string& tag = "znhttp") const { return Count(text, tag) > 0; }
  // Every line, for failure messages.
  std::string Dump() const;

 private:
  static void Sink(int level, const char* tag, int line, const char* text, void* ctx);
  const int m_nOldLevel;
  mutable std::mutex m_mutex;
  std::vector<Line> m_lines;  // guarded by m_mutex
};

// The bytes of a library string.
inline std::string Str(const zn::strutf8& s) { return std::string(s.c_str(), s.length()); }

// A response head of the status and header lines.
inline std::string Head(const std::string& status, const std::vector<std::string>& lines = {}) {
  std::string head = "HTTP/1.1 " + status + "\r\n";
  for (const std::string& l : lines) head += l + "\r\n";
  return head + "\r\n";
}
inline std::string Ok(const std::string& body, const std::string& status = "200 OK") {
  return Head(status, {"Content-Length: " + std::to_string(body.size())}) + body;
}

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
bool WriteWholeFile(const std::string& path, const std::string& data, bool append = false);
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
