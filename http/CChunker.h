// Decoder of a chunked response body. It is fed every received piece, writes
// the chunk data to the response writer, drops chunk extensions and line ends,
// collects an announced trailer and says when the body is complete. A piece
// may end anywhere, even inside the size digits or between CR and LF.
//
// Owned by the client (made on the first body bytes of a chunked response,
// freed when the next request starts); used on the client's worker thread
// only. Log tag "Http".
#pragma once

#include <cstdint>

#include "base/zndef.h"
#include "base/znstring.h"

namespace zn {

class HttpResponseDataWriter;

class CChunker final {
 public:
  // Most hexadecimal digits of a chunk size: 16 digits are what a 64-bit
  // length can hold, and a bounded buffer keeps a hostile size line from
  // growing without end.
  static constexpr uint32_t MAXNUM_SIZE = 16;
  // Capacity of the trailer buffer.
  static constexpr uint32_t kTrailerBufLen = 2048;

  // Remembers the request identifier current now, for its log lines.
  CChunker();
  CChunker(const CChunker&) = delete;
  CChunker& operator=(const CChunker&) = delete;
  ~CChunker();

  // Decodes one piece into writer (borrowed). The body ends at the empty line
  // behind the last chunk and its trailer (bWithTrailer: the response
  // announced one; the trailer is read either way). True: the piece was taken
  // (bComplete set when the body is complete). False: a format error or a
  // refused write. A piece is checked whole before any of its data goes to
  // the writer, so a piece with a format error writes nothing.
  bool Process(bool bWithTrailer, const unsigned char* data, uint32_t len, HttpResponseDataWriter* writer,
               bool& bComplete);
  // out := the trailer text collected so far; false when there is none.
  bool GetTrailer(zn::strutf16& out);
  // The piece that completed the body held bytes behind its end: they belong
  // to no answer, so the connection cannot carry another request.
  bool HasBytesBeyondEnd() const { return m_bBytesBeyondEnd; }

 private:
  enum class State : int32_t {
    // Collect hexadecimal digits until a byte that is not one; then convert
    // them and go to kSizeLineRest (kLastLineRest for the last chunk).
    kSizeDigits = 0,
    // Drop the rest of the size line (extensions) through its CR LF; then kData.
    kSizeLineRest = 1,
    // Copy m_qwRemaining data bytes to the writer; then kDataCr.
    kData = 2,
    // The CR that must follow the data; anything else means the chunk ran
    // past its size. Then kDataLf.
    kDataCr = 3,
    // The LF behind it; then kSizeDigits.
    kDataLf = 4,
    // Drop the rest of the last-chunk line through its CR LF; then kTrailer.
    kLastLineRest = 5,
    // Collect trailer lines until an empty line, which ends the body.
    kTrailer = 6,
    // The body is complete; nothing more belongs to it.
    kDone = 7,
  };

  // The decoding position; copied for the check of a piece before the piece
  // is decoded for real.
  struct Cursor {
    State eState = State::kSizeDigits;
    char szHexDigits[MAXNUM_SIZE + 1] = {};  // digits of the size being read, nHexDigitLen of them
    int32_t nHexDigitLen = 0;                // 0..MAXNUM_SIZE
    uint64_t qwRemaining = 0;                // data bytes of the current chunk still to copy
    unsigned char byLast = 0;                // byte consumed just before while seeking CR LF; 0 after one
    uint32_t dwTrailerLen = 0;               // trailer bytes taken, <= kTrailerBufLen
    uint32_t dwTrailerLineLen = 0;           // bytes of the current trailer line so far
  };

  // Runs the decoder over a piece from cursor c. writer null: only checks
  // (nothing is written or logged). True unless a format error or a refused
  // write; *pEnd := where the body ended (end when it did not).
  bool Run(Cursor& c, const unsigned char* data, const unsigned char* end, HttpResponseDataWriter* writer,
           const unsigned char** pEnd);
  // Consumes bytes through the next CR LF, which may straddle pieces. True
  // when the LF was consumed.
  static bool SkipThroughCrLf(Cursor& c, const unsigned char*& p, const unsigned char* end);

  Cursor m_oCursor;
  unsigned char* m_pTrailerBuf = nullptr;  // owned (malloc, kTrailerBufLen + 1 zeroed bytes); made on first use
  bool m_bBytesBeyondEnd = false;          // the completing piece went on behind the body's end
  uint64_t m_qwRequestId = 0;              // request identifier when made, for log lines
};

}  // namespace zn
