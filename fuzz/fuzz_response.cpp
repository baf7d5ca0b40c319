// Feeds a server's byte stream through the response analysis exactly as the
// client's receive loop does: each receive lands in the free part of the
// 16384-byte buffer behind the bytes still held, a zero byte is kept behind the
// data, and the analysis decides after every receive. A redirect or retry
// verdict forgets the answer the way the client does and goes on with the rest
// of the stream as the next server's answer. The body goes to a memory writer.
//
// Input: the stream at the front; from the back, a settings byte and then the
// length of each receive.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "body/HttpResponseDataWriter.h"
#include "fuzz/FuzzSupport.h"
#include "http/CChunker.h"
#include "http/CHttpCookie.h"
#include "http/CHttpHeaderQuery.h"
#include "http/CHttpResponseAnalyser.h"
#include "http/CHttpUrl.h"
#include "http/IHttpResponseSink.h"

namespace {

const int kLogsOn = znfuzz::EnableAllLogs();

// Bits of the settings byte.
constexpr uint8_t kGbkHead = 1 << 0;
constexpr uint8_t kPost = 1 << 1;
constexpr uint8_t kWriterMade = 1 << 2;    // a writer exists before the answer
constexpr uint8_t kWriterHolds = 1 << 3;   // ... and already holds bytes (a resume)
constexpr unsigned kRetryShift = 4;        // two bits: retries already made
constexpr uint8_t kRetryMask = 3;

constexpr const char* kRequestUrl = "http://example.test/dir/file.bin?x=1";
constexpr unsigned char kResumeBytes[] = "0123456789";
// More answers than this in one input are not followed (the client caps
// redirects and retries far lower).
constexpr int kMaxAttempts = 16;
constexpr uint32_t kFirstRedirect = 301;
constexpr uint32_t kLastRedirect = 399;

// Takes the reports of the analysis. A start is only reported when a writer
// existed before the head, so progress may come without one.
class RecordingSink final : public zn::IHttpResponseSink {
 public:
  void NotifyOnDownloadStart(uint32_t, uint32_t) override { ++m_nStarts; }
  void ReportProgress(bool bForce) override {
    ++m_nProgress;
    if (bForce) ++m_nForced;
  }
  int m_nStarts = 0;
  int m_nProgress = 0;
  int m_nForced = 0;
};

// The answer's body as the stream carries it, when the analysis must copy it
// verbatim: a first answer, not chunked, with a length, into an empty writer.
struct PlainBodyExpectation {
  bool bActive = false;
  size_t nBodyStart = 0;  // offset of the body in the stream
};

// Where the head of an answer that starts at stream offset from ends, as the
// analysis finds it (through a zero-terminated search of the held bytes);
// npos when it is not within one buffer.
size_t HeadEnd(const std::vector<unsigned char>& stream, size_t from) {
  const size_t limit = std::min(stream.size(), from + zn::kHttpRecvBufSize);
  const std::string_view held(reinterpret_cast<const char*>(stream.data()) + from, limit - from);
  const std::string_view text = held.substr(0, held.find('\0'));
  const size_t end = text.find("\r\n\r\n");
  return end == std::string_view::npos ? end : from + end + 4;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  (void)kLogsOn;
  FuzzedDataProvider fdp(data, size);
  const uint8_t settingsByte = fdp.ConsumeIntegral<uint8_t>();

  zn::HttpRequestInfo request;
  zn::HttpResponseInfo response;
  zn::HttpMessageSettings settings;
  settings.m_bGbkHead = (settingsByte & kGbkHead) != 0;
  request.m_strMethod = (settingsByte & kPost) ? "POST" : "GET";
  request.m_nRetryTimes = (settingsByte >> kRetryShift) & kRetryMask;
  zn::CHttpUrl::CrackUrl(request, kRequestUrl, zn::strutf8());

  zn::HttpResponseDataWriter* writer = nullptr;  // owned here, as the client owns it
  zn::CChunker* chunker = nullptr;               // owned here
  zn::CHttpCookie* cookie = nullptr;             // owned here
  if (settingsByte & (kWriterMade | kWriterHolds)) {
    writer = new zn::HttpResponseDataWriter();
    writer->Open(false, nullptr, nullptr);
    if (settingsByte & kWriterHolds) writer->Write(kResumeBytes, sizeof(kResumeBytes) - 1);
  }
  RecordingSink sink;

  response.m_pRecvBuf = static_cast<unsigned char*>(calloc(zn::kHttpRecvBufSize + 1, 1));
  response.m_dwRecvBufLen = zn::kHttpRecvBufSize;
  std::vector<unsigned char> stream;  // every byte received so far
  size_t answerStart = 0;             // stream offset where the current answer began
  int attempts = 1;
  PlainBodyExpectation expect;
  bool bDone = false;
  // The receive lengths come from the back, taken one by one as the stream
  // is consumed from the front.
  znfuzz::PieceCutter cutter(fdp, zn::kHttpRecvBufSize);

  for (size_t want = cutter.NextLength(); want != 0 && !bDone; want = cutter.NextLength()) {
    const uint32_t room = response.m_dwRecvBufLen - response.m_dwTmpRecvCurPos;
    // A full buffer takes nothing: the client would wait for its receive
    // time-out, which ends the request.
    if (room == 0) break;
    const std::vector<unsigned char> bytes = fdp.ConsumeBytes<unsigned char>(std::min<size_t>(want, room));
    if (bytes.empty()) break;
    memcpy(response.m_pRecvBuf + response.m_dwTmpRecvCurPos, bytes.data(), bytes.size());
    response.m_dwTmpRecvCurPos += static_cast<uint32_t>(bytes.size());
    response.m_pRecvBuf[response.m_dwTmpRecvCurPos] = 0;
    stream.insert(stream.end(), bytes.begin(), bytes.end());

    response.m_bReConnect = 2;
    response.m_nErrorCode = zn::kHttpResultFailed;
    const bool hadHead = !response.m_strResponseHead.empty();
    bool bComplete = true;  // AnalyseResp must clear it
    zn::CHttpResponseAnalyser analyser(request, response, settings, writer, chunker, cookie, &sink);
    const bool keepGoing = analyser.AnalyseResp(bComplete);

    // The buffer invariants the client relies on.
    ZN_FUZZ_CHECK(response.m_dwTmpRecvCurPos <= response.m_dwRecvBufLen);
    ZN_FUZZ_CHECK(response.m_pRecvBuf[response.m_dwTmpRecvCurPos] == 0);
    if (!keepGoing) ZN_FUZZ_CHECK(!bComplete);

    // A head the analysis refused (a length beyond 64 bits) writes nothing.
    if (keepGoing && !hadHead && !response.m_strResponseHead.empty() && attempts == 1 && !settings.m_bGbkHead &&
        !response.m_bChunked && response.m_qwContentLength != 0 && !(settingsByte & kWriterHolds) &&
        (response.m_dwResponseStatusCode == 200 || response.m_dwResponseStatusCode == 206 ||
         response.m_dwResponseStatusCode == 500)) {
      // Interim answers (100 Continue and the like) before the head are skipped.
      const std::string_view head(response.m_strResponseHead.c_str(), response.m_strResponseHead.length());
      size_t from = answerStart;
      size_t end = HeadEnd(stream, from);
      while (end != std::string_view::npos &&
             std::string_view(reinterpret_cast<const char*>(stream.data()) + from, end - from) != head) {
        from = end;
        end = HeadEnd(stream, from);
      }
      ZN_FUZZ_CHECK(end != std::string_view::npos);
      ZN_FUZZ_CHECK(response.m_strResponseHead.length() == end - from);
      expect.bActive = true;
      expect.nBodyStart = end;
      // A Content-Length that reads as 0 ends the body at once, even when a
      // Content-Range raised the length.
      zn::strutf8 announced;
      if (zn::CHttpHeaderQuery::QueryInfo(response.m_strResponseHead, "Content-Length", announced, true) &&
          std::string(announced.c_str()).find_first_not_of('0') == std::string::npos) {
        expect.bActive = false;
        ZN_FUZZ_CHECK(keepGoing && bComplete);
        unsigned char* held = nullptr;
        uint32_t heldLen = 0;
        ZN_FUZZ_CHECK(!writer || !writer->GetBuffer(&held, &heldLen) || heldLen == 0);
      }
    }
    if (expect.bActive && writer) {
      // The writer holds the body bytes received so far, never more than the
      // announced length.
      const size_t got = stream.size() - expect.nBodyStart;
      const size_t want = std::min<size_t>(got, response.m_qwContentLength);
      unsigned char* held = nullptr;
      uint32_t heldLen = 0;
      writer->GetBuffer(&held, &heldLen);
      ZN_FUZZ_CHECK(heldLen == want);
      ZN_FUZZ_CHECK(want == 0 || memcmp(held, stream.data() + expect.nBodyStart, want) == 0);
      ZN_FUZZ_CHECK(bComplete == (want == response.m_qwContentLength));
    }

    if (keepGoing) {
      if (!bComplete) continue;
      // The completion step adds an announced trailer to the head; the
      // queries then see its fields.
      zn::strutf16 trailer;
      if (response.m_bWithChunkTrailer && chunker && chunker->GetTrailer(trailer)) {
        response.m_strResponseHead.append(zn::strutf8(trailer));
        zn::strutf8 value;
        zn::CHttpHeaderQuery::QueryInfo(response.m_strResponseHead, "Expires", value, true);
      }
      zn::strutf16 fileName("Content-Disposition");
      zn::CHttpHeaderQuery::GetResponseFileName(response.m_strResponseHead, request.m_strUrl, fileName);
      // The forced report of the last piece is the only one: a GET body
      // that completed with bytes reports it once, a POST never.
      ZN_FUZZ_CHECK(sink.m_nForced <= 1);
      ZN_FUZZ_CHECK(sink.m_nStarts <= attempts);
      bDone = true;
      break;
    }
    if (response.m_bReConnect != 1 || ++attempts > kMaxAttempts) break;
    // A redirect takes the new URL apart; a retry keeps the URL. Either way
    // the answer so far is forgotten and the writer keeps its bytes.
    if (response.m_dwResponseStatusCode >= kFirstRedirect && response.m_dwResponseStatusCode <= kLastRedirect) {
      request.m_lstHosts = zn::hostlist();
      const zn::strutf8 url(request.m_strUrl);
      if (!zn::CHttpUrl::CrackUrl(request, url.c_str(), request.m_strSSLName)) break;
    }
    response.m_strResponseHead.clear();
    response.m_qwContentLength = 0;
    response.m_bChunked = false;
    response.m_dwTmpRecvCurPos = 0;
    memset(response.m_pRecvBuf, 0, response.m_dwRecvBufLen + 1);
    answerStart = stream.size();
    expect.bActive = false;
  }

  free(response.m_pRecvBuf);
  delete writer;
  delete chunker;
  delete cookie;
  return 0;
}
