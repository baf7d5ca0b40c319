#include <gtest/gtest.h>

#include <set>
#include <string>

#include "HttpTestSupport.h"
#include "http/CHttpFormData.h"

namespace {

using zn::CHttpFormData;
using zn_test::Str;

// The first field makes a boundary of six characters from the alphabet, fresh
// for each request; the delimiter closes with it. (The head's length for the
// whole upload is checked in the request head table.)
TEST(CHttpFormDataTest, BoundaryAndDelimiter) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    zn::HttpRequestInfo req;
    CHttpFormData::AddFormField(req, false, zn::strutf16("a"), zn::strutf16("1"));
    const std::string b = Str(req.m_strBoundary);
    ASSERT_EQ(6u, b.size());
    ASSERT_EQ(std::string::npos,
              b.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"))
        << b;
    seen.insert(b);
  }
  EXPECT_GT(seen.size(), 150u);
  zn::strutf8 end;
  CHttpFormData::MakeFormEnd(zn::strutf8("Bd3x9Q"), end);
  EXPECT_EQ("\r\n--Bd3x9Q--\r\n\r\n", Str(end));
}

const std::string kB = "Bd3x9Q";
const std::string kPart = "--" + kB + "\r\nContent-Disposition: form-data; name=\"";
const std::string kBinary = "Content-Transfer-Encoding: binary\r\n\r\n";
const std::string kOctet = "Content-Type: application/octet-stream\r\n";

TEST(CHttpFormDataTest, PreparedTextByteForByte) {
  const struct {
    const char* name;
    bool gbk;
    const znwchar_t* partName;  // null: no data part
    const znwchar_t* fileName;
    std::string expected;  // behind the two fields a=1 and b=2
    std::string refusal = "";  // the level-1 line of a part GBK cannot hold
  } cases[] = {
      {"fields only", false, nullptr, nullptr, ""},
      {"named file part", false, ZN_WTEXT("f"), ZN_WTEXT("C:\\data\\dir/y.bin"),
       kPart + "f\"; filename=\"y.bin\"\r\n" + kOctet + kBinary},
      {"part without file name", false, ZN_WTEXT("f"), nullptr, kPart + "f\"; " + kOctet + kBinary},
      {"gbk names", true, ZN_WTEXT("\u6587"), ZN_WTEXT("/tmp/\u4E2D.bin"),
       kPart + "\xCE\xC4\"; filename=\"\xD6\xD0.bin\"\r\n" + kOctet + kBinary},
      {"gbk part name without a GBK form", true, ZN_WTEXT("\uD55C"), ZN_WTEXT("y.bin"), "",
       "Id[0] Error form field [\xED\x95\x9C] name has no GBK form"},
      {"gbk file name without a GBK form", true, ZN_WTEXT("f"), ZN_WTEXT("/tmp/\U0001F600.bin"), "",
       "Id[0] Error form field [f] filename has no GBK form"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    zn::HttpRequestInfo req;
    req.m_strBoundary = kB.c_str();
    CHttpFormData::AddFormField(req, c.gbk, zn::strutf16("a"), zn::strutf16("1"));
    CHttpFormData::AddFormField(req, c.gbk, zn::strutf16("b"), zn::strutf16("2"));
    zntest::LogCapture log;
    if (c.gbk) {  // a field GBK cannot hold is refused whole
      EXPECT_FALSE(CHttpFormData::AddFormField(req, true, zn::strutf16(ZN_WTEXT("\U0001F600")), zn::strutf16("3")));
      EXPECT_FALSE(CHttpFormData::AddFormField(req, true, zn::strutf16("c"), zn::strutf16(ZN_WTEXT("\uD55C"))));
      EXPECT_EQ(1, log.Count(1, "znhttp", "Id[0] Error form field [c] value has no GBK form"));
    }
    if (c.partName) {
      EXPECT_EQ(c.refusal.empty(), CHttpFormData::AddDataPart(req, c.gbk, c.partName, c.fileName));
    }
    EXPECT_EQ(c.refusal.empty() ? 0 : 1, log.Count(1, "znhttp", c.refusal));
    EXPECT_EQ(kPart + "a\"\r\n\r\n1\r\n" + kPart + "b\"\r\n\r\n2\r\n" + c.expected, Str(req.m_strFormDataHead));
    EXPECT_EQ(kB, Str(req.m_strBoundary));
    CHttpFormData::ClearFormFields(req);
    EXPECT_TRUE(req.m_strBoundary.empty());
    EXPECT_TRUE(req.m_strFormDataHead.empty());
  }
}

}  // namespace
