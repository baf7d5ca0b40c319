// A host that includes only the public header: makes a client with a started
// notify task, reads the defaults, changes every setting, reads them back and
// deletes the client. Exits non-zero on the first mismatch.
#include <cstdio>

#include "znhttpclient.h"

#define EXPECT(cond)                                   \
  do {                                                 \
    if (!(cond)) {                                     \
      std::fprintf(stderr, "failed: %s\n", #cond);     \
      return 1;                                        \
    }                                                  \
  } while (0)

int main() {
  CZNTaskIO* task = new CZNTaskIO("host", 50, 1);
  EXPECT(task->Start());
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
  task->Stop();
  task->Release();
  std::puts("host ok");
  return 0;
}
