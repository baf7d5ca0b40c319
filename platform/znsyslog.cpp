// The process-wide logger.
//
// Any thread may log. The threshold is an atomic read on every call, so a
// disabled logger costs one load. Lines that pass are formatted on the calling
// thread and handed to the sink under one mutex, so that a sink sees whole
// lines one at a time and a sink change never races with a delivery.
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/znplatform.h"

namespace {

// Most formats and lines fit on the stack; longer ones go to the heap.
const size_t kFormatStackSize = 256;
const size_t kLineStackSize = 1024;

std::atomic<int> g_nLevel{0};  // lines with a level above this are dropped
pthread_mutex_t g_sinkLock = PTHREAD_MUTEX_INITIALIZER;  // guards the two below
znsyslog_sink_t g_pfnSink = nullptr;  // null: standard error
void* g_pSinkCtx = nullptr;           // borrowed; handed back to the sink

// A byte buffer that starts on the stack and moves to the heap when it must.
template <size_t N>
class LineBuffer final {
 public:
  LineBuffer() = default;
  LineBuffer(const LineBuffer&) = delete;
  LineBuffer& operator=(const LineBuffer&) = delete;
  ~LineBuffer() {
    if (m_pHeap) std::free(m_pHeap);
  }
  // Makes room for n bytes; false when the heap refuses.
  bool Reserve(size_t n) {
    if (n <= Capacity()) return true;
    char* fresh = static_cast<char*>(std::malloc(n));
    if (!fresh) return false;
    if (m_pHeap) std::free(m_pHeap);
    m_pHeap = fresh;
    m_nHeapSize = n;
    return true;
  }
  char* Data() { return m_pHeap ? m_pHeap : m_stack; }
  size_t Capacity() const { return m_pHeap ? m_nHeapSize : N; }

 private:
  char m_stack[N];
  char* m_pHeap = nullptr;  // owned; null while the stack suffices
  size_t m_nHeapSize = 0;
};

bool IsFlagOrWidth(char c) {
  return c == '-' || c == '+' || c == ' ' || c == '#' || c == '.' || c == '*' ||
         (c >= '0' && c <= '9');
}

// Copies the format, rewriting the MSVC length modifiers of each conversion:
// "I64" becomes "ll", "I32" disappears and a bare "I" (pointer width) becomes
// "z". Returns the length written; the output holds at least 2 * strlen + 1.
size_t RewriteFormat(const char* in, char* out) {
  size_t o = 0;
  size_t i = 0;
  while (in[i]) {
    if (in[i] != '%') {
      out[o++] = in[i++];
      continue;
    }
    out[o++] = in[i++];
    if (in[i] == '%') {
      out[o++] = in[i++];
      continue;
    }
    while (in[i] && IsFlagOrWidth(in[i])) out[o++] = in[i++];
    if (in[i] == 'I') {
      if (in[i + 1] == '6' && in[i + 2] == '4') {
        out[o++] = 'l';
        out[o++] = 'l';
        i += 3;
      } else if (in[i + 1] == '3' && in[i + 2] == '2') {
        i += 3;
      } else {
        out[o++] = 'z';
        i += 1;
      }
    }
  }
  out[o] = '\0';
  return o;
}

void WriteToStderr(int level, const char* tag, int line, const char* text) {
  std::fprintf(stderr, "[%d] %s:%d %s\n", level, tag ? tag : "", line, text);
}

}  // namespace

void znsyslog(int level, const char* tag, int line, const char* format, ...) {
  if (level <= 0 || level > g_nLevel.load(std::memory_order_relaxed) || !format) return;
  // A caller may log between a failing call and its look at errno.
  const int savedErrno = errno;

  LineBuffer<kFormatStackSize> fmt;
  if (!fmt.Reserve(std::strlen(format) * 2 + 1)) {
    errno = savedErrno;
    return;
  }
  RewriteFormat(format, fmt.Data());

  LineBuffer<kLineStackSize> text;
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(text.Data(), text.Capacity(), fmt.Data(), copy);
  va_end(copy);
  if (n >= 0 && static_cast<size_t>(n) >= text.Capacity()) {
    if (text.Reserve(static_cast<size_t>(n) + 1)) {
      n = std::vsnprintf(text.Data(), text.Capacity(), fmt.Data(), args);
    }
    // Without the heap the stack holds a truncated but terminated line.
  }
  va_end(args);
  if (n < 0) std::snprintf(text.Data(), text.Capacity(), "(bad log format) %s", format);

  pthread_mutex_lock(&g_sinkLock);
  if (g_pfnSink) {
    g_pfnSink(level, tag ? tag : "", line, text.Data(), g_pSinkCtx);
  } else {
    WriteToStderr(level, tag, line, text.Data());
  }
  pthread_mutex_unlock(&g_sinkLock);
  errno = savedErrno;
}

void znsyslog_setlevel(int maxLevel) {
  g_nLevel.store(maxLevel, std::memory_order_relaxed);
}

int znsyslog_getlevel() {
  return g_nLevel.load(std::memory_order_relaxed);
}

void znsyslog_setsink(znsyslog_sink_t sink, void* ctx) {
  pthread_mutex_lock(&g_sinkLock);
  g_pfnSink = sink;
  g_pSinkCtx = ctx;
  pthread_mutex_unlock(&g_sinkLock);
}
