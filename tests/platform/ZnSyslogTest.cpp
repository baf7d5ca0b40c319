// The logger: threshold, sink, MSVC length-modifier rewriting, long lines and
// concurrent use.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "base/znplatform.h"
#include "support/TestUtil.h"

namespace {

TEST(ZnSyslogTest, ThresholdFiltersByLevelAndErrnoIsKept) {
  zntest::LogCapture cap(0);
  znsyslog(1, "t", 1, "dropped while the threshold is 0");
  EXPECT_TRUE(cap.Lines().empty());
  znsyslog_setlevel(3);
  EXPECT_EQ(3, znsyslog_getlevel());
  errno = EPIPE;
  for (int level = 1; level <= 4; ++level) znsyslog(level, "t", 10 + level, "level %d", level);
  EXPECT_EQ(EPIPE, errno);
  const auto lines = cap.Lines();
  ASSERT_EQ(3u, lines.size());
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(i + 1, lines[i].level);
    EXPECT_EQ("t", lines[i].tag);
    EXPECT_EQ(11 + i, lines[i].line);
    EXPECT_EQ("level " + std::to_string(i + 1), lines[i].text);
  }
}

// Every shape of line in the library that carries a 64-bit request id or size:
// a wrong rewrite shifts every later argument and shows as a wrong text.
TEST(ZnSyslogTest, RewritesI64ModifiersInEveryLineShape) {
  zntest::LogCapture cap;
  const uint64_t id = 18446744073709551615ull, small = 7;
  znsyslog(3, "znhttp", 1, "Id[%I64u] Connect Fail [%s]", id, "x");
  znsyslog(1, "znhttp", 2, "Id[%I64u] dwResponseStatusCode[%u]", small, 404u);
  znsyslog(3, "znhttp", 3, "Id[%I64u] Content-Length Change by Content-Range [%u]-->[%u]", small, 1u, 2u);
  znsyslog(4, "Http", 4, "Id[%I64u] Chunker HexDigitLen = [%u]", small, 255u);
  znsyslog(3, "Http", 5, "Id[%I64u] Chunker HexDigitLen = 0 [%d]", small, 0);
  znsyslog(3, "x", 6, "%I64d %I64x %I64X %5I64u|%-4I64u|", static_cast<uint64_t>(-2), 0xABCull, 0xABCull, small, small);
  znsyslog(3, "x", 7, "100%% Id[%I64u] %s %I32u %Iu", small, "tail", 5u, static_cast<size_t>(9));
  znsyslog(3, "x", 8, "no conversions at all");
  const std::string body(100000, 'h');  // long lines and formats come whole
  znsyslog(4, "znhttp", 9, (std::string(3000, '-') + "Id[%I64u] %s").c_str(), small, body.c_str());
  const std::vector<std::string> expected = {
      "Id[18446744073709551615] Connect Fail [x]",
      "Id[7] dwResponseStatusCode[404]",
      "Id[7] Content-Length Change by Content-Range [1]-->[2]",
      "Id[7] Chunker HexDigitLen = [255]",
      "Id[7] Chunker HexDigitLen = 0 [0]",
      "-2 abc ABC     7|7   |",
      "100% Id[7] tail 5 9",
      "no conversions at all",
      std::string(3000, '-') + "Id[7] " + body,
  };
  const auto lines = cap.Lines();
  ASSERT_EQ(expected.size(), lines.size());
  for (size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(expected[i], lines[i].text) << i;
}

TEST(ZnSyslogTest, ConcurrentLinesArriveWhole) {
  zntest::LogCapture cap;
  const int kThreads = 4, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < kLines; ++i) znsyslog(3, "t", t, "Id[%I64u] n[%d]", static_cast<uint64_t>(t), i);
    });
  }
  for (auto& th : threads) th.join();
  const auto lines = cap.Lines();
  ASSERT_EQ(static_cast<size_t>(kThreads * kLines), lines.size());
  std::vector<int> next(kThreads, 0);
  for (const auto& l : lines) {
    ASSERT_TRUE(l.line >= 0 && l.line < kThreads) << l.line;
    // Lines of one thread arrive in the order it logged them.
    EXPECT_EQ("Id[" + std::to_string(l.line) + "] n[" + std::to_string(next[l.line]++) + "]", l.text);
  }
}

}  // namespace
