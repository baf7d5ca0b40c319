// A 64 KiB download whose server breaks off after k bytes, for every k across
// the response head and at a stride across the body, plain and chunked, over
// HTTP and (for a sample of k) HTTPS: the first connection delivers k bytes,
// then closes, stalls or resets; the next ones answer the Range the client
// should ask for. Every download must end exactly once within the bound, and
// a code 0 must come with a file identical to the resource.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ClientTestUtil.h"
#include "support/ScriptedServer.h"

namespace {

using zntest::kSanitizedBuild;
using zntest::ScriptedServer;
using zntest::ServerScript;

constexpr size_t kBodySize = 65536;
// Chunk sizes, repeated; odd sizes put the size lines at many offsets.
const size_t kChunkSizes[] = {4096, 1, 777, 10000, 3, 8192};
// A short receive time-out, so a stall ends quickly; the bound lets all three
// attempts wait it out on a loaded machine.
constexpr uint32_t kRecvTimeoutMs = kSanitizedBuild ? 800 : 250;
constexpr auto kDownloadBound = std::chrono::milliseconds(3 * kRecvTimeoutMs + 15000);
// Failures reported per pass before it gives up.
constexpr int kMaxReportedFailures = 5;

// The chunked framing of data. held, when given, gets for each wire byte the
// body bytes decoded once it arrived.
std::string Chunked(const std::string& data, std::vector<size_t>* held = nullptr) {
  std::string out;
  auto add = [&](const std::string& bytes, bool isData) {
    out += bytes;
    for (size_t i = 0; held && i < bytes.size(); ++i) held->push_back(held->back() + isData);
  };
  for (size_t i = 0, pos = 0; pos < data.size(); ++i) {
    const size_t n = std::min(kChunkSizes[i % (sizeof(kChunkSizes) / sizeof(kChunkSizes[0]))], data.size() - pos);
    char size[32];
    snprintf(size, sizeof(size), "%zx\r\n", n);
    add(size, false);
    add(data.substr(pos, n), true);
    add("\r\n", false);
    pos += n;
  }
  add("0\r\n\r\n", false);
  return out;
}

// The resource, its framing, and what a client holds after any prefix of it.
class Resource final {
 public:
  Resource(const std::string& body, bool chunked) : m_body(body), m_bChunked(chunked) {
    m_head = chunked ? "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Type: application/octet-stream\r\n\r\n"
                     : "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                           "\r\nContent-Type: application/octet-stream\r\n\r\n";
    m_held.assign(m_head.size() + 1, 0);
    if (chunked) {
      m_wire = m_head + Chunked(body, &m_held);
    } else {
      m_wire = m_head + body;
      for (size_t i = 1; i <= body.size(); ++i) m_held.push_back(i);
    }
  }

  const std::string& body() const { return m_body; }
  const std::string& wire() const { return m_wire; }
  size_t headSize() const { return m_head.size(); }
  // Body bytes a client has written after receiving the first k wire bytes.
  size_t HeldAfter(size_t k) const { return m_held[std::min(k, m_wire.size())]; }
  // Whether the first k wire bytes complete the download by themselves: all
  // of them, a chunked body through its last CRLF.
  bool CompleteAfter(size_t k) const { return k >= m_wire.size(); }

  // What a resuming server answers to a request for the bytes from `from` on.
  std::string AnswerFrom(size_t from) const {
    const size_t n = m_body.size();
    if (from == 0) return m_wire;
    if (from >= n) {
      return "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */" + std::to_string(n) +
             "\r\nContent-Length: 0\r\n\r\n";
    }
    std::string head = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(from) + "-" +
                       std::to_string(n - 1) + "/" + std::to_string(n) + "\r\n";
    const std::string rest = m_body.substr(from);
    if (m_bChunked) return head + "Transfer-Encoding: chunked\r\n\r\n" + Chunked(rest);
    return head + "Content-Length: " + std::to_string(rest.size()) + "\r\n\r\n" + rest;
  }

 private:
  std::string m_body;
  bool m_bChunked;
  std::string m_head;
  std::string m_wire;
  std::vector<size_t> m_held;  // m_held[k]: body bytes decoded from the first k wire bytes
};

enum class Fault { kClose, kStall, kReset };

struct Sweep {
  const char* name;
  bool chunked;
  Fault fault;
  bool tls;
  size_t headStride;  // every headStride-th k across the head (and its last byte)
  size_t bodyStride;  // every bodyStride-th k across the body (and the last bytes)
};

// The k of one sweep: across the head, the body, and the edges of both.
std::vector<size_t> CutPoints(const Resource& res, const Sweep& sweep) {
  std::vector<size_t> ks;
  const size_t head = res.headSize();
  const size_t total = res.wire().size();
  for (size_t k = 0; k < head; k += sweep.headStride) ks.push_back(k);
  for (size_t k = head + 3; k < total; k += sweep.bodyStride) ks.push_back(k);
  for (size_t k : {head - 1, head, head + 1, total - 1}) ks.push_back(k);
  // Around the end of the body: the last-chunk line and its line ends. A
  // stall costs a receive time-out per point, so only a close gets them all.
  if (sweep.fault == Fault::kClose) {
    for (size_t k : {head + 2, total - 7, total - 5, total - 4, total - 3, total - 2, total}) ks.push_back(k);
  }
  std::sort(ks.begin(), ks.end());
  ks.erase(std::unique(ks.begin(), ks.end()), ks.end());
  return ks;
}

// One download against a server that breaks off after k bytes. Returns a
// note of what went wrong, "" when all is well.
std::string RunOne(const Resource& res, const Sweep& sweep, size_t k, const zntest::TestCert& cert,
                   const zntest::ScratchDir& dir) {
  const size_t cut = std::min(k, res.wire().size());
  ServerScript first;
  first.ReadRequest().Send(res.wire().substr(0, cut));
  if (sweep.fault == Fault::kReset) {
    first.Delay(50).Reset();  // once the bytes are out: a reset drops what is still unsent
  } else {
    sweep.fault == Fault::kClose ? first.Close() : first.Stall();
  }
  // The client asks for what it holds; a Range past the end meets a 416,
  // after which it starts again from 0.
  const bool headSeen = k >= res.headSize();
  const size_t resumeFrom = headSeen ? res.HeldAfter(cut) : 0;
  std::vector<ServerScript> scripts{first};
  scripts.push_back(ServerScript().ReadRequest().Send(res.AnswerFrom(resumeFrom)));
  scripts.push_back(ServerScript().ReadRequest().Send(res.AnswerFrom(0)));
  zntest::ScriptedServerOptions options;
  if (sweep.tls) options.tlsCert = cert;
  ScriptedServer server(scripts, options);
  if (!server.ok()) return "server did not start";

  const std::string target = dir.File("sweep.bin");
  zntest::RemoveFile(target);
  const std::vector<uint32_t> codes =
      zntest::DownloadOnce(server.Url("/sweep.bin"), target, kRecvTimeoutMs, kDownloadBound);
  if (codes.empty()) return "refused, or no completion within the bound (hang)";
  if (codes.size() != 1) return "completions: " + std::to_string(codes.size());

  const uint32_t code = codes[0];
  const std::string file = zntest::ReadWholeFile(target);
  if (code == 0 && file != res.body()) {
    return "code 0 with a wrong file of " + std::to_string(file.size()) + " bytes";
  }
  // Where the verdict is known: a close or reset inside the head leaves no
  // status (refused, 3); everything else is recoverable by a resuming server.
  const uint32_t expected = (sweep.fault != Fault::kStall && !headSeen) ? 3 : 0;
  if (code != expected) {
    return "code " + std::to_string(code) + ", expected " + std::to_string(expected) + " (file " +
           std::to_string(file.size()) + " bytes)";
  }
  // No lost and no repeated byte: the second request resumes exactly behind
  // what the first answer delivered.
  if (code == 0 && !res.CompleteAfter(cut) && server.RequestCount() >= 2) {
    const std::string range = zntest::HeaderOf(server.Request(1), "Range");
    const std::string want = resumeFrom == 0 ? "" : "bytes=" + std::to_string(resumeFrom) + "-";
    if (range != want) return "second request asks Range \"" + range + "\", expected \"" + want + "\"";
  }
  return "";
}

void RunSweep(const Sweep& sweep) {
  static const std::string body = zntest::Pattern(kBodySize, 1);
  const Resource res(body, sweep.chunked);
  const zntest::TestCert cert = zntest::TestCert::Make("/CN=127.0.0.1");
  ASSERT_TRUE(cert.valid());
  zntest::ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  int failures = 0;
  for (size_t k : CutPoints(res, sweep)) {
    const std::string problem = RunOne(res, sweep, k, cert, dir);
    if (problem.empty()) continue;
    ADD_FAILURE() << sweep.name << ": cut after " << k << " of " << res.wire().size() << " bytes (head "
                  << res.headSize() << "): " << problem;
    if (++failures >= kMaxReportedFailures) {
      ADD_FAILURE() << sweep.name << ": giving up after " << failures << " failures";
      return;
    }
  }
}

// Strides: every head byte when closing; fewer points when each costs a
// receive time-out or a delay, over TLS, or under a sanitizer.
TEST(FaultSweepTest, CloseStallOrResetAfterEveryHeadByteAndAcrossTheBody) {
  constexpr size_t kHeadClose = kSanitizedBuild ? 5 : 1, kBodyClose = kSanitizedBuild ? 8191 : 1021;
  constexpr size_t kHeadStall = kSanitizedBuild ? 41 : 11, kBodyStall = kSanitizedBuild ? 32749 : 8191;
  constexpr size_t kHeadTls = 29, kBodyTls = kSanitizedBuild ? 32749 : 16381;
  const Sweep sweeps[] = {
      {"plain, close", false, Fault::kClose, false, kHeadClose, kBodyClose},
      {"chunked, close", true, Fault::kClose, false, kHeadClose, kBodyClose},
      {"plain, stall", false, Fault::kStall, false, kHeadStall, kBodyStall},
      {"chunked, stall", true, Fault::kStall, false, kHeadStall, kBodyStall},
      {"plain, close, TLS", false, Fault::kClose, true, kHeadTls, kBodyTls},
      {"chunked, close, TLS", true, Fault::kClose, true, kHeadTls, kBodyTls},
      {"plain, stall, TLS", false, Fault::kStall, true, 1000, 1 << 20},
      {"plain, reset", false, Fault::kReset, false, 17, 8191},
  };
  for (const Sweep& s : sweeps) RunSweep(s);
}

// The connection of a retry that ends before any answer: the verdict must not
// come from the answer of the broken attempt before it, and a body decoder
// must not carry its state into the next answer.
TEST(FaultSweepTest, RetryMeetsAServerThatNeverAnswers) {
  static const std::string body = zntest::Pattern(kBodySize, 1);
  zntest::ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  for (int i = 0; i < 4; ++i) {
    const bool chunked = i & 1;
    const bool closed = i & 2;  // what the retry's connection does after reading the request
    SCOPED_TRACE(std::string(chunked ? "chunked" : "plain") + (closed ? ", retry closed" : ", retry silent"));
    const Resource res(body, chunked);
    ServerScript retry;
    retry.ReadRequest();
    closed ? retry.Close() : retry.Stall();
    // The first answer breaks off inside the body; the retry's connection
    // gives nothing; the third connection closes at once.
    ScriptedServer server(
        {ServerScript().ReadRequest().Send(res.wire().substr(0, res.headSize() + 1000)).Close(), retry});
    ASSERT_TRUE(server.ok());
    const std::string target = dir.File("silent.bin");
    zntest::RemoveFile(target);
    // No answer on the last connection: refused, never a success with the
    // part of the body that came first.
    EXPECT_EQ(zntest::DownloadOnce(server.Url("/s.bin"), target, kRecvTimeoutMs, kDownloadBound),
              std::vector<uint32_t>{3})
        << "file of " << zntest::ReadWholeFile(target).size() << " bytes";
  }
}

}  // namespace
