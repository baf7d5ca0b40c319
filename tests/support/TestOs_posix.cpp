// The test helpers' system calls on POSIX systems.
#include "support/TestNet.h"
#include "support/TestOs.h"
#include "support/TestUtil.h"

#include <dirent.h>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

namespace zntest {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStopBound = std::chrono::milliseconds(5000);

// A numeric field of /proc/self/status ("VmRSS:", "Threads:"); -1 when absent.
long StatusField(const std::string& field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, field.size(), field) == 0) return strtol(line.c_str() + field.size(), nullptr, 10);
  }
  return -1;
}

// Waits for the child to end within the bound; true when it was reaped.
bool ReapWithin(pid_t pid, std::chrono::milliseconds bound) {
  const Clock::time_point deadline = Clock::now() + bound;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid || r < 0) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// The argument vector of execv and posix_spawn, pointing into args.
std::vector<char*> Argv(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  return argv;
}

}  // namespace

int NewSocket(int family) { return ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0); }

void CloseSocket(int fd) {
  if (fd >= 0) ::close(fd);
}

bool SetNonBlocking(int fd, bool nonBlocking) {
  const int flags = ::fcntl(fd, F_GETFL, 0);
  return flags >= 0 && ::fcntl(fd, F_SETFL, nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) == 0;
}

int SocketError() { return errno; }

bool SocketWouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINPROGRESS || errno == EINTR; }

int PollSockets(pollfd* fds, size_t n, int timeoutMs) { return ::poll(fds, n, timeoutMs); }

int AcceptNonBlocking(int listenFd, sockaddr* peer, socklen_t* len) {
  return ::accept4(listenFd, peer, len, SOCK_NONBLOCK | SOCK_CLOEXEC);
}

bool MakeWakePair(int fds[2]) { return ::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0; }

void Wake(int fd) {
  const char b = 1;
  while (::write(fd, &b, 1) < 0 && errno == EINTR) {
  }
}

void IgnoreBrokenPipes() { ::signal(SIGPIPE, SIG_IGN); }

bool IsOpenFd(int fd) { return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF; }

int UnreadBytes(int fd) {
  int n = 0;
  return ::ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

bool SetProxyVariable(const char* name, const char* value) {
  if (value) return ::setenv(name, value, 1) == 0;
  return ::unsetenv(name) == 0;
}

bool SetSystemProxy(const char* hostPort, const char* bypass) {
  if (hostPort && std::strchr(hostPort, '=')) return false;  // a per-scheme list
  std::string noProxy = bypass ? bypass : "";
  for (char& c : noProxy) {
    if (c == ';') c = ',';
  }
  return SetProxyVariable("http_proxy", hostPort ? (std::string("http://") + hostPort).c_str() : nullptr) &&
         SetProxyVariable("no_proxy", bypass ? noProxy.c_str() : nullptr);
}

std::string CurrentThreadName() {
  char buf[32] = {};
  pthread_getname_np(pthread_self(), buf, sizeof(buf));
  return buf;
}

size_t CurrentThreadStackReservation() {
  pthread_attr_t attr;
  size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
  pthread_attr_getstacksize(&attr, &size);
  pthread_attr_destroy(&attr);
  return size;
}

std::string MakeTempDir(const std::string& prefix) {
  std::string templ = (std::filesystem::temp_directory_path() / (prefix + ".XXXXXX")).string();
  return ::mkdtemp(&templ[0]) ? templ : std::string();
}

// Process figures from /proc.
int OpenDescriptorCount() {
  int n = -1;  // the descriptor of the listing itself
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(dir)) n += e->d_name[0] != '.';
    closedir(dir);
  }
  return n;
}

long ResidentKiB() { return StatusField("VmRSS:"); }

int ThreadCount() { return static_cast<int>(StatusField("Threads:")); }

long long HeapInUseBytes() { return static_cast<long long>(::mallinfo2().uordblks); }

std::string MakeServerDir(const std::string& prefix) { return MakeTempDir(prefix); }

std::string ServerSidePath(const std::string& path) { return path; }

bool SetCreationMask(int mask) {
  umask(static_cast<mode_t>(mask));
  return true;
}

int FileModeBits(const std::string& path) {
  struct stat sb;
  return stat(path.c_str(), &sb) == 0 ? static_cast<int>(sb.st_mode & 0777) : -1;
}

bool CanInterruptProcesses() { return true; }
bool PeerResetIsSeen() { return true; }

ProcessResult RunProcess(const std::vector<std::string>& args, const std::string& dir, int boundMs,
                         const std::function<bool(const ProcessResult&)>& interruptWhen) {
  ProcessResult r;
  // Standard output and error; the child keeps the write ends only as its 1 and 2.
  int pipes[2][2];
  if (::pipe2(pipes[0], O_CLOEXEC) != 0 || ::pipe2(pipes[1], O_CLOEXEC) != 0) return r;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipes[0][1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipes[1][1], 2);
  if (!dir.empty()) posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
  std::vector<char*> argv = Argv(args);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  pollfd fds[2] = {{pipes[0][0], POLLIN, 0}, {pipes[1][0], POLLIN, 0}};
  for (int i = 0; i < 2; ++i) ::close(pipes[i][1]);
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(boundMs);
  bool interrupted = false, killed = false;
  for (int open = rc == 0 ? 2 : 0; open > 0;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      kill(pid, SIGKILL);
      killed = true;
      break;
    }
    if (poll(fds, 2, static_cast<int>(left)) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[65536];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
        continue;
      }
      (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
      if (interruptWhen && !interrupted && interruptWhen(r)) {
        kill(pid, SIGINT);
        interrupted = true;
      }
    }
  }
  for (const pollfd& f : fds) {
    if (f.fd >= 0) ::close(f.fd);
  }
  if (rc != 0) return r;
  int status = 0;
  waitpid(pid, &status, 0);
  if (!killed && WIFEXITED(status)) r.status = WEXITSTATUS(status);
  return r;
}

bool ServerProcess::Start(const std::vector<std::string>& args, const std::string& outputPath) {
  Stop();
  if (args.empty()) return false;
  // Everything the child needs is made before the fork: between fork and exec
  // only async-signal-safe calls are allowed in a threaded process.
  std::vector<char*> argv = Argv(args);
  const int out = ::open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (out < 0) return false;
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Dies with the test process, whatever way that ends.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out);
  if (pid < 0) return false;
  m_nId = pid;
  return true;
}

bool ServerProcess::Exited() {
  if (m_nId <= 0) return true;
  int status = 0;
  if (::waitpid(static_cast<pid_t>(m_nId), &status, WNOHANG) != static_cast<pid_t>(m_nId)) return false;
  m_nId = -1;
  return true;
}

void ServerProcess::Stop() {
  if (m_nId <= 0) return;
  const pid_t pid = static_cast<pid_t>(m_nId);
  // A polite end first; a process that does not end in time is killed.
  ::kill(pid, SIGTERM);
  if (!ReapWithin(pid, kStopBound)) {
    ::kill(pid, SIGKILL);
    ReapWithin(pid, kStopBound);
  }
  m_nId = -1;
}

}  // namespace zntest
