// The client object as a host sees it before any transfer: the request
// identifier, and the references it holds on the user object, the counted
// callback object and the notify task, and the heap it leaves behind.
#include <gtest/gtest.h>

#include <memory>

#include "ClientTestUtil.h"

namespace {

// The request identifier is one value for the whole process, and a new
// client sets it back to 0.
TEST(CHttpClientTest, TheProcessWideRequestId) {
  std::unique_ptr<zn::IHttpClientEx> client(zn_create_httpclient_ex(nullptr));
  client->SetId(12345);
  EXPECT_EQ(client->GetId(), 12345u);
  std::unique_ptr<zn::IHttpClientEx> second(zn_create_httpclient_ex(nullptr));
  EXPECT_EQ(client->GetId(), 0u);
  second->SetId(7);
  EXPECT_EQ(client->GetId(), 7u);
  client->SetId(0);
}

TEST(CHttpClientTest, ReferencesHeldWhileTheClientLives) {
  CRefCountSafe* obj = new CRefCountSafe;
  zntest::Recorder rec;
  zntest::RecordingNotifyRef* first = new zntest::RecordingNotifyRef(rec);
  zntest::RecordingNotifyRef* second = new zntest::RecordingNotifyRef(rec);
  zntest::TaskThread notifyTask("notify");
  const int taskRefs = notifyTask.task()->RefCount();
  {
    std::unique_ptr<zn::IHttpClientEx> client(zn_create_httpclient_ex(notifyTask.task()));
    EXPECT_EQ(notifyTask.task()->RefCount(), taskRefs + 1);
    // Nothing stored: false, and the out-argument is left as it was.
    CRefCount* out = reinterpret_cast<CRefCount*>(0x1);
    EXPECT_FALSE(client->GetUserObject(&out));
    EXPECT_EQ(out, reinterpret_cast<CRefCount*>(0x1));
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

    client->SetRefNotify(first);
    EXPECT_EQ(first->RefCount(), 2);
    client->SetRefNotify(second);
    EXPECT_EQ(first->RefCount(), 1);
    EXPECT_EQ(second->RefCount(), 2);
  }
  EXPECT_EQ(notifyTask.task()->RefCount(), taskRefs);
  EXPECT_EQ(second->RefCount(), 1);
  EXPECT_EQ(obj->RefCount(), 1);
  obj->Release();
  first->Release();
  second->Release();
}

// Clients made and deleted one after another leave no heap behind (the lock
// each one's destruction takes once kept 276 bytes of it on Windows).
TEST(CHttpClientTest, ClientsMadeAndDeletedInARowLeaveNoHeapBehind) {
  const int kWarmUp = 50, kClients = 1000;
  const long long kSlackPerClient = 16;
  long long before = 0;
  for (int i = 0; i < kWarmUp + kClients; ++i) {
    if (i == kWarmUp) before = zntest::HeapInUseBytes();
    std::unique_ptr<zn::IHttpClientEx> client(zn_create_httpclient_ex(nullptr));
  }
  EXPECT_LT(zntest::HeapInUseBytes() - before, kSlackPerClient * kClients);
}

}  // namespace
