#include <gtest/gtest.h>

#include "HttpTestSupport.h"
#include "body/ZnRequestId.h"
#include "http/CHttpCookie.h"

// The jar logs what it is given under the request it was made for, and never
// hands a cookie back.
TEST(CHttpCookieTest, LogsButKeepsNothing) {
  zntest::LogCapture log;
  zn::g_qwHttpRequestId = 77;
  zn::CHttpCookie jar;
  zn::g_qwHttpRequestId = 78;
  EXPECT_FALSE(jar.SetRawCookie(nullptr, "a=1"));
  EXPECT_FALSE(jar.SetRawCookie("http://h/", nullptr));
  EXPECT_TRUE(jar.SetRawCookie("http://h/", "a=1; Path=/"));
  EXPECT_EQ(1, log.Count(3, "Http", "Id[77] SetRawCookie [a=1; Path=/] bRet[1]")) << log.Dump();
  zn::strutf8 out("stale");
  EXPECT_TRUE(jar.GetCookie("http://h/", out));
  EXPECT_TRUE(out.empty());
  zn::g_qwHttpRequestId = 0;
}
