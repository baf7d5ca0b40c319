// Proves the scripted server with a plain client of the tests' own before the
// request engine tests rely on it: exact bytes both ways, pieces in order,
// connection sequencing, closes, resets, stalls and a prompt shutdown.
#include "support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/LoopbackClient.h"

namespace {

using std::chrono::milliseconds;
using zntest::LoopbackClient;
using zntest::ScriptedServer;
using zntest::ScriptedServerOptions;
using zntest::ServerFamily;
using zntest::ServerScript;

const milliseconds kBound(5000);

const std::string kGet = "GET /a HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
const std::string kPost = "POST /up HTTP/1.1\r\nHost: x\r\ncontent-length: 11\r\n\r\nhello world";
const std::string kOk = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nabcde";

// Each case plays one script against what the client sends and checks what
// both sides saw.
TEST(ScriptedServerSmokeTest, ScriptsAgainstAPlainClient) {
  struct Case {
    const char* name;
    ServerScript script;
    std::string send;                   // sent by the client at once
    std::vector<std::string> requests;  // what the server must record
    std::string reply;                  // what the client must read until the close
    bool reset;                         // the client must see a reset
  };
  const std::vector<Case> cases = {
      {"request and answer", ServerScript().ReadRequest().Send(kOk).Close(), kGet, {kGet}, kOk, false},
      {"request with a body", ServerScript().ReadRequest().Send(kOk).Close(), kPost, {kPost}, kOk, false},
      {"head, then body bytes by count", ServerScript().ReadHead().ReadBytes(11).Send("x").Close(), kPost,
       {kPost}, "x", false},
      {"two requests on one connection", ServerScript().ReadRequest().Send(kOk).ReadRequest().Send(kOk).Close(),
       kGet + kGet, {kGet, kGet}, kOk + kOk, false},
      {"answer in pieces", ServerScript().ReadRequest().SendPieces(kOk, {1, 2, 17}, 20).Close(), kGet, {kGet}, kOk,
       false},
      {"reset after the head", ServerScript().ReadRequest().Send("HTTP/1.1 200 OK\r\n").Delay(50).Reset(), kGet,
       {kGet}, "HTTP/1.1 200 OK\r\n", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server({c.script});
    ASSERT_TRUE(server.ok());
    LoopbackClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port()));
    ASSERT_TRUE(client.SendAll(c.send));
    const std::string got = client.ReadUntilClose(kBound);
    EXPECT_EQ(got, c.reply);
    EXPECT_EQ(client.WasReset(), c.reset);
    EXPECT_EQ(client.Closed(), !c.reset);
    ASSERT_TRUE(server.WaitRequests(c.requests.size(), kBound));
    for (size_t i = 0; i < c.requests.size(); ++i) {
      EXPECT_EQ(server.Request(i), c.requests[i]);
      EXPECT_EQ(server.RequestConnection(i), 0u);
    }
    EXPECT_EQ(server.Received(0), c.send);
    EXPECT_EQ(server.Accepted(), 1u);
  }
}

TEST(ScriptedServerSmokeTest, ConnectionsGetTheirScriptsInAcceptOrder) {
  ScriptedServerOptions options;
  options.defaultScript = std::make_shared<ServerScript>(ServerScript().ReadRequest().Send("default").Close());
  ScriptedServer server({ServerScript().ReadRequest().Close(), ServerScript().ReadRequest().Send(kOk).Close()},
                        options);
  ASSERT_TRUE(server.ok());
  const std::vector<std::string> replies = {"", kOk, "default", "default"};
  for (size_t i = 0; i < replies.size(); ++i) {
    SCOPED_TRACE(i);
    LoopbackClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port()));
    // The accept order is the connect order only once the previous one is in.
    ASSERT_TRUE(server.WaitAccepted(i + 1, kBound));
    const std::string path = "GET /" + std::to_string(i) + " HTTP/1.1\r\n\r\n";
    ASSERT_TRUE(client.SendAll(path));
    EXPECT_EQ(client.ReadUntilClose(kBound), replies[i]);
    EXPECT_TRUE(client.Closed());
    ASSERT_TRUE(server.WaitRequests(i + 1, kBound));
    EXPECT_EQ(server.Request(i), path);
    EXPECT_EQ(server.RequestConnection(i), i);
    EXPECT_EQ(server.PeerAddress(i), "127.0.0.1");
    // The orderly close waits for ours.
    client.Close();
    EXPECT_TRUE(server.WaitConnectionDone(i, kBound));
  }
  EXPECT_EQ(server.Accepted(), replies.size());
}

TEST(ScriptedServerSmokeTest, StallKeepsSilentAndShutdownIsPrompt) {
  // A bounded stall, then the answer.
  {
    ScriptedServer server({ServerScript().ReadRequest().Stall(300).Send(kOk).Close()});
    LoopbackClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port()));
    ASSERT_TRUE(client.SendAll(kGet));
    EXPECT_EQ(client.ReadAtLeast(1, milliseconds(50)), "") << "nothing during the stall";
    EXPECT_FALSE(client.Closed());
    EXPECT_EQ(client.ReadUntilClose(kBound), kOk);
  }
  // Stalls without end, a connection never made, a server never connected to:
  // each destructor must return (a hang here fails the run by its time-out).
  {
    ScriptedServer server({ServerScript().ReadRequest().Stall()});
    LoopbackClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port()));
    ASSERT_TRUE(client.SendAll(kGet));
    ASSERT_TRUE(server.WaitRequests(1, kBound));
  }
  {
    ScriptedServer server({ServerScript().ReadRequest()});
    LoopbackClient client;
    ASSERT_TRUE(client.Connect("127.0.0.1", server.port()));
    ASSERT_TRUE(server.WaitAccepted(1, kBound));
  }
  { ScriptedServer server({}); }
}

TEST(ScriptedServerSmokeTest, BothFamiliesShareOnePortAndTlsCarriesTheBytes) {
  ScriptedServerOptions both;
  both.family = ServerFamily::kBoth;
  ScriptedServer dual({ServerScript().ReadRequest().Send(kOk).Close(), ServerScript().ReadRequest().Send(kOk).Close()},
                      both);
  ASSERT_TRUE(dual.ok());
  const char* addresses[] = {"::1", "127.0.0.1"};
  for (size_t i = 0; i < 2; ++i) {
    LoopbackClient client;
    ASSERT_TRUE(client.Connect(addresses[i], dual.port()));
    ASSERT_TRUE(dual.WaitAccepted(i + 1, kBound));
    ASSERT_TRUE(client.SendAll(kGet));
    EXPECT_EQ(client.ReadUntilClose(kBound), kOk);
    EXPECT_EQ(dual.PeerAddress(i), addresses[i]);
  }

  ScriptedServerOptions tls;
  tls.tlsCert = zntest::TestCert::Make("/CN=127.0.0.1");
  ASSERT_TRUE(tls.tlsCert.valid());
  ScriptedServer secure({ServerScript().ReadRequest().SendPieces(kOk, {3, 3}, 10).ReadRequest().Send(kOk).Close()},
                        tls);
  ASSERT_TRUE(secure.ok());
  EXPECT_EQ(secure.Url("/x"), "https://127.0.0.1:" + std::to_string(secure.port()) + "/x");
  LoopbackClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", secure.port(), true));
  EXPECT_EQ(client.PeerSubject(), "/CN=127.0.0.1");
  ASSERT_TRUE(client.SendAll(kPost));
  EXPECT_EQ(client.ReadResponse(kBound), kOk);
  ASSERT_TRUE(client.SendAll(kGet));
  EXPECT_EQ(client.ReadUntilClose(kBound), kOk);
  EXPECT_TRUE(client.Closed());
  ASSERT_TRUE(secure.WaitRequests(2, kBound));
  EXPECT_EQ(secure.Request(0), kPost);
  EXPECT_EQ(secure.Request(1), kGet);
}

}  // namespace
