// zn_loopcopy: the loopback ceiling. A child process sends BYTES over one TCP
// connection on 127.0.0.1; the parent receives them in blocks and drops them.
// No HTTP and no copies beyond the kernel's: what one stream over loopback can
// carry on this machine, the yardstick for the discard case.
//
//   zn_loopcopy [BYTES [BUFFER]]       sends from memory; defaults: 1 GiB,
//                                       131072-byte reads and writes (the block
//                                       size iperf3 uses for TCP)
//   zn_loopcopy --file PATH [BUFFER]   sends the file with sendfile, as nginx
//                                       does with "sendfile on"
//
// A sender that copies from memory pays a copy per byte that a sendfile
// sender does not, and on a two-core machine that copy can be the limit; the
// file form measures the same path the discard case takes.
//
// Prints the bytes, the seconds and the rate. Exit status 0 when every byte
// arrived, 1 otherwise.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr uint64_t kDefaultBytes = 1ull << 30;
constexpr size_t kDefaultBuffer = 131072;

int Listen(uint16_t* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || listen(fd, 1) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

// The child: connect and send bytes, from a buffer or with sendfile from the
// descriptor file (when not -1), until done.
int Send(uint16_t port, uint64_t bytes, size_t block, int file) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) return 1;
  if (file >= 0) {
    // nginx hands sendfile at most 2 MiB at a time (sendfile_max_chunk).
    constexpr uint64_t kSendfileChunk = 2u << 20;
    off_t at = 0;
    while (bytes) {
      const size_t n = static_cast<size_t>(bytes < kSendfileChunk ? bytes : kSendfileChunk);
      const ssize_t w = sendfile(fd, file, &at, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return 1;
      bytes -= static_cast<uint64_t>(w);
    }
    close(fd);
    return 0;
  }
  std::vector<char> buf(block, 'z');
  while (bytes) {
    const size_t n = bytes < block ? static_cast<size_t>(bytes) : block;
    const ssize_t w = write(fd, buf.data(), n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return 1;
    bytes -= static_cast<uint64_t>(w);
  }
  close(fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t bytes = kDefaultBytes;
  int file = -1;
  if (argc > 2 && strcmp(argv[1], "--file") == 0) {
    file = open(argv[2], O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (file < 0 || fstat(file, &st) != 0) {
      perror("zn_loopcopy: the file");
      return 1;
    }
    bytes = static_cast<uint64_t>(st.st_size);
    argv += 1;
    argc -= 1;
  } else if (argc > 1) {
    bytes = strtoull(argv[1], nullptr, 10);
  }
  const size_t block = argc > 2 ? static_cast<size_t>(strtoull(argv[2], nullptr, 10)) : kDefaultBuffer;
  if (bytes == 0 || block == 0) {
    fprintf(stderr, "usage: zn_loopcopy [BYTES [BUFFER]] | --file PATH [BUFFER]\n");
    return 64;
  }
  uint16_t port = 0;
  const int lfd = Listen(&port);
  if (lfd < 0) {
    perror("zn_loopcopy: listen");
    return 1;
  }
  const auto t0 = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid < 0) {
    perror("zn_loopcopy: fork");
    return 1;
  }
  if (pid == 0) {
    close(lfd);
    _exit(Send(port, bytes, block, file));
  }
  const int fd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
  close(lfd);
  uint64_t got = 0;
  if (fd >= 0) {
    std::vector<char> buf(block);
    for (;;) {
      const ssize_t r = read(fd, buf.data(), buf.size());
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      got += static_cast<uint64_t>(r);
    }
    close(fd);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  printf("zn_loopcopy: %llu bytes in %.3f s (%.1f MiB/s), %zu-byte reads, sent %s\n",
         static_cast<unsigned long long>(got), secs, secs > 0 ? static_cast<double>(got) / secs / 1048576.0 : 0.0,
         block, file >= 0 ? "with sendfile" : "from memory");
  const bool ok = got == bytes && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!ok) fprintf(stderr, "zn_loopcopy: %llu of %llu bytes arrived\n", static_cast<unsigned long long>(got),
                   static_cast<unsigned long long>(bytes));
  return ok ? 0 : 1;
}
