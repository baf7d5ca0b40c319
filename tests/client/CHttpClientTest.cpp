// The client object as a host sees it before any transfer: the factory, the
// defaults, every setting read back, the user object's references and the
// queries of an empty client.
#include <gtest/gtest.h>

#include <memory>

#include "ClientTestUtil.h"
#include "include/znhttpclient.h"

namespace {

using zntest::ProbeClient;

class CountedObject : public CRefCountSafe {
 public:
  explicit CountedObject(bool* deleted) : m_pDeleted(deleted) {}
  ~CountedObject() override { *m_pDeleted = true; }

 private:
  bool* m_pDeleted;
};

TEST(CHttpClientTest, NewClientReportsTheDefaults) {
  zntest::ScopedTask notifyTask("notify");
  std::unique_ptr<zn::IHttpClientEx> client(zn_create_httpclient_ex(notifyTask.get()));
  ASSERT_NE(client, nullptr);
  EXPECT_EQ(client->GetId(), 0u);
  EXPECT_EQ(client->GetUserTag(), -1);
  EXPECT_EQ(client->GetStatusCode(), 0u);
  EXPECT_FALSE(client->IsRunning());
  zn::strutf8 ip("garbage");
  uint16_t port = 77;
  client->GetBindAddress(ip, port);
  EXPECT_TRUE(ip.empty());
  EXPECT_EQ(port, 0);
  uint64_t data = 99;
  EXPECT_TRUE(client->GetUserData(data));
  EXPECT_EQ(data, 0u);
  zn::strutf16 head("x");
  EXPECT_TRUE(client->GetResponseHead(head));
  EXPECT_TRUE(head.empty());
  zn::strutf16 path;
  EXPECT_FALSE(client->GetDownloadFilePath(path));
  const unsigned char* buf = nullptr;
  uint32_t len = 0;
  EXPECT_FALSE(client->GetDownloadedBuffer(&buf, &len));
  EXPECT_FALSE(znsocket_isvalid(client->NativeSocket()));
  zn::strutf8 host("x");
  uint16_t hostPort = 1;
  EXPECT_TRUE(client->GetConnectedAddress(host, hostPort));
  EXPECT_TRUE(host.empty());
  EXPECT_EQ(hostPort, 0);

  // The internal defaults that the host cannot read back.
  ProbeClient probe(nullptr);
  EXPECT_EQ(probe.NotifyFlags(), 0x08);
  EXPECT_EQ(probe.HttpTask(), nullptr);  // no thread before the first request
  EXPECT_TRUE(probe.RequestInfo().m_strHost.empty());
  EXPECT_EQ(probe.ResponseInfo().m_pRecvBuf, nullptr);
}

TEST(CHttpClientTest, SettingsReadBack) {
  struct Case {
    const char* ip;
    uint16_t port;
    uint64_t id;
    uint64_t data;
    int32_t tag;
  };
  const Case cases[] = {
      {"127.0.0.2", 40000, 1, 0xFFFFFFFFFFFFFFFFull, 0},
      {"::1", 1, 0xFFFFFFFFFFFFFFFFull, 0, -2147483647 - 1},
      {"", 0, 0, 42, 2147483647},
  };
  std::unique_ptr<zn::IHttpClientEx> client(zn_create_httpclient_ex(nullptr));
  for (const Case& c : cases) {
    client->SetBindAddress(zn::strutf8(c.ip), c.port);
    client->SetId(c.id);
    EXPECT_TRUE(client->SetUserData(c.data));
    EXPECT_TRUE(client->SetUserTag(c.tag));
    zn::strutf8 ip;
    uint16_t port = 0;
    client->GetBindAddress(ip, port);
    EXPECT_STREQ(ip.c_str(), c.ip);
    EXPECT_EQ(port, c.port);
    EXPECT_EQ(client->GetId(), c.id);
    uint64_t data = 0;
    EXPECT_TRUE(client->GetUserData(data));
    EXPECT_EQ(data, c.data);
    EXPECT_EQ(client->GetUserTag(), c.tag);
  }
  // The request identifier is one value for the whole process, and a new
  // client sets it back to 0.
  client->SetId(12345);
  std::unique_ptr<zn::IHttpClientEx> second(zn_create_httpclient_ex(nullptr));
  EXPECT_EQ(client->GetId(), 0u);
  second->SetId(7);
  EXPECT_EQ(client->GetId(), 7u);
  client->SetId(0);
}

TEST(CHttpClientTest, UserObjectReferences) {
  bool deleted = false;
  CountedObject* obj = new CountedObject(&deleted);
  {
    std::unique_ptr<zn::IHttpClientEx> client(zn_create_httpclient_ex(nullptr));
    // Nothing stored: false, and the out-argument is left as it was.
    CRefCount* out = reinterpret_cast<CRefCount*>(0x1);
    EXPECT_FALSE(client->GetUserObject(&out));
    EXPECT_EQ(out, reinterpret_cast<CRefCount*>(0x1));
    EXPECT_FALSE(client->GetUserObject(nullptr));

    EXPECT_TRUE(client->SetUserObject(obj));
    EXPECT_EQ(obj->RefCount(), 2);
    EXPECT_FALSE(client->GetUserObject(nullptr));
    out = nullptr;
    EXPECT_TRUE(client->GetUserObject(&out));
    EXPECT_EQ(out, obj);
    EXPECT_EQ(obj->RefCount(), 3);  // the caller got a reference of its own
    out->Release();
    // Setting the same object again keeps exactly one reference for the client.
    EXPECT_TRUE(client->SetUserObject(obj));
    EXPECT_EQ(obj->RefCount(), 2);
  }
  // The destructor released the client's reference.
  EXPECT_EQ(obj->RefCount(), 1);
  obj->Release();
  EXPECT_TRUE(deleted);
}

TEST(CHttpClientTest, CountedCallbackObjectReferences) {
  zntest::Recorder rec;
  zntest::RecordingNotifyRef* first = new zntest::RecordingNotifyRef(rec);
  zntest::RecordingNotifyRef* second = new zntest::RecordingNotifyRef(rec);
  {
    std::unique_ptr<zn::IHttpClientEx> client(zn_create_httpclient_ex(nullptr));
    client->SetRefNotify(first);
    EXPECT_EQ(first->RefCount(), 2);
    client->SetRefNotify(second);
    EXPECT_EQ(first->RefCount(), 1);
    EXPECT_EQ(second->RefCount(), 2);
  }
  EXPECT_EQ(second->RefCount(), 1);
  first->Release();
  second->Release();
}

TEST(CHttpClientTest, NotifyTaskIsCountedWhileTheClientLives) {
  zntest::ScopedTask notifyTask("notify");
  const int before = notifyTask.get()->RefCount();
  zn::IHttpClientEx* client = zn_create_httpclient_ex(notifyTask.get());
  EXPECT_EQ(notifyTask.get()->RefCount(), before + 1);
  delete client;
  EXPECT_EQ(notifyTask.get()->RefCount(), before);
}

}  // namespace
