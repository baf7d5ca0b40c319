// The transfer rate meter shared by the request body reader and the response
// data writer: an average rate over the whole transfer, plus the bytes counted
// since the previous query.
//
// Thread safety: none; used on the client's worker thread only.
#pragma once

#include <cstdint>

#include "base/zndef.h"

namespace zn {

class CSpeedCounter final {
 public:
  // Counts n bytes at the time now (milliseconds of zn_gettickcount). The first
  // count (while the start time is 0) starts the meter.
  void AddBytes(uint64_t n, uint64_t now);
  void AddBytes(uint64_t n);  // at zn_gettickcount()
  // Hands out the bytes counted since the previous query through delta (may be
  // null) and zeroes that count. Returns 0 when now is not later than the start
  // time, else (bytes since the start * 1000) / (now - start), low 32 bits.
  uint32_t GetSpeed(uint64_t now, uint64_t* delta);

  uint64_t StartTime() const { return m_qwStartTime; }
  uint64_t TotalBytes() const { return m_qwTotalBytes; }

 private:
  uint64_t m_qwStartTime = 0;     // ms of the first count, 0 until then
  uint64_t m_qwTotalBytes = 0;    // bytes counted since the start
  uint64_t m_qwDeltaBytes = 0;    // bytes counted since the last query
  uint64_t m_qwLastTime = 0;      // time of the first count, then of the last query
};

}  // namespace zn
