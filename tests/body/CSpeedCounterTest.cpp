#include "body/CSpeedCounter.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using zn::CSpeedCounter;

// A step either counts bytes at a time or queries at a time and checks the
// rate and the delta handed out.
struct Step {
  bool query;
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
      {"1000 bytes over 2000 ms", {{false, 5000, 1000, 0}, {true, 7000, 1000, 500}}},
      {"average over the whole run, delta since the last query",
       {{false, 100, 500, 0}, {true, 1100, 500, 500}, {false, 1500, 1500, 0}, {true, 2100, 1500, 1000}}},
      {"no time passed: no rate, the delta still handed out once",
       {{false, 300, 10, 0}, {true, 300, 10, 0}, {true, 1300, 0, 10}}},
      {"a query before any count does not keep the meter from starting",
       {{true, 50, 0, 0}, {false, 1000, 2000, 0}, {true, 3000, 2000, 1000}}},
      {"the first count starts the meter, later ones do not move it",
       {{false, 400, 7, 0}, {false, 900, 8, 0}, {true, 1400, 15, 15}}},
      {"the rate keeps only its low 32 bits",
       {{false, 10, 5000000000ull, 0}, {true, 11, 5000000000ull, static_cast<uint32_t>(5000000000000ull)}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CSpeedCounter meter;
    int i = 0;
    for (const Step& s : c.steps) {
      SCOPED_TRACE(i++);
      if (!s.query) {
        meter.AddBytes(s.bytes, s.now);
        continue;
      }
      uint64_t delta = 12345;
      EXPECT_EQ(meter.GetSpeed(s.now, &delta), s.expected);
      EXPECT_EQ(delta, s.bytes);
    }
  }
}

TEST(CSpeedCounterTest, NullQueryTakesTheDeltaAndTheClockStartsTheMeter) {
  CSpeedCounter meter;
  meter.AddBytes(15, 400);
  EXPECT_EQ(meter.GetSpeed(1400, nullptr), 15u);
  uint64_t delta = 99;
  EXPECT_EQ(meter.GetSpeed(1400, &delta), 15u);
  EXPECT_EQ(delta, 0u) << "a query without a place for the delta still takes it";
  // Counting at the library clock starts at a real, non-zero time.
  CSpeedCounter live;
  live.AddBytes(1);
  EXPECT_NE(live.StartTime(), 0u);
}

}  // namespace
