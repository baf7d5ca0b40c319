// The test helpers' system calls on Windows (Winsock; Winsock is started by
// the platform library when it loads).
#include "support/TestNet.h"
#include "support/TestOs.h"
#include "support/TestUtil.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <filesystem>
#include <random>

namespace zntest {

int NewSocket(int family) {
  const SOCKET s = ::WSASocketW(family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

void CloseSocket(int fd) {
  if (fd >= 0) ::closesocket(static_cast<SOCKET>(fd));
}

bool SetNonBlocking(int fd, bool nonBlocking) {
  u_long on = nonBlocking ? 1 : 0;
  return ::ioctlsocket(static_cast<SOCKET>(fd), FIONBIO, &on) == 0;
}

int SocketError() { return ::WSAGetLastError(); }

bool SocketWouldBlock() {
  const int err = ::WSAGetLastError();
  return err == WSAEWOULDBLOCK || err == WSAEINPROGRESS || err == WSAEINTR;
}

int PollSockets(pollfd* fds, size_t n, int timeoutMs) {
  return ::WSAPoll(fds, static_cast<ULONG>(n), timeoutMs);
}

int AcceptNonBlocking(int listenFd, sockaddr* peer, socklen_t* len) {
  const SOCKET s = ::accept(static_cast<SOCKET>(listenFd), peer, len);
  if (s == INVALID_SOCKET) return -1;
  ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  SetNonBlocking(static_cast<int>(s));
  return static_cast<int>(s);
}

bool MakeWakePair(int fds[2]) {
  fds[0] = fds[1] = -1;
  LoopbackListener listener("127.0.0.1", 0, 1);
  if (!listener.ok()) return false;
  fds[1] = ConnectTo("127.0.0.1", listener.port());
  fds[0] = listener.Accept();
  if (fds[0] < 0 || fds[1] < 0) {
    CloseWakePair(fds);
    return false;
  }
  return SetNonBlocking(fds[0]) && SetNonBlocking(fds[1]);
}

void Wake(int fd) {
  const char b = 1;
  ::send(static_cast<SOCKET>(fd), &b, 1, 0);
}

void IgnoreBrokenPipes() {}

bool IsOpenFd(int fd) {
  int type = 0;
  int len = sizeof(type);
  return ::getsockopt(static_cast<SOCKET>(fd), SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &len) == 0;
}

int UnreadBytes(int fd) {
  u_long n = 0;
  return ::ioctlsocket(static_cast<SOCKET>(fd), FIONREAD, &n) == 0 ? static_cast<int>(n) : -1;
}

bool SetProxyVariable(const char*, const char*) { return false; }

// The layout WinHTTP reads from DefaultConnectionSettings: a version (0x46), a
// change counter, the flags (1 direct, 2 fixed proxy), then the proxy, the
// bypass list and the configuration script URL, each a 32-bit length and its
// ANSI characters.
bool SetSystemProxy(const char* hostPort, const char* bypass) {
  static uint32_t counter = 0;
  std::string blob;
  const auto put32 = [&blob](uint32_t value) { blob.append(reinterpret_cast<const char*>(&value), sizeof(value)); };
  const auto putText = [&](const char* text) {
    const std::string value = text ? text : "";
    put32(static_cast<uint32_t>(value.size()));
    blob += value;
  };
  put32(0x46);
  put32(++counter);
  put32(hostPort ? 3 : 1);
  putText(hostPort);
  putText(bypass);
  putText(nullptr);
  for (int i = 0; i < 8; ++i) put32(0);
  HKEY key = nullptr;
  if (::RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections",
                        0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const bool ok = ::RegSetValueExW(key, L"DefaultConnectionSettings", 0, REG_BINARY,
                                   reinterpret_cast<const BYTE*>(blob.data()),
                                   static_cast<DWORD>(blob.size())) == ERROR_SUCCESS;
  ::RegCloseKey(key);
  return ok;
}

std::string CurrentThreadName() {
  typedef HRESULT(WINAPI * GetThreadDescriptionFn)(HANDLE, PWSTR*);
  const auto getDescription = reinterpret_cast<GetThreadDescriptionFn>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
  PWSTR text = nullptr;
  if (!getDescription || FAILED(getDescription(::GetCurrentThread(), &text)) || text == nullptr) return std::string();
  char buf[64] = {};
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, buf, sizeof(buf) - 1, nullptr, nullptr);
  ::LocalFree(text);
  return buf;
}

size_t CurrentThreadStackReservation() {
  // From the bottom of the stack's reservation to its base (Windows 8 on).
  typedef void(WINAPI * GetLimitsFn)(PULONG_PTR, PULONG_PTR);
  const auto getLimits = reinterpret_cast<GetLimitsFn>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetCurrentThreadStackLimits")));
  ULONG_PTR low = 0, high = 0;
  if (getLimits) getLimits(&low, &high);
  return static_cast<size_t>(high - low);
}

namespace {

// A fresh folder under base whose name starts with prefix; "" on failure.
std::string MakeDirIn(const std::filesystem::path& base, const std::string& prefix) {
  std::random_device rd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof(suffix), ".%08x", static_cast<unsigned>(rd()));
    const std::filesystem::path dir = base / (prefix + suffix);
    std::error_code ec;
    if (std::filesystem::create_directory(dir, ec)) return dir.generic_string();
    if (ec) return std::string();
  }
  return std::string();
}

}  // namespace

std::string MakeTempDir(const std::string& prefix) {
  return MakeDirIn(std::filesystem::temp_directory_path(), prefix);
}

// Process figures. Open handles cannot be counted here: Wine reports none
// (GetProcessHandleCount gives 0), and the descriptors of the Linux process
// under it move with Wine's own cache of server handles. -1: unknown, so
// the leak checks on descriptors only bite on POSIX systems.
int OpenDescriptorCount() { return -1; }

long ResidentKiB() {
  PROCESS_MEMORY_COUNTERS pmc;
  if (!::GetProcessMemoryInfo(::GetCurrentProcess(), &pmc, sizeof(pmc))) return -1;
  return static_cast<long>(pmc.WorkingSetSize / 1024);
}

long long HeapInUseBytes() {
  HANDLE heaps[256];
  const DWORD count = ::GetProcessHeaps(256, heaps);
  long long total = 0;
  for (DWORD i = 0; i < count && i < 256; ++i) {
    if (!::HeapLock(heaps[i])) continue;
    PROCESS_HEAP_ENTRY entry = {};
    while (::HeapWalk(heaps[i], &entry)) {
      if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) total += entry.cbData;
    }
    ::HeapUnlock(heaps[i]);
  }
  return total;
}

int ThreadCount() {
  const HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return -1;
  const DWORD self = ::GetCurrentProcessId();
  int n = 0;
  THREADENTRY32 te;
  te.dwSize = sizeof(te);
  for (BOOL more = ::Thread32First(snap, &te); more; more = ::Thread32Next(snap, &te)) n += te.th32OwnerProcessID == self;
  ::CloseHandle(snap);
  return n;
}

namespace {

// A Linux path as Windows reaches it (Z: is the Linux root); others unchanged.
std::string WindowsPath(const std::string& path) { return !path.empty() && path[0] == '/' ? "Z:" + path : path; }

std::wstring Wide(const std::string& text) {
  std::wstring out(text.size() + 1, L'\0');
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &out[0], static_cast<int>(out.size()));
  out.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
  return out;
}

// One argument quoted the way the C runtime splits a command line.
std::string Quote(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t slashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++slashes;
      continue;
    }
    out.append(c == '"' ? slashes * 2 + 1 : slashes, '\\');
    slashes = 0;
    out += c;
  }
  out.append(slashes * 2, '\\');
  return out + "\"";
}

// Reads a pipe to its end into out, on a thread of its own.
std::thread Drain(HANDLE pipe, std::string* out) {
  return std::thread([pipe, out] {
    char buf[65536];
    DWORD n = 0;
    while (::ReadFile(pipe, buf, sizeof(buf), &n, nullptr) && n > 0) out->append(buf, n);
    ::CloseHandle(pipe);
  });
}

}  // namespace

// Windows files have no permission bits of the POSIX kind.
bool SetCreationMask(int /*mask*/) { return false; }
int FileModeBits(const std::string& /*path*/) { return -1; }

// A console program under Wine cannot be sent Ctrl-C by its parent.
bool CanInterruptProcesses() { return false; }

// Windows itself reports a reset; only Wine, known by its ntdll export, hides it.
bool PeerResetIsSeen() {
  return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") == nullptr;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& dir, int boundMs,
                         const std::function<bool(const ProcessResult&)>& /*interruptWhen*/) {
  ProcessResult r;
  if (argv.empty()) return r;
  SECURITY_ATTRIBUTES inherit = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
  if (!::CreatePipe(&outRead, &outWrite, &inherit, 0)) return r;
  if (!::CreatePipe(&errRead, &errWrite, &inherit, 0)) {
    ::CloseHandle(outRead);
    ::CloseHandle(outWrite);
    return r;
  }
  ::SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  ::SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
  std::string line = Quote(WindowsPath(argv[0]));
  for (size_t i = 1; i < argv.size(); ++i) line += " " + Quote(argv[i]);
  std::wstring wline = Wide(line);
  const std::wstring wdir = Wide(WindowsPath(dir));
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
  si.hStdOutput = outWrite;
  si.hStdError = errWrite;
  PROCESS_INFORMATION pi = {};
  const BOOL started = ::CreateProcessW(nullptr, &wline[0], nullptr, nullptr, TRUE, 0, nullptr,
                                        dir.empty() ? nullptr : wdir.c_str(), &si, &pi);
  ::CloseHandle(outWrite);
  ::CloseHandle(errWrite);
  std::thread outThread = Drain(outRead, &r.out);
  std::thread errThread = Drain(errRead, &r.err);
  if (started) {
    const bool ended = ::WaitForSingleObject(pi.hProcess, static_cast<DWORD>(boundMs)) == WAIT_OBJECT_0;
    if (!ended) ::TerminateProcess(pi.hProcess, 1);
    DWORD code = 0;
    if (ended && ::GetExitCodeProcess(pi.hProcess, &code)) r.status = static_cast<int>(code);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
  }
  outThread.join();
  errThread.join();
  return r;
}

namespace {

using Clock = std::chrono::steady_clock;
// The launcher looks at its spool this often; a stop takes it up to 5 s to
// end a stubborn server.
constexpr auto kStopBound = std::chrono::milliseconds(15000);
constexpr auto kPollStep = std::chrono::milliseconds(20);
std::atomic<int> g_nextJob{0};

// The launcher's spool folder as the test sees it (Z: is the Linux root); "" when not set.
std::string SpoolDir() {
  const char* dir = std::getenv("ZN_LAUNCHER_DIR");
  return dir && *dir ? WindowsPath(dir) : std::string();
}

std::string JobFile(long job, const char* ext) { return SpoolDir() + "/" + std::to_string(job) + ext; }

bool FileExists(const std::string& path) {
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

}  // namespace

std::string MakeServerDir(const std::string& prefix) {
  const std::string spool = SpoolDir();
  return spool.empty() ? std::string() : MakeDirIn(spool, prefix);
}

std::string ServerSidePath(const std::string& path) {
  std::string out = path.compare(0, 2, "Z:") == 0 || path.compare(0, 2, "z:") == 0 ? path.substr(2) : path;
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

// The job file names the output file on its first line and the arguments on
// the following ones; it appears under its final name only when complete.
bool ServerProcess::Start(const std::vector<std::string>& args, const std::string& outputPath) {
  Stop();
  if (args.empty() || SpoolDir().empty()) return false;
  const long job = static_cast<long>(::GetCurrentProcessId()) * 1000 + (g_nextJob++ % 1000);
  const std::string part = JobFile(job, ".part");
  {
    std::ofstream out(part, std::ios::trunc | std::ios::binary);
    out << ServerSidePath(outputPath) << "\n";
    for (const std::string& a : args) out << a << "\n";
    if (!out) return false;
  }
  std::error_code ec;
  std::filesystem::rename(part, JobFile(job, ".cmd"), ec);
  if (ec) return false;
  m_nId = job;
  return true;
}

bool ServerProcess::Exited() {
  if (m_nId <= 0) return true;
  return FileExists(JobFile(m_nId, ".exited"));
}

void ServerProcess::Stop() {
  if (m_nId <= 0) return;
  { std::ofstream(JobFile(m_nId, ".stop"), std::ios::binary) << "stop\n"; }
  const Clock::time_point deadline = Clock::now() + kStopBound;
  while (!FileExists(JobFile(m_nId, ".done")) && Clock::now() < deadline) std::this_thread::sleep_for(kPollStep);
  std::error_code ec;
  std::filesystem::remove(JobFile(m_nId, ".done"), ec);
  m_nId = -1;
}

}  // namespace zntest
