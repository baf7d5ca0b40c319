#include "net/CByteBuffer.h"

#include <cstdlib>
#include <cstring>

#include "base/znplatform.h"

namespace {
const char kLogTag[] = "unnamed";
const int kLevelWarn = 2;
}  // namespace

CByteBuffer::CByteBuffer(uint32_t nCapacity)
    : m_pData(nullptr), m_nOffset(0), m_nSize(0), m_nCapacity(0) {
  if (nCapacity > 0) {
    m_pData = static_cast<unsigned char*>(std::malloc(nCapacity));
    if (m_pData) m_nCapacity = nCapacity;
  }
}

CByteBuffer::~CByteBuffer() {
  std::free(m_pData);
  m_pData = nullptr;
  m_nOffset = 0;
  m_nSize = 0;
  m_nCapacity = 0;
}

void CByteBuffer::AddSize(uint32_t n) {
  // Both tests are made in 64 bits so that a huge n cannot wrap around.
  const uint64_t newSize = uint64_t(m_nSize) + n;
  if (newSize > m_nCapacity || uint64_t(m_nOffset) + newSize > m_nCapacity) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "AddSize %d to origSize[%d] > capacity[%d]", int(n), int(m_nSize),
             int(m_nCapacity));
    return;
  }
  m_nSize = uint32_t(newSize);
}

void CByteBuffer::CopyFrom(const void* pSrc, uint32_t n) {
  if (m_nCapacity < n) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "CopyFrom Size[%d] > capacity[%d] ", int(n), int(m_nCapacity));
    return;
  }
  if (n > 0) std::memmove(m_pData, pSrc, n);
  m_nSize = n;
  m_nOffset = 0;
}

void CByteBuffer::RemoveFront(uint32_t n) {
  if (m_nSize < n) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "RemoveFront Size[%d] < Remove Size[%d] ", int(m_nSize), int(n));
    Reset();
  } else if (uint64_t(m_nOffset) + n > m_nCapacity) {
    znsyslog(kLevelWarn, kLogTag, __LINE__, "RemoveFront Offset[%d] + Size[%d]> capacity[%d] ", int(m_nOffset),
             int(n), int(m_nCapacity));
    Reset();
  } else if (n == m_nSize) {
    Reset();
  } else {
    m_nOffset += n;
    m_nSize -= n;
  }
}
