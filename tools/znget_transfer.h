// The transfer: one client, the requests the options ask for (repeated with
// --repeat), the progress bar, and the library's log that explains a failure.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "tools/znget_options.h"

namespace znget {

// The library's result codes that znget names.
enum ResultCode : int {
  kCodeSuccess = 0,
  kCodeNotModified = 1,
  kCodeFailed = 2,  // also what znget makes of an answer with a status from 400 up
  kCodeLocalFile = 4,
  kCodeBadUrl = 10,
};
// From this status on an answer is an error page, whatever code the library gave.
constexpr uint32_t kFirstErrorStatus = 400;

struct TransferResult {
  int code = kCodeSuccess;
  uint32_t status = 0;       // the final answer's status; 0 when none came
  bool interrupted = false;  // stopped by an interrupt or --stop-at; code means nothing then
  uint64_t arrived = 0;      // body bytes in the file, as the last progress report gave them
  std::string lastModified;  // of a successful file download, "" when not sent
  std::string serverName;    // of a successful file download: the name the response gives
  std::string cause;         // the library's explanation of a failure, "" when none
};

// Sends the library's log to standard error up to the level -v asks for and
// keeps what explains a failure. Called once, before the first transfer.
void StartLog(int verbosity);

// Runs the transfers of o; a file download writes into written. Ends early,
// with interrupted set, once *interrupt turns true (an interrupt handler sets
// it, and the transfer itself once the file holds o.stopAt bytes). When it returns, the
// client is gone and every file it wrote is closed.
TransferResult RunTransfers(const Options& o, const std::string& written, std::atomic<bool>* interrupt);

// The words for a result code in the summary line.
const char* CodeText(int code);
std::string HumanBytes(double bytes);

}  // namespace znget
