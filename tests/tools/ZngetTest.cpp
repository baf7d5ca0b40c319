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

#include "base/znfile.h"
#include "support/NginxFixture.h"
#include "support/ScriptedServer.h"
#include "support/TestOs.h"
#include "support/TestSha256.h"
#include "support/TestUtil.h"

namespace {

using zntest::NginxFixture;
using zntest::ReadWholeFile;
using zntest::ScriptedServer;
using zntest::ServerScript;

constexpr int kRunBoundMs = 30000;
constexpr uint64_t kFourGiB = 1ull << 32;
#ifdef _WIN32
constexpr bool kWindowsNames = true;  // device names and <>:"|?* are no file names there
#else
constexpr bool kWindowsNames = false;
#endif

// Files named in UTF-8 on every system (a narrow name means the ANSI code page on Windows).
void WriteNamed(const std::string& path, const std::string& bytes) {
  std::ofstream(std::filesystem::u8path(path), std::ios::binary) << bytes;
}
std::string ReadNamed(const std::string& path, bool* exists = nullptr) {
  std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
  if (exists) *exists = static_cast<bool>(in);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

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

ServerScript Answer(const std::string& response) { return ServerScript().ReadRequest().Send(response).WaitPeerClose(5000); }

TEST(Znget, OptionsReachTheWire) {
  zntest::ScratchDir dir;
  // Names in other scripts reach znget's own file calls and the library's alike.
  WriteNamed(dir.File("\xE5\xA4\xB4.txt"), "GET /raw HTTP/1.1\r\nHost: raw\r\n\r\n");
  WriteNamed(dir.File("\xE4\xB8\x8A.bin"), "0123456789");
  WriteNamed(dir.File("\xE6\x95\xB0.txt"), "x=1\r\ny=2\n");
  WriteNamed(dir.File("\xE6\x97\xB6.bin"), "");
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
      {{"--data", "@" + dir.File("\xE6\x95\xB0.txt"), "-H", "content-type: text/plain"},
       {"content-type:text/plain\r\n", "\r\n\r\nx=1y=2"}, {"urlencoded"}},
      {{"--data-file", dir.File("\xE4\xB8\x8A.bin"), "--offset", "4"},
       {"POST / HTTP/1.1\r\n", "Range: bytes=4-\r\n", "Content-Length: 6\r\n", "\r\n\r\n456789"}, {}},
      {{"-F", "a=1", "-F", "b=two"},
       {"Content-Type: multipart/form-data; boundary=", "Content-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n",
        "Content-Disposition: form-data; name=\"b\"\r\n\r\ntwo\r\n"},
       {}},
      {{"-F", "f=@" + dir.File("\xE4\xB8\x8A.bin")},
       {"Content-Disposition: form-data; name=\"f\"; filename=\"\xE4\xB8\x8A.bin\"\r\n", "\r\n\r\n0123456789\r\n--"}, {}},
      {{"--if-modified-since", "Sun, 06 Nov 1994 08:49:37 GMT", "-o", "-"},
       {"If-Modified-Since: Sun, 06 Nov 1994 08:49:37 GMT\r\n"}, {}},
      {{"--if-modified-since", dir.File("\xE6\x97\xB6.bin"), "-o", "-"}, {"If-Modified-Since: "}, {}},
  };
  for (const auto& c : cases) {
    ScriptedServer server({Answer(zntest::Ok("fine"))});
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
  ScriptedServer server({ServerScript().ReadHead().ReadBytes(4).Send(zntest::Ok("raw answer")).WaitPeerClose(5000)});
  ASSERT_TRUE(server.ok());
  const zntest::ProcessResult r = RunZnget({"--raw-head", dir.File("\xE5\xA4\xB4.txt"), "--data", "body", "--host", "127.0.0.1", "--port",
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
                        {"404 Not Found", 7}, {"503 Unavailable", 8}, {"500 Internal Server Error", 2}};
  zntest::ScratchDir dir;
  ASSERT_TRUE(zntest::WriteSparseFile(dir.File("huge.txt"), 1ull << 31, ""));
  for (const auto& c : cases) {
    ScriptedServer server({Answer(zntest::Ok("x", c.status))});
    ASSERT_TRUE(server.ok());
    const zntest::ProcessResult r = RunZnget({"-q", "-o", dir.File("out.bin"), server.Url("/f")});
    EXPECT_EQ(r.status, c.code) << c.status << "\n" << r.err;
  }

  // Bad options. (Failures of the transfer itself are the habits' table below.)
  for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
           {"--frobnicate", "http://127.0.0.1/"}, {"-o"}, {}, {"--retry", "x", "http://127.0.0.1/"},
           {"-C", "http://127.0.0.1/"}, {"--data", "a", "-F", "b=1", "http://127.0.0.1/"},
           {"--data", "@" + dir.File("huge.txt"), "http://127.0.0.1/"}}) {
    const zntest::ProcessResult r = RunZnget(bad);
    EXPECT_EQ(r.status, 64) << (bad.empty() ? "(no arguments)" : bad[0]);
    EXPECT_NE(r.err.find("znget --help"), std::string::npos);
  }
  EXPECT_EQ(RunZnget({"--help"}).status, 0);
}

TEST(Znget, BodyToStandardOutputAndNameFromTheServer) {
  const std::string body = zntest::Pattern(200000, 1);
  ScriptedServer server({Answer(zntest::Ok(body))});
  ASSERT_TRUE(server.ok());
  zntest::ProcessResult r = RunZnget({"-q", "-o", "-", server.Url("/bin")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.size(), body.size());
  EXPECT_TRUE(r.out == body);

  // Without -o the file is named after Content-Disposition, reduced to its
  // last component, else after the URL's last path component; on Windows a
  // name the system reserves is changed before anything is written.
  const struct {
    const char* disposition;  // the parameters behind "attachment; "; null: no header
    const char* path;
    const char* name;         // the file made
    const char* windowsName;  // the file made on Windows
  } names[] = {
      {"filename=\"../../report.pdf\"", "/dir/data.txt?x=1", "report.pdf", "report.pdf"},
      {nullptr, "/dir/data.txt?x=1", "data.txt", "data.txt"},
      {"filename=report.txt; size=5", "/x", "report.txt", "report.txt"},
      {"filename=\"a.txt\"; filename*=UTF-8''%E6%96%87.txt", "/x", "\xE6\x96\x87.txt", "\xE6\x96\x87.txt"},
      {"filename=con.txt", "/x", "con.txt", "_con.txt"},
      {nullptr, "/dir/aux", "aux", "_aux"},
      {"filename=\"a<b>?.txt.\"", "/x", "a<b>?.txt.", "a_b__.txt_"},
  };
  for (const auto& n : names) {
    zntest::ScratchDir dir;
    std::vector<std::string> lines = {"Content-Length: 5"};
    if (n.disposition) lines.push_back(std::string("Content-Disposition: attachment; ") + n.disposition);
    ScriptedServer named({Answer(zntest::Head("200 OK", lines) + "bytes")});
    r = RunZnget({"-q", named.Url(n.path)}, dir.path());
    EXPECT_EQ(r.status, 0) << n.path << "\n" << r.err;
    EXPECT_EQ(ReadNamed(dir.File(kWindowsNames ? n.windowsName : n.name)), "bytes") << n.name;
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
  ASSERT_FALSE(nginx.MakeFile("1m.bin", 1 << 20).empty());  // more than the library holds before writing
  const std::string url = nginx.HttpUrl("/files/out.bin");
  struct Case {
    const char* habit;
    std::vector<std::string> args;  // run in a fresh folder
    const char* before;             // the file before the run; null: none
    int status;
    std::string lastLine;           // text the last line of standard error carries
    std::string after;              // the file afterwards; "-": none
    bool held = false;              // another program holds the file open (with delete sharing)
    const char* file = "out.bin";
  };
  const std::string error = nginx.HttpUrl("/status/500"), named = "caf\xC3\xA9 \xE7\x9B\xAE.txt";
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
       "[gone.txt] [rb] errno[2] (", "-"},
      {"other schemes are refused", {"ftp://127.0.0.1/out.bin"}, nullptr, 10, "not supported", "-"},
      {"a URL without a scheme is named", {"127.0.0.1/out.bin"}, nullptr, 10, "has no scheme", "-"},
      {"a URL without a host", {"-o", "out.bin", "http:///nohost"}, nullptr, 10, "Error CrackUrl", "-"},
      {"a missing folder is named, nothing is made", {"-o", "missing/out.bin", url}, nullptr, 4, "does not exist", "-"},
      {"an error page replaces nothing", {"-o", "out.bin", error}, "old", 2, "(code 2, status 500)", "old"},
      {"an error page makes no file", {"-o", "out.bin", error}, nullptr, 2, "(code 2, status 500)", "-"},
      {"-C makes no file of an error page", {"-C", "-o", "out.bin", error}, nullptr, 2, "status 500", "-"},
      {"-C keeps its bytes under an error page", {"-C", "-o", "out.bin", error}, "old", 2, "status 500", "old"},
      {"an error page is not written out", {"-o", "-", error}, nullptr, 2, "status 500", "-"},
      {"a port past 65535", {"-o", "out.bin", "http://127.0.0.1:99999/x"}, nullptr, 10, "127.0.0.1:99999/x", "-"},
      {"a port of letters", {"http://127.0.0.1:8o/x"}, nullptr, 10, "http://127.0.0.1:8o/x", "-"},
      {"a full disk is named", {"-C", "-o", "/dev/full", url}, nullptr, 4,
       "No space left on device", "-"},
      {"-o replaces a file held open", {"-o", "out.bin", url}, "old", 0, "success", fresh, true},
      {"-o takes a name in any script", {"-o", named, url}, "old", 0, "-> " + named, fresh, false, named.c_str()},
      {"and leaves no part of it after a failure", {"-o", named, nginx.HttpUrl("/status/404")}, nullptr, 7, "not found",
       "-", false, named.c_str()},
  };
  const bool modes = zntest::SetCreationMask(022);
  std::error_code noPath;  // a Windows build may not parse the name at all
  for (const auto& c : cases) {
    const bool toFullDisk = std::count(c.args.begin(), c.args.end(), "/dev/full") != 0;
    if (toFullDisk && !std::filesystem::exists("/dev/full", noPath)) continue;
    zntest::ScratchDir dir;
    if (c.before) WriteNamed(dir.File(c.file), c.before);
    zntest::ProcessResult r;
    {
      zn::io::CFile holder;
      ASSERT_TRUE(!c.held || holder.Open(dir.File(c.file).c_str(), "rb"));
      r = RunZnget(c.args, dir.path());
    }
    EXPECT_EQ(r.status, c.status) << c.habit << "\n" << r.err;
    EXPECT_EQ(r.out, "") << c.habit;
    const std::string lastLine = r.err.substr(r.err.rfind('\n', r.err.size() - 2) + 1);
    EXPECT_NE(lastLine.find(c.lastLine), std::string::npos) << c.habit << "\n" << r.err;
    bool exists = false;
    const std::string after = ReadNamed(dir.File(c.file), &exists);
    EXPECT_EQ(exists ? after : "-", c.after) << c.habit;
    // Only a download whose name is taken stays in its part file.
    bool part = false;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
      part = part || entry.path().extension() == ".part";
    }
    EXPECT_EQ(part, c.status == 4 && c.before) << c.habit;
    if (modes && c.status == 0) {
      EXPECT_EQ(zntest::FileModeBits(dir.File(c.file)), 0644) << c.habit;
    }
  }
}

// Ctrl-C: every byte that arrived is in the file, and -C goes on from there.
// --stop-at stops the same way where a test cannot press Ctrl-C, here past
// 4 GiB (a sparse file), where 32-bit sizes would lose count.
TEST(Znget, InterruptKeepsEveryByteForResume) {
  NginxFixture nginx;
  ASSERT_TRUE(nginx.ok()) << nginx.error();
  const uint64_t small = 2 * 1024 * 1024;
  const std::string sha = nginx.MakeFile("slow.bin", small);
  const std::string tail = NginxFixture::FileBytes("slow.bin", small, 0, small);
  ASSERT_FALSE(nginx.MakeSparseFile("huge.bin", kFourGiB, tail).empty());
  const struct {
    const char* name;
    uint64_t hole;  // zero bytes in front of the 2 MiB, and already in the file with -C
    bool ctrlC;
  } cases[] = {{"slow.bin", 0, true}, {"huge.bin", kFourGiB, false}};
  for (const auto& c : cases) {
    if (c.ctrlC && !zntest::CanInterruptProcesses()) continue;
    zntest::ScratchDir dir;
    std::vector<std::string> args = {"--progress", "-o", "out.bin", nginx.HttpUrl(std::string("/slow/") + c.name)};
    if (c.hole) {
      ASSERT_TRUE(zntest::WriteSparseFile(dir.File("out.bin"), c.hole, ""));
      args.insert(args.end(), {"-C", "--stop-at", std::to_string(c.hole + small / 4)});
    }
    zntest::ProcessResult r = RunZnget(args, dir.path(), c.ctrlC ? 3 : 0);
    EXPECT_EQ(r.status, 130) << r.err;
    const size_t at = r.err.find("interrupted: ");
    ASSERT_NE(at, std::string::npos) << r.err;
    const uint64_t kept = std::stoull(r.err.substr(at + 13));
    EXPECT_NE(r.err.find("bytes are in out.bin, all that arrived; -C -o out.bin resumes"), std::string::npos) << r.err;
    EXPECT_EQ(zntest::FileSize(dir.File("out.bin")), kept);
    ASSERT_GT(kept, c.hole);
    EXPECT_TRUE(zntest::ReadFileFrom(dir.File("out.bin"), c.hole) == tail.substr(0, kept - c.hole)) << c.name;
    r = RunZnget({"-q", "-C", "-o", "out.bin", nginx.HttpUrl(std::string("/files/") + c.name)}, dir.path());
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(zntest::FileSize(dir.File("out.bin")), c.hole + small);
    EXPECT_EQ(zntest::Sha256Hex(zntest::ReadFileFrom(dir.File("out.bin"), c.hole)), sha) << c.name;
  }
}

}  // namespace
