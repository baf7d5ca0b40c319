// What znget needs from the operating system, with one implementation per
// system (znget_posix.cpp, znget_win.cpp; the build picks one). Every name is
// UTF-8: on Windows the files are reached through the wide-character calls,
// as the library reaches the files it writes, so that a name in any script
// means the same file to both.
//
// Thread: the main thread, except WriteStandardError, which the progress bar
// also calls from the client's worker thread.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace znget {

// ---- process ------------------------------------------------------------------
// Bodies go to standard output byte for byte and lines end with "\n" alone.
void UseBinaryStandardStreams();
// The program's arguments in UTF-8, whatever the system's code page.
std::vector<std::string> Utf8Arguments(int argc, char** argv);
// handler runs on Ctrl-C and on a request to terminate; a closed standard
// output makes writes fail instead of ending the process.
void OnInterrupt(void (*handler)(int));
bool StandardErrorIsTerminal();
// Writes UTF-8 text to standard error; a console shows the characters as
// written, a pipe or file gets the bytes.
void WriteStandardError(const std::string& text);
// printf to standard error through WriteStandardError.
inline void Say(const char* fmt, ...) {
  char text[2048];
  va_list args;
  va_start(args, fmt);
  vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  WriteStandardError(text);
}

// ---- files ----------------------------------------------------------------------
// What the last failed operation below said, in the system's words.
std::string LastErrorText();
// The system's words for an error number as the platform library logs it
// ("errno[N]": errno values here, GetLastError values on Windows).
std::string ErrorText(int code);
// fopen for a UTF-8 name; null on failure.
FILE* OpenUtf8File(const std::string& path, const char* mode);

enum class NewFile {
  kMade,    // an empty file of that name now exists, made by this call
  kTaken,   // the name was taken
  kFailed,  // another failure (LastErrorText says which)
};
// Makes an empty file (mode 0666 less the umask where modes exist) that did
// not exist before.
NewFile CreateNewFile(const std::string& path);

bool IsFolder(const std::string& path);
// The size of a file, 64 bits wide everywhere; false when it cannot be read.
bool FileSize(const std::string& path, uint64_t* size);
bool ResizeFile(const std::string& path, uint64_t size);
bool RemoveFile(const std::string& path);
// Seconds since 1970-01-01 UTC.
bool ModificationTime(const std::string& path, int64_t* seconds);
bool SetModificationTime(const std::string& path, int64_t seconds);

enum class Move {
  kMoved,   // to now names what from named
  kTaken,   // to exists and replace was not allowed; nothing changed
  kFailed,  // nothing changed (LastErrorText says why)
};
// Renames a file within its folder in one step. Without replace the step
// itself refuses an existing name, so a file that appears meanwhile is never
// replaced; with replace an existing file, even one another program holds
// open, gives way.
Move MoveIntoPlace(const std::string& from, const std::string& to, bool replace);

// A file name (one component, not empty) the system can create as a plain
// file: on Windows device names (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with any
// extension), a dot or blank at the end and the characters <>:"|?* are
// replaced; elsewhere the name stays.
std::string SystemSafeName(const std::string& name);

}  // namespace znget
