// The send and receive loop against a scripted loopback server that records
// the exact request bytes and answers split, delayed, cut or not at all: heads,
// upload and multipart bodies, prepared exchanges, chunked answers, answers
// without a length, a dropped kept connection, a Stop or a delete mid-transfer,
// TLS endings and names, the bind address and the proxy.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "ClientTestUtil.h"
#include "include/znhttpclienttls.h"
#include "support/ScriptedServer.h"
#include "support/TestSha256.h"
#include "support/TinyProxy.h"

namespace {

using zntest::HeaderOf;
using zntest::Host;
using zntest::kWait;
using zntest::LogCapture;
using zntest::Ok;
using zntest::Pattern;
using zntest::ScriptedServer;
using zntest::ServerScript;
using zntest::U16;
using zntest::U8;

// The caller's headers serve one request. The second request goes over the
// kept connection, which the server closes instead of answering: it is sent
// again, unchanged, on a new connection.
TEST(CHttpClientSendRecvTest, HeadsOfTwoDownloadsOverAKeptConnectionThatDrops) {
  ScriptedServer server({ServerScript().ReadRequest().Send(Ok("one")).ReadRequest().Close(),
                         ServerScript().ReadRequest().Send(Ok("two"))});
  ASSERT_TRUE(server.ok());
  zntest::ScratchDir dir;
  LogCapture log;
  Host host;
  EXPECT_TRUE(host->AddHeader(U16("X-Count"), 42u));
  EXPECT_TRUE(host->AddHeaderLine(U16("  X-Line: v  ")));
  ASSERT_TRUE(host->Download(U8(server.Url("/a/b?c=1")), U8(dir.File("h1")), nullptr, false));
  ASSERT_EQ(host.WaitComplete(), 0);
  ASSERT_TRUE(host->Download(U8(server.Url("/second")), U8(dir.File("h2")), nullptr, false));
  ASSERT_EQ(host.WaitComplete(2), 0);
  ASSERT_TRUE(server.WaitRequests(3, kWait));
  const std::string first = server.Request(0);
  EXPECT_EQ(first.rfind("GET /a/b?c=1 HTTP/1.1\r\n", 0), 0u) << first;
  EXPECT_EQ(HeaderOf(first, "Host"), "127.0.0.1:" + std::to_string(server.port()));
  EXPECT_NE(first.find("\r\nX-Count:42\r\n"), std::string::npos) << first;
  EXPECT_NE(first.find("\r\nX-Line: v\r\n"), std::string::npos) << first;
  EXPECT_EQ(first.substr(first.size() - 4), "\r\n\r\n");
  EXPECT_EQ(server.Request(2), server.Request(1));
  EXPECT_EQ(server.Request(1).rfind("GET /second HTTP/1.1\r\n", 0), 0u) << server.Request(1);
  EXPECT_EQ(server.Request(1).find("X-Count"), std::string::npos);
  EXPECT_EQ(server.Request(1).find("X-Line"), std::string::npos);
  EXPECT_EQ(zntest::ReadWholeFile(dir.File("h1")), "one");
  EXPECT_EQ(zntest::ReadWholeFile(dir.File("h2")), "two");
  EXPECT_EQ(server.Accepted(), 2u);
  EXPECT_TRUE(log.Has("notify OnReConnect"));
  EXPECT_EQ(host.rec().Count("OnConnected"), 3u);  // first connect, the reuse, the new connection
}

// Uploads of a buffer or a file (from an offset) and multipart bodies of form
// fields, a buffer or a file: the head announces the exact length, every body
// byte arrives, and the course ends with a forced progress report of the whole.
// Sent again (a kept connection the server closed unanswered, or a 307), every
// attempt carries the same length and body, byte for byte. An offset past the
// file's end sends nothing and ends with 10.
TEST(CHttpClientSendRecvTest, UploadBodiesByteForByte) {
  zntest::ScratchDir dir;
  const std::string fileBytes = Pattern(200000, 3);
  const std::string filePath = dir.File("y.bin");
  ASSERT_TRUE(zntest::WriteWholeFile(filePath, fileBytes));
  const zn::strutf16 path16 = U16(filePath);
  const std::string buffer = Pattern(70001, 1);
  const uint32_t bufLen = 70001;
  const std::string withFile =
      "Content-Disposition: form-data; name=\"f\"; filename=\"y.bin\"\r\nContent-Type: "
      "application/octet-stream\r\nContent-Transfer-Encoding: binary\r\n\r\n";
  const std::string withoutFile =
      "Content-Disposition: form-data; name=\"f\"; Content-Type: application/octet-stream\r\n"
      "Content-Transfer-Encoding: binary\r\n\r\n";
  const std::string none = "-";  // not multipart
  const struct {
    const char* name;
    std::function<bool(zn::IHttpClientEx*, const std::string&)> start;
    bool fields;             // form fields a=1, b=2 are added first
    std::string partHeader;  // multipart: the part's head ("" for none); none: a plain upload
    std::string raw;         // the bytes sent behind the texts
    uint32_t startPresent;   // plain uploads: OnDownloadStart's values
    uint32_t startTotal;
  } cases[] = {
      {"buffer16", [&](auto c, auto& u) { return c->Upload(U16(u), buffer.data(), bufLen); }, false, none, buffer, 0,
       bufLen},
      {"buffer8", [&](auto c, auto& u) { return c->Upload(U8(u), buffer.data(), bufLen); }, false, none, buffer, 0,
       bufLen},
      {"file", [&](auto c, auto& u) { return c->Upload(U16(u), U16(filePath)); }, false, none, fileBytes, 0, 200000},
      {"file from offset", [&](auto c, auto& u) { return c->Upload(U16(u), U16(filePath), uint64_t(123456)); }, false,
       none, fileBytes.substr(123456), 123456, 200000},
      {"form fields only", [&](auto c, auto& u) { return c->UploadFormData(U16(u), nullptr, nullptr, 0, nullptr); },
       true, "", "", 0, 0},
      {"fields and a named buffer",
       [&](auto c, auto& u) {
         return c->UploadFormData(U16(u), ZN_WTEXT("f"), buffer.data(), bufLen, ZN_WTEXT("some/dir/y.bin"));
       },
       true, withFile, buffer, 0, 0},
      {"buffer without a file name",
       [&](auto c, auto& u) { return c->UploadFormData(U16(u), ZN_WTEXT("f"), buffer.data(), bufLen, nullptr); }, true,
       withoutFile, buffer, 0, 0},
      {"bytes without a part name",
       [&](auto c, auto& u) { return c->UploadFormData(U16(u), nullptr, buffer.data(), bufLen, nullptr); }, true, "",
       buffer, 0, 0},
      {"a form file, no fields",
       [&](auto c, auto& u) { return c->UploadFormData(U16(u), ZN_WTEXT("f"), path16.c_str()); }, false, withFile,
       fileBytes, 0, 0},
  };
  const ServerScript stored = ServerScript().ReadRequest().Send(Ok("stored"));
  const ServerScript warm = ServerScript().ReadRequest().Send(Ok("warm")).ReadRequest().Close();
  const auto movedBy = [](const char* status) {
    return ServerScript().ReadRequest().Send(zntest::Head(status, {"Location: /up2", "Content-Length: 0"}));
  };
  for (const auto& c : cases) {
    for (const char* attempts : {"once", "stale kept connection", "307 Moved", "303 See Other"}) {
      SCOPED_TRACE(c.name + std::string(", ") + attempts);
      const bool stale = attempts[0] == 's', moved = attempts[0] == '3', seeOther = attempts[2] == '3';
      ScriptedServer server({stale ? warm : moved ? movedBy(attempts) : stored, stored});
      ASSERT_TRUE(server.ok());
      Host host;
      if (stale) {
        ASSERT_TRUE(host->Download(U16(server.Url("/warm")), nullptr));
        ASSERT_EQ(host.WaitComplete(), 0);
      }
      if (c.fields) {
        host->AddFormField(U16("a"), U16("1"));
        host->AddFormField(U16("b"), U16("2"));
      }
      ASSERT_TRUE(c.start(host.get(), server.Url("/up")));
      ASSERT_EQ(host.WaitComplete(stale ? 2 : 1), 0);
      const size_t first = stale ? 1 : 0, last = first + (stale || moved);
      ASSERT_TRUE(server.WaitRequests(last + 1, kWait));
      EXPECT_EQ(server.RequestCount(), last + 1);
      std::string head, body;
      zntest::SplitRequest(server.Request(first), &head, &body);
      EXPECT_EQ(head.rfind("POST /up HTTP/1.1\r\n", 0), 0u) << head;
      std::string againHead, againBody;
      zntest::SplitRequest(server.Request(last), &againHead, &againBody);
      if (seeOther) {  // the new location is fetched without a body
        EXPECT_EQ(againHead.rfind("GET /up2 HTTP/1.1\r\n", 0), 0u) << againHead;
        EXPECT_EQ(againBody.size() + HeaderOf(againHead, "Content-Length").size(), 0u) << againHead;
      } else {
        EXPECT_EQ(HeaderOf(againHead, "Content-Length"), HeaderOf(head, "Content-Length"));
        EXPECT_TRUE(againBody == body) << againBody.size() << " of " << body.size() << " bytes sent again";
      }
      std::string expected = c.raw;
      if (c.partHeader != none) {
        const std::string type = HeaderOf(head, "Content-Type");
        ASSERT_EQ(type.rfind("multipart/form-data; boundary=", 0), 0u) << head;
        const std::string b = type.substr(std::string("multipart/form-data; boundary=").size());
        ASSERT_EQ(b.size(), 6u);
        expected.clear();
        if (c.fields) {
          expected += "--" + b + "\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n";
          expected += "--" + b + "\r\nContent-Disposition: form-data; name=\"b\"\r\n\r\n2\r\n";
        }
        if (!c.partHeader.empty()) expected += "--" + b + "\r\n" + c.partHeader;
        expected += c.raw + "\r\n--" + b + "--\r\n\r\n";
      }
      EXPECT_EQ(HeaderOf(head, "Content-Length"), std::to_string(expected.size()));
      EXPECT_TRUE(body == expected) << body.size() << " bytes: " << body.substr(0, 300);
      EXPECT_EQ(host.Body(), "stored");
      if (c.partHeader != none || stale || moved) continue;
      // The course of a plain upload: start with the body length, forced last progress.
      const std::vector<std::string> course = {"OnConnecting", "OnConnected", "OnDownloadStart", "OnDownloadComplete"};
      EXPECT_EQ(host.Course(), course);
      std::vector<zntest::HostEvent> ev = host.rec().Events();
      for (const auto& e : ev) {
        if (e.name == "OnDownloadStart") {
          EXPECT_EQ(e.a, c.startPresent);
          EXPECT_EQ(e.b, c.startTotal);
        }
      }
      ASSERT_GE(ev.size(), 2u);
      EXPECT_EQ(ev[ev.size() - 2].name, "OnProgress");
      EXPECT_EQ(ev[ev.size() - 2].a, ev[ev.size() - 2].b);  // done == total
    }
  }
  ScriptedServer server({stored});
  Host host;
  LogCapture log;
  ASSERT_TRUE(host->Upload(U16(server.Url("/up")), path16, uint64_t(200001)));
  EXPECT_EQ(host.WaitComplete(), 10);
  EXPECT_EQ(server.Accepted(), 0u);
  EXPECT_TRUE(log.Has("Error DataReader Offset[200001] > Length[200000]"));
}

TEST(CHttpClientSendRecvTest, PreparedExchangeGoesOutUnchanged) {
  const std::string head = "POST /raw HTTP/1.1\r\nHost: prepared\r\nContent-Length: 5\r\nX-Mine: 1\r\n\r\n";
  // A prepared exchange names no host for the kept connection, so the next
  // request connects anew.
  ScriptedServer server(
      {ServerScript().ReadRequest().Send(Ok("raw answer")), ServerScript().ReadRequest().Send(Ok("built"))});
  ASSERT_TRUE(server.ok());
  Host host;
  ASSERT_TRUE(host->Post("127.0.0.1", server.port(), U8(head), U8("hello")));
  ASSERT_EQ(host.WaitComplete(), 0);
  ASSERT_TRUE(server.WaitRequests(1, kWait));
  EXPECT_EQ(server.Request(0), head + "hello");
  EXPECT_EQ(host.Body(), "raw answer");
  // The next ordinary request builds its own head again.
  ASSERT_TRUE(host->Download(U16(server.Url("/built")), nullptr));
  ASSERT_EQ(host.WaitComplete(2), 0);
  ASSERT_TRUE(server.WaitRequests(2, kWait));
  EXPECT_EQ(server.Request(1).rfind("GET /built HTTP/1.1\r\n", 0), 0u) << server.Request(1);
}

// The trailer of a chunked answer is appended to the stored head at completion.
TEST(CHttpClientSendRecvTest, ChunkedAnswerWithTrailer) {
  const std::string body = Pattern(3000, 5);
  ScriptedServer server({ServerScript().ReadRequest().Send(
      "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTrailer: X-Sum\r\n\r\n3e8\r\n" + body.substr(0, 1000) +
      "\r\n7D0;ext=1\r\n" + body.substr(1000) + "\r\n0\r\nX-Sum: 77\r\n\r\n")});
  ASSERT_TRUE(server.ok());
  Host host;
  ASSERT_TRUE(host->Download(U16(server.Url("/chunked")), nullptr));
  ASSERT_EQ(host.WaitComplete(), 0);
  EXPECT_TRUE(host.Body() == body);
  zn::strutf8 sum;
  EXPECT_TRUE(host->QueryInfo(zn::strutf8("X-Sum"), sum, true));
  EXPECT_STREQ(sum.c_str(), "77");
}

// Every connection reads the request and answers (or not), then stays silent
// or closes: a silence costs the receive time-out and a retry.
TEST(CHttpClientSendRecvTest, SilenceOrCloseAfterAnAnswerWithoutLength) {
  const std::vector<std::pair<std::string, int>> timedOut = {{"Data Receive Time Out [300]s!", 3},
                                                             {"RetryConnect URL[", 2},
                                                             {"m_oRequestInfo.m_nRetryTimes[3] <= [3],FAIL", 1}};
  const struct {
    const char* name;
    std::string answer;
    bool close;  // the server closes instead of staying silent
    int64_t code;
    size_t connections;
    std::vector<std::pair<std::string, int>> logs;  // line and how often
  } cases[] = {
      {"no answer", "", false, 5, 3, timedOut},
      {"200 then silence", "200 OK", false, 0, 1, {}},
      {"200 then close", "200 OK", true, 0, 1, {}},
      {"500 then silence", "500 Internal Server Error", false, 5, 3, {}},
      {"500 then close", "500 Internal Server Error", true, 3, 1, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ServerScript script;
    script.ReadRequest().Send(c.answer.empty() ? "" : "HTTP/1.1 " + c.answer + "\r\n\r\nno length");
    c.close ? script.Close() : script.Stall();
    ScriptedServer server(std::vector<ServerScript>(3, script));
    ASSERT_TRUE(server.ok());
    LogCapture log;
    Host host;
    host->SetTimeout(2000, 300, 3);
    ASSERT_TRUE(host->Download(U16(server.Url("/nolength")), nullptr));
    EXPECT_EQ(host.WaitComplete(), c.code);
    EXPECT_EQ(server.Accepted(), c.connections);
    if (c.code == 0) {
      EXPECT_EQ(host.Body(), "no length");
    }
    for (const auto& l : c.logs) EXPECT_EQ(log.Count(l.first), l.second) << l.first;
  }
}

// A Stop ends the transfer silently and the client takes the next one; a
// deleted client reports nothing either and frees its stream, also over TLS
// and before any answer. A file target keeps every byte received either way.
// The client's verification setting outlives its worker: a step the worker
// still runs while the client is deleted connects as the host asked.
TEST(CHttpClientSendRecvTest, StopOrDeleteInTheMiddleOfATransfer) {
  const struct {
    const char* name;
    bool tls;
    bool waitForBody;  // act once the body arrived, else right after the call
    bool stop;         // Stop, else delete the client
    bool toFile;       // a file target, else a host stream
    bool verify = false;  // verification on; callbacks in place on the worker
  } cases[] = {{"stop in the body", false, true, true, true},
               {"delete, plain, early", false, false, false, false},
               {"delete, plain, in the body", false, true, false, true},
               {"delete, tls, early", true, false, false, false},
               {"delete, tls, in the body", true, true, false, false},
               {"delete while the worker runs, verified", false, false, false, false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    zntest::ScriptedServerOptions options;
    if (c.tls) options.tlsCert = zntest::TestCert::Make("/CN=127.0.0.1");
    const std::string partial = zntest::Head("200 OK", {"Content-Length: 100000"}) + Pattern(1000, 2);
    ScriptedServer server(
        {ServerScript().ReadRequest().Send(partial).Stall(), ServerScript().ReadRequest().Send(Ok("after stop"))},
        options);
    ASSERT_TRUE(server.ok());
    Host host(0xFF, !c.verify);
    zntest::ScratchDir dir;
    zntest::StreamRecord stream;
    zntest::Waiter inCallback;
    bool called = false;  // guarded by inCallback
    int verifiedAtStop = -1;  // written once inside the first callback on the worker
    if (c.verify) {
      ASSERT_TRUE(zn_httpclient_set_tls_verify(host.get(), true, nullptr));
      // Progress comes from a socket event, which the client's deletion does not wait for.
      host.rec().SetHook([&, client = host.get()](const zntest::HostEvent& e) {
        if (e.name != "OnProgress" || verifiedAtStop != -1) return;
        verifiedAtStop = 0;
        inCallback.Update([&] { called = true; });
        // The client is being deleted now: wait for its worker task to stop.
        CZNTaskBase* worker = CZNTaskBase::Current();
        for (auto end = std::chrono::steady_clock::now() + kWait;
             worker->IsStarted() && std::chrono::steady_clock::now() < end;) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        zn::strutf8 caPath;
        verifiedAtStop = !worker->IsStarted() && zn_tlsverify_get(client, caPath) ? 1 : 2;
      });
    }
    if (c.toFile) {
      ASSERT_TRUE(host->Download(U8(server.Url("/x")), U8(dir.File("x")), nullptr, false));
    } else {
      ASSERT_TRUE(host->DownloadToStream(U16(server.Url("/x")), new zntest::RecordingStream(&stream), 0));
    }
    if (c.waitForBody) {
      ASSERT_TRUE(host.rec().WaitUntil([](const std::vector<zntest::HostEvent>& ev) {
        for (const auto& e : ev)
          if (e.name == "OnProgress" && e.a == 1000) return true;
        return false;
      }));
    }
    if (c.stop) {
      host->Stop();
      EXPECT_FALSE(host->IsRunning());
      ASSERT_TRUE(host->Download(U16(server.Url("/next")), nullptr));
      ASSERT_EQ(host.WaitComplete(), 0);
      EXPECT_EQ(host.Body(), "after stop");
      EXPECT_EQ(host.rec().Count("OnDownloadComplete"), 1u);
    } else {
      const void* client = host.get();
      if (c.verify) {
        ASSERT_TRUE(inCallback.WaitFor([&] { return called; }));
      }
      host.Reset();
      ASSERT_TRUE(host.Drain());
      EXPECT_EQ(host.rec().Count("OnDownloadComplete"), 0u);
      EXPECT_EQ(stream.deleted.load(), c.toFile ? 0 : 1);
      zn::strutf8 caPath;
      EXPECT_FALSE(zn_tlsverify_get(client, caPath));
      if (c.verify) {
        EXPECT_EQ(verifiedAtStop, 1);
      }
    }
    // The writer's cache went to the file before it closed.
    if (c.toFile) {
      EXPECT_EQ(zntest::ReadWholeFile(dir.File("x")), Pattern(1000, 2));
    }
  }
}

// A body cut after 2000 of 7000 bytes into a host stream (or memory): the
// retry asks for the rest with Range, and a server that starts again from
// byte 0 has the bytes the stream already holds dropped, so the stream gets
// each byte once. An answer shorter than what the stream holds ends with 2.
TEST(CHttpClientSendRecvTest, StreamTargetAfterACutGetsEachByteOnce) {
  const std::string res = Pattern(7000, 9);
  auto whole = [](const std::string& body) { return Ok(body); };
  auto chunked = [](const std::string& body) {
    char size[16];
    snprintf(size, sizeof(size), "%zx\r\n", body.size());
    return zntest::Head("200 OK", {"Transfer-Encoding: chunked"}) + size + body + "\r\n0\r\n\r\n";
  };
  auto from = [&](size_t at) {
    return zntest::Head("206 Partial", {"Content-Range: bytes " + std::to_string(at) + "-6999/7000",
                                        "Content-Length: " + std::to_string(7000 - at)}) + res.substr(at);
  };
  auto once = [](const std::string& answer) { return ServerScript().ReadRequest().Send(answer); };
  const ServerScript cut = ServerScript().ReadRequest().Send(Ok(res).substr(0, Ok(res).size() - 5000)).Close();
  const struct {
    const char* name;
    std::vector<ServerScript> scripts;
    int64_t code;
    std::string stream;  // what the stream holds at the end
    bool memoryToo;      // the same holds for a memory target
  } cases[] = {
      {"206 with the rest", {cut, once(from(2000))}, 0, res, true},
      {"200 with a length", {cut, once(whole(res))}, 0, res, true},
      {"200 chunked", {cut, once(chunked(res))}, 0, res, true},
      {"200 ended by close", {cut, once(zntest::Head("200 OK") + res).Close()}, 0, res, true},
      {"200 cut again, then 206", {cut, once(whole(res).substr(0, whole(res).size() - 6000)).Close(), once(from(1000))},
       0, res, true},
      {"416, then a whole as long as the stream", {cut, once(zntest::Head("416 No", {"Content-Length: 0"})),
       once(whole(res.substr(0, 2000)))}, 0, res.substr(0, 2000), false},
      {"200 shorter, with a length", {cut, once(whole(res.substr(0, 1500)))}, 2, res.substr(0, 2000), false},
      {"200 shorter, chunked", {cut, once(chunked(res.substr(0, 1500)))}, 2, res.substr(0, 2000), false},
  };
  for (const auto& c : cases) {
    for (bool memory : {false, true}) {
      if (memory && !c.memoryToo) continue;
      SCOPED_TRACE(c.name + std::string(memory ? ", memory" : ", stream"));
      ScriptedServer server(c.scripts);
      ASSERT_TRUE(server.ok());
      Host host;
      zntest::StreamRecord stream(true);
      ASSERT_TRUE(memory ? host->Download(U16(server.Url("/r")), nullptr)
                         : host->DownloadToStream(U16(server.Url("/r")), new zntest::RecordingStream(&stream), 0));
      EXPECT_EQ(host.WaitComplete(), c.code);
      EXPECT_TRUE((memory ? host.Body() : stream.kept) == c.stream) << stream.kept.size() << " bytes";
      EXPECT_EQ(server.RequestCount(), c.scripts.size());
      EXPECT_EQ(HeaderOf(server.Request(1), "Range"), "bytes=2000-");
    }
  }
}

// Endings that real TLS servers produce: close_notify with TCP left open ends
// the stream as a close does, a corrupted record breaks the connection (the
// retry resumes with Range), and an attempt that fails the name check closes
// its connection at once, so a server that serves one connection at a time
// takes the next attempt without waiting out the handshake time-out.
TEST(CHttpClientSendRecvTest, TlsEndingsAndFailedAttemptsEndInBoundedTime) {
  const std::string cut = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nhello";
  const ServerScript resumed = ServerScript().ReadRequest().Send(
      "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 5-9/10\r\nContent-Length: 5\r\n\r\nworld");
  // An application-data record header promising 32 bytes that decrypt to nothing.
  const std::string badRecord = std::string("\x17\x03\x03\x00\x20", 5) + std::string(32, 'Z');
  const struct {
    const char* name;
    const char* subject;
    std::vector<ServerScript> scripts;  // the last one also serves every further connection
    bool oneAtATime;
    int64_t code;
    size_t connections;
    std::string body;
    std::string secondRange;  // Range of the second request
  } cases[] = {
      {"close_notify ends a body without length",
       "/CN=127.0.0.1",
       {ServerScript().ReadRequest().Send("HTTP/1.1 200 OK\r\n\r\nno length").CloseNotify().Stall()},
       false,
       0,
       1,
       "no length",
       ""},
      {"close_notify cuts a body with a length",
       "/CN=127.0.0.1",
       {ServerScript().ReadRequest().Send(cut).CloseNotify().Stall(), resumed},
       false,
       0,
       2,
       "helloworld",
       "bytes=5-"},
      {"corrupted record",
       "/CN=127.0.0.1",
       {ServerScript().ReadRequest().Send(cut).SendRaw(badRecord).Stall(), resumed},
       false,
       0,
       2,
       "helloworld",
       "bytes=5-"},
      {"wrong name, one connection at a time",
       "/CN=other.test",
       {ServerScript().WaitPeerClose(10000)},
       true,
       5,
       3,
       "",
       ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    zntest::ScriptedServerOptions options;
    options.tlsCert = zntest::TestCert::Make(c.subject);
    options.defaultScript = std::make_shared<ServerScript>(c.scripts.back());
    options.oneAtATime = c.oneAtATime;
    ScriptedServer server(c.scripts, options);
    ASSERT_TRUE(server.ok());
    zntest::ScratchDir dir;
    Host host;
    host->SetTimeout(2000, 20000, 3);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(host->Download(U8(server.Url("/t")), U8(""), U8(dir.File("t")), nullptr, false));
    EXPECT_EQ(host.WaitComplete(1, std::chrono::seconds(30)), c.code);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(server.Accepted(), c.connections);
    EXPECT_EQ(zntest::ReadWholeFile(dir.File("t")), c.body);
    if (!c.secondRange.empty()) {
      ASSERT_TRUE(server.WaitRequests(2, kWait));
      EXPECT_EQ(HeaderOf(server.Request(1), "Range"), c.secondRange);
    }
  }
}

// The body of a file upload is the file as it was when the upload started:
// bytes appended meanwhile are never sent, and a file cut short ends the
// request with 2 instead of leaving the server waiting. The server reads
// slowly, so the client comes back to the file after it changed.
TEST(CHttpClientSendRecvTest, UploadSourceThatChangesSize) {
  // Not a multiple of the reader's window, so the last window is a short one.
  const size_t size = (32u << 20) + 12345;
  const std::string original = Pattern(size, 5);
  for (bool grow : {true, false}) {
    SCOPED_TRACE(grow ? "grows" : "shrinks");
    zntest::ScratchDir dir;
    const std::string source = dir.File("source");
    ASSERT_TRUE(zntest::WriteWholeFile(source, original));
    ScriptedServer server({ServerScript().Delay(300).ReadRequest().ReadFor(300).Send(Ok("got"))});
    ASSERT_TRUE(server.ok());
    LogCapture log(1);
    Host host;
    host.rec().SetHook([&](const zntest::HostEvent& e) {
      if (e.name != "OnDownloadStart") return;
      if (grow) {
        std::ofstream(source, std::ios::binary | std::ios::app) << std::string(3u << 20, 'G');
      } else {
        std::filesystem::resize_file(source, 1u << 20);
      }
    });
    ASSERT_TRUE(host->Upload(U16(server.Url("/up")), U16(source)));
    EXPECT_EQ(host.WaitComplete(1, std::chrono::seconds(30)), grow ? 0 : 2);
    if (grow) {
      ASSERT_TRUE(server.WaitRequests(1, kWait));
      std::string head, body;
      zntest::SplitRequest(server.Request(0), &head, &body);
      EXPECT_EQ(HeaderOf(head, "Content-Length"), std::to_string(size));
      EXPECT_TRUE(body == original) << "received " << body.size() << " body bytes";
    } else {
      EXPECT_TRUE(log.Has("Read File Fail at [", "Http.DataReader"));
    }
  }
}

// Each certificate against the default check (the common name only, no
// server name sent) and against verification with a test authority as the
// trust anchor (chain, subjectAltName, expiry, server name indication). After
// a redirect from 127.0.0.1 (whose name the same certificate fits) the new
// host's name is the one checked, whatever name was given for the first.
TEST(CHttpClientSendRecvTest, CertificateNameDecidesTheTlsConnection) {
  using zntest::CertOptions;
  using zntest::TestCert;
  const TestCert ca = TestCert::Make("/O=Test/CN=Test Authority", {"", nullptr, true});
  ASSERT_TRUE(ca.valid());
  zntest::ScratchDir dir;
  const std::string caFile = dir.File("ca.pem");
  ASSERT_TRUE(ca.WriteCertFile(caFile));
  const TestCert altOnly = TestCert::Make("/O=Test", {"DNS:localhost", &ca});
  const TestCert wrongName = TestCert::Make("/CN=other.test", {"DNS:other.test", &ca});
  const TestCert selfSigned = TestCert::Make("/CN=localhost");
  const TestCert expired = TestCert::Make("/CN=localhost", {"DNS:localhost", &ca, false, true});
  const TestCert ipAlt = TestCert::Make("/O=Test", {"IP:127.0.0.1", &ca});
  struct Case {
    const char* name;
    const TestCert* cert;
    const char* host;     // of the URL
    const char* sslName;  // "" checks the URL's host
    bool verify;
    int64_t code;
    const char* log;     // a level-1 line of the TLS processor, when set
    bool withCa = true;  // verification trusts the test authority, else the system's store
    bool redirected = false;  // reached by a redirect from https://127.0.0.1
    bool caGone = false;      // the CA file is removed first
  };
  const TestCert cn = TestCert::Make("/CN=127.0.0.1");
  const TestCert otherCn = TestCert::Make("/O=x/CN=other.test");
  const Case cases[] = {
      {"common name", &cn, "127.0.0.1", "", false, 0, nullptr},
      {"other common name", &otherCn, "127.0.0.1", "", false, 5, "SSL verify failed, cname=other.test"},
      {"other common name, named", &otherCn, "127.0.0.1", "other.test", false, 0, nullptr},
      {"subjectAltName only, unverified", &altOnly, "localhost", "", false, 5, nullptr},
      {"subjectAltName only, verified", &altOnly, "localhost", "", true, 0, nullptr},
      {"wrong name, unverified", &wrongName, "localhost", "", false, 5, "cname=other.test, strSSLName=localhost"},
      {"wrong name, verified", &wrongName, "localhost", "", true, 5, "hostname mismatch, name=localhost"},
      {"self-signed, unverified", &selfSigned, "localhost", "", false, 0, nullptr},
      {"self-signed, verified", &selfSigned, "localhost", "", true, 5, "self-signed certificate, name=localhost"},
      {"expired, unverified", &expired, "localhost", "", false, 0, nullptr},
      {"expired, verified", &expired, "localhost", "", true, 5, "certificate has expired, name=localhost"},
      {"address entry, verified", &ipAlt, "127.0.0.1", "", true, 0, nullptr},
      {"the system's store knows no test authority", &altOnly, "localhost", "", true, 5,
       "unable to get local issuer certificate", false},
      {"redirected to another host", &cn, "localhost", "", false, 5, "cname=127.0.0.1, strSSLName=localhost", true,
       true},
      {"redirected away from the named host", &otherCn, "localhost", "other.test", false, 5,
       "cname=other.test, strSSLName=localhost", true, true},
      // A trust store is read once per source and shared: the anchors stay.
      {"CA file read once, gone since", &altOnly, "localhost", "", true, 0, nullptr, true, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(c.cert->valid());
    if (c.caGone) {
      ASSERT_EQ(std::remove(caFile.c_str()), 0);
    }
    zntest::ScriptedServerOptions options;
    options.tlsCert = *c.cert;
    options.defaultScript = std::make_shared<ServerScript>(ServerScript().ReadRequest().Send(Ok("tls")));
    ScriptedServer server({}, options);
    ASSERT_TRUE(server.ok());
    LogCapture log(1);
    Host host;
    if (c.verify) {
      ASSERT_TRUE(zn_httpclient_set_tls_verify(host.get(), true, c.withCa ? caFile.c_str() : nullptr));
    }
    const std::string url = "https://" + std::string(c.host) + ":" + std::to_string(server.port()) + "/tls";
    options.defaultScript = nullptr;
    ScriptedServer front({ServerScript().ReadRequest().Send(zntest::Head("302 Found", {"Location: " + url}))},
                         options);
    ASSERT_TRUE(front.ok());
    const std::string start = c.redirected ? front.Url("/start") : url;
    ASSERT_TRUE(host->Download(U8(start), U8(c.sslName), U8(dir.File("tls")), nullptr, false));
    EXPECT_EQ(host.WaitComplete(), c.code);
    if (c.code == 0) {
      EXPECT_EQ(zntest::ReadWholeFile(dir.File("tls")), "tls");
    }
    if (c.log) {
      EXPECT_TRUE(log.Has(c.log, "CZNSslProcessor")) << log.Dump();
    }
    // The server name goes out only when verifying, and never for an address.
    const bool sni = c.verify && std::string(c.host) == "localhost";
    EXPECT_EQ(server.ServerName(0), sni ? "localhost" : "");
  }
}

// The source address the server sees: ::1 for an IPv6 literal URL, and the
// bind address when one is set. The Host line keeps the literal's brackets.
TEST(CHttpClientSendRecvTest, PeerAddressOfIpv6AndBoundConnections) {
  const struct {
    const char* server;  // its address
    const char* bind;
    const char* peer;
    const char* host;  // of the Host line, before the port
  } cases[] = {{"::1", "", "::1", "[::1]"}, {"127.0.0.1", "127.0.0.2", "127.0.0.2", "127.0.0.1"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.peer);
    zntest::ScriptedServerOptions options;
    options.address = c.server;
    ScriptedServer server({ServerScript().ReadRequest().Send(Ok("peer"))}, options);
    ASSERT_TRUE(server.ok());
    Host host;
    if (*c.bind) host->SetBindAddress(zn::strutf8(c.bind), 0);
    ASSERT_TRUE(host->Download(U16(server.Url("/peer")), nullptr));
    ASSERT_EQ(host.WaitComplete(), 0);
    EXPECT_EQ(host.Body(), "peer");
    EXPECT_EQ(server.PeerAddress(0), c.peer);
    ASSERT_TRUE(server.WaitRequests(1, kWait));
    EXPECT_EQ(HeaderOf(server.Request(0), "Host"), c.host + (":" + std::to_string(server.port())));
  }
}

// The proxy comes from znnet_setproxy or from the system's own setting (the
// environment, or Internet Explorer's setting on Windows), whose bypass list
// sends the listed targets, by host name or address, straight to the server,
// and whose per-scheme list (Windows) gives each scheme its own proxy or none.
// A proxy that refuses the tunnel (tinyproxy's 403 for a port it does not
// allow, a 407) ends the request with 3, and nothing goes to the server around it.
TEST(CHttpClientSendRecvTest, SystemProxyForwardsOrFallsBackToDirect) {
  const struct {
    const char* name;
    const char* system;  // the system's proxy list, {p} the proxy, {d} a dead port; null: znnet_setproxy
    const char* bypass;
    bool direct;
    const char* host = "127.0.0.1";  // of the URL
    bool tls = false;
    int refusal = 0;  // the proxy's answer to CONNECT, 0 for a tunnel
  } cases[] = {{"znnet_setproxy", nullptr, nullptr, false},
               {"system setting", "127.0.0.1:{p}", nullptr, false},
               {"system setting, bypassed", "127.0.0.1:{p}", "example.invalid;127.0.0.1", true},
               {"wildcards that miss", "127.0.0.1:{p}", "128.*;*.localhost;<local>", false},
               {"wildcard", "127.0.0.1:{p}", "example.invalid;127.*", true},
               {"name, any case, blank-separated", "127.0.0.1:{p}", "example.invalid LOCALhost", true, "localhost"},
               {"<local>", "127.0.0.1:{p}", "<local>", true, "localhost"},
               {"http= of a per-scheme list", "http=127.0.0.1:{p};https=127.0.0.1:{d}", nullptr, false},
               {"https= alone: http goes direct", "https=127.0.0.1:{p}", nullptr, true},
               {"https= of a per-scheme list", "http=127.0.0.1:{d};https=127.0.0.1:{p}", nullptr, false, "127.0.0.1",
                true},
               {"port not allowed", nullptr, nullptr, false, "127.0.0.1", false, 403},
               {"credentials required", "127.0.0.1:{p}", nullptr, false, "127.0.0.1", false, 407}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    zntest::ScriptedServerOptions options;
    if (c.tls) options.tlsCert = zntest::TestCert::Make("/CN=127.0.0.1");
    ScriptedServer server({ServerScript().ReadRequest().Send(Ok("via proxy"))}, options);
    ASSERT_TRUE(server.ok());
    zntest::TinyProxy proxy({c.refusal == 403 ? zntest::FreeLoopbackPort() : server.port()});
    ASSERT_TRUE(proxy.ok()) << proxy.Log();
    ScriptedServer asking({ServerScript().ReadHead().Send(zntest::Head("407 Proxy Authentication Required"))});
    const uint16_t proxyPort = c.refusal == 407 ? asking.port() : proxy.port();
    if (c.system) {
      std::string list = c.system;
      const std::pair<const char*, uint16_t> ports[] = {{"{p}", proxyPort}, {"{d}", zntest::FreeLoopbackPort()}};
      for (const auto& [key, port] : ports) {
        if (list.find(key) != std::string::npos) list.replace(list.find(key), 3, std::to_string(port));
      }
      // The environment names one proxy for every scheme: no per-scheme list there.
      if (!zntest::SetSystemProxy(list.c_str(), c.bypass)) {
        ASSERT_NE(list.find('='), std::string::npos);
        continue;
      }
      znnet_resetproxy();
    } else {
      znnet_setproxy("127.0.0.1", proxyPort);
    }
    LogCapture log(1);
    Host host;
    host->SetUseIEProxy(true);
    const std::string url = server.Url("/proxied");
    ASSERT_TRUE(host->Download(U16(url.substr(0, url.find("127.0.0.1")) + c.host + url.substr(url.rfind(':'))),
                               nullptr));
    EXPECT_EQ(host.WaitComplete(), c.refusal ? 3 : 0);
    EXPECT_EQ(server.Accepted(), c.refusal ? 0u : 1u);
    if (c.refusal) {
      EXPECT_TRUE(log.Has("Proxy refused [127.0.0.1] status[" + std::to_string(c.refusal) + "]"));
    } else {
      EXPECT_EQ(host.Body(), "via proxy");
      // Through tinyproxy, or straight to the server when bypassed.
      EXPECT_EQ(proxy.Log().find("127.0.0.1:" + std::to_string(server.port())) == std::string::npos, c.direct)
          << proxy.Log();
    }
    zntest::SetSystemProxy(nullptr, nullptr);
    znnet_resetproxy();
  }
  // Nothing reachable, proxy refused: proxied and direct attempts alternate,
  // and only the proxied failures are followed by an uncounted direct one.
  const uint16_t closedProxy = zntest::FreeLoopbackPort();
  const uint16_t closedTarget = zntest::FreeLoopbackPort();
  znnet_setproxy("127.0.0.1", closedProxy);
  {
    LogCapture log;
    Host host;
    host->SetUseIEProxy(true);
    ASSERT_TRUE(host->Download(U16("http://127.0.0.1:" + std::to_string(closedTarget) + "/"), nullptr));
    EXPECT_EQ(host.WaitComplete(), 5);
    EXPECT_EQ(log.Count("RetryConnect had used proxy, try no proxy"), 3);
    EXPECT_EQ(log.Count("Connect Fail ["), 6);
  }
  znnet_setproxy("", 0);
}

}  // namespace

namespace {

enum class Target { kMemory, kFile, kPost };  // a GET to memory or to a file, or a POST of 5000 bytes

// The method and the announced body length of each request the server saw.
std::vector<std::string> Requests(const ScriptedServer& server) {
  std::vector<std::string> out;
  for (size_t k = 0; k < server.RequestCount(); ++k) {
    const std::string req = server.Request(k);
    const std::string length = HeaderOf(req, "Content-Length");
    out.push_back(req.substr(0, req.find(' ')) + " " + (length.empty() ? "0" : length));
  }
  return out;
}

}  // namespace

// One transfer per row against scripted answers: a request that is not a GET
// goes again only when a kept connection was closed before any answer; an
// answer the client cannot trust ends with 2 and leaves the target as it
// was; success statuses, interim answers and redirects of every kind. With
// GBK heads, a head that is not GBK is read as it came, and a caller line GBK
// cannot hold ends the request with 10 before anything is sent.
TEST(CHttpClientSendRecvTest, ScriptedAnswersDecideCodeTargetAndResends) {
  const std::string post(5000, 'p');
  const std::string big = Pattern(3000, 9);
  const std::string cut = zntest::Head("200 OK", {"Content-Length: 3000"}) + big.substr(0, 2000);
  const std::string noLength = "HTTP/1.1 200 OK\r\n\r\nno length";
  const std::string badRecord = std::string("\x17\x03\x03\x00\x20", 5) + std::string(32, 'Z');
  auto answer = [](const std::string& bytes) { return ServerScript().ReadRequest().Send(bytes); };
  auto redirect = [&](const char* status) { return answer(zntest::Head(status, {"Location: /b", "Content-Length: 0"})); };
  const ServerScript okBig = answer(Ok(big));
  const ServerScript r416 = answer(zntest::Head("416 Range Not Satisfiable", {"Content-Length: 0"}));
  const struct {
    const char* name;
    std::vector<ServerScript> scripts;  // the first serves a warm-up GET first when warm
    Target target;
    bool warm;            // a GET over the same connection before, so the transfer runs on a kept one
    std::string prefill;  // the file's bytes before a resumed download
    int64_t code;
    std::string bytes;  // the target afterwards
    uint32_t status;
    std::vector<std::string> requests;  // method and body length, warm-up not counted
    bool tls = false;
    const char* gbkLine = nullptr;  // GBK heads on, with this caller line unless empty
  } cases[] = {
      {"POST answer cut", {answer(cut).Close(), okBig}, Target::kPost, false, "", 2, big.substr(0, 2000), 200,
       {"POST 5000"}},
      {"POST unanswered", {ServerScript().ReadRequest().Stall(), okBig}, Target::kPost, false, "", 2, "<none>", 0,
       {"POST 5000"}},
      {"POST on a kept connection closed before answering",
       {answer(Ok("w")).ReadRequest().Close(), answer(Ok("done"))}, Target::kPost, true, "", 0, "done", 200,
       {"POST 5000", "POST 5000"}},
      {"no length, closed, on a kept connection", {answer(Ok("w")).ReadRequest().Send(noLength).Close()},
       Target::kMemory, true, "", 0, "no length", 200, {"GET 0"}},
      {"POST, no length, closed, on a kept connection", {answer(Ok("w")).ReadRequest().Send(noLength).Close()},
       Target::kPost, true, "", 0, "no length", 200, {"POST 5000"}},
      {"206 from elsewhere", {answer(zntest::Head("206 Partial", {"Content-Range: bytes 0-19/20", "Content-Length: 20"}) +
                                     std::string(20, 'x'))},
       Target::kFile, false, "0123456789", 2, "0123456789", 206, {"GET 0"}},
      {"500 to a resumed file", {answer(zntest::Head("500 Oops", {"Content-Length: 4"}) + "oops")}, Target::kFile,
       false, "partial", 2, "partial", 500, {"GET 0"}},
      {"500 to memory", {answer(zntest::Head("500 Oops", {"Content-Length: 4"}) + "oops")}, Target::kMemory, false,
       "", 0, "oops", 500, {"GET 0"}},
      {"no length, then a reset", {answer(noLength).Delay(50).Reset()}, Target::kMemory, false, "", 2, "no length",
       200, {"GET 0"}},
      {"no length, then a broken TLS record", {answer(noLength).SendRaw(badRecord).Stall()}, Target::kMemory, false,
       "", 2, "no length", 200, {"GET 0"}, true},
      {"303 after POST", {redirect("303 See Other"), answer(Ok("seen"))}, Target::kPost, false, "", 0, "seen", 200,
       {"POST 5000", "GET 0"}},
      {"308 after POST", {redirect("308 Permanent Redirect"), answer(Ok("kept"))}, Target::kPost, false, "", 0, "kept",
       200, {"POST 5000", "POST 5000"}},
      {"201", {answer(zntest::Head("201 Created", {"Content-Length: 2"}) + "ok")}, Target::kPost, false, "", 0, "ok",
       201, {"POST 5000"}},
      {"204", {answer(zntest::Head("204 No Content"))}, Target::kMemory, false, "", 0, "<none>", 204,
       {"GET 0"}},
      {"100 Continue first", {answer(zntest::Head("100 Continue") + Ok("final"))}, Target::kPost, false, "", 0,
       "final", 200, {"POST 5000"}},
      {"416, redirect, 416", {r416, redirect("302 Found"), r416, answer(Ok("ok"))}, Target::kFile, false, "", 0, "ok",
       200, {"GET 0", "GET 0", "GET 0", "GET 0"}},
      {"GBK head holding UTF-8",
       {answer(zntest::Head("200 OK", {"X-Name: \xE6\x96\x87.txt", "Content-Length: 2"}) + "ok")}, Target::kMemory, false, "", 0, "ok", 200, {"GET 0"}, false, ""},
      {"GBK head, a line GBK cannot hold", {answer(Ok("no"))}, Target::kMemory, false, "", 10, "<none>", 0, {}, false,
       "X-K: \xED\x95\x9C"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (std::string(c.name) == "no length, then a reset" && !zntest::PeerResetIsSeen()) {
      std::printf("row '%s' skipped: a reset reads like an orderly close here\n", c.name);
      continue;
    }
    zntest::ScriptedServerOptions options;
    if (c.tls) options.tlsCert = zntest::TestCert::Make("/CN=127.0.0.1");
    ScriptedServer server(c.scripts, options);
    ASSERT_TRUE(server.ok());
    zntest::ScratchDir dir;
    const std::string file = dir.File("t");
    if (!c.prefill.empty()) {
      ASSERT_TRUE(zntest::WriteWholeFile(file, c.prefill));
    }
    LogCapture log(1);
    Host host;
    host->SetTimeout(2000, 500, 3);
    const std::string gbkLine = c.gbkLine ? c.gbkLine : "";
    host->SetGbkHead(c.gbkLine != nullptr);
    if (!gbkLine.empty()) {
      EXPECT_TRUE(host->AddHeaderLine(U16(gbkLine)));
    }
    size_t n = 1;
    if (c.warm) {
      ASSERT_TRUE(host->Download(U16(server.Url("/w")), nullptr));
      ASSERT_EQ(host.WaitComplete(n++), 0);
    }
    const std::string url = server.Url("/a");
    bool started = false;
    if (c.target == Target::kPost) {
      started = host->Upload(U8(url), post.data(), static_cast<uint32_t>(post.size()));
    } else if (c.target == Target::kFile) {
      started = host->Download(U8(url), U8(""), U8(file), nullptr, !c.prefill.empty());
    } else {
      started = host->Download(U16(url), nullptr);
    }
    ASSERT_TRUE(started);
    EXPECT_EQ(host.WaitComplete(n), c.code);
    EXPECT_EQ(c.target == Target::kFile ? zntest::ReadWholeFile(file) : host.Body(), c.bytes);
    EXPECT_EQ(host->GetStatusCode(), c.status);
    std::vector<std::string> seen = Requests(server);
    if (c.warm) seen.erase(seen.begin());
    EXPECT_EQ(seen, c.requests);
    if (!gbkLine.empty()) {
      EXPECT_TRUE(log.Has("] Error header [" + gbkLine.substr(0, gbkLine.find(':')) + "] has no GBK form"));
    }
  }
}

// Two downloads in a row on one client: a connection that held bytes beyond
// its answer, or whose answer said it ends, is not used for the second; one
// whose chunked answer ended late is, once the answer is read to its end.
TEST(CHttpClientSendRecvTest, KeptConnectionOnlyAfterAnAnswerReadToItsEnd) {
  const std::string chunked = zntest::Head("200 OK", {"Transfer-Encoding: chunked"}) + "3\r\none\r\n0\r\n";
  const struct {
    const char* name;
    ServerScript first;  // then it reads the second request and answers "bad"
    bool reused;
    bool tls = false;
    bool late = false;  // bytes follow the answer late: the client must have seen them first
  } cases[] = {
      {"more than the length", ServerScript().ReadRequest().Send(Ok("one") + "EVIL!"), false},
      {"more than the length, TLS", ServerScript().ReadRequest().Send(Ok("one") + "EVIL!"), false, true},
      {"late bytes", ServerScript().ReadRequest().Send(Ok("one")).Delay(100).Send("EVIL!"), false, false, true},
      {"late bytes, TLS", ServerScript().ReadRequest().Send(Ok("one")).Delay(100).Send("EVIL!"), false, true, true},
      {"chunked, last CRLF late", ServerScript().ReadRequest().Send(chunked).Delay(100).Send("\r\n"), true},
      {"HTTP/1.0", ServerScript().ReadRequest().Send("HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\none"), false},
      {"HTTP/1.0 keep-alive",
       ServerScript().ReadRequest().Send("HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 3\r\n\r\none"),
       true},
      {"Connection: close", ServerScript().ReadRequest().Send(zntest::Head("200 OK", {"Connection: close",
                                                                                    "Content-Length: 3"}) + "one"),
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    zntest::ScriptedServerOptions options;
    if (c.tls) options.tlsCert = zntest::TestCert::Make("/CN=127.0.0.1");
    ServerScript first = c.first;
    first.ReadRequest().Send(Ok("bad"));
    ScriptedServer server({first, ServerScript().ReadRequest().Send(Ok("two"))}, options);
    ASSERT_TRUE(server.ok());
    LogCapture log;
    Host host;
    ASSERT_TRUE(host->Download(U16(server.Url("/1")), nullptr));
    ASSERT_EQ(host.WaitComplete(1), 0);
    EXPECT_EQ(host.Body(), "one");
    const auto deadline = std::chrono::steady_clock::now() + kWait;
    while (c.late && !log.Has("bytes behind a complete answer") && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(host->Download(U16(server.Url("/2")), nullptr));
    EXPECT_EQ(host.WaitComplete(2), 0);
    EXPECT_EQ(host.Body(), c.reused ? "bad" : "two");
    EXPECT_EQ(server.Accepted(), c.reused ? 1u : 2u);
  }
}
