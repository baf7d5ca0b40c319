#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "HttpTestSupport.h"
#include "body/CDataReader.h"
#include "http/CHttpCookie.h"
#include "http/CHttpFormData.h"
#include "http/CHttpRequestHead.h"

namespace {

using zn::CHttpFormData;
using zn_test::Str;

const char kAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

std::string Field(const std::string& b, const std::string& name, const std::string& value) {
  return "--" + b + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
}

TEST(CHttpFormDataTest, BoundaryFromTheAlphabet) {
  std::set<std::string> seen;
  for (int i = 0; i < 200; ++i) {
    zn::strutf8 b;
    CHttpFormData::MakeBoundary(b);
    ASSERT_EQ(6u, b.length());
    for (uint32_t k = 0; k < b.length(); ++k) ASSERT_NE(nullptr, strchr(kAlphabet, b[k])) << Str(b);
    seen.insert(Str(b));
  }
  EXPECT_GT(seen.size(), 150u);
}

struct FormCase {
  const char* name;
  bool gbk;
  const char16_t* partName;  // null: no data part
  const char16_t* fileName;
  std::string expected;  // behind the two fields a=1 and b=2
};

const std::string kB = "Bd3x9Q";
const FormCase kFormCases[] = {
    {"fields only", false, nullptr, nullptr, ""},
    {"named file part", false, u"f", u"C:\\data\\dir/y.bin",
     "--" + kB +
         "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"y.bin\"\r\n"
         "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: binary\r\n\r\n"},
    {"part without file name", false, u"f", nullptr,
     "--" + kB +
         "\r\nContent-Disposition: form-data; name=\"f\"; Content-Type: application/octet-stream\r\n"
         "Content-Transfer-Encoding: binary\r\n\r\n"},
    {"gbk names", true, u"\u6587", u"/tmp/\u4E2D.bin",
     "--" + kB +
         "\r\nContent-Disposition: form-data; name=\"\xCE\xC4\"; filename=\"\xD6\xD0.bin\"\r\n"
         "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: binary\r\n\r\n"},
};

TEST(CHttpFormDataTest, PreparedTextByteForByte) {
  for (const FormCase& c : kFormCases) {
    SCOPED_TRACE(c.name);
    zn::HttpRequestInfo req;
    req.m_strBoundary = kB.c_str();
    CHttpFormData::AddFormField(req, c.gbk, zn::strutf16(u"a"), zn::strutf16(u"1"));
    CHttpFormData::AddFormField(req, c.gbk, zn::strutf16(u"b"), zn::strutf16(u"2"));
    if (c.partName) CHttpFormData::AddDataPart(req, c.gbk, c.partName, c.fileName);
    EXPECT_EQ(Field(kB, "a", "1") + Field(kB, "b", "2") + c.expected, Str(req.m_strFormDataHead));
    EXPECT_EQ(kB, Str(req.m_strBoundary));
    CHttpFormData::ClearFormFields(req);
    EXPECT_TRUE(req.m_strBoundary.empty());
    EXPECT_TRUE(req.m_strFormDataHead.empty());
  }
}

// What goes on the wire for an upload: head, prepared text, bytes, delimiter;
// the announced length matches what follows the head.
TEST(CHttpFormDataTest, WholeUploadMatchesItsLength) {
  zn::HttpRequestInfo req;
  req.m_strMethod = "POST";
  req.m_strPath = "/up";
  req.m_strHost = "127.0.0.1";
  req.m_wPort = 8080;
  req.m_bFormData = true;
  CHttpFormData::AddFormField(req, false, zn::strutf16(u"a"), zn::strutf16(u"1"));
  const zn::strutf8 boundary = req.m_strBoundary;
  ASSERT_EQ(6u, boundary.length());
  CHttpFormData::AddDataPart(req, false, u"f", u"y.bin");
  const std::string body("\x00\x01raw", 5);
  zn::CDataReader reader;
  reader.SetBuffer(body.data(), static_cast<uint32_t>(body.size()));
  zn::HttpHeaderState headers;
  zn::HttpMessageSettings settings;
  zn::CHttpCookie* cookie = nullptr;
  zn::strutf8 head;
  zn::CHttpRequestHead::BuildRqHead(req, headers, settings, &reader, nullptr, cookie, head);
  delete cookie;
  zn::strutf8 end;
  CHttpFormData::MakeFormEnd(boundary, end);
  const std::string b = Str(boundary);
  EXPECT_EQ("\r\n--" + b + "--\r\n\r\n", Str(end));

  const std::string wire = Str(head) + body + Str(end);
  const size_t blank = wire.find("\r\n\r\n");
  ASSERT_NE(std::string::npos, blank);
  const std::string after = wire.substr(blank + 4);
  EXPECT_NE(std::string::npos, wire.find("Content-Length: " + std::to_string(after.size()) + "\r\n"));
  EXPECT_EQ(Field(b, "a", "1") + "--" + b +
                "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"y.bin\"\r\n"
                "Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: binary\r\n\r\n" +
                body + "\r\n--" + b + "--\r\n\r\n",
            after);
}

}  // namespace
