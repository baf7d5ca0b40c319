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

  // Decodes one piece into writer (borrowed). bWithTrailer: the response
  // announced a trailer, so the body ends at the blank line behind it rather
  // than at the last-chunk size. True: the piece was taken (bComplete set when
  // the body is complete). False: a format error or a refused write.
  bool Process(bool bWithTrailer, const unsigned char* data, uint32_t len, HttpResponseDataWriter* writer,
               bool& bComplete);
  // out := the trailer text collected so far; false when there is none.
  bool GetTrailer(zn::strutf16& out);

 private:
  enum class State : int32_t {
    // Collect hexadecimal digits until a byte that is not one; then convert
    // them and go to kSizeLineRest, or end at the last chunk (to kLineEnd when
    // a trailer is announced).
    kSizeDigits = 0,
    // Drop the rest of the size line (extensions) through its CR LF; then kData.
    kSizeLineRest = 1,
    // Copy m_qwRemaining data bytes to the writer; then kLineEnd.
    kData = 2,
    // Drop everything through the next CR LF; then kSizeDigits, or kTrailer
    // behind the last-chunk line.
    kLineEnd = 3,
    // Collect the trailer until it holds "\r\n\r\n".
    kTrailer = 4,
  };

  // Consumes bytes through the next CR LF, which may straddle pieces. True
  // when the LF was consumed.
  bool SkipThroughCrLf(const unsigned char*& p, const unsigned char* end);

  State m_eState = State::kSizeDigits;
  char m_szHexDigits[MAXNUM_SIZE + 1] = {};  // digits of the size being read, m_nHexDigitLen of them
  int32_t m_nHexDigitLen = 0;                // 0..MAXNUM_SIZE
  uint64_t m_qwChunkSize = 0;                // size of the current chunk; 0 after the last chunk
                                             // and after each data chunk's line end
  uint64_t m_qwRemaining = 0;                // data bytes of the current chunk still to copy
  unsigned char m_byLast = 0;                // byte consumed just before while seeking CR LF; 0 after one
  unsigned char* m_pTrailerBuf = nullptr;    // owned (malloc, kTrailerBufLen + 1 zeroed bytes); made on first use
  uint32_t m_dwTrailerLen = 0;               // bytes in m_pTrailerBuf, <= m_dwTrailerBufTotalLen
  uint32_t m_dwTrailerBufTotalLen = kTrailerBufLen;
  uint64_t m_qwRequestId = 0;  // request identifier when made, for log lines
};

}  // namespace zn
