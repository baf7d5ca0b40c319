#include "http/CChunker.h"

#include <cstdlib>
#include <cstring>

#include "base/znplatform.h"
#include "body/HttpResponseDataWriter.h"
#include "body/ZnRequestId.h"
#include "http/HttpLog.h"

namespace zn {

namespace {

constexpr unsigned char kCR = '\r';
constexpr unsigned char kLF = '\n';

bool IsHexDigit(unsigned char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

}  // namespace

CChunker::CChunker() : m_qwRequestId(CurrentRequestId()) {}

CChunker::~CChunker() { free(m_pTrailerBuf); }

bool CChunker::SkipThroughCrLf(Cursor& c, const unsigned char*& p, const unsigned char* end) {
  while (p < end) {
    const unsigned char b = *p++;
    if (b == kLF && c.byLast == kCR) {
      c.byLast = 0;
      return true;
    }
    c.byLast = b;
  }
  return false;
}

bool CChunker::Process(bool bWithTrailer, const unsigned char* data, uint32_t len, HttpResponseDataWriter* writer,
                       bool& bComplete) {
  if (!data || len == 0 || !writer) return false;
  bComplete = false;
  if (m_oCursor.eState == State::kDone) {
    m_bBytesBeyondEnd = true;
    bComplete = true;
    return true;
  }
  const unsigned char* const end = data + len;
  // The check runs on a copy: a piece that breaks the framing anywhere
  // leaves the writer untouched.
  Cursor check = m_oCursor;
  const unsigned char* bodyEnd = end;
  if (!Run(check, data, end, nullptr, &bodyEnd)) return false;
  if (!Run(m_oCursor, data, end, writer, &bodyEnd)) return false;
  if (m_oCursor.eState == State::kDone) {
    bComplete = true;
    m_bBytesBeyondEnd = bodyEnd < end;
    if (bWithTrailer) znsyslog(kLogEvent, kHttpLogTag, __LINE__, "Find \r\n\r\n,Trailer End,bComplete[%d]", 1);
  }
  return true;
}

bool CChunker::Run(Cursor& c, const unsigned char* data, const unsigned char* end, HttpResponseDataWriter* writer,
                   const unsigned char** pEnd) {
  const unsigned char* p = data;
  while (p < end) {
    switch (c.eState) {
      case State::kSizeDigits: {
        while (p < end && IsHexDigit(*p)) {
          if (c.nHexDigitLen >= static_cast<int32_t>(MAXNUM_SIZE)) {
            znsyslog(kLogEvent, kHttpLogTag, __LINE__, "Id[%I64u] Chunker HexDigit > MAXNUM_SIZE[%d]", m_qwRequestId,
                     static_cast<int>(MAXNUM_SIZE));
            return false;
          }
          c.szHexDigits[c.nHexDigitLen++] = static_cast<char>(*p++);
        }
        if (p == end) return true;  // the digits go on in the next piece
        if (c.nHexDigitLen == 0) {
          znsyslog(kLogEvent, kHttpLogTag, __LINE__, "Id[%I64u] Chunker HexDigitLen = 0 [%d]", m_qwRequestId, 0);
          return false;
        }
        c.szHexDigits[c.nHexDigitLen] = '\0';
        zn::strutf8 hex;
        hex.format("0x%s", c.szHexDigits);
        // At most MAXNUM_SIZE digits, so the size always fits in 64 bits.
        uint64_t size = 0;
        zn_str2uint64(hex.c_str(), &size);
        c.qwRemaining = size;
        c.nHexDigitLen = 0;
        if (writer) {
          znsyslog(kLogDetail, kHttpLogTag, __LINE__, "Id[%I64u] Chunker HexDigitLen = [%I64u]", m_qwRequestId, size);
        }
        c.eState = size != 0 ? State::kSizeLineRest : State::kLastLineRest;
        break;
      }
      case State::kSizeLineRest:
        if (SkipThroughCrLf(c, p, end)) c.eState = State::kData;
        break;
      case State::kData: {
        const uint32_t left = static_cast<uint32_t>(end - p);
        const uint32_t n = left < c.qwRemaining ? left : static_cast<uint32_t>(c.qwRemaining);
        if (writer && !writer->Write(p, n)) {
          znsyslog(kLogEvent, kHttpLogTag, __LINE__, "Id[%I64u] Error Chunker Write Fail,dwLen=[%u]", m_qwRequestId,
                   n);
          return false;
        }
        p += n;
        c.qwRemaining -= n;
        if (c.qwRemaining == 0) c.eState = State::kDataCr;
        break;
      }
      case State::kDataCr:
      case State::kDataLf: {
        const bool bCr = c.eState == State::kDataCr;
        if (*p != (bCr ? kCR : kLF)) {
          znsyslog(kLogEvent, kHttpLogTag, __LINE__, "Id[%I64u] Chunker data longer than its size, byte[%u]",
                   m_qwRequestId, static_cast<unsigned>(*p));
          return false;
        }
        ++p;
        c.eState = bCr ? State::kDataLf : State::kSizeDigits;
        break;
      }
      case State::kLastLineRest:
        if (SkipThroughCrLf(c, p, end)) c.eState = State::kTrailer;
        break;
      case State::kTrailer: {
        // Take the bytes through the empty line that ends the trailer, or
        // the whole piece when it does not end here.
        const unsigned char* q = p;
        uint32_t lineLen = c.dwTrailerLineLen;
        bool bEnded = false;
        while (q < end && !bEnded) {
          const unsigned char b = *q++;
          ++lineLen;
          if (b == kLF && c.byLast == kCR) {
            bEnded = lineLen == 2;
            lineLen = 0;
            c.byLast = 0;
          } else {
            c.byLast = b;
          }
        }
        const uint32_t count = static_cast<uint32_t>(q - p);
        if (c.dwTrailerLen + count > kTrailerBufLen) {
          znsyslog(kLogEvent, kHttpLogTag, __LINE__,
                   "Id[%I64u] Error Chunker dwToReadData[%u] > m_dwTrailerBufTotalLen[%u],Let bComplete", m_qwRequestId,
                   count, kTrailerBufLen);
          return false;
        }
        if (writer) {
          if (!m_pTrailerBuf) {
            m_pTrailerBuf = static_cast<unsigned char*>(calloc(kTrailerBufLen + 1, 1));
            if (!m_pTrailerBuf) return false;
          }
          memcpy(m_pTrailerBuf + c.dwTrailerLen, p, count);
        }
        c.dwTrailerLen += count;
        c.dwTrailerLineLen = lineLen;
        p = q;
        if (bEnded) {
          c.eState = State::kDone;
          *pEnd = p;
          return true;
        }
        break;
      }
      case State::kDone:
        *pEnd = p;
        return true;
    }
  }
  return true;
}

bool CChunker::GetTrailer(zn::strutf16& out) {
  // The empty line alone that ends every chunked body is no trailer.
  if (!m_pTrailerBuf || m_oCursor.dwTrailerLen <= 2) return false;
  out = zn::strutf8(reinterpret_cast<const char*>(m_pTrailerBuf), m_oCursor.dwTrailerLen);
  return true;
}

}  // namespace zn
