// Long runs against a real nginx: a thousand sequential transfers of every
// kind on one client, and a hundred clients destroyed in the middle of a
// transfer. Open descriptors, threads and resident memory must come back to
// where they were, give or take a fixed slack; LeakSanitizer, in its builds,
// checks the heap at exit.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "include/znhttpclient.h"
#include "support/NginxFixture.h"
#include "support/TransferProbe.h"

namespace {

using zntest::kSanitizedBuild;

constexpr int kSequentialTransfers = kSanitizedBuild ? 150 : 1000;
constexpr int kWarmUpTransfers = 10;
constexpr int kDestroyedClients = kSanitizedBuild ? 25 : 100;
constexpr auto kTransferBound = std::chrono::seconds(20);
constexpr auto kStartBound = std::chrono::seconds(10);
// Slack for descriptors and threads the run may legitimately hold at the end
// (a kept connection, a worker thread).
constexpr int kDescriptorSlack = 4;
constexpr int kThreadSlack = 2;
// Resident memory may grow by allocator caches, not by the transfers.
constexpr long kRssSlackKiB = 16 * 1024;
constexpr int kMaxReportedFailures = 5;
// OnConnecting, OnConnected, OnDownloadStart, OnProgress (and the default bit).
constexpr uint8_t kAllNotifications = 0x1F;

constexpr uint64_t kFileSize = 65536;
constexpr uint64_t kSmallSize = 3000;
constexpr uint64_t kSlowSize = 4 << 20;

enum class Kind { kHttpFile, kUpload, kMultipart, kHttpsFile, kMemory, kCount };
const char* const kKindNames[] = {"download to a file", "upload", "multipart upload", "HTTPS download to a file",
                                  "download to memory"};

class SoakTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { s_nginx = new zntest::NginxFixture(); }
  static void TearDownTestSuite() {
    delete s_nginx;
    s_nginx = nullptr;
  }
  void SetUp() override { ASSERT_TRUE(s_nginx->ok()) << s_nginx->error(); }

  static zntest::NginxFixture* s_nginx;  // owned by the suite
};

zntest::NginxFixture* SoakTest::s_nginx = nullptr;

// One transfer of the given kind on client; "" when it went right.
std::string Transfer(zntest::NginxFixture& nginx, zn::IHttpClientEx* client, zntest::TransferProbe& probe, Kind kind,
                     int i, const zntest::ScratchDir& dir, const std::string& fileBytes,
                     const std::string& smallBytes) {
  probe.Reset();
  const std::string target = dir.File("soak-" + std::to_string(i % 2) + ".bin");
  const std::string payload(1000 + (i % 7) * 333, static_cast<char>('a' + i % 26));
  const zn::strutf8 file(target.c_str());
  const zn::strutf8 post(nginx.HttpUrl("/post").c_str());
  const uint32_t len = static_cast<uint32_t>(payload.size());
  bool started = false;
  std::string expected = "posted\n";  // what the client holds in memory at the end
  switch (kind) {
    case Kind::kHttpFile:
    case Kind::kHttpsFile: {
      const std::string url = kind == Kind::kHttpFile ? nginx.HttpUrl("/files/soak") : nginx.HttpsUrl("/files/soak");
      started = client->Download(zn::strutf8(url.c_str()), file, nullptr, false);
      expected.clear();
      break;
    }
    case Kind::kUpload:
      started = client->Upload(post, payload.data(), len);
      break;
    case Kind::kMultipart:
      started = client->UploadFormData(zn::strutf16(post), ZN_WTEXT("file"), payload.data(), len, ZN_WTEXT("part.bin"));
      break;
    default:
      started = client->Download(zn::strutf16(nginx.HttpUrl("/files/small").c_str()), nullptr);
      expected = smallBytes;
  }
  if (!started) return "not started";
  if (!probe.WaitComplete(kTransferBound)) return "no completion within the bound";
  if (probe.Code() != 0) return "code " + std::to_string(probe.Code());
  if (expected.empty()) return zntest::ReadWholeFile(target) == fileBytes ? "" : "file differs from the resource";
  const unsigned char* data = nullptr;
  uint32_t size = 0;
  if (!client->GetDownloadedBuffer(&data, &size)) return "no body in memory";
  return std::string(reinterpret_cast<const char*>(data), size) == expected ? "" : "body in memory differs";
}

struct Usage {
  int descriptors;
  int threads;
  long rssKiB;
};

Usage Measure() { return {zntest::OpenDescriptorCount(), zntest::ThreadCount(), zntest::ResidentKiB()}; }

void ExpectNoGrowth(const Usage& before, const Usage& after) {
  EXPECT_LE(after.descriptors, before.descriptors + kDescriptorSlack)
      << "descriptors " << before.descriptors << " -> " << after.descriptors;
  EXPECT_LE(after.threads, before.threads + kThreadSlack) << "threads " << before.threads << " -> " << after.threads;
  // Sanitizer builds hold freed memory in quarantine: resident size says
  // nothing there, and LeakSanitizer takes over.
  if (!kSanitizedBuild) {
    EXPECT_LE(after.rssKiB, before.rssKiB + kRssSlackKiB)
        << "RSS " << before.rssKiB << " -> " << after.rssKiB << " KiB";
  }
}

TEST_F(SoakTest, ThousandMixedTransfersOnOneClient) {
  ASSERT_NE("", s_nginx->MakeFile("soak", kFileSize));
  ASSERT_NE("", s_nginx->MakeFile("small", kSmallSize));
  const std::string fileBytes = zntest::NginxFixture::FileBytes("soak", kFileSize, 0, kFileSize);
  const std::string smallBytes = zntest::NginxFixture::FileBytes("small", kSmallSize, 0, kSmallSize);
  zntest::ScratchDir dir;
  ASSERT_TRUE(dir.ok());

  zntest::TransferProbe probe;
  zn::IHttpClientEx* client = zn_create_httpclient_ex(nullptr);
  client->SetNotify(&probe);
  client->SetNotifyFlags(kAllNotifications);
  Usage before{};
  int failures = 0;
  for (int i = 0; i < kWarmUpTransfers + kSequentialTransfers && failures < kMaxReportedFailures; ++i) {
    // Measured once every kind has run (and OpenSSL, the worker and the kept
    // connection exist).
    if (i == kWarmUpTransfers) before = Measure();
    const Kind kind = static_cast<Kind>(i % static_cast<int>(Kind::kCount));
    const std::string problem = Transfer(*s_nginx, client, probe, kind, i, dir, fileBytes, smallBytes);
    if (!problem.empty()) {
      ++failures;
      ADD_FAILURE() << "transfer " << i << " (" << kKindNames[static_cast<int>(kind)] << "): " << problem;
    }
  }
  const Usage after = Measure();
  delete client;
  ExpectNoGrowth(before, after);
}

TEST_F(SoakTest, ClientsDestroyedWhileTransferring) {
  ASSERT_NE("", s_nginx->MakeFile("slow", kSlowSize));
  zntest::ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string url = s_nginx->HttpUrl("/slow/slow");
  const std::string secureUrl = s_nginx->HttpsUrl("/slow/slow");

  // Destroys a client at one of three moments: right after the call, once
  // connected, once the body flows.
  auto destroyMidway = [&](int i) {
    zntest::TransferProbe probe;
    zn::IHttpClientEx* client = zn_create_httpclient_ex(nullptr);
    client->SetNotify(&probe);
    client->SetNotifyFlags(kAllNotifications);
    const std::string target = dir.File("slow-" + std::to_string(i % 4) + ".bin");
    const std::string& from = (i % 2 == 0) ? url : secureUrl;
    const bool started = client->Download(zn::strutf8(from.c_str()), zn::strutf8(target.c_str()), nullptr, false);
    EXPECT_TRUE(started) << "client " << i;
    if (started && i % 3 == 1) {
      EXPECT_TRUE(probe.WaitConnected(kStartBound)) << "client " << i;
    }
    if (started && i % 3 == 2) {
      EXPECT_TRUE(probe.WaitStarted(kStartBound)) << "client " << i;
    }
    delete client;
    // A transfer ended by destroying its client is not reported.
    EXPECT_EQ(0, probe.Completions()) << "client " << i;
  };

  for (int i = 0; i < 3; ++i) destroyMidway(i);
  const Usage before = Measure();
  for (int i = 0; i < kDestroyedClients && !HasFailure(); ++i) destroyMidway(i);
  const Usage after = Measure();
  ExpectNoGrowth(before, after);
}

}  // namespace
