// What the response analysis reports upward while a body arrives. The client
// implements it with its notifications; tests and fuzz harnesses record calls
// or pass null.
//
// Thread safety: called on the client's worker thread only.
#pragma once

#include <cstdint>

namespace zn {

class IHttpResponseSink {
 public:
  // A download's head was accepted: present = bytes the writer already held
  // (low 32 bits), total = the announced length (0 when none).
  virtual void NotifyOnDownloadStart(uint32_t present, uint32_t total) = 0;
  // A body piece was written; force is set when the body is complete, so the
  // report is made whatever the pacing says.
  virtual void ReportProgress(bool force) = 0;

 protected:
  ~IHttpResponseSink() = default;
};

}  // namespace zn
