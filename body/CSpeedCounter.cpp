#include "body/CSpeedCounter.h"

#include "include/znhttpclient.h"

namespace zn {

void CSpeedCounter::AddBytes(uint64_t n, uint64_t now) {
  if (m_qwStartTime == 0) {
    // The first count starts the meter. The start time is the trigger (not the
    // last query time), so a query made before any count cannot keep the meter
    // from starting and leave it measuring from time 0.
    m_qwLastTime = now;
    m_qwStartTime = now;
  }
  m_qwTotalBytes += n;
  m_qwDeltaBytes += n;
}

void CSpeedCounter::AddBytes(uint64_t n) { AddBytes(n, zn_gettickcount()); }

uint32_t CSpeedCounter::GetSpeed(uint64_t now, uint64_t* delta) {
  // The delta is handed out on every query, even one that yields no rate.
  if (delta) *delta = m_qwDeltaBytes;
  m_qwDeltaBytes = 0;
  if (now <= m_qwStartTime) return 0;
  m_qwLastTime = now;
  // An average over the whole transfer; the low 32 bits are the rate.
  return static_cast<uint32_t>((m_qwTotalBytes * 1000) / (now - m_qwStartTime));
}

}  // namespace zn
