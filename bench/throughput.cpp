// Throughput of SFTP and SCP uploads and downloads over loopback.
//
// Build with -DTW_BENCH=ON, then run it against the private OpenSSH server:
//   bash scripts/with-servers.sh build/bench/tw_bench_throughput [MiB] [runs]
// It reads the server's port, account and key folder from the TW_* variables
// that script exports. The local files live in /dev/shm (memory), the remote
// ones in the account's home. Each transfer runs [runs] times (default 3) on
// a file of [MiB] MiB (default 256); the best run is reported, and every copy
// is compared with the original.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tarnwick_sftp.h"

namespace {

std::string env(const char *name) {
  const char *v = std::getenv(name);
  if (v == nullptr || *v == '\0') {
    std::fprintf(stderr, "%s is not set: run through scripts/with-servers.sh\n",
                 name);
    std::exit(2);
  }
  return v;
}

bool write_all(const std::string &path, const std::vector<char> &data) {
  FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  return std::fclose(f) == 0 && ok;
}

bool same_as(const std::string &path, const std::vector<char> &data) {
  FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  std::vector<char> got(data.size() + 1);
  size_t n = std::fread(got.data(), 1, got.size(), f);
  std::fclose(f);
  return n == data.size() && std::memcmp(got.data(), data.data(), n) == 0;
}

// Runs one transfer [runs] times; returns the best rate in MB/s, or -1.
double best_rate(const char *label, int runs, size_t bytes,
                 const std::function<int()> &call) {
  double best = -1;
  for (int i = 0; i < runs; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    if (call() != 0) {
      std::fprintf(stderr, "%s failed: %s\n", label, sftp_client_last_error());
      return -1;
    }
    std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
    double rate = static_cast<double>(bytes) / 1e6 / d.count();
    if (rate > best) best = rate;
  }
  return best;
}

}  // namespace

int main(int argc, char **argv) {
  size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
  int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  size_t bytes = mib << 20;
  std::string config =
      "{\"host\":\"127.0.0.1\",\"port\":" + env("TW_SSHD_PORT") +
      ",\"user\":\"" + env("TW_SSH_USER") + "\",\"private_key\":\"" +
      env("TW_KEYS_DIR") + "/id_ed25519\"}";
  if (sftp_client_connect(config.c_str()) != 0) {
    std::fprintf(stderr, "connect: %s\n", sftp_client_last_error());
    return 1;
  }
  std::string tag = std::to_string(getpid());
  std::string local = "/dev/shm/tw-bench-" + tag + ".src";
  std::string back = "/dev/shm/tw-bench-" + tag + ".back";
  std::string remote = env("TW_SSH_HOME") + "/bench-" + tag + ".bin";
  std::vector<char> data(bytes);
  uint32_t x = 2463534242u;
  for (char &c : data) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  if (!write_all(local, data)) {
    std::fprintf(stderr, "cannot write %s\n", local.c_str());
    return 1;
  }
  struct Row {
    const char *label;
    std::function<int()> call;
    const std::string *check;
  } rows[] = {
      {"SFTP upload",
       [&] { return sftp_client_upload(local.c_str(), remote.c_str()); },
       &remote},
      {"SFTP download",
       [&] { return sftp_client_download(remote.c_str(), back.c_str()); },
       &back},
      {"SCP upload",
       [&] { return scp_client_upload(local.c_str(), remote.c_str(), 0644); },
       &remote},
      {"SCP download",
       [&] { return scp_client_download(remote.c_str(), back.c_str()); },
       &back},
  };
  std::printf("%zu MiB, best of %d runs, loopback OpenSSH\n", mib, runs);
  int status = 0;
  for (const Row &r : rows) {
    double rate = best_rate(r.label, runs, bytes, r.call);
    bool same = rate > 0 && same_as(*r.check, data);
    std::printf("  %-14s %8.1f MB/s%s\n", r.label, rate,
                same ? "" : "  (copy differs!)");
    if (!same) status = 1;
  }
  std::remove(local.c_str());
  std::remove(back.c_str());
  std::remove(remote.c_str());
  sftp_client_disconnect();
  return status;
}
