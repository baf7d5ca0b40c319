// Name resolution and address texts of the platform library.
#include <atomic>
#include <cstring>
#include <string>

#include "base/znplatform.h"
#include "base/znsocket.h"
#include "platform/znsocketutil.h"

namespace {

constexpr const char kResolveLogTag[] = "znresolve";
// The result block holds this many address records.
constexpr uint32_t kMaxRecords = sizeof(znhostent6::addrs) / sizeof(znhostent6::addrs[0]);
static_assert(kMaxRecords == 11, "the result block holds 11 records");
static_assert(sizeof(znhostent6) == 8 + 11 * 128, "the result block layout");

// The replacement resolver installed by znnet_setresolver, or null.
std::atomic<znnet_resolver_t> g_resolver{nullptr};

// getaddrinfo over all families, stream sockets only.
bool ResolveWithGetaddrinfo(const char* host, znhostent6* result, bool* resolved) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  const int rc = ::getaddrinfo(host, nullptr, &hints, &res);
  *resolved = true;  // asked and answered, even when the answer is "no address"
  result->count = 0;
  if (rc != 0) {
    znsyslog(2, kResolveLogTag, __LINE__, "znnet_gethostbyname6_ex: [%s] does not resolve: %s", host,
             ::gai_strerror(rc));
    return false;
  }
  for (addrinfo* ai = res; ai != nullptr && result->count < kMaxRecords; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
    if (ai->ai_addrlen > sizeof(znsockaddr_storage)) continue;
    znsockaddr_storage& record = result->addrs[result->count];
    std::memset(record.data, 0, sizeof(record.data));
    std::memcpy(record.data, ai->ai_addr, ai->ai_addrlen);
    ++result->count;
  }
  ::freeaddrinfo(res);
  return result->count > 0;
}

}  // namespace

bool znnet_gethostbyname6_ex(const char* host, znhostent6* result, bool* resolved) {
  if (host == nullptr || result == nullptr || resolved == nullptr) {
    znsyslog(1, kResolveLogTag, __LINE__, "znnet_gethostbyname6_ex: null argument");
    return false;
  }
  const znnet_resolver_t hook = g_resolver.load(std::memory_order_acquire);
  if (hook != nullptr) return hook(host, result, resolved);
  return ResolveWithGetaddrinfo(host, result, resolved);
}

void znnet_setresolver(znnet_resolver_t resolver) { g_resolver.store(resolver, std::memory_order_release); }

bool znnet_iptostr6(const znsockaddr_storage* addr, char* buf, uint32_t buflen) {
  if (addr == nullptr || buf == nullptr || buflen == 0) return false;
  sockaddr_storage sa;
  std::memcpy(&sa, addr->data, sizeof(sa));
  std::string text;
  uint16_t port = 0;
  if (!znplatform::SockaddrToText(reinterpret_cast<const sockaddr*>(&sa), sizeof(sa), text, port)) {
    znsyslog(2, kResolveLogTag, __LINE__, "znnet_iptostr6: unknown address family %d", static_cast<int>(sa.ss_family));
    buf[0] = '\0';
    return false;
  }
  if (text.size() + 1 > buflen) {
    znsyslog(2, kResolveLogTag, __LINE__, "znnet_iptostr6: [%s] does not fit %u bytes", text.c_str(), buflen);
    buf[0] = '\0';
    return false;
  }
  std::memcpy(buf, text.c_str(), text.size() + 1);
  return true;
}

bool znnet_isipv4(const char* text) {
  if (text == nullptr) return false;
  in_addr a;
  return ::inet_pton(AF_INET, text, &a) == 1;
}
