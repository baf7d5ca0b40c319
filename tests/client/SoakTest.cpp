// Long runs against a real nginx: a thousand sequential transfers of every
// kind on one client, and a hundred clients destroyed in the middle of a
// transfer. Open descriptors, threads and resident memory must come back to
// where they were, give or take a fixed slack; LeakSanitizer, in its builds,
// checks the heap at exit.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

#include "ClientTestUtil.h"

namespace {

using zntest::kSanitizedBuild;
using zntest::U16;
using zntest::U8;

constexpr int kSequentialTransfers = kSanitizedBuild ? 150 : 1000;
constexpr int kWarmUpTransfers = 10;
constexpr int kDestroyedClients = kSanitizedBuild ? 25 : 100;
constexpr auto kTransferBound = std::chrono::seconds(20);
// Slack for descriptors and threads the run may legitimately hold at the end
// (a kept connection, a worker thread).
constexpr int kDescriptorSlack = 4;
constexpr int kThreadSlack = 2;
// Resident memory may grow by allocator caches, not by the transfers.
constexpr long kRssSlackKiB = 16 * 1024;
// The heap in use may hold what the run keeps (a kept connection, a worker),
// not a share of every client or thread: 100 destroyed clients that each left
// OpenSSL's per-thread state behind (about 4.5 KB on Windows) exceed it.
constexpr long long kHeapSlackBytes = 64 * 1024;
constexpr int kMaxReportedFailures = 5;
// OnConnecting, OnConnected, OnDownloadStart, OnProgress (and the default bit).
constexpr uint8_t kAllNotifications = 0x1F;

constexpr uint64_t kFileSize = 65536;
constexpr uint64_t kSmallSize = 3000;
constexpr uint64_t kSlowSize = 4 << 20;

class SoakTest : public zntest::NginxSuite {};

struct Usage {
  int descriptors;
  int threads;
  long rssKiB;
  long long heapBytes;
};

Usage Measure() {
  return {zntest::OpenDescriptorCount(), zntest::ThreadCount(), zntest::ResidentKiB(), zntest::HeapInUseBytes()};
}

void ExpectNoGrowth(const Usage& before, const Usage& after) {
  EXPECT_LE(after.descriptors, before.descriptors + kDescriptorSlack)
      << "descriptors " << before.descriptors << " -> " << after.descriptors;
  EXPECT_LE(after.threads, before.threads + kThreadSlack) << "threads " << before.threads << " -> " << after.threads;
  // Sanitizer builds hold freed memory in quarantine: resident size says
  // nothing there, and LeakSanitizer takes over.
  if (!kSanitizedBuild) {
    EXPECT_LE(after.rssKiB, before.rssKiB + kRssSlackKiB)
        << "RSS " << before.rssKiB << " -> " << after.rssKiB << " KiB";
    EXPECT_LE(after.heapBytes, before.heapBytes + kHeapSlackBytes)
        << "heap " << before.heapBytes << " -> " << after.heapBytes << " bytes";
  }
}

TEST_F(SoakTest, ThousandMixedTransfersOnOneClient) {
  ASSERT_NE("", nginx().MakeFile("soak", kFileSize));
  ASSERT_NE("", nginx().MakeFile("small", kSmallSize));
  const std::string fileBytes = zntest::NginxFixture::FileBytes("soak", kFileSize, 0, kFileSize);
  const std::string smallBytes = zntest::NginxFixture::FileBytes("small", kSmallSize, 0, kSmallSize);
  const std::string post = nginx().HttpUrl("/post");
  zntest::ScratchDir dir;
  ASSERT_TRUE(dir.ok());

  zntest::Host host(kAllNotifications, false);
  zn::IHttpClientEx* client = host.get();
  std::string target;   // of the transfer at hand
  std::string payload;  // of the upload at hand
  const struct {
    const char* name;
    std::function<bool()> start;
    bool toFile;           // the body lands in target, else in memory
    std::string expected;  // the body
  } kinds[] = {
      {"download to a file",
       [&] { return client->Download(U8(nginx().HttpUrl("/files/soak")), U8(target), nullptr, false); }, true,
       fileBytes},
      {"upload", [&] { return client->Upload(U8(post), payload.data(), uint32_t(payload.size())); }, false, "posted\n"},
      {"multipart upload",
       [&] {
         return client->UploadFormData(U16(post), ZN_WTEXT("file"), payload.data(), uint32_t(payload.size()),
                                       ZN_WTEXT("part.bin"));
       },
       false, "posted\n"},
      {"HTTPS download to a file",
       [&] { return client->Download(U8(nginx().HttpsUrl("/files/soak")), U8(target), nullptr, false); }, true,
       fileBytes},
      {"download to memory", [&] { return client->Download(U16(nginx().HttpUrl("/files/small")), nullptr); }, false,
       smallBytes},
  };
  Usage before{};
  int failures = 0;
  for (int i = 0; i < kWarmUpTransfers + kSequentialTransfers && failures < kMaxReportedFailures; ++i) {
    // Measured once every kind has run (and OpenSSL, the worker and the kept
    // connection exist).
    if (i == kWarmUpTransfers) before = Measure();
    const auto& kind = kinds[i % 5];
    target = dir.File("soak-" + std::to_string(i % 2) + ".bin");
    payload.assign(1000 + (i % 7) * 333, static_cast<char>('a' + i % 26));
    host.rec().Clear();
    std::string problem;
    int64_t code = -1;
    if (!kind.start()) {
      problem = "not started";
    } else if ((code = host.WaitComplete(1, kTransferBound)) < 0) {
      problem = "no completion within the bound";
    } else if (code != 0) {
      problem = "code " + std::to_string(code);
    } else if ((kind.toFile ? zntest::ReadWholeFile(target) : zntest::BodyOf(client)) != kind.expected) {
      problem = "the body differs from the resource";
    }
    if (!problem.empty()) {
      ++failures;
      ADD_FAILURE() << "transfer " << i << " (" << kind.name << "): " << problem;
    }
  }
  ExpectNoGrowth(before, Measure());
}

TEST_F(SoakTest, ClientsDestroyedWhileTransferring) {
  ASSERT_NE("", nginx().MakeFile("slow", kSlowSize));
  zntest::ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string url = nginx().HttpUrl("/slow/slow");
  const std::string secureUrl = nginx().HttpsUrl("/slow/slow");

  // Destroys a client at one of three moments: right after the call, once
  // connected, once the body flows.
  auto destroyMidway = [&](int i) {
    zntest::Host client(kAllNotifications, false);
    const std::string target = dir.File("slow-" + std::to_string(i % 4) + ".bin");
    const std::string& from = (i % 2 == 0) ? url : secureUrl;
    const bool started = client->Download(zn::strutf8(from.c_str()), zn::strutf8(target.c_str()), nullptr, false);
    EXPECT_TRUE(started) << "client " << i;
    if (started && i % 3 != 0) {
      EXPECT_TRUE(client.rec().WaitForName(i % 3 == 1 ? "OnConnected" : "OnDownloadStart")) << "client " << i;
    }
    client.Reset();
    // A transfer ended by destroying its client is not reported.
    EXPECT_EQ(0u, client.rec().Count("OnDownloadComplete")) << "client " << i;
  };

  for (int i = 0; i < 3; ++i) destroyMidway(i);
  const Usage before = Measure();
  for (int i = 0; i < kDestroyedClients && !HasFailure(); ++i) destroyMidway(i);
  const Usage after = Measure();
  ExpectNoGrowth(before, after);
}

}  // namespace
