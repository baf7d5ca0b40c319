#include "body/CSpeedCounter.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using zn::CSpeedCounter;

// A step counts bytes at a time, or queries at a time (with or without a place
// for the delta) and checks the rate and the delta handed out.
enum Kind { kCount, kQuery, kQueryNoDelta };
struct Step {
  Kind kind;
  uint64_t now;
  uint64_t bytes;     // count: bytes added; query: expected delta
  uint32_t expected;  // query: expected rate
};

TEST(CSpeedCounterTest, RateAndDeltaSequences) {
  struct Case {
    const char* name;
    std::vector<Step> steps;
  };
  const std::vector<Case> cases = {
      {"1000 bytes over 2000 ms", {{kCount, 5000, 1000, 0}, {kQuery, 7000, 1000, 500}}},
      {"average over the whole run, delta since the last query",
       {{kCount, 100, 500, 0}, {kQuery, 1100, 500, 500}, {kCount, 1500, 1500, 0}, {kQuery, 2100, 1500, 1000}}},
      {"no time passed: no rate, the delta still handed out once",
       {{kCount, 300, 10, 0}, {kQuery, 300, 10, 0}, {kQuery, 1300, 0, 10}}},
      {"a query before any count does not keep the meter from starting",
       {{kQuery, 50, 0, 0}, {kCount, 1000, 2000, 0}, {kQuery, 3000, 2000, 1000}}},
      {"the first count starts the meter, later ones do not move it",
       {{kCount, 400, 7, 0}, {kCount, 900, 8, 0}, {kQuery, 1400, 15, 15}}},
      {"a query without a place for the delta still takes it",
       {{kCount, 400, 15, 0}, {kQueryNoDelta, 1400, 0, 15}, {kQuery, 1400, 0, 15}}},
      {"the rate keeps only its low 32 bits",
       {{kCount, 10, 5000000000ull, 0}, {kQuery, 11, 5000000000ull, static_cast<uint32_t>(5000000000000ull)}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CSpeedCounter meter;
    int i = 0;
    for (const Step& s : c.steps) {
      SCOPED_TRACE(i++);
      if (s.kind == kCount) {
        meter.AddBytes(s.bytes, s.now);
        continue;
      }
      uint64_t delta = 12345;
      EXPECT_EQ(meter.GetSpeed(s.now, s.kind == kQuery ? &delta : nullptr), s.expected);
      EXPECT_EQ(delta, s.kind == kQuery ? s.bytes : 12345u);
    }
  }
}

// Counting at the library clock starts at a real, non-zero time.
TEST(CSpeedCounterTest, TheClockStartsTheMeter) {
  CSpeedCounter live;
  live.AddBytes(1);
  EXPECT_NE(live.StartTime(), 0u);
}

}  // namespace
