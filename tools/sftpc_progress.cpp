// The transfer runner: the copy runs on a worker thread while the main thread
// polls the library's progress record and draws it, one redrawn line on a
// terminal or a plain line each second otherwise. Ctrl-C raises a flag that
// the main thread turns into sftp_transfer_cancel(); the worker never sees
// the signal, so no blocking network call of the library is interrupted.
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <thread>

#include "sftpc.h"
#include "sftpc_json.h"
#include "tarnwick_sftp.h"

namespace sftpc {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void on_interrupt(int) { g_interrupted = 1; }

// Catches SIGINT for the lifetime of the scope, then restores what was there.
class InterruptScope {
 public:
  InterruptScope() {
    g_interrupted = 0;
    struct sigaction sa {};
    sa.sa_handler = on_interrupt;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, &old_);
  }
  ~InterruptScope() { sigaction(SIGINT, &old_, nullptr); }

 private:
  struct sigaction old_ {};
};

// Starts a thread that cannot receive SIGINT: the signal is blocked while
// the thread is created, which it inherits, and unblocked again here.
std::thread start_worker(const std::function<void()> &body) {
  sigset_t block, old;
  sigemptyset(&block);
  sigaddset(&block, SIGINT);
  pthread_sigmask(SIG_BLOCK, &block, &old);
  std::thread t(body);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return t;
}

std::string bytes_text(double n) {
  const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int u = 0;
  while (n >= 1024 && u < 4) n /= 1024, ++u;
  char buf[32];
  std::snprintf(buf, sizeof buf, u == 0 ? "%.0f %s" : "%.1f %s", n, units[u]);
  return buf;
}

std::string duration_text(long long s) {
  char buf[32];
  if (s >= 3600)
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60,
                  s % 60);
  else
    std::snprintf(buf, sizeof buf, "%lld:%02lld", s / 60, s % 60);
  return buf;
}

// The figures of the progress line, from the record's JSON.
struct Figures {
  std::string name, rate, eta, amount;
  double percent = 0;
};

Figures figures_of(const Json &rec) {
  Figures f;
  long long done = rec["transferred"].integer();
  long long total = rec["total"].integer();
  long long bps = rec["bytes_per_sec"].integer();
  f.name = printable(rec["name"].text);
  f.percent = rec["percent"].real();
  f.rate = bytes_text(static_cast<double>(bps)) + "/s";
  f.amount = bytes_text(static_cast<double>(done)) + " of " +
             bytes_text(static_cast<double>(total));
  f.eta = bps > 0 && total >= done ? duration_text((total - done) / bps)
                                   : std::string("-:--");
  return f;
}

int terminal_width() {
  struct winsize ws {};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
    return ws.ws_col;
  return 80;
}

// One line that fits the terminal: name, bar, percent, amount, rate, ETA.
// It stays one column short of the width so that it never wraps.
std::string terminal_line(const Figures &f, int width) {
  char tail[160];
  std::snprintf(tail, sizeof tail, " %5.1f%%  %s  %s  ETA %s", f.percent,
                f.amount.c_str(), f.rate.c_str(), f.eta.c_str());
  std::string name = f.name.substr(0, 24);
  int room = width - 1 - static_cast<int>(name.size() + std::strlen(tail)) - 3;
  std::string bar;
  if (room >= 10) {
    int len = room > 30 ? 30 : room;
    int full = static_cast<int>(f.percent / 100 * len + 0.5);
    if (full > len) full = len;
    bar = " [" + std::string(full, '#') + std::string(len - full, '.') + "]";
  }
  std::string line = name + bar + tail;
  return line.substr(0, static_cast<size_t>(width > 1 ? width - 1 : 1));
}

// Draws the running transfer's record; a finished or older record is not
// drawn, so a poll that comes before the transfer began shows nothing.
void draw(bool tty) {
  Json rec;
  if (!json_parse(sftp_transfer_progress(), rec) || !rec["active"].flag) return;
  Figures f = figures_of(rec);
  if (tty)
    std::fprintf(stderr, "\r%s\033[K",
                 terminal_line(f, terminal_width()).c_str());
  else
    std::fprintf(stderr, "progress %s %.1f%% %s, %s, ETA %s\n", f.name.c_str(),
                 f.percent, f.amount.c_str(), f.rate.c_str(), f.eta.c_str());
}

}  // namespace

int run_transfer(const std::function<int()> &copy, const Options &opt) {
  InterruptScope scope;
  std::atomic<bool> done{false};
  int rc = -1;
  std::thread worker = start_worker([&] {
    rc = copy();
    done = true;
  });
  bool tty = isatty(STDERR_FILENO) == 1;
  auto period = std::chrono::milliseconds(tty ? 100 : 1000);
  auto next = std::chrono::steady_clock::now() + period;
  bool cancelled = false, drawn = false;
  while (!done) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (g_interrupted && !cancelled) {
      sftp_transfer_cancel();
      cancelled = true;
    }
    if (opt.progress && std::chrono::steady_clock::now() >= next) {
      draw(tty);
      drawn = true;
      next += period;
    }
  }
  worker.join();
  if (tty && drawn) std::fputs("\r\033[K", stderr);
  if (g_interrupted) return kInterrupted;
  return rc == 0 ? kOk : kFailed;
}

}  // namespace sftpc
