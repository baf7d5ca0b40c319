// The source of a request body: a file read through a read-ahead cache, or the
// reader's own copy of a memory buffer. The position advances only by what
// Skip confirms as sent.
//
// Ownership: the reader owns its file object, its cache and its memory copy.
// Thread safety: none; used on the client's worker thread only. Every log line
// carries the tag "Http.DataReader".
#pragma once

#include <cstdint>

#include "base/znfile.h"
#include "base/znstring.h"
#include "body/CSpeedCounter.h"

namespace zn {

class CDataReader final {
 public:
  // Read-ahead cache sizes, tried in order until an allocation succeeds.
  static constexpr uint32_t kFileCacheSizes[] = {524288, 262144, 131072, 65536, 32768, 16384};
  // Largest window handed out from a memory source.
  static constexpr uint32_t kMaxMemoryWindow = 65536;

  CDataReader();
  CDataReader(const CDataReader&) = delete;
  CDataReader& operator=(const CDataReader&) = delete;
  ~CDataReader();

  bool SetFileName(const char* name);
  bool SetBuffer(const void* data, uint32_t len);
  // The next window of unsent bytes; does not advance the position.
  bool GetData(const unsigned char** data, uint32_t* len);
  // Confirms that n bytes of the last window went out.
  bool Skip(uint64_t n);
  // Moves to offset, where every attempt of the upload starts (Reset comes
  // back here). False, changing nothing, when offset lies past the end.
  bool SetStart(uint64_t offset);
  uint64_t GetPos() const { return m_qwPos; }
  uint64_t GetLength() const { return m_qwLength; }
  bool IsEnd() const { return m_qwPos == m_qwLength; }
  // Back to the start (0, or SetStart's offset); the cache is emptied too; the
  // meter keeps counting.
  bool Reset();
  uint32_t GetSpeed(uint64_t* delta);
  CSpeedCounter& Meter() { return m_oSpeed; }

 private:
  // Closes and deletes the source file, if one is open.
  void CloseSourceFile();

  bool m_bMemory = false;                  // false: file source; true: memory source
  uint64_t m_qwLength = 0;                 // size of the file or the memory body
  uint64_t m_qwStart = 0;                  // where every attempt starts, <= m_qwPos
  uint64_t m_qwPos = 0;                    // bytes confirmed sent, <= m_qwLength
  zn::strutf8 m_strFileName;               // path of the source file
  zn::io::CFile* m_pFile = nullptr;        // owned; the open source file or null
  unsigned char* m_pFileCacheBuf = nullptr;  // owned (malloc); made at the first GetData
  uint32_t m_bufTmpMaxLen = 0;             // capacity of the cache
  uint32_t m_dwCacheUsed = 0;              // bytes of the cache confirmed sent
  uint32_t m_dwCacheFilled = 0;            // bytes read by the last file read; while
                                           // used < filled the window starts at m_qwPos
  CSpeedCounter m_oSpeed;                  // bytes confirmed sent
  unsigned char* m_pMemory = nullptr;      // owned; the reader's copy of the memory body
  uint64_t m_qwRequestId = 0;              // request id current when made, for log lines
};

}  // namespace zn
