// Helpers of the fault tests: a bound on every call, the checks of a lost
// session, a TCP relay that breaks its connection at a chosen byte count,
// and the OpenSSH processes that serve one connection.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "transfer_support.h"

namespace faults {

using Clock = std::chrono::steady_clock;

inline double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// ---- Server processes -------------------------------------------------------

// Processes this test has stopped. They are killed at the end of the test,
// and also before the process ends because a call hung, so that no stopped
// server process outlives the test.
inline std::mutex g_stopped_lock;
inline std::vector<pid_t> g_stopped;

inline void kill_stopped() {
  std::lock_guard<std::mutex> guard(g_stopped_lock);
  for (pid_t pid : g_stopped) kill(pid, SIGKILL);
  g_stopped.clear();
}

// Kills the stopped processes when the test's scope ends.
struct StoppedReaper {
  ~StoppedReaper() { kill_stopped(); }
};

// The inode of the server's end of the loopback connection between
// client_port and server_port, from /proc/net/tcp; 0 when there is none.
inline unsigned long server_socket_inode(int server_port, int client_port) {
  std::ifstream in("/proc/net/tcp");
  std::string line;
  std::getline(in, line);  // the column titles
  while (std::getline(in, line)) {
    unsigned local = 0, remote = 0;
    unsigned long inode = 0;
    if (sscanf(line.c_str(),
               " %*d: %*x:%x %*x:%x %*x %*x:%*x %*x:%*x %*x %*u %*u %lu",
               &local, &remote, &inode) == 3 &&
        local == static_cast<unsigned>(server_port) &&
        remote == static_cast<unsigned>(client_port))
      return inode;
  }
  return 0;
}

// Every process id below /proc, with its parent's.
inline std::map<pid_t, pid_t> process_parents() {
  std::map<pid_t, pid_t> parents;
  DIR *proc = opendir("/proc");
  if (proc == nullptr) return parents;
  while (dirent *e = readdir(proc)) {
    pid_t pid = static_cast<pid_t>(std::atoi(e->d_name));
    if (pid <= 0) continue;
    std::ifstream in("/proc/" + std::string(e->d_name) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)),
                     std::istreambuf_iterator<char>());
    size_t end = stat.rfind(')');  // the command name may hold anything
    int ppid = 0;
    if (end != std::string::npos &&
        sscanf(stat.c_str() + end + 1, " %*c %d", &ppid) == 1)
      parents[pid] = ppid;
  }
  closedir(proc);
  return parents;
}

inline bool holds_socket(pid_t pid, const std::string &link) {
  std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR *fds = opendir(dir.c_str());
  if (fds == nullptr) return false;
  bool found = false;
  while (dirent *e = readdir(fds)) {
    char target[64];
    ssize_t n =
        readlink((dir + "/" + e->d_name).c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<size_t>(n)) == link) {
      found = true;
      break;
    }
  }
  closedir(fds);
  return found;
}

// The OpenSSH processes that serve one connection: those that hold the
// server's end of it (the privileged monitor and the session process),
// named by the port of the client's end, and all their descendants (the
// SFTP session, the shell, scp). Other connections to the same server, of
// tests running in parallel, are left alone.
inline std::vector<pid_t> connection_processes(int server_port,
                                               int client_port) {
  std::vector<pid_t> out;
  unsigned long inode = server_socket_inode(server_port, client_port);
  if (inode == 0) return out;
  std::string link = "socket:[" + std::to_string(inode) + "]";
  std::map<pid_t, pid_t> parents = process_parents();
  for (const auto &p : parents)
    if (holds_socket(p.first, link)) out.push_back(p.first);
  for (size_t i = 0; i < out.size(); ++i)
    for (const auto &p : parents)
      if (p.second == out[i] &&
          std::find(out.begin(), out.end(), p.first) == out.end())
        out.push_back(p.first);
  return out;
}

// Sends sig to the processes that serve the connection; stopped ones are
// remembered for kill_stopped. Returns how many there were.
inline size_t signal_connection(int server_port, int client_port, int sig) {
  std::vector<pid_t> pids = connection_processes(server_port, client_port);
  for (pid_t pid : pids) kill(pid, sig);
  if (sig == SIGSTOP) {
    std::lock_guard<std::mutex> guard(g_stopped_lock);
    g_stopped.insert(g_stopped.end(), pids.begin(), pids.end());
  }
  return pids.size();
}

// ---- Bounds -----------------------------------------------------------------

// Runs a call on a thread of its own and returns its result. A call that has
// not come back within limit fails the test and ends the process, since its
// thread cannot be stopped.
template <typename Call>
auto returns_within(std::chrono::milliseconds limit, Call call) {
  auto f = std::async(std::launch::async, call);
  if (f.wait_for(limit) != std::future_status::ready) {
    ADD_FAILURE() << "the call hung";
    kill_stopped();
    std::_Exit(1);
  }
  return f.get();
}

// Runs a call that must come back within the time-out plus one second.
template <typename Call>
auto bounded(int timeout_ms, Call call) {
  auto t0 = Clock::now();
  auto result = returns_within(std::chrono::milliseconds(timeout_ms + 5000),
                               std::move(call));
  EXPECT_LT(seconds_between(t0, Clock::now()), (timeout_ms + 1000) / 1000.0);
  return result;
}

// After a connection failure the session is gone: said once in the log, the
// flag down, later calls "not connected", the description kept, and a
// disconnect from another thread as well as a new connect (with
// reconnect_config) work at once. Returns how long that connect took.
inline double expect_session_lost(const std::string &user, int port,
                                  const std::string &reconnect_config,
                                  int timeout_ms) {
  EXPECT_EQ(sftp_client_is_connected(), 0);
  std::string lost =
      "CONNECTION LOST " + user + "@127.0.0.1:" + std::to_string(port);
  std::vector<std::string> lines = xfer::log_lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), lost), 1) << lost;
  std::string info = sftp_client_session_info();
  EXPECT_NE(info.find("\"connected\":false"), std::string::npos) << info;
  EXPECT_NE(info.find("\"host\":\"127.0.0.1\",\"port\":" +
                      std::to_string(port) + ","),
            std::string::npos)
      << info;
  EXPECT_EQ(sftp_client_mkdir("/x"), -1);
  EXPECT_STREQ(sftp_client_last_error(), "not connected");
  bounded(timeout_ms, [] {
    std::thread([] { sftp_client_disconnect(); }).join();
    return 0;
  });
  auto t0 = Clock::now();
  EXPECT_EQ(
      bounded(timeout_ms,
              [&] { return sftp_client_connect(reconnect_config.c_str()); }),
      0)
      << sftp_client_last_error();
  double took = seconds_between(t0, Clock::now());
  EXPECT_EQ(sftp_client_is_connected(), 1);
  sftp_client_disconnect();
  return took;
}

// ---- The relay --------------------------------------------------------------

// A TCP relay on 127.0.0.1 between the library and a server, run by one
// thread with poll(), for one connection. Armed, it counts the bytes that
// pass in one direction from then on; once the count is reached, before
// another byte passes that way, it breaks the connection:
// - reset: both sockets are closed with linger 0, so both ends get a RST;
// - cut: at most 5 more bytes of the server's data reach the library, then
//   its stream ends (FIN) while the server's side stays open. No SSH packet
//   is as short as 5 bytes, so the stream ends inside a packet unless one
//   ended within those bytes;
// - stop_reading: what the library sends is no longer read, as by a server
//   that stopped reading; the server's data still reaches the library;
// - call: a function runs on the relay's thread (to kill or stop the
//   server's processes), then the data flows on as far as it can.
class FaultProxy {
 public:
  enum Dir { kToServer = 0, kToClient = 1 };
  enum class Action { reset, cut, stop_reading, call };

  explicit FaultProxy(int server_port) : server_port_(server_port) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        listen(listener_, 1) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len) != 0)
      ADD_FAILURE() << "the relay cannot listen";
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { loop(); });
  }

  ~FaultProxy() {
    stop_ = true;
    thread_.join();
    for (int fd : {listener_, flow_[0].from, flow_[1].from})
      if (fd >= 0) close(fd);
  }

  FaultProxy(const FaultProxy &) = delete;
  FaultProxy &operator=(const FaultProxy &) = delete;

  // The port the library connects to.
  int port() const { return port_; }
  // The local port of the relay's connection to the server, which names
  // that connection among the server's sockets.
  int upstream_port() const { return upstream_port_.load(); }

  // Arms the fault: it strikes once `after` more bytes have passed in
  // direction dir. call is the function of Action::call.
  void arm(Dir dir, int64_t after, Action action,
           std::function<void()> call = nullptr) {
    std::lock_guard<std::mutex> guard(lock_);
    trigger_ = {true, dir, flow_[dir].count + after, action, std::move(call)};
  }

  bool fired() const { return fired_.load(); }

  // When the server went silent as the library sees it: the later of the
  // fault and the last byte that reached the library.
  Clock::time_point silent_since() const {
    std::lock_guard<std::mutex> guard(lock_);
    return std::max(fired_at_, last_to_client_);
  }

 private:
  // The bytes of one direction, read from one socket and written to the
  // other through a buffer that is refilled only once it has been written.
  struct Flow {
    int from = -1, to = -1;
    std::vector<char> buf = std::vector<char>(1 << 16);
    size_t len = 0, off = 0;
    int64_t count = 0;    // bytes read from `from`
    int64_t budget = -1;  // bytes still allowed to pass; -1: no limit
    bool reading = true;  // false once `from` ended or may not be read
    bool paused = false;  // not read for now (stop_reading)
    bool ending = false;  // `to` gets FIN once the buffer is written
  };

  struct Trigger {
    bool armed;
    Dir dir;
    int64_t at;  // the count of flow_[dir] at which it fires
    Action action;
    std::function<void()> call;
  };

  static sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
  }

  static void prepare(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  }

  // Takes the one connection and opens the relay's own to the server.
  void accept_client() {
    int client = accept(listener_, nullptr, nullptr);
    if (client < 0) return;
    close(listener_);
    listener_ = -1;
    int server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(server_port_);
    if (connect(server, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
      ADD_FAILURE() << "the relay cannot reach port " << server_port_;
    socklen_t len = sizeof a;
    getsockname(server, reinterpret_cast<sockaddr *>(&a), &len);
    upstream_port_ = ntohs(a.sin_port);
    prepare(client);
    prepare(server);
    std::lock_guard<std::mutex> guard(lock_);
    flow_[kToServer].from = flow_[kToClient].to = client;
    flow_[kToClient].from = flow_[kToServer].to = server;
  }

  // Marks the fault as struck before acting: the library may return the
  // moment a socket closes, before this thread runs on.
  void fire() {
    Trigger t = std::move(trigger_);
    trigger_.armed = false;
    fired_at_ = Clock::now();
    fired_ = true;
    switch (t.action) {
      case Action::reset:
        reset();
        break;
      case Action::cut:
        flow_[kToClient].budget = 5;
        break;
      case Action::stop_reading:
        flow_[kToServer].paused = true;
        break;
      case Action::call:
        t.call();
        break;
    }
  }

  void reset() {
    linger hard{1, 0};
    for (Flow &f : flow_) {
      setsockopt(f.from, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
      close(f.from);
      f = Flow{};
      f.reading = false;
    }
  }

  // How many bytes the next read of f may take.
  size_t read_limit(const Flow &f, Dir d) const {
    int64_t limit = static_cast<int64_t>(f.buf.size());
    if (f.budget >= 0) limit = std::min(limit, f.budget);
    if (trigger_.armed && trigger_.dir == d)
      limit = std::min(limit, trigger_.at - f.count);
    return static_cast<size_t>(limit);
  }

  bool wants_read(const Flow &f, Dir d) const {
    return f.reading && !f.paused && f.off == f.len && read_limit(f, d) > 0;
  }

  // Reads what may pass next; true when something happened.
  bool read_into(Flow &f, Dir d) {
    if (!wants_read(f, d)) return false;
    ssize_t n = recv(f.from, f.buf.data(), read_limit(f, d), 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return false;
    if (n <= 0) {
      f.reading = false;
      f.ending = true;
      return true;
    }
    f.len = static_cast<size_t>(n);
    f.off = 0;
    f.count += n;
    if (f.budget >= 0 && (f.budget -= n) == 0) {
      f.reading = false;
      f.ending = true;
    }
    return true;
  }

  // Writes what the buffer holds, then FIN once the flow has ended; true
  // when something happened.
  bool write_out(Flow &f, Dir d) {
    bool moved = false;
    if (f.off < f.len) {
      ssize_t n = send(f.to, f.buf.data() + f.off, f.len - f.off, MSG_NOSIGNAL);
      if (n > 0) {
        f.off += static_cast<size_t>(n);
        if (d == kToClient) last_to_client_ = Clock::now();
        moved = true;
      } else if (errno != EAGAIN && errno != EINTR) {
        f.off = f.len;  // the receiver is gone; what it missed is dropped
        moved = true;
      }
    }
    if (f.off == f.len && f.ending) {
      shutdown(f.to, SHUT_WR);
      f.ending = false;
      moved = true;
    }
    return moved;
  }

  bool step() {
    std::lock_guard<std::mutex> guard(lock_);
    bool moved = false;
    for (Dir d : {kToServer, kToClient}) {
      Flow &f = flow_[d];
      if (f.from < 0) continue;
      moved |= read_into(f, d);
      if (trigger_.armed && trigger_.dir == d && f.count >= trigger_.at) {
        fire();
        moved = true;
      }
      if (f.from >= 0) moved |= write_out(f, d);
    }
    return moved;
  }

  // Each socket is the source of one flow and the destination of the other.
  short events_of(Dir d) const {
    const Flow &other = flow_[1 - d];
    short events = wants_read(flow_[d], d) ? POLLIN : 0;
    if (other.off < other.len || other.ending) events |= POLLOUT;
    return events;
  }

  void loop() {
    while (!stop_) {
      pollfd p[3];
      nfds_t n = 0;
      {
        std::lock_guard<std::mutex> guard(lock_);
        if (listener_ >= 0) p[n++] = {listener_, POLLIN, 0};
        for (Dir d : {kToServer, kToClient})
          if (flow_[d].from >= 0) p[n++] = {flow_[d].from, events_of(d), 0};
      }
      poll(p, n, 5);
      if (listener_ >= 0 && (p[0].revents & POLLIN) != 0) accept_client();
      // A socket that hung up wakes poll at once without anything to do:
      // a short pause keeps that from spinning.
      if (!step()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  int server_port_;
  int port_ = 0;
  int listener_ = -1;
  std::atomic<int> upstream_port_{0};
  std::atomic<bool> stop_{false};
  std::atomic<bool> fired_{false};
  mutable std::mutex lock_;
  Flow flow_[2];
  Trigger trigger_{false, kToServer, 0, Action::reset, nullptr};
  Clock::time_point fired_at_{}, last_to_client_{};
  std::thread thread_;
};

}  // namespace faults
