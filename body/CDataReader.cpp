#include "body/CDataReader.h"

#include <cstdlib>
#include <cstring>

#include "base/znplatform.h"
#include "body/BodyAllocator.h"
#include "body/ZnRequestId.h"
#include "include/znhttpclient.h"

namespace zn {

namespace {
const char kTag[] = "Http.DataReader";
}  // namespace

CDataReader::CDataReader() : m_qwRequestId(CurrentRequestId()) {}

CDataReader::~CDataReader() {
  std::free(m_pMemory);
  m_pMemory = nullptr;
  CloseSourceFile();
  std::free(m_pFileCacheBuf);
  m_pFileCacheBuf = nullptr;
  m_strFileName.clear();
}

void CDataReader::CloseSourceFile() {
  if (m_pFile) {
    m_pFile->Close();
    delete m_pFile;
    m_pFile = nullptr;
  }
}

bool CDataReader::SetFileName(const char* name) {
  if (!name) return false;
  if (m_pFile) {
    znsyslog(1, kTag, __LINE__, "CDataReader::SetFileName,close file, %s", m_strFileName.c_str());
    CloseSourceFile();
  }
  // A window read from an earlier source is never offered for this one.
  m_dwCacheUsed = 0;
  m_dwCacheFilled = 0;
  m_strFileName = name;
  m_pFile = new io::CFile();
  if (!m_pFile->Open(m_strFileName.c_str(), "rb")) {
    delete m_pFile;
    m_pFile = nullptr;
    znsyslog(1, kTag, __LINE__, "Id[%I64u] OpenFile Fail FileName[%s]", m_qwRequestId, m_strFileName.c_str());
    return false;
  }
  const int64_t size = m_pFile->GetSize();
  if (size <= 0) {
    znsyslog(1, kTag, __LINE__, "Id[%I64u] OpenFile but len is 0,let's fail [%s]", m_qwRequestId,
             m_strFileName.c_str());
    CloseSourceFile();
    return false;
  }
  m_qwLength = static_cast<uint64_t>(size);
  m_bMemory = false;
  return true;
}

bool CDataReader::SetBuffer(const void* data, uint32_t len) {
  if (!data || len == 0) return false;
  unsigned char* copy = static_cast<unsigned char*>(BodyAlloc(len));
  if (!copy) {
    znsyslog(1, kTag, __LINE__, "Id[%I64u] malloc m_pMemory fail [%u]", m_qwRequestId, static_cast<unsigned>(len));
    return false;
  }
  std::memcpy(copy, data, len);
  std::free(m_pMemory);
  m_pMemory = copy;
  m_qwLength = len;
  m_bMemory = true;
  return true;
}

bool CDataReader::GetData(const unsigned char** data, uint32_t* len) {
  if (!data || !len) return false;
  if (m_bMemory) {
    const uint64_t remaining = m_qwLength - m_qwPos;
    if (remaining == 0 || !m_pMemory) return false;
    *len = remaining < kMaxMemoryWindow ? static_cast<uint32_t>(remaining) : kMaxMemoryWindow;
    *data = m_pMemory + m_qwPos;
    return true;
  }
  if (!m_pFileCacheBuf) {
    for (uint32_t size : kFileCacheSizes) {
      m_pFileCacheBuf = static_cast<unsigned char*>(BodyAlloc(size));
      if (m_pFileCacheBuf) {
        m_bufTmpMaxLen = size;
        znsyslog(3, kTag, __LINE__, "Id[%I64u] m_bufTmpMaxLen =[%d]", m_qwRequestId,
                 static_cast<int>(m_bufTmpMaxLen));
        break;
      }
    }
    if (!m_pFileCacheBuf) {
      znsyslog(1, kTag, __LINE__, "Id[%I64u] malloc m_pFileCacheBuf fail", m_qwRequestId);
      return false;
    }
  }
  if (!m_pFile) return false;
  if (m_dwCacheUsed < m_dwCacheFilled) {
    // The unsent rest of the last read starts at m_qwPos: offer it again
    // without touching the file.
    *data = m_pFileCacheBuf + m_dwCacheUsed;
    *len = m_dwCacheFilled - m_dwCacheUsed;
    return true;
  }
  if (m_pFile->Seek(static_cast<int64_t>(m_qwPos), 0) < 0) return false;
  // The body is the file as long as it was when it was opened: bytes that
  // another program appends meanwhile are never read, and a file that shrank
  // below the position ends the read (false) instead of yielding short data
  // forever.
  const uint64_t remaining = m_qwLength - m_qwPos;
  const uint32_t want = remaining < m_bufTmpMaxLen ? static_cast<uint32_t>(remaining) : m_bufTmpMaxLen;
  const int64_t got = m_pFile->Read(m_pFileCacheBuf, want);
  if (got <= 0) {
    znsyslog(1, kTag, __LINE__, "Id[%I64u] Read File Fail at [%I64u] of [%I64u] [%s]", m_qwRequestId, m_qwPos,
             m_qwLength, m_strFileName.c_str());
    return false;
  }
  m_dwCacheUsed = 0;
  m_dwCacheFilled = static_cast<uint32_t>(got);
  *data = m_pFileCacheBuf;
  *len = m_dwCacheFilled;
  return true;
}

bool CDataReader::Skip(uint64_t n) {
  // Compared as a difference so that no n can wrap past the length.
  if (n > m_qwLength - m_qwPos) return false;
  if (!m_bMemory) {
    // A confirmation beyond the cache makes the next GetData read at the new
    // position; the sum is taken in 64 bits so that a large resume offset
    // cannot wrap back into the cached window.
    const uint64_t used = static_cast<uint64_t>(m_dwCacheUsed) + n;
    m_dwCacheUsed = used < m_dwCacheFilled ? static_cast<uint32_t>(used) : m_dwCacheFilled;
  }
  m_qwPos += n;
  m_oSpeed.AddBytes(n);
  return true;
}

bool CDataReader::SetStart(uint64_t offset) {
  if (offset < m_qwPos || !Skip(offset - m_qwPos)) return false;
  m_qwStart = offset;
  return true;
}

bool CDataReader::Reset() {
  m_qwPos = m_qwStart;
  // The cached window belonged to the old position.
  m_dwCacheUsed = 0;
  m_dwCacheFilled = 0;
  return true;
}

uint32_t CDataReader::GetSpeed(uint64_t* delta) { return m_oSpeed.GetSpeed(zn_gettickcount(), delta); }

}  // namespace zn
