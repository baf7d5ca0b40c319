// Number parsing, the clock, random numbers and file names. (Thread ids are
// checked where tasks and timers must run on their own threads.)
#include <gtest/gtest.h>

#include <set>

#include "base/znplatform.h"

namespace {

// Both widths read the same text; they differ only where a value leaves 32 bits.
TEST(ZnMiscTest, Str2UintTable) {
  const uint64_t kMax64 = UINT64_MAX;
  const struct {
    const char* text;
    bool ok;          // zn_str2uint32
    uint32_t value;   // what its output holds afterwards
    bool ok64;        // zn_str2uint64
    uint64_t value64;
  } cases[] = {
      {"0", true, 0, true, 0},
      {"200", true, 200, true, 200},
      {"4294967295", true, 0xFFFFFFFFu, true, 0xFFFFFFFFu},
      {"4294967296", false, 0xFFFFFFFFu, true, 4294967296ull},
      {"18446744073709551615", false, 0xFFFFFFFFu, true, kMax64},
      {"18446744073709551616", false, 0xFFFFFFFFu, false, kMax64},
      {"99999999999999999999999999", false, 0xFFFFFFFFu, false, kMax64},
      {"0x1f", true, 0x1F, true, 0x1F},
      {"0XfF", true, 0xFF, true, 0xFF},
      {"0xFFFFFFFF", true, 0xFFFFFFFFu, true, 0xFFFFFFFFu},
      {"0x100000000", false, 0xFFFFFFFFu, true, 0x100000000ull},
      {"0xFFFFFFFFFFFFFFFF", false, 0xFFFFFFFFu, true, kMax64},  // 16 hex digits: never the last chunk
      {"0x10000000000000000", false, 0xFFFFFFFFu, false, kMax64},
      {"0x0000000000000005", true, 5, true, 5},  // leading zeros do not overflow
      {"0x", false, 0, false, 0},
      {"0xg", false, 0, false, 0},
      {"", false, 0, false, 0},
      {"abc", false, 0, false, 0},
      {"-5", false, 0, false, 0},
      {"+5", false, 0, false, 0},
      {"  42", true, 42, true, 42},
      {"\t7", true, 7, true, 7},
      {"12abc", true, 12, true, 12},
      {"8080/", true, 8080, true, 8080},
      {"1f", true, 1, true, 1},  // decimal unless "0x"
      {nullptr, false, 0, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "(null)");
    uint32_t out = 12345;
    EXPECT_EQ(c.ok, zn_str2uint32(c.text, &out));
    EXPECT_EQ(c.value, out);
    uint64_t out64 = 12345;
    EXPECT_EQ(c.ok64, zn_str2uint64(c.text, &out64));
    EXPECT_EQ(c.value64, out64);
  }
}

TEST(ZnMiscTest, ClockFormulaAndEpochSeconds) {
  EXPECT_EQ(1999u, zn_ticks_from_counter(1999999999, 1000000000));
  // Large counters: the split keeps r * 1000 from overflowing.
  EXPECT_EQ(18446744073709ull, zn_ticks_from_counter(18446744073709551615ull, 1000000000));
  EXPECT_EQ(1844674407370955ull, zn_ticks_from_counter(18446744073709551615ull, 10000000));
  EXPECT_GE(zn_perffrequency(), 1000u);  // at least one tick per millisecond
  uint64_t last = zn_ticks_from_counter(zn_perfcounter(), zn_perffrequency());
  for (int i = 0; i < 10000; ++i) {
    const uint64_t now = zn_ticks_from_counter(zn_perfcounter(), zn_perffrequency());
    ASSERT_GE(now, last);
    last = now;
  }
  // 2020-01-01 and 2100-01-01 bracket any sane clock of the build machine.
  EXPECT_GT(zn_time(), 1577836800u);
  EXPECT_LT(zn_time(), 4102444800u);
}

TEST(ZnMiscTest, RandomCoversTheBoundaryAlphabet) {
  // A boundary character is the value modulo 62; every one must be reachable.
  std::set<uint32_t> seen;
  for (int i = 0; i < 20000 && seen.size() < 62; ++i) seen.insert(zn_rand() % 62);
  EXPECT_EQ(62u, seen.size());
}

TEST(ZnMiscTest, PureFileName) {
  const struct { const char* path; bool ok; const char* name; } cases[] = {
      {"/tmp/a/file.bin", true, "file.bin"}, {"C:\\dir\\x.txt", true, "x.txt"}, {"mixed/dir\\y", true, "y"},
      {"plain", true, "plain"},              {"dir/", true, ""},                 {"", true, ""},
      {nullptr, false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path ? c.path : "(null)");
    zn::strutf8 name;
    EXPECT_EQ(c.ok, CHttpInfoParser::GetPureFileName(c.path, name));
    EXPECT_STREQ(c.name, name.c_str());
  }
}

}  // namespace
