// The benchmark's host program: drives the library through its public
// exports exactly as a host application does, and prints one JSON line of
// figures for scripts/bench.sh (bench/run.py) to read.
//
//   tw_bench_host '<config json>' <command> [arguments]
//
//   transfer <kind> <remote> <local>     one transfer, timed around the call
//   poll <kind> <remote> <local>         the same, with a second thread that
//                                        polls sftp_transfer_progress every
//                                        millisecond and times each poll
//   cancel <kind> <remote> <local> <ms>  cancels after <ms> and times the way
//                                        from sftp_transfer_cancel to return
//   connect <n>                          n connects, each timed to "ready"
//   list <path> <n>                      n listings of one remote folder
//
// <kind> is sftp-down, sftp-up, scp-down or scp-up. Every transfer command
// connects first (not timed) and reports the process's peak resident memory.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tarnwick_sftp.h"

namespace {

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// The process's own peak resident memory in KiB. getrusage is no use here:
// Linux carries ru_maxrss across execve, so a child of a large process
// (the Python harness) starts with its parent's peak.
long peak_rss_kib() {
  FILE *f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, f) != nullptr)
    if (std::strncmp(line, "VmHWM:", 6) == 0) kib = std::atol(line + 6);
  std::fclose(f);
  return kib;
}

// A number field of the progress record.
long long progress_field(const char *name) {
  std::string key = std::string("\"") + name + "\":";
  const char *p = std::strstr(sftp_transfer_progress(), key.c_str());
  return p != nullptr ? std::atoll(p + key.size()) : -1;
}

int run_transfer(const std::string &kind, const char *remote,
                 const char *local) {
  if (kind == "sftp-down") return sftp_client_download(remote, local);
  if (kind == "sftp-up") return sftp_client_upload(local, remote);
  if (kind == "scp-down") return scp_client_download(remote, local);
  if (kind == "scp-up") return scp_client_upload(local, remote, 0644);
  std::fprintf(stderr, "unknown transfer kind '%s'\n", kind.c_str());
  std::exit(2);
}

// The percentile q (0..1) of a sorted list.
double percentile(const std::vector<double> &sorted, double q) {
  if (sorted.empty()) return 0;
  size_t i = static_cast<size_t>(q * static_cast<double>(sorted.size() - 1));
  return sorted[i];
}

// Polls the progress record every millisecond until *stop, keeping the time
// each call took, in microseconds.
void poller(std::atomic<bool> *stop, std::vector<double> *us) {
  while (!stop->load()) {
    auto t0 = Clock::now();
    sftp_transfer_progress();
    us->push_back(since(t0) * 1e6);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::string error_text(int rc) {
  if (rc == 0) return "";
  std::string e = sftp_client_last_error();
  for (char &c : e)
    if (c == '"' || c == '\\') c = '\'';
  return e;
}

int cmd_transfer(const std::string &kind, const char *remote, const char *local,
                 bool poll) {
  std::atomic<bool> stop{false};
  std::vector<double> us;
  std::thread t;
  if (poll) {
    us.reserve(1 << 16);
    t = std::thread(poller, &stop, &us);
  }
  auto t0 = Clock::now();
  int rc = run_transfer(kind, remote, local);
  double secs = since(t0);
  stop = true;
  if (poll) t.join();
  std::printf("{\"ok\":%s,\"seconds\":%.6f,\"bytes\":%lld,\"maxrss_kib\":%ld",
              rc == 0 ? "true" : "false", secs, progress_field("transferred"),
              peak_rss_kib());
  if (poll) {
    std::sort(us.begin(), us.end());
    std::printf(
        ",\"polls\":%zu,\"p50_us\":%.1f,\"p99_us\":%.1f,\"max_us\":%.1f",
        us.size(), percentile(us, 0.5), percentile(us, 0.99),
        us.empty() ? 0.0 : us.back());
  }
  std::printf(",\"error\":\"%s\"}\n", error_text(rc).c_str());
  return rc == 0 ? 0 : 1;
}

int cmd_cancel(const std::string &kind, const char *remote, const char *local,
               int after_ms) {
  std::atomic<bool> done{false};
  Clock::time_point returned;
  int rc = 0;
  std::thread t([&] {
    rc = run_transfer(kind, remote, local);
    returned = Clock::now();
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(after_ms));
  bool early = done.load();
  auto asked = Clock::now();
  sftp_transfer_cancel();
  t.join();
  double ms =
      std::chrono::duration<double, std::milli>(returned - asked).count();
  bool cancelled = rc != 0 && std::strcmp(sftp_client_last_error(),
                                          "transfer cancelled") == 0;
  std::printf(
      "{\"ok\":%s,\"cancel_to_return_ms\":%.3f,\"transferred\":%lld,"
      "\"finished_before_cancel\":%s,\"maxrss_kib\":%ld,\"error\":\"%s\"}\n",
      cancelled ? "true" : "false", ms, progress_field("transferred"),
      early ? "true" : "false", peak_rss_kib(),
      early ? "the transfer ended before the cancellation"
            : error_text(rc).c_str());
  return cancelled ? 0 : 1;
}

int cmd_connect(const char *config, int n) {
  std::printf("{\"connect_ms\":[");
  for (int i = 0; i < n; ++i) {
    auto t0 = Clock::now();
    int rc = sftp_client_connect(config);
    double ms = since(t0) * 1e3;
    if (rc != 0) {
      std::printf("],\"ok\":false,\"error\":\"%s\"}\n", error_text(rc).c_str());
      return 1;
    }
    sftp_client_disconnect();
    std::printf("%s%.3f", i ? "," : "", ms);
  }
  std::printf("],\"ok\":true}\n");
  return 0;
}

int cmd_list(const char *path, int n) {
  std::printf("{\"seconds\":[");
  size_t returned = 0;
  for (int i = 0; i < n; ++i) {
    auto t0 = Clock::now();
    const char *json = sftp_client_list_dir(path);
    double secs = since(t0);
    returned = 0;
    for (const char *p = json; (p = std::strstr(p, "{\"name\"")) != nullptr;
         ++p)
      ++returned;
    std::printf("%s%.6f", i ? "," : "", secs);
  }
  // The log's LIST line counts every entry read, also those that did not
  // fit the listing text.
  std::string log = sftp_client_get_log();
  size_t at = log.rfind("(");
  long read = at != std::string::npos ? std::atol(log.c_str() + at + 1) : -1;
  std::printf("],\"returned\":%zu,\"read\":%ld,\"ok\":true}\n", returned, read);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 3) {
    std::fprintf(stderr,
                 "usage: tw_bench_host '<config json>' <command> ...\n");
    return 2;
  }
  const char *config = argv[1];
  std::string cmd = argv[2];
  if (cmd == "connect" && argc == 4)
    return cmd_connect(config, std::atoi(argv[3]));
  if (sftp_client_connect(config) != 0) {
    std::printf("{\"ok\":false,\"error\":\"connect: %s\"}\n",
                error_text(-1).c_str());
    return 1;
  }
  int rc = 2;
  if ((cmd == "transfer" || cmd == "poll") && argc == 6)
    rc = cmd_transfer(argv[3], argv[4], argv[5], cmd == "poll");
  else if (cmd == "cancel" && argc == 7)
    rc = cmd_cancel(argv[3], argv[4], argv[5], std::atoi(argv[6]));
  else if (cmd == "list" && argc == 5)
    rc = cmd_list(argv[3], std::atoi(argv[4]));
  else
    std::fprintf(stderr, "tw_bench_host: bad command or arguments\n");
  sftp_client_disconnect();
  return rc;
}
