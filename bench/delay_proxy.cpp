// A TCP delay proxy for loopback benchmarks, and the raw stream that checks it.
//
//   tw_delay_proxy serve <target port> <rtt ms>
//       Listens on 127.0.0.1 (a free port, printed on the first line of
//       stdout) and forwards every connection to 127.0.0.1:<target port>,
//       holding each byte back for half the round-trip time in each
//       direction. Buffering is unbounded: a sender is never slowed by the
//       proxy, so only the protocol's own flow control (SSH channel windows,
//       SFTP requests in flight) meets the delay, as on a long fat link.
//       Runs until it is killed.
//   tw_delay_proxy sink
//       Listens on a free port (printed as above). Each connection sends an
//       8-byte little-endian count, then that many bytes; the sink answers
//       with one byte once it has them all. A count of 0 is a ping.
//   tw_delay_proxy stream <port> <MiB>
//       Through a sink (or a proxy in front of one): ten pings, then one
//       stream of <MiB> MiB. Prints "ping_ms=<median> stream_mbps=<MB/s>",
//       the stream's time being taken less one round trip.
//
// Each forwarded connection has two threads, one per direction. A direction
// reads whatever arrives into a queue stamped with the time it is due, and
// writes due data out without blocking, so reading never waits on writing.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kReadSize = 256 * 1024;

void die(const char *what) {
  std::fprintf(stderr, "tw_delay_proxy: %s: %s\n", what, std::strerror(errno));
  std::exit(1);
}

void tune(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// Listens on a free loopback port and prints it for the caller to read.
int listen_any() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) die("socket");
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a = loopback(0);
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) die("bind");
  if (listen(fd, 128) != 0) die("listen");
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  std::printf("%d\n", ntohs(a.sin_port));
  std::fflush(stdout);
  return fd;
}

int connect_to(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in a = loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  tune(fd);
  return fd;
}

// Data read in one call, due at one time. The buffer is left uninitialised:
// zeroing it first would cost as much as the copy.
struct Piece {
  Clock::time_point due;
  std::unique_ptr<char[]> data;
  size_t size = 0;
  size_t off = 0;
};

// Writes the due pieces at the head of the queue until the socket would
// block. False on a write error.
bool flush_due(int dst, std::deque<Piece> &q) {
  auto now = Clock::now();
  while (!q.empty() && q.front().due <= now) {
    Piece &p = q.front();
    ssize_t n = send(dst, p.data.get() + p.off, p.size - p.off,
                     MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    p.off += static_cast<size_t>(n);
    if (p.off < p.size) return true;
    q.pop_front();
  }
  return true;
}

// The poll timeout until the head of the queue is due (none when empty).
timespec wait_for(const std::deque<Piece> &q, bool *forever) {
  timespec ts{0, 0};
  *forever = q.empty();
  if (q.empty()) return ts;
  auto left = q.front().due - Clock::now();
  auto ns = std::max<int64_t>(
      0, std::chrono::duration_cast<std::chrono::nanoseconds>(left).count());
  ts.tv_sec = static_cast<time_t>(ns / 1000000000);
  ts.tv_nsec = static_cast<long>(ns % 1000000000);
  return ts;
}

// Moves one direction, src to dst, each byte delayed by `delay`. On the
// source's end of stream the destination is half-closed once the queue has
// drained; on any error both sockets are shut down, which ends the other
// direction too.
void pump(int src, int dst, Clock::duration delay) {
  std::deque<Piece> q;
  bool src_open = true;
  for (;;) {
    bool due = !q.empty() && q.front().due <= Clock::now();
    // A closed source leaves the poll set, so its hang-up cannot wake it.
    pollfd fds[2] = {{src_open ? src : -1, POLLIN, 0},
                     {dst, static_cast<short>(due ? POLLOUT : 0), 0}};
    bool forever = false;
    timespec ts = wait_for(q, &forever);
    if (due) forever = true;  // woken by POLLOUT
    if (ppoll(fds, 2, forever ? nullptr : &ts, nullptr) < 0 && errno != EINTR)
      break;
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      Piece p;
      p.data.reset(new char[kReadSize]);
      ssize_t n = recv(src, p.data.get(), kReadSize, MSG_DONTWAIT);
      if (n > 0) {
        p.size = static_cast<size_t>(n);
        p.due = Clock::now() + delay;
        q.push_back(std::move(p));
      } else if (n == 0) {
        src_open = false;
      } else if (errno != EAGAIN && errno != EINTR) {
        break;
      }
    }
    if (fds[1].revents & (POLLERR | POLLHUP)) break;
    if (!flush_due(dst, q)) break;
    if (!src_open && q.empty()) {
      shutdown(dst, SHUT_WR);
      return;
    }
  }
  shutdown(src, SHUT_RDWR);
  shutdown(dst, SHUT_RDWR);
}

void forward(int client, int target_port, Clock::duration delay) {
  int server = connect_to(target_port);
  if (server < 0) {
    close(client);
    return;
  }
  std::thread up(pump, client, server, delay);
  pump(server, client, delay);
  up.join();
  close(client);
  close(server);
}

int serve(int target_port, double rtt_ms) {
  auto delay = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double, std::milli>(rtt_ms / 2));
  int lfd = listen_any();
  for (;;) {
    int c = accept(lfd, nullptr, nullptr);
    if (c < 0) {
      if (errno == EINTR) continue;
      die("accept");
    }
    tune(c);
    std::thread(forward, c, target_port, delay).detach();
  }
}

bool read_full(int fd, void *buf, size_t n) {
  char *p = static_cast<char *>(buf);
  while (n > 0) {
    ssize_t r = recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool write_full(int fd, const void *buf, size_t n) {
  const char *p = static_cast<const char *>(buf);
  while (n > 0) {
    ssize_t r = send(fd, p, n, MSG_NOSIGNAL);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

void sink_one(int fd) {
  std::vector<char> buf(kReadSize);
  uint64_t want = 0;
  while (read_full(fd, &want, sizeof want)) {
    while (want > 0) {
      ssize_t r = recv(fd, buf.data(), std::min<uint64_t>(want, buf.size()), 0);
      if (r <= 0) break;
      want -= static_cast<uint64_t>(r);
    }
    char ok = 1;
    if (want != 0 || !write_full(fd, &ok, 1)) break;
  }
  close(fd);
}

int sink() {
  int lfd = listen_any();
  for (;;) {
    int c = accept(lfd, nullptr, nullptr);
    if (c < 0) {
      if (errno == EINTR) continue;
      die("accept");
    }
    tune(c);
    std::thread(sink_one, c).detach();
  }
}

// Sends a count and that many bytes, waits for the answer; seconds taken.
double exchange(int fd, uint64_t bytes, const std::vector<char> &block) {
  auto t0 = Clock::now();
  if (!write_full(fd, &bytes, sizeof bytes)) die("stream");
  for (uint64_t left = bytes; left > 0;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(left, block.size()));
    if (!write_full(fd, block.data(), n)) die("stream");
    left -= n;
  }
  char ok = 0;
  if (!read_full(fd, &ok, 1)) die("stream answer");
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

int stream(int port, uint64_t mib) {
  int fd = connect_to(port);
  if (fd < 0) die("connect");
  std::vector<char> block(kReadSize, 'x');
  std::vector<double> pings;
  for (int i = 0; i < 10; ++i) pings.push_back(exchange(fd, 0, block));
  std::sort(pings.begin(), pings.end());
  double rtt = pings[pings.size() / 2];
  double secs = exchange(fd, mib << 20, block) - rtt;
  close(fd);
  std::printf("ping_ms=%.2f stream_mbps=%.0f\n", rtt * 1e3,
              static_cast<double>(mib << 20) / 1e6 / std::max(secs, 1e-9));
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  std::signal(SIGPIPE, SIG_IGN);
  if (argc == 4 && std::strcmp(argv[1], "serve") == 0)
    return serve(std::atoi(argv[2]), std::atof(argv[3]));
  if (argc == 2 && std::strcmp(argv[1], "sink") == 0) return sink();
  if (argc == 4 && std::strcmp(argv[1], "stream") == 0)
    return stream(std::atoi(argv[2]), std::strtoull(argv[3], nullptr, 10));
  std::fprintf(stderr,
               "usage: tw_delay_proxy serve <target port> <rtt ms> | sink | "
               "stream <port> <MiB>\n");
  return 2;
}
