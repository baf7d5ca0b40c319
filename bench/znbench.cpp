// znbench: the benchmark host. It drives the client library through its public
// header only, the way an application would, so that what bench/run times is
// the library as a host sees it.
//
//   znbench file   URL FILE   [--sha256 HEX]   download URL into FILE
//   znbench stream URL        [--sha256 HEX]   download URL into a host stream that counts and drops
//   znbench get    URL COUNT  [--sha256 HEX]   COUNT sequential GETs of URL on one client, bodies in memory
//   znbench many   URL COUNT                  COUNT clients at once, each downloading URL into a
//                                             discarding stream
//
// With --sha256 the downloaded bytes are digested (the file after the
// download, the stream's bytes as they pass, every body of the GETs) and
// compared with HEX; bench/run uses that once per case, outside the timed
// runs. ZNBENCH_LOG=LEVEL (1 to 4) shows the library's log on standard error.
// Exit status: 0 done, 1 a transfer failed, 2 a digest or a length did
// not match, 64 bad arguments.
//
// Threads: main() starts each transfer and waits for its completion; the
// client's callbacks (and the stream's writes) arrive on the client's worker
// thread, since the client is made without a notify task. The GETs run back
// to back: each starts from inside the completion of the one before, on the
// worker thread, as an asynchronous host would chain them (and as libcurl's
// loop runs its requests on one thread).
#include <openssl/evp.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "znhttpclient.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitTransfer = 1;
constexpr int kExitMismatch = 2;
constexpr int kExitUsage = 64;
// A completion that does not come within this bound is reported as a hang.
constexpr auto kCompletionBound = std::chrono::seconds(120);
// Generous limits: a loaded machine must not turn a slow start into a retry.
constexpr uint32_t kConnectTimeoutMs = 10000;
constexpr uint32_t kRecvTimeoutMs = 60000;
// One attempt per request: a retry would hide a fault behind a slower number.
constexpr int32_t kAttempts = 1;
constexpr size_t kFileReadStep = 1 << 20;

const char kUsage[] =
    "usage: znbench file URL FILE [--sha256 HEX]\n"
    "       znbench stream URL [--sha256 HEX]\n"
    "       znbench get URL COUNT [--sha256 HEX]\n"
    "       znbench many URL COUNT\n";

// SHA-256 through OpenSSL's EVP interface; one thread at a time.
class Digest final {
 public:
  Digest() : m_pCtx(EVP_MD_CTX_new()) { EVP_DigestInit_ex(m_pCtx, EVP_sha256(), nullptr); }
  Digest(const Digest&) = delete;
  Digest& operator=(const Digest&) = delete;
  ~Digest() { EVP_MD_CTX_free(m_pCtx); }
  void Update(const void* data, size_t len) { EVP_DigestUpdate(m_pCtx, data, len); }
  // Lower-case hex of everything fed; the object starts over afterwards.
  std::string FinalHex() {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(m_pCtx, md, &len);
    EVP_DigestInit_ex(m_pCtx, EVP_sha256(), nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < len; ++i) {
      out += kHex[md[i] >> 4];
      out += kHex[md[i] & 15];
    }
    return out;
  }

 private:
  EVP_MD_CTX* m_pCtx;  // owned
};

std::string DigestOfFile(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return "";
  std::unique_ptr<char[]> buf(new char[kFileReadStep]);
  Digest d;
  size_t n;
  while ((n = fread(buf.get(), 1, kFileReadStep, f)) > 0) d.Update(buf.get(), n);
  const bool ok = !ferror(f);
  fclose(f);
  return ok ? d.FinalHex() : "";
}

// What the discarding stream saw. Owned by main(); the stream borrows it and
// writes it on the worker thread, main() reads it after the completion (the
// completion handshake orders the two).
struct StreamTally {
  uint64_t qwBytes = 0;
  Digest* pDigest = nullptr;  // borrowed; null when no digest is asked for
};

// The host stream of the discard case: counts the bytes, digests them when
// asked, and drops them. Owned by the client once handed over.
class DiscardStream final : public IZNStreamWriter {
 public:
  explicit DiscardStream(StreamTally* tally) : m_pTally(tally) {}
  uint64_t Write(const void* pData, uint32_t len) override {
    m_pTally->qwBytes += len;
    if (m_pTally->pDigest) m_pTally->pDigest->Update(pData, len);
    return len;
  }

 private:
  StreamTally* m_pTally;  // borrowed; outlives the client
};

// The callbacks that znbench does not use.
class QuietNotify : public IHttpClientNotify {
 public:
  void OnConnecting(zn::IHttpClient*, zn::strutf16&) override {}
  void OnConnected(zn::IHttpClient*) override {}
  void OnDownloadStart(zn::IHttpClient*, uint32_t, uint32_t) override {}
  void OnProgress(zn::IHttpClient*, uint64_t, uint64_t, uint32_t, uint64_t) override {}
  void OnRedirected(zn::IHttpClient*, zn::strutf16&) override {}
};

// The callback object: hands each completion code to main(). Its operations
// run on the client's worker thread.
class Notify final : public QuietNotify {
 public:
  void OnDownloadComplete(zn::IHttpClient*, uint32_t code) override {
    // A chain that started the next transfer keeps main() waiting.
    if (m_chain && m_chain(static_cast<int>(code))) return;
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_nCode = static_cast<int>(code);
      m_bDone = true;
    }
    // Woken after the unlock, the waiter does not block on the mutex again.
    m_cv.notify_one();
  }

  // The code of the next completion; -1 when none came within the bound.
  int Wait() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_cv.wait_for(lock, kCompletionBound, [this] { return m_bDone; })) return -1;
    m_bDone = false;
    return m_nCode;
  }
  // Set before the first transfer: sees each completion code first, on the
  // worker thread, and returns true when it has started the next transfer.
  std::function<bool(int)> m_chain;

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_bDone = false;  // guarded by m_mutex
  int m_nCode = 0;       // guarded by m_mutex
};

void LogSink(int level, const char* tag, int line, const char* text, void*) {
  fprintf(stderr, "[%d] %s:%d %s\n", level, tag, line, text);
}

double MiBps(uint64_t bytes, double secs) { return secs > 0 ? static_cast<double>(bytes) / secs / 1048576.0 : 0; }

// Waits for one completion and says why it failed, if it did.
bool Finished(Notify& notify, zn::IHttpClient* client, const char* what) {
  const int code = notify.Wait();
  if (code == 0) return true;
  if (code < 0) {
    fprintf(stderr, "znbench: %s: no completion within the bound\n", what);
  } else {
    fprintf(stderr, "znbench: %s: result code %d, status %u\n", what, code, client->GetStatusCode());
  }
  return false;
}

int CheckDigest(const std::string& got, const std::string& want, const char* what) {
  if (want.empty()) return kExitOk;
  if (got == want) {
    printf("znbench: %s sha256 ok\n", what);
    return kExitOk;
  }
  fprintf(stderr, "znbench: %s sha256 %s, expected %s\n", what, got.empty() ? "(unreadable)" : got.c_str(),
          want.c_str());
  return kExitMismatch;
}

int RunFile(zn::IHttpClientEx* client, Notify& notify, const std::string& url, const std::string& file,
            const std::string& sha) {
  const auto t0 = std::chrono::steady_clock::now();
  if (!client->Download(zn::strutf8(url.c_str()), zn::strutf8(file.c_str()), nullptr, false)) {
    fprintf(stderr, "znbench: the download was refused\n");
    return kExitTransfer;
  }
  if (!Finished(notify, client, "download")) return kExitTransfer;
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  FILE* f = fopen(file.c_str(), "rb");
  uint64_t size = 0;
  if (f && fseeko(f, 0, SEEK_END) == 0) size = static_cast<uint64_t>(ftello(f));
  if (f) fclose(f);
  printf("znbench: file %s -> %s: %llu bytes in %.3f s (%.1f MiB/s)\n", url.c_str(), file.c_str(),
         static_cast<unsigned long long>(size), secs, MiBps(size, secs));
  return sha.empty() ? kExitOk : CheckDigest(DigestOfFile(file), sha, "file");
}

int RunStream(zn::IHttpClientEx* client, Notify& notify, const std::string& url, const std::string& sha) {
  Digest digest;
  StreamTally tally;
  if (!sha.empty()) tally.pDigest = &digest;
  const auto t0 = std::chrono::steady_clock::now();
  if (!client->DownloadToStream(zn::strutf16(url.c_str()), new DiscardStream(&tally), 0)) {
    fprintf(stderr, "znbench: the stream download was refused\n");
    return kExitTransfer;
  }
  if (!Finished(notify, client, "stream download")) return kExitTransfer;
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  printf("znbench: stream %s: %llu bytes in %.3f s (%.1f MiB/s)\n", url.c_str(),
         static_cast<unsigned long long>(tally.qwBytes), secs, MiBps(tally.qwBytes, secs));
  return sha.empty() ? kExitOk : CheckDigest(digest.FinalHex(), sha, "stream");
}

int RunGets(zn::IHttpClientEx* client, Notify& notify, const std::string& url, long count, const std::string& sha) {
  const zn::strutf16 url16(url.c_str());
  Digest digest;
  uint64_t total = 0;
  uint32_t firstLen = 0;
  long done = 0;
  int failure = kExitOk;
  // Worker thread; main() reads the results after the last completion.
  notify.m_chain = [&](int code) {
    if (code != 0) return false;
    const unsigned char* data = nullptr;
    uint32_t len = 0;
    if (!client->GetDownloadedBuffer(&data, &len)) len = 0;
    if (done++ == 0) firstLen = len;
    if (len != firstLen || len == 0) {
      fprintf(stderr, "znbench: request %ld: body of %u bytes, the first had %u\n", done, len, firstLen);
      failure = kExitMismatch;
      return false;
    }
    total += len;
    if (!sha.empty()) {
      digest.Update(data, len);
      if (digest.FinalHex() != sha) {
        fprintf(stderr, "znbench: request %ld had the wrong body\n", done);
        failure = kExitMismatch;
        return false;
      }
    }
    if (done == count) return false;
    if (client->Download(url16, nullptr)) return true;
    fprintf(stderr, "znbench: request %ld was refused\n", done + 1);
    failure = kExitTransfer;
    return false;
  };
  const auto t0 = std::chrono::steady_clock::now();
  if (!client->Download(url16, nullptr)) {
    fprintf(stderr, "znbench: request 1 was refused\n");
    return kExitTransfer;
  }
  if (!Finished(notify, client, "request")) {
    fprintf(stderr, "znbench: request %ld of %ld failed\n", done + 1, count);
    return kExitTransfer;
  }
  if (failure != kExitOk) return failure;
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  printf("znbench: get %s x %ld: %llu body bytes in %.3f s (%.0f requests/s)\n", url.c_str(), count,
         static_cast<unsigned long long>(total), secs, secs > 0 ? static_cast<double>(count) / secs : 0.0);
  if (!sha.empty()) printf("znbench: body sha256 ok\n");
  return kExitOk;
}

// The callback object shared by the clients of the many case: counts the
// completions (on every client's worker thread) until all have come.
class ManyNotify final : public QuietNotify {
 public:
  explicit ManyNotify(long count) : m_nLeft(count) {}
  void OnDownloadComplete(zn::IHttpClient*, uint32_t code) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (code != 0) ++m_nFailed;
    if (--m_nLeft == 0) m_cv.notify_one();
  }
  // The failures once every completion came; -1 when they did not within the bound.
  long Wait() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_cv.wait_for(lock, kCompletionBound, [this] { return m_nLeft == 0; })) return -1;
    return m_nFailed;
  }

 private:
  std::mutex m_mutex;
  std::condition_variable m_cv;
  long m_nLeft;        // guarded by m_mutex
  long m_nFailed = 0;  // guarded by m_mutex
};

// A stream of the many case: adds what it drops to its client's tally.
class CountingStream final : public IZNStreamWriter {
 public:
  explicit CountingStream(uint64_t* tally) : m_pTally(tally) {}
  uint64_t Write(const void*, uint32_t len) override {
    *m_pTally += len;
    return len;
  }

 private:
  uint64_t* m_pTally;  // borrowed; written on one client's worker, read after its completion
};

int RunMany(const std::string& url, long count) {
  ManyNotify notify(count);
  std::vector<uint64_t> tallies(static_cast<size_t>(count), 0);
  std::vector<std::unique_ptr<zn::IHttpClientEx>> clients;
  const zn::strutf16 url16(url.c_str());
  const auto t0 = std::chrono::steady_clock::now();
  for (long i = 0; i < count; ++i) {
    clients.emplace_back(zn_create_httpclient_ex(nullptr));
    clients.back()->SetNotify(&notify);
    clients.back()->SetTimeout(kConnectTimeoutMs, kRecvTimeoutMs, kAttempts);
    if (!clients.back()->DownloadToStream(url16, new CountingStream(&tallies[static_cast<size_t>(i)]), 0)) {
      fprintf(stderr, "znbench: client %ld refused the download\n", i + 1);
      return kExitTransfer;
    }
  }
  const long failed = notify.Wait();
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  uint64_t total = 0;
  for (uint64_t t : tallies) total += t;
  clients.clear();
  printf("znbench: many %s x %ld: %llu body bytes in %.3f s, %ld failed\n", url.c_str(), count,
         static_cast<unsigned long long>(total), secs, failed);
  return failed == 0 ? kExitOk : kExitTransfer;
}

}  // namespace

int main(int argc, char** argv) {
  std::string sha;
  std::string args[3];
  int positional = 0;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--sha256") == 0 && i + 1 < argc) {
      sha = argv[++i];
    } else if (positional < 3 && argv[i][0] != '-') {
      args[positional++] = argv[i];
    } else {
      fputs(kUsage, stderr);
      return kExitUsage;
    }
  }
  const std::string& mode = args[0];
  const bool ok = (mode == "file" && positional == 3) || (mode == "stream" && positional == 2) ||
                  ((mode == "get" || mode == "many") && positional == 3 && atol(args[2].c_str()) > 0);
  if (!ok) {
    fputs(kUsage, stderr);
    return kExitUsage;
  }

  if (const char* level = getenv("ZNBENCH_LOG")) {
    znsyslog_setsink(LogSink, nullptr);
    znsyslog_setlevel(atoi(level));
  }
  if (mode == "many") return RunMany(args[1], atol(args[2].c_str()));
  Notify notify;
  zn::IHttpClientEx* client = zn_create_httpclient_ex(nullptr);
  client->SetNotify(&notify);
  client->SetTimeout(kConnectTimeoutMs, kRecvTimeoutMs, kAttempts);
  int rc = kExitUsage;
  if (mode == "file") rc = RunFile(client, notify, args[1], args[2], sha);
  if (mode == "stream") rc = RunStream(client, notify, args[1], sha);
  if (mode == "get") rc = RunGets(client, notify, args[1], atol(args[2].c_str()), sha);
  delete client;
  return rc;
}
