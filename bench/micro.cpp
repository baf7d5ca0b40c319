// Micro-benchmarks of the paths every received or sent byte takes: the
// chunked decoder, the response analysis of a head, the request head builder
// and the file writer. They run the internal classes directly (through the
// static archive of the library's objects), on one thread, with no network.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/znstreamwriter.h"
#include "body/HttpResponseDataWriter.h"
#include "http/CChunker.h"
#include "http/CHttpCookie.h"
#include "http/CHttpRequestHead.h"
#include "http/CHttpResponseAnalyser.h"
#include "http/HttpRequestInfo.h"

namespace {

// The size of one receive: the engine reads into a buffer of this size.
constexpr uint32_t kPiece = zn::kHttpRecvBufSize;
// Encoded body fed to the decoder per pass; a new decoder starts each pass.
constexpr size_t kChunkedBodyBytes = 4u << 20;
// The file benchmark truncates its file after this many bytes (timing paused),
// so that a long run does not fill the disk.
constexpr uint64_t kFileWrap = 256ull << 20;

// A host stream that takes every byte and keeps none. Owned by the writer.
class NullStream final : public IZNStreamWriter {
 public:
  uint64_t Write(const void* data, uint32_t len) override {
    benchmark::DoNotOptimize(data);
    return len;
  }
};

// A chunked body of chunkSize-byte chunks, with the last chunk, as a server
// or a proxy would send it.
std::string ChunkedBody(size_t chunkSize, size_t total) {
  std::string body;
  body.reserve(total + total / chunkSize * 16 + 16);
  std::string data(chunkSize, 'c');
  char line[32];
  while (body.size() + chunkSize < total) {
    snprintf(line, sizeof line, "%zx\r\n", chunkSize);
    body += line;
    body += data;
    body += "\r\n";
  }
  body += "0\r\n\r\n";
  return body;
}

// Decoding throughput, the body arriving in receive-sized pieces.
void BM_ChunkedDecode(benchmark::State& state) {
  const std::string body = ChunkedBody(static_cast<size_t>(state.range(0)), kChunkedBodyBytes);
  zn::HttpResponseDataWriter writer;
  writer.Open(false, nullptr, new NullStream);
  const auto* data = reinterpret_cast<const unsigned char*>(body.data());
  for (auto _ : state) {
    zn::CChunker chunker;
    bool complete = false;
    for (size_t pos = 0; pos < body.size() && !complete; pos += kPiece) {
      const uint32_t n = static_cast<uint32_t>(std::min<size_t>(kPiece, body.size() - pos));
      if (!chunker.Process(false, data + pos, n, &writer, complete)) {
        state.SkipWithError("decoder refused the body");
        return;
      }
    }
    if (!complete) state.SkipWithError("body not complete");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(body.size()));
}
BENCHMARK(BM_ChunkedDecode)->Arg(4096)->Arg(16384)->Arg(65536);

// nginx's head for a static file, the most common head this client reads.
const char kTypicalHead[] =
    "HTTP/1.1 200 OK\r\n"
    "Server: nginx\r\n"
    "Date: Sun, 06 Dec 2026 12:00:00 GMT\r\n"
    "Content-Type: application/octet-stream\r\n"
    "Content-Length: 1024\r\n"
    "Last-Modified: Sun, 06 Dec 2026 11:59:00 GMT\r\n"
    "Connection: keep-alive\r\n"
    "ETag: \"6770f1a4-400\"\r\n"
    "Accept-Ranges: bytes\r\n"
    "\r\n";

// One head arriving in one receive: found, stored, status and framing parsed.
void BM_ResponseAnalysis(benchmark::State& state) {
  zn::HttpRequestInfo req;
  req.m_strMethod = "GET";
  req.m_strUrl = "http://127.0.0.1:8080/files/1k.bin";
  zn::HttpMessageSettings settings;
  zn::HttpResponseInfo resp;
  resp.m_dwRecvBufLen = kPiece;
  resp.m_pRecvBuf = static_cast<unsigned char*>(calloc(kPiece + 1, 1));
  zn::HttpResponseDataWriter* writer = new zn::HttpResponseDataWriter;  // owned here
  writer->Open(false, nullptr, new NullStream);
  zn::CChunker* chunker = nullptr;
  zn::CHttpCookie* cookie = nullptr;
  const uint32_t headLen = static_cast<uint32_t>(strlen(kTypicalHead));
  for (auto _ : state) {
    resp.m_strResponseHead.clear();
    resp.m_dwResponseStatusCode = 0;
    resp.m_qwContentLength = 0;
    resp.m_bChunked = false;
    memcpy(resp.m_pRecvBuf, kTypicalHead, headLen + 1);
    resp.m_dwTmpRecvCurPos = headLen;
    bool complete = false;
    zn::CHttpResponseAnalyser analyser(req, resp, settings, writer, chunker, cookie, nullptr);
    if (!analyser.AnalyseResp(complete) || resp.m_qwContentLength != 1024) {
      state.SkipWithError("head not accepted");
      break;
    }
  }
  delete writer;
  delete chunker;
  delete cookie;
  free(resp.m_pRecvBuf);
}
BENCHMARK(BM_ResponseAnalysis);

// The head of a plain GET, as sent for every request on a kept connection.
void BM_BuildRqHead(benchmark::State& state) {
  zn::HttpRequestInfo req;
  req.m_strMethod = "GET";
  req.m_strHost = "127.0.0.1";
  req.m_wPort = 8080;
  req.m_strPath = "/files/1k.bin";
  req.m_strUrl = "http://127.0.0.1:8080/files/1k.bin";
  zn::HttpHeaderState headers;
  zn::HttpMessageSettings settings;
  zn::CHttpCookie* cookie = nullptr;
  zn::strutf8 out;
  for (auto _ : state) {
    out.clear();
    zn::CHttpRequestHead::BuildRqHead(req, headers, settings, nullptr, nullptr, cookie, out);
    benchmark::DoNotOptimize(out.c_str());
  }
  delete cookie;
}
BENCHMARK(BM_BuildRqHead);

// The file writer taking receive-sized pieces through its cache into a file.
// With state.range(0) set, each piece is followed by the size query that the
// response analysis makes after every write of a body with a known length.
void BM_FileWriterWrite(benchmark::State& state) {
  char dir[] = "/tmp/znmicro.XXXXXX";
  if (!mkdtemp(dir)) {
    state.SkipWithError("mkdtemp failed");
    return;
  }
  const std::string path = std::string(dir) + "/body.bin";
  const bool querySize = state.range(0) != 0;
  std::vector<unsigned char> piece(kPiece, 'w');
  uint64_t written = 0;
  {
    zn::HttpResponseDataWriter writer;
    if (!writer.Open(true, path.c_str(), nullptr)) {
      state.SkipWithError("cannot open the file");
    } else {
      for (auto _ : state) {
        if (!writer.Write(piece.data(), kPiece)) {
          state.SkipWithError("write failed");
          break;
        }
        if (querySize) benchmark::DoNotOptimize(writer.GetDownloadedSize());
        written += kPiece;
        if (written % kFileWrap == 0) {
          state.PauseTiming();
          writer.Flush();
          writer.SetLength0();
          state.ResumeTiming();
        }
      }
      writer.Flush();
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(written));
  unlink(path.c_str());
  rmdir(dir);
}
BENCHMARK(BM_FileWriterWrite)->ArgName("with_size_query")->Arg(0)->Arg(1);

// A body of state.range(0) MiB into a memory target, in receive-sized pieces:
// one iteration is one whole download, growth and copies included.
void BM_MemoryWriterBody(benchmark::State& state) {
  const uint64_t total = static_cast<uint64_t>(state.range(0)) << 20;
  std::vector<unsigned char> piece(kPiece, 'm');
  for (auto _ : state) {
    zn::HttpResponseDataWriter writer;
    writer.Open(false, nullptr, nullptr);
    for (uint64_t done = 0; done < total; done += kPiece) {
      if (!writer.Write(piece.data(), kPiece)) {
        state.SkipWithError("write failed");
        break;
      }
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * total));
}
BENCHMARK(BM_MemoryWriterBody)->ArgName("MiB")->Arg(20)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
