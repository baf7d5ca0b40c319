// The common-name rule of the TLS processor, driven directly. The same rule
// against real certificates runs in the connector's race table.
#include "net/CZNSslProcessor.h"

#include <string>

#include <gtest/gtest.h>

#include "NetTestUtil.h"

namespace {

TEST(CZNSslProcessorTest, CommonNameRule) {
  struct Row {
    const char* subject;
    const char* name;
    int result;
    const char* log;  // the level-1 line of a mismatch (after its fixed start), "" for none
  };
  const Row rows[] = {
      // Case is folded on both sides; the name must be the whole common name.
      {"/O=XX/CN=Alpha.Beta", "alpha.beta", 0, ""},
      {"/O=XX/CN=Alpha.Beta", "ALPHA.beta", 0, ""},
      {"/O=XX/CN=Alpha.Beta", "W.Alpha.Beta", 6, "cname=alpha.beta, strSSLName=w.alpha.beta"},
      {"/O=XX/CN=Alpha.Beta", "alpha.bet", 6, "cname=alpha.beta, strSSLName=alpha.bet"},
      {"/O=XX/CN=Alpha.Beta", "alpha.betax", 6, "cname=alpha.beta, strSSLName=alpha.betax"},
      // One star stands for any run, dots and nothing included, but the name
      // may not be shorter than the pattern less one.
      {"/CN=*.beta", "a.beta", 0, ""},
      {"/CN=*.beta", "a.b.beta", 0, ""},
      {"/CN=*.beta", ".beta", 0, ""},
      {"/CN=*.beta", "a.BETA", 0, ""},
      {"/CN=*.beta", "beta", 6, "cname=*.beta, strSSLName=beta"},
      {"/CN=*.beta", "a.betx", 6, "cname=*.beta, strSSLName=a.betx"},
      {"/CN=a*z", "abcz", 0, ""},
      {"/CN=a*z", "bz", 6, "cname=a*z, strSSLName=bz"},
      {"/CN=*", "", 0, ""},
      // Only the first star counts: a later one is an ordinary character.
      {"/CN=*.*.beta", "x.*.beta", 0, ""},
      {"/CN=*.*.beta", "x.y.beta", 6, "cname=*.*.beta, strSSLName=x.y.beta"},
      // A field after the common name stays attached to it.
      {"/CN=host/OU=x", "host", 6, "cname=host/ou=x, strSSLName=host"},
      {"/CN=host/OU=x", "host/ou=x", 0, ""},
      {"/cn=first/CN=second", "first/cn=second", 0, ""},
      // An empty common name never matches, not even an empty name.
      {"/O=Org/CN=", "", 6, "cname=, strSSLName="},
      // Without any "/cn=" the subject is refused without a line.
      {"/O=XX/OU=Unit", "xx", 6, ""},
      {"", "", 6, ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.subject) + " vs " + r.name);
    zntest::LogCapture log;
    EXPECT_EQ(CZNSslProcessor::CheckSubjectName(r.subject, zn::strutf8(r.name)), r.result);
    const std::string line = std::string("[1] CZNSslProcessor _https_connect, SSL verify failed, ") + r.log + "\n";
    EXPECT_EQ(log.Dump(), *r.log ? line : "");
  }
}

}  // namespace
