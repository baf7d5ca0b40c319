// A fixed-capacity byte queue between the TLS memory BIOs and a socket.
//
// Bytes are appended behind the stored data (at WritePtr) and consumed from its
// front; the storage is never moved, copied inside or grown. Space in front of
// the first stored byte is only reused once the buffer has been emptied, when
// the start index returns to 0.
//
// Thread: used by one thread at a time (the TLS processor's task). Owns its
// storage.
#pragma once

#include <cstdint>

#include "base/zndef.h"

class CByteBuffer final {
 public:
  // Allocates nCapacity bytes; a capacity of 0 (or a failed allocation) leaves
  // the buffer without storage and with capacity 0.
  explicit CByteBuffer(uint32_t nCapacity);
  ~CByteBuffer();
  CByteBuffer(const CByteBuffer&) = delete;
  CByteBuffer& operator=(const CByteBuffer&) = delete;

  // The first stored byte.
  unsigned char* ReadPtr() const { return m_pData + m_nOffset; }
  // Free space behind the stored data; *ppWrite (when given) receives where new
  // bytes go.
  uint32_t WritePtr(unsigned char** ppWrite = nullptr) const {
    if (ppWrite) *ppWrite = m_pData + m_nOffset + m_nSize;
    return m_nCapacity - m_nSize - m_nOffset;
  }
  uint32_t Size() const { return m_nSize; }
  uint32_t Capacity() const { return m_nCapacity; }
  bool IsFull() const { return m_nSize >= m_nCapacity; }
  bool IsEmpty() const { return m_nSize == 0; }
  // Drops the stored bytes; the storage stays.
  void Reset() {
    m_nOffset = 0;
    m_nSize = 0;
  }

  // Records n bytes just written at WritePtr. A count beyond the free space is
  // logged and refused (nothing changes), so that unwritten storage never
  // counts as data.
  void AddSize(uint32_t n);
  // Replaces the contents with n bytes from pSrc; refused (logged) when n
  // exceeds the capacity.
  void CopyFrom(const void* pSrc, uint32_t n);
  // Consumes n bytes from the front. Removing more than is stored logs and
  // empties the buffer.
  void RemoveFront(uint32_t n);

 private:
  unsigned char* m_pData;  // owned, m_nCapacity bytes; null when the capacity is 0
  // Invariant: m_nOffset + m_nSize <= m_nCapacity; m_nOffset == 0 whenever
  // m_nSize == 0 after RemoveFront or Reset.
  uint32_t m_nOffset;      // index of the first stored byte
  uint32_t m_nSize;        // stored bytes, from m_nOffset on
  uint32_t m_nCapacity;    // size of the storage
};
