// Helpers shared by the transfer tests: file contents, the progress record
// read back from its JSON, the activity log, and a watcher thread that polls
// the record while a transfer runs and may cancel it at a chosen point.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support.h"
#include "tarnwick_sftp.h"
#include "transfer_sftp_multi.h"

#if defined(__SANITIZE_THREAD__)
#define TW_TEST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TW_TEST_TSAN 1
#endif
#endif

namespace xfer {

using tw_test::exists;
using tw_test::pattern;
using tw_test::read_file;
using tw_test::write_file;

inline int64_t file_size(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

// The progress record as the host sees it.
struct Progress {
  bool active = false, cancelled = false, finished = false;
  std::string direction, name, error;
  long long transferred = -1, total = -1, bytes_per_sec = -1, elapsed_ms = -1;
  std::string percent;
};

// The content of a JSON string that starts at json[pos] (its opening quote),
// still escaped; pos moves past the closing quote.
inline std::string string_at(const std::string &json, size_t *pos) {
  size_t end = *pos + 1;
  while (end < json.size() && json[end] != '"')
    end += json[end] == '\\' ? 2 : 1;
  std::string out = json.substr(*pos + 1, end - *pos - 1);
  *pos = end + 1;
  return out;
}

// Reads the record's members, which must come in their fixed order.
inline Progress parse_progress(const std::string &json) {
  static const char *const keys[] = {"active",        "direction",  "name",
                                     "transferred",   "total",      "percent",
                                     "bytes_per_sec", "elapsed_ms", "cancelled",
                                     "finished",      "error"};
  std::vector<std::string> v;
  size_t pos = 1;
  for (const char *key : keys) {
    std::string head = (v.empty() ? "\"" : ",\"") + std::string(key) + "\":";
    if (json.compare(pos, head.size(), head) != 0) break;
    pos += head.size();
    if (pos < json.size() && json[pos] == '"') {
      v.push_back(string_at(json, &pos));
    } else {
      size_t end = std::min(json.find_first_of(",}", pos), json.size());
      v.push_back(json.substr(pos, end - pos));
      pos = end;
    }
  }
  Progress p;
  if (json.empty() || json[0] != '{' || v.size() != 11 ||
      pos != json.size() - 1) {
    ADD_FAILURE() << "not a progress record: " << json;
    return p;
  }
  p.active = v[0] == "true";
  p.direction = v[1];
  p.name = v[2];
  p.transferred = std::stoll(v[3]);
  p.total = std::stoll(v[4]);
  p.percent = v[5];
  p.bytes_per_sec = std::stoll(v[6]);
  p.elapsed_ms = std::stoll(v[7]);
  p.cancelled = v[8] == "true";
  p.finished = v[9] == "true";
  p.error = v[10];
  return p;
}

inline Progress progress() { return parse_progress(sftp_transfer_progress()); }

// The "line" members of the activity log, oldest first, as JSON text.
inline std::vector<std::string> log_lines() {
  std::string json = sftp_client_get_log();
  const std::string member = "\"line\":";
  std::vector<std::string> out;
  for (size_t pos = json.find(member); pos != std::string::npos;
       pos = json.find(member, pos)) {
    pos += member.size();
    out.push_back(string_at(json, &pos));
  }
  return out;
}

inline bool logged(const std::string &line) {
  for (const auto &l : log_lines())
    if (l == line) return true;
  return false;
}

// The outcome of one transfer call.
struct Result {
  int rc;
  std::string error;
  Progress p;
  double seconds;
};

class Watcher;
inline void stop_watcher(Watcher *w);

// Runs a transfer call. A watcher polling the record is stopped before the
// record is read here, as both write the same result buffer.
inline Result run(const std::function<int()> &call, Watcher *w = nullptr) {
  auto t0 = std::chrono::steady_clock::now();
  int rc = call();
  std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
  if (w != nullptr) stop_watcher(w);
  return {rc, sftp_client_last_error(), progress(), d.count()};
}

// Checks a failure that began to move data: its message, the record's
// error word, and that no end line was logged for it.
inline void expect_failed(const Result &r, const std::string &message,
                          const std::string &word) {
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.error, message);
  EXPECT_TRUE(r.p.finished);
  EXPECT_FALSE(r.p.active);
  EXPECT_EQ(r.p.error, word);
}

// Polls the record every millisecond on its own thread while a transfer
// runs. Once the record is active with at least cancel_at bytes moved, it
// cancels (when cancel_at >= 0) and notes how far the transfer had come
// just after asking. It also collects every distinct "transferred" value.
class Watcher {
 public:
  explicit Watcher(long long cancel_at = -1,
                   std::function<void(const Progress &)> on_active = nullptr)
      : cancel_at_(cancel_at), on_active_(std::move(on_active)) {
    thread_ = std::thread([this] { loop(); });
  }
  ~Watcher() { stop(); }
  void stop() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
  }
  bool cancelled() const { return at_cancel_ >= 0; }
  long long at_cancel() const { return at_cancel_; }
  const std::set<long long> &seen() const { return seen_; }
  int active_polls() const { return active_polls_; }

 private:
  void loop() {
    while (!done_) {
      Progress p = progress();
      if (p.active) {
        ++active_polls_;
        seen_.insert(p.transferred);
        if (on_active_) on_active_(p);
        if (cancel_at_ >= 0 && at_cancel_ < 0 && p.transferred >= cancel_at_) {
          sftp_transfer_cancel();
          at_cancel_ = progress().transferred;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  long long cancel_at_;
  std::function<void(const Progress &)> on_active_;
  std::atomic<bool> done_{false};
  std::atomic<long long> at_cancel_{-1};
  std::atomic<int> active_polls_{0};
  std::set<long long> seen_;
  std::thread thread_;
};

inline void stop_watcher(Watcher *w) { w->stop(); }

// A cancelled transfer: stopped within one chunk of the request, short of
// the whole file, with the record and message the frame prescribes.
inline void expect_cancelled(const Result &r, const Watcher &w,
                             long long size) {
  ASSERT_TRUE(w.cancelled()) << "the transfer ended before it was cancelled";
  EXPECT_EQ(r.rc, -1);
  EXPECT_EQ(r.error, "transfer cancelled");
  EXPECT_TRUE(r.p.cancelled);
  EXPECT_TRUE(r.p.finished);
  EXPECT_EQ(r.p.error, "cancelled");
  EXPECT_LE(r.p.transferred, w.at_cancel() + 32768);
  EXPECT_LT(r.p.transferred, size);
}

// Limits the size of files this process writes, as a full disk would, for
// one scope. The signal that the limit raises is ignored, so that writes
// beyond it fail with an error instead.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &saved_);
    rlimit lim = saved_;
    lim.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lim);
  }
  ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }

 private:
  rlimit saved_{};
};

inline void connect_fake(const std::string &scenario, int timeout_ms = 0) {
  std::string extra =
      timeout_ms > 0 ? ",\"timeout_ms\":" + std::to_string(timeout_ms) : "";
  ASSERT_EQ(sftp_client_connect(tw_test::fake_config(scenario, extra).c_str()),
            0)
      << sftp_client_last_error();
}

// One folder as this process sees it and as the server names it.
struct Place {
  std::string local;
  std::string remote;
};

// A folder of this test's own, as tw_test::scratch_dir makes it, with the
// '/' of parametrized test names turned into '.'.
inline std::string scratch(bool fake) {
  const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "." + info->name();
  std::replace(name.begin(), name.end(), '/', '.');
  std::string dir = tw_test::env(fake ? "TW_FAKE_ROOT" : "TW_SSH_HOME") + "/" +
                    name + "." + std::to_string(getpid());
  mkdir(dir.c_str(), 0755);
  int uid = std::atoi(tw_test::env("TW_SSH_UID").c_str());
  if (!fake && chown(dir.c_str(), uid, uid) != 0) ADD_FAILURE() << dir;
  return dir;
}

// Below the OpenSSH account's home, which is a local folder too.
inline Place openssh_place() {
  std::string d = scratch(false);
  return {d, d};
}

// Below the programmable server's root, which it presents as "/".
inline Place fake_place() {
  std::string local = scratch(true);
  return {local, local.substr(tw_test::env("TW_FAKE_ROOT").size())};
}

using UploadFn = int (*)(const char *local, const char *remote);
using DownloadFn = int (*)(const char *remote, const char *local);

// What tells the two protocols apart in the tests they share.
struct Proto {
  const char *name;
  UploadFn up;
  DownloadFn down;
  const char *prefix;      // of the log lines: "" or "SCP "
  const char *read_fail;   // message head, the remote path follows in quotes
  const char *write_fail;  // message head, the remote path follows in quotes
  bool scp;
};

inline int sftp_up(const char *l, const char *r) {
  return sftp_client_upload(l, r);
}
inline int sftp_down(const char *r, const char *l) {
  return sftp_client_download(r, l);
}
inline int scp_up(const char *l, const char *r) {
  return scp_client_upload(l, r, 0644);
}
inline int scp_down(const char *r, const char *l) {
  return scp_client_download(r, l);
}

const Proto kSftp{"Sftp",
                  sftp_up,
                  sftp_down,
                  "",
                  "remote read failed for",
                  "remote write failed for",
                  false};
// An SFTP upload made to share its file among four channels, however short
// the link and small the file.
inline int sftp_lanes_up(const char *l, const char *r) {
  tw::set_upload_lanes(4);
  int rc = sftp_client_upload(l, r);
  tw::set_upload_lanes(0);
  return rc;
}
const Proto kSftpLanes{"SftpLanes",
                       sftp_lanes_up,
                       sftp_down,
                       "",
                       "remote read failed for",
                       "remote write failed for",
                       false};
const Proto kScp{"Scp",
                 scp_up,
                 scp_down,
                 "SCP ",
                 "SCP read failed for",
                 "SCP write failed for",
                 true};

// Names the protocol in the listing of parametrized tests.
inline void PrintTo(const Proto &p, std::ostream *os) { *os << p.name; }

// "<head> '<path>'", the form of the transfers' failure messages.
inline std::string quoted(const char *head, const std::string &path) {
  return std::string(head) + " '" + path + "'";
}

// Uploads a file of the given size and downloads it again, comparing both
// copies byte for byte and checking the record and log of each. prefix is
// "" for SFTP and "SCP " for SCP.
inline void round_trip(const Place &at, size_t size, UploadFn up,
                       DownloadFn down, const std::string &prefix) {
  SCOPED_TRACE("size " + std::to_string(size));
  std::string name = "rt" + std::to_string(size);
  std::string data = pattern(size, static_cast<uint32_t>(size));
  std::string src = at.local + "/" + name + ".src";
  std::string remote = at.remote + "/" + name + ".bin";
  std::string back = at.local + "/" + name + ".back";
  write_file(src, data);
  Result u = run([&] { return up(src.c_str(), remote.c_str()); });
  ASSERT_EQ(u.rc, 0) << u.error;
  EXPECT_TRUE(read_file(at.local + "/" + name + ".bin") == data);
  EXPECT_EQ(u.p.direction, "upload");
  EXPECT_EQ(u.p.name, name + ".src");
  EXPECT_EQ(u.p.transferred, static_cast<long long>(size));
  EXPECT_EQ(u.p.total, static_cast<long long>(size));
  EXPECT_TRUE(u.p.finished && !u.p.cancelled && u.p.error.empty());
  EXPECT_TRUE(logged(prefix + "UPLOAD " + src + " -> " + remote + " (" +
                     std::to_string(size) + " bytes)"));
  EXPECT_TRUE(logged(prefix + "UPLOAD OK " + name + ".src"));

  Result d = run([&] { return down(remote.c_str(), back.c_str()); });
  ASSERT_EQ(d.rc, 0) << d.error;
  EXPECT_TRUE(read_file(back) == data);
  EXPECT_EQ(d.p.direction, "download");
  EXPECT_EQ(d.p.name, name + ".bin");
  EXPECT_EQ(d.p.transferred, static_cast<long long>(size));
  EXPECT_EQ(d.p.total, static_cast<long long>(size));
  EXPECT_EQ(d.p.percent, size > 0 ? "100.0" : "0.0");
  EXPECT_TRUE(d.p.finished && !d.p.cancelled && d.p.error.empty());
  EXPECT_TRUE(logged(prefix + "DOWNLOAD OK " + name + ".bin"));
}

// Creates a file of the given size that holds no data blocks.
inline void make_sparse(const std::string &path, long long size) {
  write_file(path, "");
  ASSERT_EQ(truncate(path.c_str(), size), 0);
}

}  // namespace xfer
