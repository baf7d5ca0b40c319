// znget's output files: the part file a download goes into, its move to the
// target's name, the names the server chooses, the files znget reads, and
// the report of an interrupted download. Main thread only; the library has
// closed a file before znget moves or measures it.
#pragma once

#include <cstdint>
#include <string>

namespace znget {

enum class ReadResult { kRead, kFailed, kTooLarge };
// The whole content of a file ("-": standard input), refused when it holds
// more than limit bytes (a file's size is checked before reading it).
ReadResult ReadSmallFile(const std::string& path, uint64_t limit, std::string* out);
// Writes an answer held in memory to output ("" or "-": standard output).
bool WriteAnswer(const std::string& output, const unsigned char* data, uint32_t len);

// Where a named output file can be created: its folder must exist and the
// name must not be a folder. Says why not on standard error.
bool CheckOutputPath(const std::string& path);

// Makes an empty file named BASE.XXXXXX.part to download into, beside BASE so
// that the final move stays on one file system. "" when none can be made.
std::string CreatePartFile(const std::string& base);

// Moves a finished download from its part file to its name. A name the
// server chose (mayReplace false) replaces no file, not even one that
// appears meanwhile. When the move fails, the part file stays and the
// message on standard error says where the download is.
bool PlaceDownload(const std::string& part, const std::string& name, bool mayReplace);

// The last path component of a name from the server (or the URL), safe to
// create in the current folder on this system.
std::string SafeFileName(const std::string& name);

// Gives a downloaded file the modification time of an HTTP date.
void KeepServerTime(const std::string& path, const char* httpDate);

// The size of a file; 0 when it cannot be read.
uint64_t SizeOf(const std::string& path);

// What Ctrl-C leaves: the file written so far (target itself with -C, else the
// part file) is kept when it holds bytes, under the target's name when that
// name is free; an empty part file goes. Reports where the bytes are.
void KeepInterrupted(const std::string& written, const std::string& part, const std::string& target,
                     uint64_t arrived);

}  // namespace znget
