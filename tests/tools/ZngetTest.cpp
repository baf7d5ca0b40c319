// znget run as a process against the scripted server and a real nginx: what
// each option puts on the wire, the exit status for each result code, the
// body on standard output, resume, and the progress bar only on a terminal.

#include <algorithm>
#include <functional>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/NginxFixture.h"
#include "support/ScriptedServer.h"
#include "support/TestOs.h"
#include "support/TestSha256.h"
#include "support/TransferProbe.h"

namespace {

using zntest::NginxFixture;
using zntest::ReadWholeFile;
using zntest::ScriptedServer;
using zntest::ServerScript;

constexpr int kRunBoundMs = 30000;

// Runs znget with the arguments in dir, collecting its output; kills it at the
// bound. With interruptAfterBars, a Ctrl-C goes to it once it has drawn that
// many progress bars.
zntest::ProcessResult RunZnget(const std::vector<std::string>& args, const std::string& dir = "",
                               int interruptAfterBars = 0) {
  std::vector<std::string> argv = {ZNGET_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  std::function<bool(const zntest::ProcessResult&)> interrupt;
  if (interruptAfterBars > 0) {
    interrupt = [interruptAfterBars](const zntest::ProcessResult& r) {
      return std::count(r.err.begin(), r.err.end(), '\r') >= interruptAfterBars;
    };
  }
  return zntest::RunProcess(argv, dir, kRunBoundMs, interrupt);
}

std::string Response(const std::string& status, const std::string& body, const std::string& extra = "") {
  return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra + "\r\n" + body;
}

ServerScript Answer(const std::string& response) { return ServerScript().ReadRequest().Send(response).WaitPeerClose(5000); }

TEST(Znget, OptionsReachTheWire) {
  zntest::ScratchDir dir;
  {
    std::ofstream(dir.File("head.txt"), std::ios::binary) << "GET /raw HTTP/1.1\r\nHost: raw\r\n\r\n";
    std::ofstream(dir.File("up.bin"), std::ios::binary) << "0123456789";
    std::ofstream(dir.File("form.txt"), std::ios::binary) << "x=1\r\ny=2\n";
  }
  struct Case {
    std::vector<std::string> args;      // the URL (or raw target) is appended for non-raw cases
    std::vector<std::string> expected;  // texts the request must contain
    std::vector<std::string> absent;    // texts it must not contain
  };
  const std::vector<Case> cases = {
      {{"-H", "X-Test:  spaced value ", "-o", "-"}, {"GET / HTTP/1.1\r\n", "X-Test:spaced value\r\n"}, {}},
      {{"-H", "User-Agent: znget-test", "-o", "-"}, {"User-Agent: znget-test\r\n"}, {"MSIE"}},
      {{"--data", "a=1&b=2"},
       {"POST / HTTP/1.1\r\n", "Content-Type:application/x-www-form-urlencoded\r\n", "Content-Length: 7\r\n",
        "\r\n\r\na=1&b=2"},
       {"Range:"}},
      {{"--data", "@" + dir.File("form.txt"), "-H", "content-type: text/plain"},
       {"content-type:text/plain\r\n", "\r\n\r\nx=1y=2"}, {"urlencoded"}},
      {{"--data-file", dir.File("up.bin"), "--offset", "4"},
       {"POST / HTTP/1.1\r\n", "Range: bytes=4-\r\n", "Content-Length: 6\r\n", "\r\n\r\n456789"}, {}},
      {{"-F", "a=1", "-F", "b=two"},
       {"Content-Type: multipart/form-data; boundary=", "Content-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n",
        "Content-Disposition: form-data; name=\"b\"\r\n\r\ntwo\r\n"},
       {}},
      {{"-F", "f=@" + dir.File("up.bin")},
       {"Content-Disposition: form-data; name=\"f\"; filename=\"up.bin\"\r\n", "\r\n\r\n0123456789\r\n--"}, {}},
      {{"--if-modified-since", "Sun, 06 Nov 1994 08:49:37 GMT", "-o", "-"},
       {"If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n"}, {}},
  };
  for (const auto& c : cases) {
    ScriptedServer server({Answer(Response("200 OK", "fine"))});
    ASSERT_TRUE(server.ok());
    std::vector<std::string> args = c.args;
    args.push_back(server.Url("/"));
    args.push_back("-q");
    const zntest::ProcessResult r = RunZnget(args, dir.path());
    ASSERT_EQ(r.status, 0) << c.args[0] << "\n" << r.err;
    ASSERT_TRUE(server.WaitRequests(1, std::chrono::seconds(5)));
    const std::string request = server.Request(0);
    for (const auto& e : c.expected) EXPECT_NE(request.find(e), std::string::npos) << c.args[0] << ": " << e << "\n" << request;
    for (const auto& a : c.absent) EXPECT_EQ(request.find(a), std::string::npos) << c.args[0] << ": " << a;
    EXPECT_EQ(r.out, "fine") << c.args[0];
  }

  // A prepared head goes out unchanged, followed by the body.
  ScriptedServer server({ServerScript().ReadHead().ReadBytes(4).Send(Response("200 OK", "raw answer")).WaitPeerClose(5000)});
  ASSERT_TRUE(server.ok());
  const zntest::ProcessResult r = RunZnget({"--raw-head", dir.File("head.txt"), "--data", "body", "--host", "127.0.0.1", "--port",
                                std::to_string(server.port()), "-q"});
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(server.WaitRequests(1, std::chrono::seconds(5)));
  EXPECT_EQ(server.Request(0), "GET /raw HTTP/1.1\r\nHost: raw\r\n\r\nbody");
  EXPECT_EQ(r.out, "raw answer");
}

TEST(Znget, ExitStatusOfEachAnswerAndOfBadOptions) {
  struct Case {
    const char* status;
    int code;
  };
  const Case cases[] = {{"200 OK", 0}, {"304 Not Modified", 1}, {"418 Teapot", 2}, {"401 Unauthorized", 3},
                        {"404 Not Found", 7}, {"503 Unavailable", 8}};
  zntest::ScratchDir dir;
  for (const auto& c : cases) {
    ScriptedServer server({Answer(Response(c.status, "x"))});
    ASSERT_TRUE(server.ok());
    const zntest::ProcessResult r = RunZnget({"-q", "-o", dir.File("out.bin"), server.Url("/f")});
    EXPECT_EQ(r.status, c.code) << c.status << "\n" << r.err;
  }

  // Bad options. (Failures of the transfer itself are the habits' table below.)
  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"--frobnicate", "http://127.0.0.1/"}, {"-o"}, {}, {"--retry", "x", "http://127.0.0.1/"},
           {"-C", "http://127.0.0.1/"}, {"--data", "a", "-F", "b=1", "http://127.0.0.1/"}}) {
    const zntest::ProcessResult r = RunZnget(bad);
    EXPECT_EQ(r.status, 64) << (bad.empty() ? "(no arguments)" : bad[0]);
    EXPECT_NE(r.err.find("znget --help"), std::string::npos);
  }
  EXPECT_EQ(RunZnget({"--help"}).status, 0);
}

TEST(Znget, BodyToStandardOutputAndNameFromTheServer) {
  std::string body(200000, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 + 3);
  ScriptedServer server({Answer(Response("200 OK", body))});
  ASSERT_TRUE(server.ok());
  zntest::ProcessResult r = RunZnget({"-q", "-o", "-", server.Url("/bin")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.size(), body.size());
  EXPECT_TRUE(r.out == body);

  // Without -o the file is named after Content-Disposition, reduced to its
  // last component, else after the URL's last path component.
  zntest::ScratchDir dir;
  for (const bool disposition : {true, false}) {
    ScriptedServer named({Answer(Response(
        "200 OK", "bytes", disposition ? "Content-Disposition: attachment; filename=\"../../report.pdf\"\r\n" : ""))});
    r = RunZnget({"-q", named.Url("/dir/data.txt?x=1")}, dir.path());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadWholeFile(dir.File(disposition ? "report.pdf" : "data.txt")), "bytes");
  }
}

TEST(Znget, ResumeContinuesAPartialFileAndTheBarNeedsATerminal) {
  NginxFixture nginx;
  ASSERT_TRUE(nginx.ok()) << nginx.error();
  const uint64_t size = 3 * 1024 * 1024 + 17;
  std::string source;
  const std::string sha = nginx.MakeFile("big.bin", size, &source);
  zntest::ScratchDir dir;
  const std::string out = dir.File("big.bin");
  {
    std::ofstream f(out, std::ios::binary);
    f << NginxFixture::FileBytes("big.bin", size, 0, 1000000);
  }
  zntest::ProcessResult r = RunZnget({"-C", "-o", out, nginx.HttpUrl("/files/big.bin")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(zntest::Sha256Hex(ReadWholeFile(out)), sha);
  const std::vector<zntest::AccessLogEntry> log = nginx.AccessLogOf("/files/big.bin", 1);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].range, "bytes=1000000-");
  // Standard error is a pipe here: a summary line, no bar.
  EXPECT_EQ(r.err.find('\r'), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("success"), std::string::npos);

  // Asked for, the bar is drawn anyway; over HTTPS with the certificate's name.
  r = RunZnget({"--progress", "--cacert", nginx.CaFile(), "--cert-name", "127.0.0.1", "-o", dir.File("tls.bin"),
                nginx.HttpsUrl("/files/big.bin")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find('\r'), std::string::npos);
  EXPECT_EQ(zntest::Sha256Hex(ReadWholeFile(dir.File("tls.bin"))), sha);
}

// What a curl user counts on, against nginx: the target of -o is replaced
// only by a successful download, a name the server chose replaces nothing,
// the cause of a failure is in the last line, URLs are taken as curl takes
// them, and files get the mode fopen gives.
TEST(Znget, CurlHabits) {
  NginxFixture nginx;
  ASSERT_TRUE(nginx.ok()) << nginx.error();
  const std::string fresh = NginxFixture::FileBytes("out.bin", 5000, 0, 5000);
  const std::string encoded = NginxFixture::FileBytes("a \xC3\xA9.bin", 300, 0, 300);
  ASSERT_FALSE(nginx.MakeFile("out.bin", 5000).empty());
  ASSERT_FALSE(nginx.MakeFile("a \xC3\xA9.bin", 300).empty());
  const std::string url = nginx.HttpUrl("/files/out.bin");
  struct Case {
    const char* habit;
    std::vector<std::string> args;  // run in a fresh folder
    const char* before;             // out.bin before the run; null: none
    int status;
    const char* lastLine;           // text the last line of standard error carries
    std::string after;              // out.bin afterwards; "-": none
  };
  const std::vector<Case> cases = {
      {"304 keeps the file", {"--if-modified-since", "out.bin", "-o", "out.bin", url}, "old", 1, "not modified", "old"},
      {"a failure keeps the file", {"-o", "out.bin", nginx.HttpUrl("/status/404")}, "old", 7, "not found", "old"},
      {"a failure leaves no file", {"-o", "out.bin", nginx.HttpUrl("/status/404")}, nullptr, 7, "not found", "-"},
      {"a failure leaves no file of a server's name", {nginx.HttpUrl("/status/404")}, nullptr, 7, "not found", "-"},
      {"-o replaces", {"-o", "out.bin", url}, "old", 0, "success", fresh},
      {"a server's name replaces nothing", {url}, "old", 4, "local file failure", "old"},
      {"--clobber lets it", {"--clobber", url}, "old", 0, "success", fresh},
      {"scheme in any case, path encoded",
       {"-o", "out.bin", "HTTPS://127.0.0.1:" + std::to_string(nginx.httpsPort()) + "/files/a \xC3\xA9.bin#top",
        "--cacert", nginx.CaFile()},
       nullptr, 0, "success", encoded},
      {"https means port 443, the cause is named", {"--retry", "1", "-o", "out.bin", "https://127.0.0.1/"}, nullptr, 5,
       "[127.0.0.1:443]: connect failed Connection refused", "-"},
      {"the certificate's name is named",
       {"--retry", "1", "--cert-name", "other.test", "-o", "out.bin", nginx.HttpsUrl("/files/out.bin")}, nullptr, 5,
       "other.test", "-"},
      {"HTTPS is verified: an unknown authority is named",
       {"--retry", "1", "-o", "out.bin", nginx.HttpsUrl("/files/out.bin")}, nullptr, 5,
       "unable to get local issuer certificate", "-"},
      {"--cacert names the authority", {"--cacert", nginx.CaFile(), "-o", "out.bin", nginx.HttpsUrl("/files/out.bin")},
       nullptr, 0, "success", fresh},
      {"-k compares the common name only", {"-k", "-o", "out.bin", nginx.HttpsUrl("/files/out.bin")}, nullptr, 0,
       "success", fresh},
      {"a missing upload file is named", {"--data-file", "gone.txt", nginx.HttpUrl("/post")}, nullptr, 10,
       "[gone.txt] [rb] errno[2] (No such file or directory)", "-"},
      {"other schemes are refused", {"ftp://127.0.0.1/out.bin"}, nullptr, 10, "not supported", "-"},
      {"a URL without a scheme is named", {"127.0.0.1/out.bin"}, nullptr, 10, "has no scheme", "-"},
      {"a URL without a host", {"-o", "out.bin", "http:///nohost"}, nullptr, 10, "Error CrackUrl", "-"},
      {"a missing folder is named, nothing is made", {"-o", "missing/out.bin", url}, nullptr, 4, "does not exist", "-"},
  };
  const bool modes = zntest::SetCreationMask(022);
  for (const auto& c : cases) {
    zntest::ScratchDir dir;
    if (c.before) std::ofstream(dir.File("out.bin")) << c.before;
    const zntest::ProcessResult r = RunZnget(c.args, dir.path());
    EXPECT_EQ(r.status, c.status) << c.habit << "\n" << r.err;
    const std::string lastLine = r.err.substr(r.err.rfind('\n', r.err.size() - 2) + 1);
    EXPECT_NE(lastLine.find(c.lastLine), std::string::npos) << c.habit << "\n" << r.err;
    bool exists = false;
    const std::string after = ReadWholeFile(dir.File("out.bin"), &exists);
    EXPECT_EQ(exists ? after : "-", c.after) << c.habit;
    // Only a download whose name is taken stays in its part file.
    bool part = false;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      part = part || entry.path().extension() == ".part";
    }
    EXPECT_EQ(part, c.status == 4 && c.before) << c.habit;
    if (modes && c.status == 0) {
      EXPECT_EQ(zntest::FileModeBits(dir.File("out.bin")), 0644) << c.habit;
    }
  }
}

// Ctrl-C: every byte that arrived is in the file, and -C goes on from there.
TEST(Znget, InterruptKeepsEveryByteForResume) {
  if (!zntest::CanInterruptProcesses()) GTEST_SKIP() << "a program here cannot be sent Ctrl-C by the test";
  NginxFixture nginx;
  ASSERT_TRUE(nginx.ok()) << nginx.error();
  const std::string sha = nginx.MakeFile("slow.bin", 2 * 1024 * 1024);
  zntest::ScratchDir dir;
  zntest::ProcessResult r = RunZnget({"--progress", "-o", "out.bin", nginx.HttpUrl("/slow/slow.bin")}, dir.path(), 3);
  EXPECT_EQ(r.status, 130) << r.err;
  const size_t at = r.err.find("interrupted: ");
  ASSERT_NE(at, std::string::npos) << r.err;
  const uint64_t kept = std::stoull(r.err.substr(at + 13));
  EXPECT_NE(r.err.find("bytes are in out.bin, all that arrived"), std::string::npos) << r.err;
  const std::string partial = ReadWholeFile(dir.File("out.bin"));
  EXPECT_EQ(partial.size(), kept);
  EXPECT_TRUE(partial == NginxFixture::FileBytes("slow.bin", 2 * 1024 * 1024, 0, partial.size()));
  r = RunZnget({"-q", "-C", "-o", "out.bin", nginx.HttpUrl("/files/slow.bin")}, dir.path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(zntest::Sha256Hex(ReadWholeFile(dir.File("out.bin"))), sha);
}

}  // namespace
