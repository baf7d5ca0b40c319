#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "HttpTestSupport.h"
#include "http/CChunker.h"

namespace {

using zn::CChunker;

struct BodyCase {
  const char* name;
  std::string wire;
  bool trailer;      // the response announced a trailer
  std::string data;  // decoded body
  bool complete;     // the decoder reports the end
  std::string trailerText;
  bool beyond = false;  // bytes follow the end
};

const std::string kBig(1000, 'z');
const BodyCase kBodies[] = {
    {"two chunks, extension", "5\r\nhello\r\n6;name=\"v\"\r\n world\r\n0\r\n\r\n", false, "hello world", true, ""},
    {"upper and lower digits", "A\r\n0123456789\r\nb\r\nabcdefghijk\r\n0\r\n\r\n", false, "0123456789abcdefghijk",
     true, ""},
    {"the last CRLF not there yet", "3\r\nabc\r\n0\r\n", false, "abc", false, ""},
    {"an unannounced trailer, then more", "3\r\nabc\r\n0;x\r\nX: 1\r\n\r\nEVIL", false, "abc", true, "X: 1\r\n\r\n", true},
    {"16 digits", "0000000000000003\r\nabc\r\n0\r\n\r\n", false, "abc", true, ""},
    {"big chunk", "3e8\r\n" + kBig + "\r\n0\r\n\r\n", false, kBig, true, ""},
    {"trailer", "3\r\nabc\r\n0\r\nExpires: x\r\nX-T: y\r\n\r\n", true, "abc", true, "Expires: x\r\nX-T: y\r\n\r\n"},
    {"trailer announced, none sent", "3\r\nabc\r\n0\r\n\r\n", true, "abc", true, ""},
};

struct Outcome {
  std::string data;
  bool ok = true;
  bool complete = false;
  std::string trailer;
  bool beyond = false;
};

// Feeds the pieces in order until one fails; pieces behind the end too.
Outcome Decode(const std::vector<std::string>& pieces, bool trailer) {
  Outcome out;
  std::unique_ptr<zn::HttpResponseDataWriter> writer(zn_test::NewWriter());
  CChunker chunker;
  for (const std::string& piece : pieces) {
    out.ok = chunker.Process(trailer, zn_test::U(piece), static_cast<uint32_t>(piece.size()), writer.get(),
                             out.complete);
    if (!out.ok) break;
  }
  out.beyond = chunker.HasBytesBeyondEnd();
  out.data = zn_test::MemoryOf(writer.get());
  zn::strutf16 text;
  if (chunker.GetTrailer(text)) out.trailer = zn_test::Str(zn::strutf8(text));
  return out;
}

std::vector<std::string> Split(const std::string& wire, size_t step) {
  std::vector<std::string> pieces;
  for (size_t i = 0; i < wire.size(); i += step) pieces.push_back(wire.substr(i, step));
  return pieces;
}

// Every body decodes the same whole, byte by byte and at every two-piece split.
TEST(CChunkerTest, EverySplitDecodesTheSame) {
  for (const BodyCase& c : kBodies) {
    SCOPED_TRACE(c.name);
    std::vector<std::vector<std::string>> splits = {{c.wire}, Split(c.wire, 1), Split(c.wire, 7)};
    for (size_t cut = 1; cut < c.wire.size(); ++cut) splits.push_back({c.wire.substr(0, cut), c.wire.substr(cut)});
    for (const auto& pieces : splits) {
      const Outcome out = Decode(pieces, c.trailer);
      SCOPED_TRACE("pieces " + std::to_string(pieces.size()) + " first " + std::to_string(pieces[0].size()));
      ASSERT_TRUE(out.ok);
      ASSERT_EQ(c.complete, out.complete);
      ASSERT_EQ(c.data, out.data);
      ASSERT_EQ(c.trailerText, out.trailer);
      ASSERT_EQ(c.beyond, out.beyond);
    }
  }
}

TEST(CChunkerTest, FormatErrorsFail) {
  const struct {
    const char* name;
    std::string wire;
    bool trailer;
    std::string log;
  } cases[] = {
      {"17 digits", "00000000000000003\r\nabc\r\n", false, "Id[0] Chunker HexDigit > MAXNUM_SIZE[16]"},
      {"size line starting with CR", "\r\n3\r\nabc\r\n", false, "Id[0] Chunker HexDigitLen = 0 [0]"},
      {"no size behind a chunk", "3\r\nabc\r\n\r\n0\r\n", false, "Id[0] Chunker HexDigitLen = 0 [0]"},
      {"not a size", "zz\r\n", false, "Id[0] Chunker HexDigitLen = 0 [0]"},
      {"trailer beyond 2048 bytes", "0\r\n" + std::string(2049, 't'), true,
       "Id[0] Error Chunker dwToReadData[2049] > m_dwTrailerBufTotalLen[2048],Let bComplete"},
      {"data longer than its size", "2\r\nabc\r\n0\r\n\r\n", false, "Id[0] Chunker data longer than its size, byte[99]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (size_t step : {c.wire.size(), size_t(1)}) {
      zntest::LogCapture log;
      const Outcome out = Decode(Split(c.wire, step), c.trailer);
      EXPECT_FALSE(out.ok);
      EXPECT_FALSE(out.complete);
      if (step != 1) { EXPECT_EQ("", out.data); }  // a broken piece writes nothing
      if (step != 1 || !c.trailer) { EXPECT_EQ(1, log.Count(3, "Http", c.log)) << log.Dump(); }
    }
  }
}

TEST(CChunkerTest, RefusingWriterAndBadArguments) {
  zntest::LogCapture log;
  std::unique_ptr<zn::HttpResponseDataWriter> writer(zn_test::NewWriter(new zn_test::RefusingStream()));
  CChunker chunker;
  const std::string wire = "5\r\nhello\r\n0\r\n\r\n";
  const unsigned char* bytes = zn_test::U(wire);
  bool complete = true;
  EXPECT_FALSE(chunker.Process(false, bytes, static_cast<uint32_t>(wire.size()), writer.get(), complete));
  EXPECT_FALSE(complete);
  EXPECT_EQ(1, log.Count(3, "Http", "Id[0] Error Chunker Write Fail,dwLen=[5]")) << log.Dump();

  CChunker fresh;
  EXPECT_FALSE(fresh.Process(false, nullptr, 3, writer.get(), complete));
  EXPECT_FALSE(fresh.Process(false, bytes, 0, writer.get(), complete));
  EXPECT_FALSE(fresh.Process(false, bytes, 3, nullptr, complete));
  zn::strutf16 trailer;
  EXPECT_FALSE(fresh.GetTrailer(trailer));
}

}  // namespace
