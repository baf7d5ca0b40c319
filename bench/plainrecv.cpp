// zn_plainrecv: the loopback ceiling of a download. One blocking socket sends
// one GET to 127.0.0.1:PORT and receives the answer into a 16 KiB buffer
// until the server closes: no event loop, no parser, no copy. What the
// discarding download of a client can at best reach against the same server
// and file.
//
//   zn_plainrecv PORT PATH
//
// Prints the bytes received (head included) and the seconds. Exit status 0
// when the server answered and closed, 1 otherwise.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {
// The receive buffer of the client's own loop.
constexpr size_t kRecvBufSize = 16384;
}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    fputs("usage: zn_plainrecv PORT PATH\n", stderr);
    return 64;
  }
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(atoi(argv[1])));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const auto t0 = std::chrono::steady_clock::now();
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    perror("connect");
    return 1;
  }
  const std::string request =
      std::string("GET ") + argv[2] + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
  if (send(fd, request.data(), request.size(), 0) != static_cast<ssize_t>(request.size())) {
    perror("send");
    return 1;
  }
  static char buf[kRecvBufSize];
  unsigned long long total = 0;
  for (;;) {
    const ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n > 0) {
      total += static_cast<unsigned long long>(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      perror("recv");
      return 1;
    }
  }
  close(fd);
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  printf("zn_plainrecv: %llu bytes in %.3f s (%.0f MiB/s)\n", total, secs, secs > 0 ? total / secs / 1048576 : 0.0);
  return total > 0 ? 0 : 1;
}
