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
constexpr const char* kTrailerEnd = "\r\n\r\n";

bool IsHexDigit(unsigned char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

}  // namespace

CChunker::CChunker() : m_qwRequestId(CurrentRequestId()) {}

CChunker::~CChunker() { free(m_pTrailerBuf); }

bool CChunker::SkipThroughCrLf(const unsigned char*& p, const unsigned char* end) {
  while (p < end) {
    const unsigned char c = *p++;
    if (c == kLF && m_byLast == kCR) {
      m_byLast = 0;
      return true;
    }
    m_byLast = c;
  }
  return false;
}

bool CChunker::Process(bool bWithTrailer, const unsigned char* data, uint32_t len, HttpResponseDataWriter* writer,
                       bool& bComplete) {
  if (!data || len == 0 || !writer) return false;
  bComplete = false;
  const unsigned char* p = data;
  const unsigned char* const end = data + len;

  while (p < end) {
    switch (m_eState) {
      case State::kSizeDigits: {
        while (p < end && IsHexDigit(*p)) {
          if (m_nHexDigitLen >= static_cast<int32_t>(MAXNUM_SIZE)) {
            znsyslog(kLogEvent, kHttpLogTag, __LINE__, "Id[%I64u] Chunker HexDigit > MAXNUM_SIZE[%d]", m_qwRequestId,
                     static_cast<int>(MAXNUM_SIZE));
            return false;
          }
          m_szHexDigits[m_nHexDigitLen++] = static_cast<char>(*p++);
        }
        if (p == end) return true;  // the digits go on in the next piece
        if (m_nHexDigitLen == 0) {
          znsyslog(kLogEvent, kHttpLogTag, __LINE__, "Id[%I64u] Chunker HexDigitLen = 0 [%d]", m_qwRequestId, 0);
          return false;
        }
        m_szHexDigits[m_nHexDigitLen] = '\0';
        zn::strutf8 hex;
        hex.format("0x%s", m_szHexDigits);
        // At most MAXNUM_SIZE digits, so the size always fits in 64 bits.
        uint64_t size = 0;
        zn_str2uint64(hex.c_str(), &size);
        m_qwChunkSize = size;
        m_qwRemaining = size;
        m_nHexDigitLen = 0;
        znsyslog(kLogDetail, kHttpLogTag, __LINE__, "Id[%I64u] Chunker HexDigitLen = [%I64u]", m_qwRequestId, size);
        if (size != 0) {
          m_eState = State::kSizeLineRest;
        } else if (!bWithTrailer) {
          bComplete = true;  // what follows the last-chunk digits is not examined
          return true;
        } else {
          m_eState = State::kLineEnd;
        }
        break;
      }
      case State::kSizeLineRest:
        if (SkipThroughCrLf(p, end)) m_eState = State::kData;
        break;
      case State::kData: {
        const uint32_t left = static_cast<uint32_t>(end - p);
        const uint32_t n = left < m_qwRemaining ? left : static_cast<uint32_t>(m_qwRemaining);
        if (n != 0) {
          if (!writer->Write(p, n)) {
            znsyslog(kLogEvent, kHttpLogTag, __LINE__, "Id[%I64u] Error Chunker Write Fail,dwLen=[%u]", m_qwRequestId,
                     n);
            return false;
          }
          p += n;
          m_qwRemaining -= n;
        }
        if (m_qwRemaining == 0) m_eState = State::kLineEnd;
        break;
      }
      case State::kLineEnd:
        if (SkipThroughCrLf(p, end)) {
          if (m_qwChunkSize == 0) {
            m_eState = State::kTrailer;
          } else {
            m_qwChunkSize = 0;
            m_eState = State::kSizeDigits;
          }
        }
        break;
      case State::kTrailer: {
        const uint32_t count = static_cast<uint32_t>(end - p);
        if (m_dwTrailerLen + count > m_dwTrailerBufTotalLen) {
          znsyslog(kLogEvent, kHttpLogTag, __LINE__,
                   "Id[%I64u] Error Chunker dwToReadData[%u] > m_dwTrailerBufTotalLen[%u],Let bComplete", m_qwRequestId,
                   count, m_dwTrailerBufTotalLen);
          return false;
        }
        if (!m_pTrailerBuf) {
          m_pTrailerBuf = static_cast<unsigned char*>(calloc(m_dwTrailerBufTotalLen + 1, 1));
          if (!m_pTrailerBuf) return false;
        }
        memcpy(m_pTrailerBuf + m_dwTrailerLen, p, count);
        m_dwTrailerLen += count;
        p = end;
        if (strstr(reinterpret_cast<const char*>(m_pTrailerBuf), kTrailerEnd)) {
          bComplete = true;
          znsyslog(kLogEvent, kHttpLogTag, __LINE__, "Find \r\n\r\n,Trailer End,bComplete[%d]", 1);
        }
        return true;
      }
    }
  }
  return true;
}

bool CChunker::GetTrailer(zn::strutf16& out) {
  if (!m_pTrailerBuf || m_dwTrailerLen == 0) return false;
  out = zn::strutf8(reinterpret_cast<const char*>(m_pTrailerBuf), m_dwTrailerLen);
  return true;
}

}  // namespace zn
