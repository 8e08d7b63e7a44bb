// A host program that runs one real session through the library's exports:
// connect, describe, list, then copy a file up and down over SFTP and over
// SCP while a second thread prints the progress record, and check that every
// copy is identical to the source.
//
// Usage: tw_demo '<config json>' <remote folder> <local folder> [MiB]
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "tarnwick_sftp.h"

namespace {

// Writes size bytes of a repeatable pseudo-random pattern.
bool make_source(const std::string &path, long long size) {
  FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  static uint64_t block[1 << 16];
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (long long done = 0; done < size;) {
    for (auto &w : block) {
      x ^= x << 13, x ^= x >> 7, x ^= x << 17;
      w = x;
    }
    size_t n = static_cast<size_t>(
        std::min<long long>(static_cast<long long>(sizeof block), size - done));
    if (std::fwrite(block, 1, n, f) != n) break;
    done += static_cast<long long>(n);
  }
  return std::fclose(f) == 0;
}

bool same_files(const std::string &a, const std::string &b) {
  FILE *fa = std::fopen(a.c_str(), "rb");
  FILE *fb = std::fopen(b.c_str(), "rb");
  bool same = fa != nullptr && fb != nullptr;
  static char ba[1 << 20], bb[1 << 20];
  while (same) {
    size_t na = std::fread(ba, 1, sizeof ba, fa);
    size_t nb = std::fread(bb, 1, sizeof bb, fb);
    same = na == nb && std::memcmp(ba, bb, na) == 0;
    if (na == 0) break;
  }
  if (fa) std::fclose(fa);
  if (fb) std::fclose(fb);
  return same;
}

// Runs one transfer while another thread prints its progress record.
bool timed(const char *what, long long size,
           int (*run)(const char *, const char *), const std::string &from,
           const std::string &to) {
  std::atomic<bool> done{false};
  std::thread poller([&] {
    while (!done) {
      std::this_thread::sleep_for(std::chrono::milliseconds(250));
      if (!done) std::printf("  progress %s\n", sftp_transfer_progress());
    }
  });
  auto start = std::chrono::steady_clock::now();
  int rc = run(from.c_str(), to.c_str());
  double s =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  done = true;
  poller.join();
  std::printf("  final    %s\n", sftp_transfer_progress());
  if (rc != 0) {
    std::printf("%s FAILED: %s\n", what, sftp_client_last_error());
    return false;
  }
  std::printf("%s: %.1f MB/s\n", what, size / s / 1e6);
  return true;
}

int scp_upload_0644(const char *local, const char *remote) {
  return scp_client_upload(local, remote, 0644);
}

bool round_trip(const char *proto, const std::string &source,
                const std::string &remote_dir, const std::string &local_dir,
                long long size) {
  bool scp = std::strcmp(proto, "SCP") == 0;
  std::string remote = remote_dir + "/tw-demo-" + proto + ".bin";
  std::string copy = local_dir + "/copy-" + proto + ".bin";
  std::printf("%s upload %s -> %s\n", proto, source.c_str(), remote.c_str());
  if (!timed("upload", size, scp ? scp_upload_0644 : sftp_client_upload, source,
             remote))
    return false;
  std::printf("%s download %s -> %s\n", proto, remote.c_str(), copy.c_str());
  if (!timed("download", size, scp ? scp_client_download : sftp_client_download,
             remote, copy))
    return false;
  bool same = same_files(source, copy);
  std::printf("%s copy identical: %s\n", proto, same ? "yes" : "NO");
  sftp_client_delete(remote.c_str());
  std::remove(copy.c_str());
  return same;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 4) {
    std::fprintf(
        stderr,
        "usage: %s '<config json>' <remote folder> <local folder> [MiB]\n",
        argv[0]);
    return 2;
  }
  long long size = (argc > 4 ? std::atoll(argv[4]) : 256) << 20;
  std::printf("library version %s\n", sftp_client_version());
  if (sftp_client_connect(argv[1]) != 0) {
    std::printf("connect failed: %s\n", sftp_client_last_error());
    return 1;
  }
  std::printf("session %s\n", sftp_client_session_info());
  std::printf("listing of %s: %.300s...\n", argv[2],
              sftp_client_list_dir(argv[2]));
  std::string source = std::string(argv[3]) + "/source.bin";
  if (!make_source(source, size)) {
    std::printf("cannot write %s\n", source.c_str());
    return 1;
  }
  bool ok = round_trip("SFTP", source, argv[2], argv[3], size) &&
            round_trip("SCP", source, argv[2], argv[3], size);
  std::remove(source.c_str());
  sftp_client_disconnect();
  std::printf("log %s\n", sftp_client_get_log());
  std::printf("%s\n", ok ? "demo OK" : "demo FAILED");
  return ok ? 0 : 1;
}
