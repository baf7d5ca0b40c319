// The host's body sink interface.
#pragma once

#include "base/zndef.h"

class IZNStreamWriter {
 public:
  virtual ~IZNStreamWriter() = default;
  // Called right before the writer deletes a stream that it replaces.
  virtual void Close() {}
  // Bytes taken; anything but len counts as a failure.
  virtual uint64_t Write(const void* pData, uint32_t len) = 0;
  virtual IZNStreamWriter* Clone() { return nullptr; }
};
