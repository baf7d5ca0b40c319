// A host that includes only the public header. Without arguments it makes a
// client with a started notify task, changes every setting, reads it back and
// deletes the client. With the URLs of a local nginx it also transfers:
//   znhost HTTP_BASE HTTPS_BASE REFERENCE_FILE OUT_DIR
// HTTP and HTTPS downloads of data.bin must equal REFERENCE_FILE; a partial
// file resumes from its end; /redirect leads to data.bin; a missing file gives
// 7, a conditional request 1; 200 sequential GETs of small.txt run on one
// client (the caller checks in nginx's log that they shared one connection).
// Exits non-zero on the first mismatch.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>

#include "znhttpclient.h"

#define EXPECT(cond)                                           \
  do {                                                         \
    if (!(cond)) {                                             \
      std::fprintf(stderr, "line %d failed: %s\n", __LINE__, #cond); \
      return 1;                                                \
    }                                                          \
  } while (0)

namespace {

// Records the course of one transfer; the host thread waits for its end.
class Notify final : public IHttpClientNotify {
 public:
  void OnConnecting(zn::IHttpClient*, zn::strutf16&) override {}
  void OnConnected(zn::IHttpClient*) override {}
  void OnDownloadStart(zn::IHttpClient*, uint32_t dwPresent, uint32_t) override { m_dwPresent = dwPresent; }
  void OnProgress(zn::IHttpClient*, uint64_t, uint64_t, uint32_t, uint64_t) override {}
  void OnRedirected(zn::IHttpClient*, zn::strutf16&) override { ++m_nRedirects; }
  void OnDownloadComplete(zn::IHttpClient*, uint32_t dwCode) override {
    std::lock_guard<std::mutex> lock(m_lock);
    m_dwCode = dwCode;
    m_bDone = true;
    m_cond.notify_all();
  }
  // The result code of the transfer, or 99 when it did not end within 30 s.
  uint32_t Wait() {
    std::unique_lock<std::mutex> lock(m_lock);
    if (!m_cond.wait_for(lock, std::chrono::seconds(30), [this] { return m_bDone; })) return 99;
    m_bDone = false;
    return m_dwCode;
  }
  uint32_t m_dwPresent = 0;  // written on the notify task before the completion
  int m_nRedirects = 0;

 private:
  std::mutex m_lock;
  std::condition_variable m_cond;
  bool m_bDone = false;
  uint32_t m_dwCode = 0;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int Settings(CZNTaskIO* task) {
  zn::IHttpClientEx* client = zn_create_httpclient_ex(task);
  zn::strutf8 ip;
  uint16_t port = 1;
  client->GetBindAddress(ip, port);
  EXPECT(client->GetId() == 0 && client->GetUserTag() == -1 && client->GetStatusCode() == 0);
  EXPECT(!client->IsRunning() && ip.empty() && port == 0);

  client->SetTimeout(1000, 2000, 4);
  client->SetUseIEProxy(true);
  client->SetBindAddress(zn::strutf8("127.0.0.2"), 4000);
  client->SetId(42);
  client->SetGbkHead(true);
  client->SetUseCookie(false);
  client->SetResume(true);
  client->SetSyncRedirectNotify(true);
  client->SetNotifyFlags(0x1F);
  EXPECT(client->SetUserData(7) && client->SetUserTag(9));
  CRefCountSafe* object = new CRefCountSafe;
  EXPECT(client->SetUserObject(object));

  uint64_t data = 0;
  CRefCount* back = nullptr;
  client->GetBindAddress(ip, port);
  EXPECT(ip == "127.0.0.2" && port == 4000 && client->GetId() == 42);
  EXPECT(client->GetUserData(data) && data == 7 && client->GetUserTag() == 9);
  EXPECT(client->GetUserObject(&back) && back == object);
  back->Release();
  object->Release();  // the client keeps its own reference until it dies
  delete client;
  return 0;
}

int Transfers(CZNTaskIO* task, const std::string& http, const std::string& https, const std::string& reference,
              const std::string& out) {
  const std::string want = ReadAll(reference);
  EXPECT(want.size() > 1000);
  Notify notify;
  zn::IHttpClientEx* client = zn_create_httpclient_ex(task);
  client->SetNotify(&notify);
  client->SetNotifyFlags(0x04);  // OnDownloadStart as well
  client->SetTimeout(5000, 10000, 3);

  // Downloads url into OUT_DIR/name, after putting the first `keep` bytes of
  // the reference there, and compares the file with the reference.
  const auto fetch = [&](const std::string& url, const char* sslName, const char* name, size_t keep) {
    const std::string file = out + "/" + name;
    if (keep) std::ofstream(file, std::ios::binary) << want.substr(0, keep);
    return client->Download(zn::strutf8(url.c_str()), zn::strutf8(sslName), zn::strutf8(file.c_str()), nullptr,
                            keep != 0) &&
           notify.Wait() == 0 && ReadAll(file) == want;
  };
  EXPECT(fetch(http + "/data.bin", "", "http.bin", 0));
  EXPECT(fetch(https + "/data.bin", "localhost", "https.bin", 0));  // the certificate names "localhost"
  EXPECT(fetch(http + "/data.bin", "", "resumed.bin", 1000) && notify.m_dwPresent == 1000);
  EXPECT(fetch(http + "/redirect", "", "redirected.bin", 0) && notify.m_nRedirects == 1);

  EXPECT(client->Download(zn::strutf16((http + "/missing").c_str()), nullptr));
  EXPECT(notify.Wait() == 7 && client->GetStatusCode() == 404);
  SYSTEMTIME later = {};  // 2037-01-01: after the file's time
  later.wYear = 2037;
  later.wMonth = later.wDay = 1;
  EXPECT(client->Download(zn::strutf16((http + "/data.bin").c_str()), &later));
  EXPECT(notify.Wait() == 1 && client->GetStatusCode() == 304);

  for (int i = 0; i < 200; ++i) {
    EXPECT(client->Download(zn::strutf16((http + "/small.txt").c_str()), nullptr));
    EXPECT(notify.Wait() == 0);
    const unsigned char* body = nullptr;
    uint32_t len = 0;
    EXPECT(client->GetDownloadedBuffer(&body, &len) && std::string(reinterpret_cast<const char*>(body), len) ==
                                                           "small\n");
  }
  delete client;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CZNTaskIO* task = new CZNTaskIO("host", 50, 1);
  EXPECT(task->Start());
  int result = Settings(task);
  if (result == 0 && argc == 5) result = Transfers(task, argv[1], argv[2], argv[3], argv[4]);
  task->Stop();
  task->Release();
  if (result == 0) std::puts("host ok");
  return result;
}
