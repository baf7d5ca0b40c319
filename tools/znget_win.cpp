// znget's system calls on Windows. The C runtime's narrow calls read names in
// the ANSI code page; every name here goes through the wide calls instead, as
// the library's own files do.
#include <fcntl.h>
#include <io.h>
#include <signal.h>
#include <windows.h>
#include <shellapi.h>

#include <cctype>
#include <cstring>

#include "tools/znget_os.h"

namespace znget {

namespace {

// 100-nanosecond steps from 1601-01-01 (FILETIME) to 1970-01-01.
constexpr int64_t kFileTimeOf1970 = 116444736000000000LL;
constexpr int64_t kFileTimePerSecond = 10000000LL;
// Every program may read, write, rename and delete a file znget holds.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::wstring Wide(const std::string& text) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &out[0], n);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

std::string Utf8(const wchar_t* text) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
  out.resize(static_cast<size_t>(n - 1));
  return out;
}

bool Attributes(const std::string& path, WIN32_FILE_ATTRIBUTE_DATA* data) {
  return GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, data) != 0;
}

// Opens an existing file for changing it; INVALID_HANDLE_VALUE on failure.
HANDLE OpenForChange(const std::string& path, DWORD access) {
  return CreateFileW(Wide(path).c_str(), access, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

bool IsDeviceName(std::string stem) {
  while (!stem.empty() && stem.back() == ' ') stem.pop_back();
  for (char& c : stem) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") return true;
  return stem.size() == 4 && (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) && stem[3] >= '1' &&
         stem[3] <= '9';
}

}  // namespace

void UseBinaryStandardStreams() {
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(Utf8(wide[i]));
  LocalFree(wide);
  return args;
}

void OnInterrupt(void (*handler)(int)) {
  signal(SIGINT, handler);
  signal(SIGTERM, handler);
  signal(SIGBREAK, handler);
}

bool StandardErrorIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void WriteStandardError(const std::string& text) {
  const HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  if (GetConsoleMode(console, &mode)) {
    const std::wstring wide = Wide(text);
    DWORD written = 0;
    WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  fwrite(text.data(), 1, text.size(), stderr);
  fflush(stderr);
}

std::string LastErrorText() { return ErrorText(static_cast<int>(GetLastError())); }

std::string ErrorText(int code) {
  const DWORD error = static_cast<DWORD>(code);
  wchar_t buf[512];
  if (!FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, buf,
                      sizeof buf / sizeof buf[0], nullptr)) {
    return "error " + std::to_string(error);
  }
  std::string text = Utf8(buf);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
  return text;
}

FILE* OpenUtf8File(const std::string& path, const char* mode) {
  return _wfopen(Wide(path).c_str(), Wide(std::string(mode) + "N").c_str());  // N: not inherited
}

NewFile CreateNewFile(const std::string& path) {
  const HANDLE h =
      CreateFileW(Wide(path).c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h != INVALID_HANDLE_VALUE) {
    CloseHandle(h);
    return NewFile::kMade;
  }
  const DWORD error = GetLastError();
  return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? NewFile::kTaken : NewFile::kFailed;
}

bool IsFolder(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool FileSize(const std::string& path, uint64_t* size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!Attributes(path, &data)) return false;
  *size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return true;
}

bool ResizeFile(const std::string& path, uint64_t size) {
  const HANDLE h = OpenForChange(path, GENERIC_WRITE);
  if (h == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(size);
  const bool ok = SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && SetEndOfFile(h);
  CloseHandle(h);
  return ok;
}

bool RemoveFile(const std::string& path) { return DeleteFileW(Wide(path).c_str()) != 0; }

bool ModificationTime(const std::string& path, int64_t* seconds) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!Attributes(path, &data)) return false;
  const int64_t ticks = static_cast<int64_t>((static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                             data.ftLastWriteTime.dwLowDateTime);
  *seconds = (ticks - kFileTimeOf1970) / kFileTimePerSecond;
  return true;
}

bool SetModificationTime(const std::string& path, int64_t seconds) {
  const HANDLE h = OpenForChange(path, FILE_WRITE_ATTRIBUTES);
  if (h == INVALID_HANDLE_VALUE) return false;
  const uint64_t ticks = static_cast<uint64_t>(seconds * kFileTimePerSecond + kFileTimeOf1970);
  FILETIME written;
  written.dwLowDateTime = static_cast<DWORD>(ticks);
  written.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  const bool ok = SetFileTime(h, nullptr, nullptr, &written) != 0;
  CloseHandle(h);
  return ok;
}

Move MoveIntoPlace(const std::string& from, const std::string& to, bool replace) {
  const std::wstring source = Wide(from), target = Wide(to);
  if (MoveFileExW(source.c_str(), target.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0)) return Move::kMoved;
  const DWORD error = GetLastError();
  if (!replace) return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? Move::kTaken : Move::kFailed;
  if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) return Move::kFailed;
  // A file that another program holds open (sharing delete, as viewers and
  // scanners do) cannot be replaced, but it can be renamed: the old file
  // steps aside, the download takes its name, and the old file is deleted
  // once that program closes it. Should the second step fail, the old file
  // gets its name back.
  const std::wstring aside = source + L".replaced";
  if (!MoveFileExW(target.c_str(), aside.c_str(), 0)) {
    SetLastError(error);
    return Move::kFailed;
  }
  if (!MoveFileExW(source.c_str(), target.c_str(), 0)) {
    const DWORD moveError = GetLastError();
    MoveFileExW(aside.c_str(), target.c_str(), 0);
    SetLastError(moveError);
    return Move::kFailed;
  }
  DeleteFileW(aside.c_str());
  return Move::kMoved;
}

std::string SystemSafeName(const std::string& name) {
  std::string out = name;
  for (char& c : out) {
    if (c && strchr("<>:\"|?*", c)) c = '_';
  }
  // Windows drops a final dot or blank from a name, so such a name would be another file.
  for (size_t i = out.size(); i > 0 && (out[i - 1] == '.' || out[i - 1] == ' '); --i) out[i - 1] = '_';
  if (IsDeviceName(out.substr(0, out.find('.')))) out.insert(0, "_");
  return out;
}

}  // namespace znget
