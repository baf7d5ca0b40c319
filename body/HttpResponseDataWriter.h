// The sink of a response body: a file on disk (through a write cache), a stream
// object of the host, or growing memory that the host fetches afterwards.
//
// Ownership: the writer owns its file object, its caches, its memory buffer and
// the host's stream (which it deletes). One writer per request, owned by the
// client. Thread safety: none; used on the client's worker thread only. Every
// log line carries the tag "Http.DataWriter".
#pragma once

#include <cstdint>

#include "base/znfile.h"
#include "base/znstreamwriter.h"
#include "base/znstring.h"
#include "body/CSpeedCounter.h"

namespace zn {

class HttpResponseDataWriter final {
 public:
  // File cache sizes, tried in order until an allocation succeeds.
  static constexpr uint32_t kFileCacheSizes[] = {512000, 204800, 102400, 51200, 10240};
  // The memory target grows by at least this step, and by as much as it
  // holds once it holds more, or exactly by a larger piece.
  static constexpr uint32_t kMemoryGrowStep = 102400;
  // Most data the memory target holds.
  static constexpr uint32_t kMemoryMax = 102400000;

  HttpResponseDataWriter();
  HttpResponseDataWriter(const HttpResponseDataWriter&) = delete;
  HttpResponseDataWriter& operator=(const HttpResponseDataWriter&) = delete;
  ~HttpResponseDataWriter();

  // bToFile: open fileName (or the stored name when null) for appending.
  // Otherwise the target is the stream when one is given (replacing and
  // deleting an earlier one, after its Close), else memory.
  bool Open(bool bToFile, const char* fileName, IZNStreamWriter* stream);
  bool Write(const unsigned char* data, uint32_t len);
  bool Flush();
  // File and memory: the bytes held. Stream: the bytes passed on, less those
  // still to be dropped from the front of the answer now arriving.
  uint64_t GetDownloadedSize();
  // The body starts again at byte 0. A file or memory target is emptied; a
  // stream cannot take back what it got, so as many bytes as it holds are
  // dropped from the front of what is written next, and it receives each
  // byte of the resource once.
  bool SetLength0();
  // Stream: bytes still to be dropped before the stream gets more. Left over
  // when a body ends, the answer was shorter than what the stream holds.
  uint64_t GetSkipLeft() const { return m_qwSkip; }
  bool GetBuffer(unsigned char** data, uint32_t* len);
  bool GetFileName(zn::strutf8& out);
  bool CloseFile();
  // The download rate at zn_gettickcount() (0 before the first write) and,
  // through delta, the bytes counted since the previous query.
  uint32_t GetSpeed(uint64_t* delta);
  uint32_t GetSpeed(uint64_t now, uint64_t* delta);  // at an explicit time, for tests
  uint64_t FirstWriteTime() const { return m_qwFirstWriteTime; }
  bool IsToFile() const { return m_bToFile; }

 private:
  // The file target: through the cache, or straight through when a piece does
  // not fit behind the cached bytes.
  bool WriteToFile(const unsigned char* data, uint32_t len);
  // The memory target: grows by as much as it holds (at least by
  // kMemoryGrowStep, at most to kMemoryMax), or exactly by a larger piece, so
  // a body of n bytes costs O(log n) allocations and O(n) bytes of copying.
  bool WriteToMemory(const unsigned char* data, uint32_t len);
  // Writes to the end of the open file and keeps m_nKnownFileSize.
  bool AppendToFile(const unsigned char* data, uint32_t len);

  // m_nKnownFileSize before the file's size has been read, or after a write
  // whose outcome leaves it in doubt.
  static constexpr int64_t kUnknownFileSize = -1;

  bool m_bToFile = true;                   // target is a file; else stream, else memory
  uint64_t m_qwAccepted = 0;               // sum of lengths passed to Write since Open
  uint64_t m_qwFirstWriteTime = 0;         // tick of the first Write since Open, 0 until then
  zn::strutf8 m_strFileName;               // path of the target file
  zn::io::CFile* m_pFile = nullptr;        // owned; the open target file or null
  // Size of m_pFile as this writer last read or extended it, or
  // kUnknownFileSize. The writer is the file's only writer while it holds it,
  // so the size is read once instead of after every piece of a download.
  int64_t m_nKnownFileSize = kUnknownFileSize;
  IZNStreamWriter* m_pStream = nullptr;    // owned; the host's stream or null
  unsigned char* m_pFileCacheBuf = nullptr;  // owned (malloc); made at the first file Write
  uint32_t m_dwFileCacheBufLen = 0;        // capacity of the cache
  uint32_t m_dwCacheFill = 0;              // bytes waiting in the cache, <= capacity
  unsigned char* m_pMemBuf = nullptr;      // owned (malloc); the memory target or null
  uint32_t m_dwDataLen = 0;                // memory: bytes held (at most kMemoryMax)
  uint64_t m_qwStreamLen = 0;              // stream: bytes passed on
  uint64_t m_qwSkip = 0;                   // stream: bytes of the answer to drop, <= m_qwStreamLen;
                                           // the stream holds the resource's bytes
                                           // [0, m_qwStreamLen), the answer delivered
                                           // [0, m_qwStreamLen - m_qwSkip)
  uint32_t m_dwSpareRoom = 0;              // free bytes behind the data in m_pMemBuf;
                                           // data length + spare room <= its size
  uint64_t m_qwRequestId = 0;              // request id current when made, for log lines
  CSpeedCounter m_oSpeed;                  // bytes accepted by Write
};

}  // namespace zn
