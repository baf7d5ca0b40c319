// Name resolution and address texts: what the result block holds for names and
// literals, the flag and count of a name that does not resolve, the replaceable
// resolver, and the text of address records.
#include <gtest/gtest.h>

#include "support/TestOs.h"

#include <cstring>
#include <set>
#include <string>

#include "base/znsocket.h"

namespace {

// The texts of the records of a result block.
std::set<std::string> Texts(const znhostent6& block) {
  std::set<std::string> out;
  for (uint32_t i = 0; i < block.count && i < 11; ++i) {
    char buf[65] = {0};
    if (znnet_iptostr6(&block.addrs[i], buf, sizeof(buf))) out.insert(buf);
  }
  return out;
}

TEST(ZnResolverTest, NamesAndLiteralsResolveToTheirAddresses) {
  const struct {
    const char* host;
    std::set<std::string> allowed;  // every record must be one of these
    const char* required;           // and this one must be there ("" none)
  } cases[] = {
      {"127.0.0.1", {"127.0.0.1"}, "127.0.0.1"},
      {"::1", {"::1"}, "::1"},
      {"127.0.0.2", {"127.0.0.2"}, "127.0.0.2"},
      {"localhost", {"127.0.0.1", "::1"}, ""},  // from the hosts file, no query leaves the machine
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.host);
    znhostent6 block;
    std::memset(&block, 0, sizeof(block));
    bool resolved = false;
    EXPECT_TRUE(znnet_gethostbyname6_ex(c.host, &block, &resolved));
    EXPECT_TRUE(resolved);
    ASSERT_GE(block.count, 1u);
    ASSERT_LE(block.count, 11u);
    const std::set<std::string> got = Texts(block);
    EXPECT_EQ(got.size(), block.count) << "each address once (stream sockets only)";
    for (const std::string& t : got) EXPECT_EQ(c.allowed.count(t), 1u) << t;
    EXPECT_TRUE(!*c.required || got.count(c.required) == 1);
  }
  // A label longer than 63 bytes fails inside the resolver library itself,
  // before any query could leave the machine: resolved, with no address.
  znhostent6 block;
  std::memset(&block, 0xAB, sizeof(block));
  bool resolved = false;
  EXPECT_FALSE(znnet_gethostbyname6_ex((std::string(70, 'a') + ".test").c_str(), &block, &resolved));
  EXPECT_TRUE(resolved);
  EXPECT_EQ(block.count, 0u);
  resolved = false;  // missing arguments leave the flag alone
  EXPECT_FALSE(znnet_gethostbyname6_ex(nullptr, &block, &resolved));
  EXPECT_FALSE(resolved);
}

// A resolver that declines, as the connector's fallback path expects.
int g_hookCalls = 0;
bool DecliningResolver(const char*, znhostent6* result, bool* resolved) {
  ++g_hookCalls;
  result->count = 0;
  *resolved = false;
  return false;
}

TEST(ZnResolverTest, ReplacementResolverIsUsedUntilRemoved) {
  g_hookCalls = 0;
  znnet_setresolver(&DecliningResolver);
  znhostent6 block;
  std::memset(&block, 0, sizeof(block));
  bool resolved = true;
  EXPECT_FALSE(znnet_gethostbyname6_ex("127.0.0.1", &block, &resolved));
  EXPECT_FALSE(resolved);
  EXPECT_EQ(g_hookCalls, 1);
  znnet_setresolver(nullptr);
  EXPECT_TRUE(znnet_gethostbyname6_ex("127.0.0.1", &block, &resolved));
  EXPECT_TRUE(resolved);
  EXPECT_EQ(block.count, 1u);
  EXPECT_EQ(g_hookCalls, 1);
}

znsockaddr_storage Record(int family, const char* ip, uint32_t scope = 0) {
  znsockaddr_storage rec;
  std::memset(&rec, 0, sizeof(rec));
  sockaddr_in in4{};
  sockaddr_in6 in6{};
  in4.sin_family = AF_INET;
  in6.sin6_family = AF_INET6;
  in4.sin_port = in6.sin6_port = htons(443);
  in6.sin6_scope_id = scope;
  if (family == AF_INET && ::inet_pton(AF_INET, ip, &in4.sin_addr) == 1) std::memcpy(rec.data, &in4, sizeof(in4));
  if (family == AF_INET6 && ::inet_pton(AF_INET6, ip, &in6.sin6_addr) == 1) std::memcpy(rec.data, &in6, sizeof(in6));
  return rec;
}

TEST(ZnResolverTest, RecordTextsHaveNoPortAndNoBrackets) {
  const char* kMax6 = "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff";
  const struct {
    znsockaddr_storage record;
    uint32_t buflen;
    const char* text;  // null: the call fails
  } cases[] = {
      {Record(AF_INET, "192.168.10.200"), 65, "192.168.10.200"},
      {Record(AF_INET, "192.168.10.200"), 15, "192.168.10.200"},  // exactly fits with its terminator
      {Record(AF_INET, "192.168.10.200"), 14, nullptr},           // one short
      {Record(AF_INET6, "2001:db8::1"), 65, "2001:db8::1"},
      {Record(AF_INET6, "::ffff:10.1.2.3"), 65, "::ffff:10.1.2.3"},
      {Record(AF_INET6, "fe80::1", 3), 65, "fe80::1%3"},
      {Record(AF_INET6, kMax6), 65, kMax6},
      {znsockaddr_storage{}, 65, nullptr},  // no family
  };
  int i = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(i++);
    char buf[65];
    std::memset(buf, 'x', sizeof(buf));
    ASSERT_EQ(znnet_iptostr6(&c.record, buf, c.buflen), c.text != nullptr);
    EXPECT_STREQ(c.text ? buf : "", c.text ? c.text : "");
  }
}

TEST(ZnResolverTest, Ipv4TextIsOnlyADottedQuad) {
  const struct { const char* text; bool ipv4; } cases[] = {
      {"127.0.0.1", true},  {"0.0.0.0", true},     {"255.255.255.255", true}, {"256.0.0.1", false},
      {"127.1", false},     {"127.0.0.1 ", false}, {"::1", false},            {"::ffff:1.2.3.4", false},
      {"localhost", false}, {"", false},           {nullptr, false},
  };
  for (const auto& c : cases) EXPECT_EQ(znnet_isipv4(c.text), c.ipv4) << (c.text ? c.text : "(null)");
}

}  // namespace
