// Helpers shared by the fuzz harnesses: every log line is formatted (so that a
// format reading past its argument is caught) and then dropped, and an input is
// cut into pieces at points the fuzzer chooses.
//
// Single-threaded: libFuzzer calls each harness on one thread.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "base/znplatform.h"

namespace znfuzz {

// Highest log level: every line of the library goes through the formatter.
constexpr int kLogAll = 4;

inline void DropLine(int, const char*, int, const char*, void*) {}

// Turns all logging on, into a sink that drops the lines. Call once.
inline int EnableAllLogs() {
  znsyslog_setsink(&DropLine, nullptr);
  znsyslog_setlevel(kLogAll);
  return 0;
}

// Stops the run with a message when a harness's own check fails; libFuzzer
// treats the abort as a crash and saves the input.
#define ZN_FUZZ_CHECK(cond)                                                              \
  do {                                                                                   \
    if (!(cond)) {                                                                       \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);          \
      abort();                                                                           \
    }                                                                                    \
  } while (0)

// Cuts the front of an input into pieces whose lengths come from the back of
// the same input (FuzzedDataProvider reads numbers from the end), so that a
// seed's text stays readable at the front. Every piece is at least 1 byte and
// at most maxPiece bytes.
class PieceCutter final {
 public:
  PieceCutter(FuzzedDataProvider& fdp, size_t maxPiece) : m_rFdp(fdp), m_nMaxPiece(maxPiece) {}
  PieceCutter(const PieceCutter&) = delete;
  PieceCutter& operator=(const PieceCutter&) = delete;

  // Length of the next piece (the caller takes at most that many bytes from
  // the front); 0 when the input is used up.
  size_t NextLength() {
    if (m_rFdp.remaining_bytes() == 0) return 0;
    return m_rFdp.ConsumeIntegralInRange<size_t>(1, m_nMaxPiece);
  }

 private:
  FuzzedDataProvider& m_rFdp;  // borrowed; outlives the cutter
  size_t m_nMaxPiece;          // >= 1
};

}  // namespace znfuzz
