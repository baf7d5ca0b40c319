#include "body/HttpResponseDataWriter.h"

#include <cstdlib>
#include <cstring>

#include "base/znplatform.h"
#include "body/BodyAllocator.h"
#include "body/ZnRequestId.h"
#include "include/znhttpclient.h"

namespace zn {

namespace {
const char kTag[] = "Http.DataWriter";
}  // namespace

HttpResponseDataWriter::HttpResponseDataWriter() : m_qwRequestId(CurrentRequestId()) {}

HttpResponseDataWriter::~HttpResponseDataWriter() {
  if (m_pFile) {
    m_pFile->Close();
    delete m_pFile;
    m_pFile = nullptr;
  }
  std::free(m_pFileCacheBuf);
  m_pFileCacheBuf = nullptr;
  std::free(m_pMemBuf);
  m_pMemBuf = nullptr;
  // The host's stream is deleted without Close: Close announces a replacement.
  delete m_pStream;
  m_pStream = nullptr;
}

bool HttpResponseDataWriter::Open(bool bToFile, const char* fileName, IZNStreamWriter* stream) {
  m_bToFile = bToFile;
  m_qwAccepted = 0;
  m_qwFirstWriteTime = 0;
  if (bToFile) {
    if (fileName) m_strFileName = fileName;
    if (m_pFile) {
      m_pFile->Close();
    } else {
      m_pFile = new io::CFile();
    }
    m_nKnownFileSize = kUnknownFileSize;
    if (!m_pFile->Open(m_strFileName.c_str(), "ab")) {
      delete m_pFile;
      m_pFile = nullptr;
      znsyslog(1, kTag, __LINE__, "Id[%I64u] Open file Fail [%s]", m_qwRequestId, m_strFileName.c_str());
      return false;
    }
    znsyslog(4, kTag, __LINE__, "Id[%I64u] HttpResponseDataWriter Open File [%s]", m_qwRequestId,
             m_strFileName.c_str());
    return true;
  }
  if (stream) {
    if (m_pStream) {
      m_pStream->Close();
      delete m_pStream;
    }
    m_pStream = stream;
    m_qwSkip = 0;  // a new stream holds none of the bytes to drop
  }
  return true;
}

bool HttpResponseDataWriter::Write(const unsigned char* data, uint32_t len) {
  if (!data || len == 0) return false;
  // One tick for both, so the first write time and the meter's start agree.
  const uint64_t now = zn_gettickcount();
  if (m_qwFirstWriteTime == 0) m_qwFirstWriteTime = now;
  m_qwAccepted += len;
  m_oSpeed.AddBytes(len, now);

  if (m_bToFile) return WriteToFile(data, len);
  if (m_pStream) {
    if (m_qwSkip != 0) {
      // The stream holds these bytes already, from an earlier answer.
      const uint32_t drop = m_qwSkip < len ? static_cast<uint32_t>(m_qwSkip) : len;
      m_qwSkip -= drop;
      data += drop;
      len -= drop;
      if (len == 0) return true;
    }
    if (m_pStream->Write(data, len) != len) return false;
    m_qwStreamLen += len;
    return true;
  }
  return WriteToMemory(data, len);
}

bool HttpResponseDataWriter::WriteToFile(const unsigned char* data, uint32_t len) {
  if (!m_pFile) return false;
  if (!m_pFileCacheBuf) {
    for (uint32_t size : kFileCacheSizes) {
      m_pFileCacheBuf = static_cast<unsigned char*>(BodyAlloc(size));
      if (m_pFileCacheBuf) {
        m_dwFileCacheBufLen = size;
        znsyslog(3, kTag, __LINE__, "Id[%I64u] m_dwFileCacheBufLen =[%d]", m_qwRequestId,
                 static_cast<int>(m_dwFileCacheBufLen));
        break;
      }
    }
    if (!m_pFileCacheBuf) {
      znsyslog(1, kTag, __LINE__, "Id[%I64u] malloc m_pFileCacheBuf fail", m_qwRequestId);
      return false;
    }
  }
  if (static_cast<uint64_t>(m_dwCacheFill) + len <= m_dwFileCacheBufLen) {
    std::memcpy(m_pFileCacheBuf + m_dwCacheFill, data, len);
    m_dwCacheFill += len;
    return true;
  }
  // The piece does not fit: drain the cache, then write the piece straight
  // through, so that it is neither split nor copied twice.
  m_pFile->Seek(0, 2);
  if (m_dwCacheFill != 0) {
    if (!AppendToFile(m_pFileCacheBuf, m_dwCacheFill)) return false;
    m_dwCacheFill = 0;
  }
  return AppendToFile(data, len);
}

bool HttpResponseDataWriter::WriteToMemory(const unsigned char* data, uint32_t len) {
  // With no buffer yet the held length and the spare room count as 0.
  const uint32_t held = m_pMemBuf ? m_dwDataLen : 0;
  const uint32_t spare = m_pMemBuf ? m_dwSpareRoom : 0;
  const uint64_t total = static_cast<uint64_t>(held) + len;
  if (total > kMemoryMax) {
    znsyslog(3, kTag, __LINE__, "Id[%I64u] Recv Buf Len[%u] > MAX[%d],FAIL ", m_qwRequestId,
             static_cast<unsigned>(total), static_cast<int>(kMemoryMax));
    return false;
  }
  uint64_t allocSize = 0;  // 0: the piece fits into the spare room
  uint32_t newSpare = 0;
  if (!m_pMemBuf) {
    allocSize = len;
  } else if (len < spare) {
    newSpare = spare - len;
  } else {
    // Growing by a fixed step would copy the whole buffer every step: a body
    // of n bytes would cost n * n / (2 * step) bytes of copying.
    const uint64_t growth = held > kMemoryGrowStep ? held : kMemoryGrowStep;
    allocSize = static_cast<uint64_t>(held) + (len > growth ? len : growth);
    if (allocSize > kMemoryMax) allocSize = kMemoryMax;  // total <= kMemoryMax here
    newSpare = static_cast<uint32_t>(allocSize - total);
  }
  if (allocSize != 0) {
    unsigned char* grown = static_cast<unsigned char*>(BodyAlloc(allocSize));
    if (!grown) {
      znsyslog(1, kTag, __LINE__, "Id[%I64u] malloc m_pMemBuf fail [%u]", m_qwRequestId,
               static_cast<unsigned>(allocSize));
      return false;
    }
    if (m_pMemBuf) {
      std::memcpy(grown, m_pMemBuf, held);
      std::free(m_pMemBuf);
    }
    m_pMemBuf = grown;
  }
  std::memcpy(m_pMemBuf + held, data, len);
  m_dwDataLen = held + len;
  m_dwSpareRoom = newSpare;
  return true;
}

bool HttpResponseDataWriter::Flush() {
  if (!m_bToFile || !m_pFile || m_dwCacheFill == 0) return true;
  m_pFile->Seek(0, 2);
  // A short write keeps the cache, so a later flush may try again.
  if (!AppendToFile(m_pFileCacheBuf, m_dwCacheFill)) return false;
  m_dwCacheFill = 0;
  return true;
}

bool HttpResponseDataWriter::AppendToFile(const unsigned char* data, uint32_t len) {
  const int64_t written = m_pFile->Write(data, len);
  if (written == static_cast<int64_t>(len) && m_nKnownFileSize != kUnknownFileSize) {
    m_nKnownFileSize += written;
  } else {
    m_nKnownFileSize = kUnknownFileSize;  // a short or failed write: ask the file next time
  }
  return written == static_cast<int64_t>(len);
}

uint64_t HttpResponseDataWriter::GetDownloadedSize() {
  if (m_bToFile && m_pFile) {
    if (m_nKnownFileSize == kUnknownFileSize) m_nKnownFileSize = m_pFile->GetSize();
    const int64_t size = m_nKnownFileSize;
    return (size > 0 ? static_cast<uint64_t>(size) : 0) + m_dwCacheFill;
  }
  return m_pStream ? m_qwStreamLen - m_qwSkip : m_dwDataLen;
}

bool HttpResponseDataWriter::SetLength0() {
  if (m_bToFile) {
    if (!m_pFile) return false;
    // Bytes cached before the truncation belong to the body being dropped.
    m_dwCacheFill = 0;
    m_pFile->SetSize(0);
    m_nKnownFileSize = m_pFile->GetSize();
    if (m_nKnownFileSize != 0) {
      delete m_pFile;
      m_pFile = nullptr;
      znsyslog(1, kTag, __LINE__, "Id[%I64u]SetLength0 FAIL [%s]", m_qwRequestId, m_strFileName.c_str());
      return false;
    }
    return true;
  }
  // The memory buffer and its spare room stay for the new body.
  m_dwDataLen = 0;
  m_qwSkip = m_qwStreamLen;
  return true;
}

bool HttpResponseDataWriter::GetBuffer(unsigned char** data, uint32_t* len) {
  if (!data || !len || !m_pMemBuf || m_dwDataLen == 0) return false;
  *data = m_pMemBuf;
  *len = m_dwDataLen;
  return true;
}

bool HttpResponseDataWriter::GetFileName(zn::strutf8& out) {
  out = m_strFileName;
  return true;
}

bool HttpResponseDataWriter::CloseFile() {
  if (m_pFile) {
    m_pFile->Close();
    delete m_pFile;
    m_pFile = nullptr;
  }
  return true;
}

uint32_t HttpResponseDataWriter::GetSpeed(uint64_t* delta) { return GetSpeed(zn_gettickcount(), delta); }

uint32_t HttpResponseDataWriter::GetSpeed(uint64_t now, uint64_t* delta) {
  // No write yet, or no time passed since the first: no rate and no delta.
  if (m_qwFirstWriteTime == 0 || now <= m_qwFirstWriteTime) {
    if (delta) *delta = 0;
    return 0;
  }
  return m_oSpeed.GetSpeed(now, delta);
}

}  // namespace zn
