// A host that includes only the public header. Without arguments it makes a
// client with a started notify task, changes every setting, reads it back and
// deletes the client. With the URLs of a local nginx it also transfers:
//   znhost HTTP_BASE HTTPS_BASE REFERENCE_FILE OUT_DIR
// HTTP and HTTPS downloads of data.bin must equal REFERENCE_FILE; a partial
// file resumes from its end; /redirect leads to data.bin; a missing file gives
// 7, a conditional request 1; 200 sequential GETs of small.txt run on one
// client (the caller checks in nginx's log that they shared one connection).
// Then every other operation of the client runs once against /echo (which
// answers with the request's method, body length and headers) and /named
// (which names a file) and op.txt (small.txt's twin), each result checked: a host whose table of virtual
// operations disagreed with the library's fails here.
// A sixth argument names a copy of the library (a module of its own) that is
// loaded, used for one client (idle, then with a download running) and
// unloaded before that client is deleted: the client must keep it loaded.
// Exits non-zero on the first mismatch.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>

#include "znhttpclient.h"

#ifdef _WIN32
#include <windows.h>
void* OpenLibrary(const char* path) { return LoadLibraryA(path); }
void* Symbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
void CloseLibrary(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }
#else
#include <dlfcn.h>
void* OpenLibrary(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
void* Symbol(void* library, const char* name) { return dlsym(library, name); }
void CloseLibrary(void* library) { dlclose(library); }
#endif

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
  void OnDownloadStart(zn::IHttpClient*, uint32_t dwPresent, uint32_t) override {
    m_dwPresent = dwPresent;
    m_bStarted = true;
  }
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
  std::atomic<bool> m_bStarted{false};

 private:
  std::mutex m_lock;
  std::condition_variable m_cond;
  bool m_bDone = false;
  uint32_t m_dwCode = 0;
};

// The same observer behind the counted callback interface.
class RefNotify final : public IHttpClientNotifyRef {
 public:
  void OnConnecting(zn::IHttpClient* c, zn::strutf16& host) override { m_notify.OnConnecting(c, host); }
  void OnConnected(zn::IHttpClient* c) override { m_notify.OnConnected(c); }
  void OnDownloadStart(zn::IHttpClient* c, uint32_t present, uint32_t total) override {
    m_notify.OnDownloadStart(c, present, total);
  }
  void OnProgress(zn::IHttpClient* c, uint64_t done, uint64_t total, uint32_t rate, uint64_t left) override {
    m_notify.OnProgress(c, done, total, rate, left);
  }
  void OnRedirected(zn::IHttpClient* c, zn::strutf16& url) override { m_notify.OnRedirected(c, url); }
  void OnDownloadComplete(zn::IHttpClient* c, uint32_t code) override { m_notify.OnDownloadComplete(c, code); }
  Notify m_notify;
};

// A host stream: keeps what the client writes. The client owns and deletes it.
class Stream final : public IZNStreamWriter {
 public:
  Stream(std::string& sink, bool& deleted) : m_sink(sink), m_deleted(deleted) {}
  ~Stream() override { m_deleted = true; }
  uint64_t Write(const void* data, uint32_t len) override {
    m_sink.append(static_cast<const char*>(data), len);
    return len;
  }

 private:
  std::string& m_sink;  // the host's, outlives the stream
  bool& m_deleted;
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

bool Has(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

int Operations(CZNTaskIO* task, const std::string& http, const std::string& https, const std::string& out) {
  const std::string port = http.substr(http.rfind(':') + 1);
  Notify notify;
  zn::IHttpClientEx* client = zn_create_httpclient_ex(task);
  const znsocket_t unconnected = client->NativeSocket();
  client->SetNotify(&notify);
  client->SetTimeout(5000, 10000, 0);
  client->SetUseIEProxy(false);
  const auto done = [&] { return notify.Wait() == 0 && !client->IsRunning() && client->GetStatusCode() == 200; };
  const auto body = [&] {
    const unsigned char* data = nullptr;
    uint32_t len = 0;
    return client->GetDownloadedBuffer(&data, &len) ? std::string(reinterpret_cast<const char*>(data), len) : "";
  };
  const auto file = [&](const char* name) { return out + "/" + name; };
  const zn::strutf16 echo((http + "/echo").c_str());
  const zn::strutf16 small((http + "/op.txt").c_str());

  // Headers, each form; cleared for the next request.
  EXPECT(client->AddHeader(zn::strutf16("X-Num"), 42) && client->AddHeader(zn::strutf16("X-Str"), "abc") &&
         client->AddHeaderLine(zn::strutf16("X-Line: xyz")));
  EXPECT(client->HttpRequestToBuffer(echo, HTTPMETHOD_GET, nullptr, 0) && done());
  EXPECT(Has(body(), "m=GET;l=;n=42;s=abc;h=xyz;"));
  client->ClearHeaders();
  zn::hostlist hosts;
  hosts.push_back(zn::strutf8("127.0.0.1"));
  EXPECT(client->HttpRequestToBuffer(zn::strutf16("/echo"), zn::strutf16(port.c_str()), hosts, HTTPMETHOD_POST,
                                     "hello", 5) &&
         done() && Has(body(), "m=POST;l=5;n=;s=;h=;"));
  EXPECT(client->Post("127.0.0.1", static_cast<uint16_t>(std::stoi(port)),
                      zn::strutf8("POST /echo HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3\r\n\r\n"),
                      zn::strutf8("abc")) &&
         done() && Has(body(), "m=POST;l=3;"));

  // Uploads of memory, of files (whole and from an offset) and of forms.
  EXPECT(client->Upload(echo, "1234567", 7) && done() && Has(body(), "m=POST;l=7;"));
  EXPECT(client->Upload(zn::strutf8((http + "/echo").c_str()), "12345678", 8) && done() && Has(body(), "l=8;"));
  EXPECT(client->Upload(zn::strutf8((https + "/echo").c_str()), zn::strutf8("localhost"), "123456789", 9) &&
         done() && Has(body(), "m=POST;l=9;"));
  std::ofstream(file("up.txt"), std::ios::binary) << "0123456789";
  const zn::strutf16 upfile(file("up.txt").c_str());
  EXPECT(client->Upload(echo, upfile) && done() && Has(body(), "m=POST;l=10;"));
  EXPECT(client->Upload(echo, upfile, 4) && done() && Has(body(), "m=POST;l=6;"));
  EXPECT(client->UploadFormData(echo, ZN_WTEXT("f"), "abc", 3, ZN_WTEXT("a.txt")) && done());
  const std::string form = body();
  EXPECT(Has(form, "m=POST;") && Has(form, "t=multipart/form-data"));
  EXPECT(client->AddFormField(zn::strutf16("field"), zn::strutf16("value")));
  client->ClearFormFields();
  EXPECT(client->UploadFormData(echo, ZN_WTEXT("f"), "abc", 3, ZN_WTEXT("a.txt")) && done());
  const size_t plain = body().size();  // the same length again, boundary aside
  EXPECT(client->AddFormField(zn::strutf16("field"), zn::strutf16("value")));
  EXPECT(client->UploadFormData(echo, ZN_WTEXT("f"), upfile.c_str()) && done() && Has(body(), "t=multipart/form-data"));
  EXPECT(plain == form.size());

  // Downloads to files, each form, and to a host stream.
  EXPECT(client->Download(zn::strutf16("/op.txt"), zn::strutf16(port.c_str()), hosts,
                          zn::strutf16(file("a.txt").c_str()), nullptr, false) &&
         done() && ReadAll(file("a.txt")) == "small\n");
  zn::strutf16 path;
  EXPECT(client->GetDownloadFilePath(path) && zn::strutf8(path) == file("a.txt").c_str());
  EXPECT(client->Download(small, zn::strutf16(file("b.txt").c_str()), nullptr, false) && done() &&
         ReadAll(file("b.txt")) == "small\n");
  EXPECT(client->Download(zn::strutf8((http + "/op.txt").c_str()), zn::strutf8(file("c.txt").c_str()), nullptr,
                          false) &&
         done() && ReadAll(file("c.txt")) == "small\n");
  std::string streamed;
  bool streamDeleted = false;
  EXPECT(client->DownloadToStream(small, new Stream(streamed, streamDeleted), 0) && done() && streamed == "small\n");

  // What the last response and its connection tell.
  zn::strutf16 head;
  EXPECT(client->GetResponseHead(head) && zn::strutf8(head).substr(0, 12) == "HTTP/1.1 200");
  zn::strutf8 value;
  EXPECT(client->QueryInfo(zn::strutf8("Content-Length"), value, true) && value == "6");
  zn::strutf16 value16;
  EXPECT(client->QueryInfo(zn::strutf16("Content-Type"), value16, true) && zn::strutf8(value16) == "text/plain");
  uint32_t number = 0;
  EXPECT(client->QueryInfoNumber(zn::strutf16("Content-Length"), number) && number == 6);
  zn::strutf8 host;
  uint16_t hostPort = 0;
  EXPECT(client->GetConnectedAddress(host, hostPort) && host == "127.0.0.1" && std::to_string(hostPort) == port);
  EXPECT(client->GetPeerName(host, hostPort) && host == "127.0.0.1" && std::to_string(hostPort) == port);
  EXPECT(client->NativeSocket() != unconnected);
  EXPECT(client->Download(zn::strutf16((http + "/named").c_str()), nullptr) && done());
  zn::strutf16 name("Content-Disposition");
  EXPECT(client->GetResponseFileName(name) && zn::strutf8(name) == "named.bin");

  // The counted callback object takes the place of the borrowed one.
  RefNotify* ref = new RefNotify;
  client->SetNotify(nullptr);
  client->SetRefNotify(ref);
  EXPECT(client->Download(small, nullptr) && ref->m_notify.Wait() == 0 && body() == "small\n");
  client->SetRefNotify(nullptr);
  ref->Release();

  // Stop ends a transfer; the client stays usable.
  client->SetNotify(&notify);
  EXPECT(client->Download(zn::strutf16((http + "/data.bin").c_str()), zn::strutf16(file("stop.bin").c_str()),
                          nullptr, false));
  client->Stop();
  EXPECT(!client->IsRunning());
  delete client;
  EXPECT(streamDeleted);
  return 0;
}

// The host unloads the library while a client of it lives, then deletes the
// client; once idle, once with a download on the worker and notifications
// bound for the host's task.
int Unload(CZNTaskIO* task, const char* library, const std::string& http) {
  for (const bool transfer : {false, true}) {
    void* module = OpenLibrary(library);
    EXPECT(module);
    const auto create = reinterpret_cast<zn::IHttpClientEx* (*)(CZNTaskBase*)>(Symbol(module, "zn_create_httpclient_ex"));
    EXPECT(create);
    Notify notify;
    zn::IHttpClientEx* client = create(task);
    client->SetNotify(&notify);
    client->SetNotifyFlags(0x14);  // start and progress, bound for the host's task
    if (transfer) {
      EXPECT(client->Download(zn::strutf16((http + "/data.bin").c_str()), nullptr));
      for (int i = 0; i < 10000 && !notify.m_bStarted; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      EXPECT(notify.m_bStarted);
    }
    CloseLibrary(module);
    delete client;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CZNTaskIO* task = new CZNTaskIO("host", 50, 1);
  EXPECT(task->Start());
  int result = Settings(task);
  if (result == 0 && argc >= 5) result = Transfers(task, argv[1], argv[2], argv[3], argv[4]);
  if (result == 0 && argc >= 5) result = Operations(task, argv[1], argv[2], argv[4]);
  if (result == 0 && argc == 6) result = Unload(task, argv[5], argv[1]);
  task->Stop();
  task->Release();
  if (result == 0) std::puts("host ok");
  return result;
}
