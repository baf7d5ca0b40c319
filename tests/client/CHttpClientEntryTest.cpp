// The transfer entry points: every refusal with its log text, the refusals
// of a busy client (which leave the running transfer alone), and the request
// step's early endings before any connection.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "ClientTestUtil.h"
#include "support/ScriptedServer.h"

namespace {

using zntest::Host;
using zntest::LogCapture;
using zntest::ScriptedServer;
using zntest::ServerScript;
using zntest::U16;
using zntest::U8;

TEST(CHttpClientEntryTest, BadArgumentsAreRefusedWithTheirLogLines) {
  zn::hostlist none;
  zn::hostlist hosts;
  hosts.push_back(zn::strutf8("127.0.0.1"));
  const std::basic_string<znwchar_t> name = ZN_WTEXT("f");
  zntest::StreamRecord stream;
  const struct {
    const char* name;
    std::function<bool(zn::IHttpClientEx*)> call;
    const char* log;  // the line's text behind "Id[n]", or "" when none is written
  } cases[] = {
      {"list download, no hosts",
       [&](auto c) { return c->Download(U16("/p"), U16("80"), none, U16("f"), nullptr, false); },
       "] Download:strHost is empty"},
      {"list download, no file",
       [&](auto c) { return c->Download(U16("/p"), U16("80"), hosts, U16(""), nullptr, false); },
       "] Download:strFileName is empty"},
      {"download16, no file", [&](auto c) { return c->Download(U16("http://127.0.0.1/"), U16(""), nullptr, false); },
       "] Error Download,Param Error"},
      {"download16, no url", [&](auto c) { return c->Download(U16(""), U16("f"), nullptr, false); },
       "] Error Download,Param Error"},
      {"download8, no file", [&](auto c) { return c->Download(U8("http://127.0.0.1/"), U8(""), nullptr, false); },
       "] Error Download,Param Error"},
      {"download with certificate name, no url",
       [&](auto c) { return c->Download(U8(""), U8("n"), U8("f"), nullptr, false); }, "] Error Download,Param Error"},
      {"memory download, no url", [&](auto c) { return c->Download(U16(""), nullptr); }, ""},
      {"stream download, no stream", [&](auto c) { return c->DownloadToStream(U16("http://127.0.0.1/"), nullptr, 0); },
       "] Error DownloadToStream,Param Error"},
      {"stream download, no url",
       [&](auto c) { return c->DownloadToStream(U16(""), new zntest::RecordingStream(&stream), 0); },
       "] Error DownloadToStream,Param Error"},
      {"list request, no hosts",
       [&](auto c) { return c->HttpRequestToBuffer(U16("/"), U16("80"), none, 0, nullptr, 0); },
       "]  HttpRequestToBuffer:strHost is empty"},
      {"list request, method 2",
       [&](auto c) { return c->HttpRequestToBuffer(U16("/"), U16("80"), hosts, 2, nullptr, 0); },
       "]  HttpRequestToBuffer:nMethod[2] should be HTTPMETHOD_GET[0] or HTTPMETHOD_POST[1]"},
      {"request, no url", [&](auto c) { return c->HttpRequestToBuffer(U16(""), 0, nullptr, 0); }, ""},
      {"request, method 2", [&](auto c) { return c->HttpRequestToBuffer(U16("http://127.0.0.1/"), 2, nullptr, 0); },
       ""},
      {"upload16, length 0", [&](auto c) { return c->Upload(U16("http://127.0.0.1/"), "x", 0); }, ""},
      {"upload8, length 0", [&](auto c) { return c->Upload(U8("http://127.0.0.1/"), "x", 0u); }, ""},
      {"upload with certificate name, length 0",
       [&](auto c) { return c->Upload(U8("http://127.0.0.1/"), U8("n"), "x", 0); }, ""},
      {"file upload, no url", [&](auto c) { return c->Upload(U16(""), U16("/etc/hostname")); }, ""},
      {"form upload, nothing to send",
       [&](auto c) { return c->UploadFormData(U16("http://127.0.0.1/"), name.c_str(), nullptr, 0, nullptr); },
       "] Error strFormDatas IsEmpty"},
      {"form file upload, no path",
       [&](auto c) { return c->UploadFormData(U16("http://127.0.0.1/"), name.c_str(), nullptr); },
       "] Error strFormDatas IsEmpty"},
      {"form upload, no url", [&](auto c) { return c->UploadFormData(U16(""), name.c_str(), "x", 1, nullptr); }, ""},
      {"GBK form field GBK cannot hold",
       [&](auto c) { return c->SetGbkHead(true), c->AddFormField(U16("f"), U16("\xF0\x9F\x98\x80")); },
       "] Error form field [f] value has no GBK form"},
      {"GBK form upload, a part name GBK cannot hold",
       [&](auto c) {
         return c->SetGbkHead(true), c->UploadFormData(U16("http://127.0.0.1/"), ZN_WTEXT("\uD55C"), "x", 1, nullptr);
       },
       "] Error form field [\xED\x95\x9C] name has no GBK form"},
  };
  // Each call on an idle client: false, the log line (or none), still idle.
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    Host host;
    EXPECT_FALSE(c.call(host.get()));
    EXPECT_FALSE(host->IsRunning());
    if (*c.log) {
      EXPECT_EQ(log.Count(c.log), 1);
    } else {
      EXPECT_EQ(log.Count(""), 0) << log.Dump();
    }
  }
  EXPECT_EQ(stream.deleted.load(), 1);  // a refused stream is deleted
}

TEST(CHttpClientEntryTest, BusyClientRefusesEveryTransferAndFinishesTheFirst) {
  const std::string body(5000, 'b');
  ScriptedServer server(
      {ServerScript().ReadRequest().Delay(1500).Send("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + body)});
  ASSERT_TRUE(server.ok());
  zntest::ScratchDir dir;
  Host host;
  const std::string url = server.Url("/busy");
  ASSERT_TRUE(host->Download(U8(url), U8(dir.File("busy")), nullptr, false));
  ASSERT_TRUE(server.WaitRequests(1, std::chrono::seconds(10)));
  zn::hostlist hosts;
  hosts.push_back(zn::strutf8("127.0.0.1"));
  zntest::StreamRecord stream;
  const std::basic_string<znwchar_t> part = ZN_WTEXT("p");
  struct Busy {
    const char* name;
    std::function<bool()> call;
    std::string log;
  };
  const std::string running = "m_bRunning[1] [" + url + "]";
  const Busy cases[] = {
      {"list download", [&] { return host->Download(U16("/p"), U16("80"), hosts, U16("f"), nullptr, false); },
       "] Download is Running"},
      {"download16", [&] { return host->Download(U16(url), U16(dir.File("other")), nullptr, false); },
       "] Error Download," + running},
      {"download8", [&] { return host->Download(U8(url), U8(dir.File("other")), nullptr, false); },
       "] Error Download," + running},
      {"memory download", [&] { return host->Download(U16(url), nullptr); }, "] Error Download," + running},
      {"stream download", [&] { return host->DownloadToStream(U16(url), new zntest::RecordingStream(&stream), 0); },
       "] Error DownloadToStream," + running},
      {"list request", [&] { return host->HttpRequestToBuffer(U16("/"), U16("80"), hosts, 0, nullptr, 0); },
       "]  HttpRequestToBuffer:Error HttpRequestToBuffer, m_bRunning[1]"},
      {"request", [&] { return host->HttpRequestToBuffer(U16(url), 1, "x", 1); },
       "] Error HttpRequestToBuffer," + running},
      {"upload", [&] { return host->Upload(U16(url), "x", 1); }, "] Error Upload," + running},
      {"file upload", [&] { return host->Upload(U16(url), U16("/etc/hostname"), 1); }, "] Error Upload," + running},
      {"form upload", [&] { return host->UploadFormData(U16(url), part.c_str(), "x", 1, nullptr); },
       "] Error UploadFormData," + running},
  };
  for (const Busy& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    EXPECT_FALSE(c.call());
    EXPECT_EQ(log.Count(c.log), 1) << log.Dump();
    EXPECT_TRUE(host->IsRunning());
  }
  EXPECT_EQ(stream.deleted.load(), 1);
  ASSERT_EQ(host.WaitComplete(), 0);
  EXPECT_EQ(zntest::ReadWholeFile(dir.File("busy")), body);
  EXPECT_EQ(server.RequestCount(), 1u);
}

TEST(CHttpClientEntryTest, EarlyEndingsBeforeAnyConnection) {
  zntest::ScratchDir dir;
  const std::string empty = dir.File("empty");
  ASSERT_TRUE(zntest::WriteWholeFile(empty, ""));
  struct Case {
    const char* name;
    std::function<bool(zn::IHttpClientEx*)> call;
    int64_t code;
    const char* log;
    bool connecting;  // OnConnecting was reported before the end
  };
  const Case cases[] = {
      {"not a url", [&](auto c) { return c->Download(U16("nonsense"), nullptr); }, 10,
       "] Error CrackUrl [nonsense] Fail", false},
      {"empty upload file", [&](auto c) { return c->Upload(U16("http://127.0.0.1:1/"), U16(empty)); }, 10,
       // The reader refuses an empty file already when it opens it.
       "] Error DataReader ", false},
      {"missing upload file", [&](auto c) { return c->Upload(U16("http://127.0.0.1:1/"), U16(dir.File("none"))); }, 10,
       "] Error DataReader File Open fail", false},
      {"download into a missing folder",
       [&](auto c) { return c->Download(U8("http://127.0.0.1:1/"), U8(dir.File("no/such/file")), nullptr, false); }, 4,
       "] Error DataWriter open file fail", false},
      {"port 0: the connector cannot start", [&](auto c) { return c->Download(U16("http://127.0.0.1:0/x"), nullptr); },
       5, "$$$$$$$$$$$$$$$$$$$$$$ Fail NotifyComplete nError[5]", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture log;
    Host host;
    ASSERT_TRUE(c.call(host.get()));
    EXPECT_EQ(host.WaitComplete(), c.code);
    EXPECT_TRUE(log.Has(c.log));
    std::vector<std::string> expected;
    if (c.connecting) expected.push_back("OnConnecting");
    expected.push_back("OnDownloadComplete");
    EXPECT_EQ(host.Course(), expected);
    EXPECT_FALSE(host->IsRunning());
  }
}

TEST(CHttpClientEntryTest, UnknownTimerIsLoggedAndIgnored) {
  struct TimerProbe : zntest::ProbeClient {
    TimerProbe() : zntest::ProbeClient(nullptr) {}
    void Fire(unsigned id) { OnTimer(id); }
  };
  LogCapture log;
  TimerProbe client;
  client.Fire(7);
  EXPECT_TRUE(log.Has("] Timer[7] Out, but NOT be processed!"));
  EXPECT_FALSE(client.IsCompleted());
}

}  // namespace
