#include <gtest/gtest.h>

#include "HttpTestSupport.h"
#include "http/CHttpUrl.h"

namespace {

using zn::CHttpUrl;
using zn::HttpRequestInfo;
using zn_test::Str;

struct UrlCase {
  const char* url;
  const char* sslName;  // caller's certificate name
  bool ok;
  const char* host;
  uint16_t port;
  bool https;
  const char* expectSsl;
  const char* path;
  int logLevel = 0;  // a further line logged under "znhttp", when set
  const char* log = nullptr;
  const char* stored = nullptr;  // m_strUrl, when it is not the URL given
};

const UrlCase kUrlCases[] = {
    {"http://example.test/a/b?x=1&y=/2", "", true, "example.test", 80, false, "example.test", "/a/b?x=1&y=/2"},
    {"https://example.test:8443", "", true, "example.test", 8443, true, "example.test", "/"},
    {"https://example.test/x", "", true, "example.test", 80, true, "example.test", "/x"},
    {"https://example.test/x", "cert.test", true, "example.test", 80, true, "cert.test", "/x"},
    {"HTTPS://example.test/", "", true, "example.test", 80, false, "example.test", "/"},
    {"http://[::1]:8080/p", "", true, "::1", 8080, false, "::1", "/p"},
    {"http://[::1]/p", "", true, "::1", 0, false, "::1", "/p"},
    {"http://[::1]9/p", "", true, "::1", 9, false, "::1", "/p"},
    {"http://fe80::1:8080/", "", true, "fe80::1", 8080, false, "fe80::1", "/"},
    {"http://h:99999/", "", true, "h", 34463, false, "h", "/", 3, "CrackUrl port:[99999]->[99999]->[34463]"},
    {"http://h:/", "", true, "h", 0, false, "h", "/"},
    {"//h", "", true, "h", 80, false, "h", "/"},
    {"http://h/caf\xC3\xA9", "", true, "h", 80, false, "h", "/caf\xC3\xA9", 2,
     "HttpDownload IsWithUnsafeChar URL[http://h/caf\xC3\xA9]"},
    {"http://h:81/p?q#frag/x", "", true, "h", 81, false, "h", "/p?q", 0, nullptr, "http://h:81/p?q"},
    {"http://h#frag", "", true, "h", 80, false, "h", "/", 0, nullptr, "http://h"},
    {"http:///path", "", false, "", 0, false, "", ""},
    {"http:/example.test/path", "", false, "", 0, false, "", ""},
    {"http://[]/", "", false, "", 0, false, "", "", 1, "CrackUrl strIP and strPort is empty"},
    {"http://:/", "", false, "", 0, false, "", ""},
};

TEST(CHttpUrlTest, UrlFormComponents) {
  for (const UrlCase& c : kUrlCases) {
    SCOPED_TRACE(c.url);
    zntest::LogCapture log;
    HttpRequestInfo info;
    ASSERT_EQ(c.ok, CHttpUrl::CrackUrl(info, c.url, zn::strutf8(c.sslName)));
    EXPECT_EQ(c.stored ? c.stored : c.url, Str(info.m_strUrl));  // replaced even by a failing call
    EXPECT_EQ(1, log.Count(3, "znhttp", std::string("Id[0] CrackUrl [") + c.url + "]"));
    EXPECT_EQ(c.logLevel == 2, log.Has(2, "znhttp", "IsWithUnsafeChar"));
    if (c.log) { EXPECT_EQ(1, log.Count(c.logLevel, "znhttp", c.log)) << log.Dump(); }
    if (!c.ok) {
      EXPECT_TRUE(info.m_strHost.empty());
      EXPECT_TRUE(info.m_lstHosts.empty());
      continue;
    }
    EXPECT_EQ(c.host, Str(info.m_strHost));
    ASSERT_EQ(1u, info.m_lstHosts.size());
    EXPECT_EQ(c.host, Str(info.m_lstHosts.front()));
    EXPECT_EQ(c.port, info.m_wPort);
    EXPECT_EQ(c.https, info.m_bHttps);
    EXPECT_EQ(c.expectSsl, Str(info.m_strSSLName));
    EXPECT_EQ(c.path, Str(info.m_strPath));
  }
  HttpRequestInfo info;
  EXPECT_FALSE(CHttpUrl::CrackUrl(info, nullptr, zn::strutf8()));
}

// The record's own URL may be passed back in; a name given is taken for
// whatever host the URL names (which name a redirect target must carry is
// the engine's choice).
TEST(CHttpUrlTest, GivenCertificateNameHoldsForAnyHost) {
  HttpRequestInfo info;
  ASSERT_TRUE(CHttpUrl::CrackUrl(info, "https://first.test/", zn::strutf8()));
  info.m_strUrl = "https://second.test:4433/next?q";
  info.m_lstHosts.clear();
  ASSERT_TRUE(CHttpUrl::CrackUrl(info, info.m_strUrl.c_str(), info.m_strSSLName));
  EXPECT_EQ("https://second.test:4433/next?q", Str(info.m_strUrl));
  EXPECT_EQ("second.test", Str(info.m_strHost));
  EXPECT_EQ("first.test", Str(info.m_strSSLName));
  EXPECT_EQ(4433, info.m_wPort);
  EXPECT_EQ("/next?q", Str(info.m_strPath));
}

TEST(CHttpUrlTest, HostListForm) {
  zn::hostlist hosts;
  hosts.push_back("127.0.0.1");
  hosts.push_back("::1");
  for (const char* path : {"/p?q", ""}) {
    HttpRequestInfo info;
    info.m_bHttps = true;
    info.m_strSSLName = "keep.test";
    ASSERT_TRUE(CHttpUrl::CrackUrl(info, zn::strutf8(path), zn::strutf8("8080"), hosts));
    EXPECT_EQ(std::string("http://127.0.0.1:8080") + path, Str(info.m_strUrl));
    EXPECT_EQ(*path ? path : "/", Str(info.m_strPath));
    EXPECT_EQ("127.0.0.1", Str(info.m_strHost));
    EXPECT_EQ(8080, info.m_wPort);
    EXPECT_FALSE(info.m_bHttps);
    EXPECT_EQ("keep.test", Str(info.m_strSSLName));
    ASSERT_EQ(2u, info.m_lstHosts.size());
    EXPECT_EQ("::1", Str(info.m_lstHosts.back()));
  }
  zntest::LogCapture log;
  HttpRequestInfo info;
  EXPECT_FALSE(CHttpUrl::CrackUrl(info, zn::strutf8("/"), zn::strutf8("80"), zn::hostlist()));
  EXPECT_EQ(1, log.Count(2, "znhttp", "CHttpClient::CrackUrl:lstHosts is NULL"));
}

}  // namespace
