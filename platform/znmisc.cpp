// Thread ids, wall time, random numbers, number parsing and file
// names. Every function here may be called from any thread.
#include <time.h>

#include <atomic>
#include <cstring>
#include <random>

#include "base/znplatform.h"
#include "platform/znthreadid.h"

namespace {

const uint64_t kMaxUint32 = 0xFFFFFFFFull;

// Ids are handed out once per thread and never reused, so a stale id kept by a
// table can never name a later thread.
std::atomic<uint64_t> g_nNextThreadId{1};
// The calling thread's id; 0 until it is first asked for or adopted.
thread_local uint64_t t_nThreadId = 0;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One generator per thread, seeded from the system's entropy and the thread's
// id, so that threads never share state and never need a lock.
struct RandomState final {
  RandomState() {
    unsigned entropy[2] = {0, 0};
    try {
      std::random_device rd;
      entropy[0] = rd();
      entropy[1] = rd();
    } catch (...) {
      // No entropy source: the clock and the thread id still tell threads and
      // runs apart, which is all the callers (form boundaries) need.
    }
    std::seed_seq seq{entropy[0], entropy[1], static_cast<unsigned>(znthread_selfid()),
                      static_cast<unsigned>(zn_perfcounter()), static_cast<unsigned>(zn_perfcounter() >> 32)};
    engine.seed(seq);
  }
  std::mt19937 engine;
};

}  // namespace

uint64_t znthread_selfid() {
  if (t_nThreadId == 0) t_nThreadId = znplatform::ReserveThreadId();
  return t_nThreadId;
}

namespace znplatform {

uint64_t ReserveThreadId() { return g_nNextThreadId.fetch_add(1, std::memory_order_relaxed); }

void AdoptThreadId(uint64_t id) { t_nThreadId = id; }

}  // namespace znplatform

uint32_t zn_time() {
  return static_cast<uint32_t>(::time(nullptr));
}

uint32_t zn_rand() {
  thread_local RandomState state;
  return static_cast<uint32_t>(state.engine());
}

namespace {

// Leading spaces and tabs are skipped. A sign is not a digit: "-5" and "+5"
// read as no digits at all (false, 0), so a negative text never turns into a
// huge value. Reading stops at the first character that is not a digit of the
// base; what follows is ignored. A value above max gives false and max, so an
// oversized length or chunk size can never read as a small one (or as 0).
bool ParseUnsigned(const char* text, uint64_t max, uint64_t* out) {
  *out = 0;
  if (!text) return false;
  while (*text == ' ' || *text == '\t') ++text;
  unsigned base = 10;
  if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text += 2;
  }
  uint64_t value = 0;
  bool anyDigit = false;
  bool overflow = false;
  for (;; ++text) {
    const int d = (base == 16) ? HexValue(*text) : ((*text >= '0' && *text <= '9') ? *text - '0' : -1);
    if (d < 0) break;
    anyDigit = true;
    // value * base + d > max, asked without overflowing 64 bits.
    if (!overflow && value > (max - static_cast<unsigned>(d)) / base) overflow = true;
    if (!overflow) value = value * base + static_cast<unsigned>(d);
  }
  if (!anyDigit) return false;
  if (overflow) {
    *out = max;
    return false;
  }
  *out = value;
  return true;
}

}  // namespace

bool zn_str2uint32(const char* text, uint32_t* out) {
  uint64_t value = 0;
  const bool ok = ParseUnsigned(text, kMaxUint32, &value);
  if (out) *out = static_cast<uint32_t>(value);
  return ok;
}

bool zn_str2uint64(const char* text, uint64_t* out) {
  uint64_t value = 0;
  const bool ok = ParseUnsigned(text, UINT64_MAX, &value);
  if (out) *out = value;
  return ok;
}

bool CHttpInfoParser::GetPureFileName(const char* path, zn::strutf8& name) {
  if (!path) return false;
  const char* last = path;
  for (const char* p = path; *p; ++p) {
    if (*p == '/' || *p == '\\') last = p + 1;
  }
  name = last;
  return true;
}
