// The soak: the library under load from a host's point of view, against the
// private OpenSSH server (run it through scripts/with-servers.sh; it reads
// the TW_* variables). Two modes:
//
//   tw_soak [--seconds 60] [--threads 8] [--seed N]
//     Threads call a random mix of all 23 exports, connect and disconnect
//     included, with transfers of small files, for the given time. Each
//     result is copied under the host's own lock for the buffer it lives in,
//     as the header asks. Every JSON result must parse, every reported
//     success must be true (a download that returned 0 left a copy equal to
//     the remote file, a listing holds what the folder holds...), and no
//     thread may stop making progress.
//
//   tw_soak --cycles 1000 --transfers 10000
//     One thread: connect, list and disconnect cycles, then small transfers
//     over one session, checking that open file descriptors, threads and
//     resident memory stay flat after a warm-up.
//
// Exit status 0 when nothing was wrong, 1 otherwise; problems are printed.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../fuzz/json_check.h"
#include "../tests/plain_support.h"
#include "tarnwick_sftp.h"

namespace {

using tw_test::pattern;
using tw_test::quote;

// ---- Environment and files --------------------------------------------------

std::string env(const char *name) {
  const char *v = std::getenv(name);
  if (v == nullptr || *v == '\0') {
    std::fprintf(stderr, "%s is not set: run through scripts/with-servers.sh\n",
                 name);
    std::exit(2);
  }
  return v;
}

int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch())
      .count();
}

std::string read_file(const std::string &path, bool *ok) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  *ok = static_cast<bool>(in) || in.eof();
  return ss.str();
}

bool write_file(const std::string &path, const std::string &data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
  return static_cast<bool>(out);
}

bool exists(const std::string &path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// The names of a folder, "." left out, as the listings give them.
std::set<std::string> names_in(const std::string &dir) {
  std::set<std::string> names;
  if (DIR *d = opendir(dir.c_str())) {
    while (dirent *e = readdir(d))
      if (std::strcmp(e->d_name, ".") != 0) names.insert(e->d_name);
    closedir(d);
  }
  return names;
}

void make_dir(const std::string &path, int uid) {
  mkdir(path.c_str(), 0755);
  if (uid >= 0 && chown(path.c_str(), uid, uid) != 0)
    std::fprintf(stderr, "soak: cannot chown %s\n", path.c_str());
}

// ---- Problems ---------------------------------------------------------------

std::atomic<int> g_problems{0};

void problem(const char *fmt, ...) {
  if (g_problems.fetch_add(1) >= 40) return;  // the first ones tell enough
  char text[2048];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  std::fprintf(stderr, "soak: PROBLEM: %s\n", text);
}

// ---- The host's locks -------------------------------------------------------

// The last-error text is written by most calls and read by
// sftp_client_last_error. Calls that may write it share this lock; a reader
// takes it alone, so the text cannot change while it is copied. A waiting
// reader holds back new sharers, so that it is not starved.
class ErrorLock {
 public:
  void lock_shared() {
    std::unique_lock<std::mutex> l(m_);
    cv_.wait(l, [&] { return !reader_; });
    ++sharers_;
  }
  void unlock_shared() {
    std::lock_guard<std::mutex> l(m_);
    if (--sharers_ == 0) cv_.notify_all();
  }
  void lock() {
    std::unique_lock<std::mutex> l(m_);
    cv_.wait(l, [&] { return !reader_; });
    reader_ = true;
    cv_.wait(l, [&] { return sharers_ == 0; });
  }
  void unlock() {
    std::lock_guard<std::mutex> l(m_);
    reader_ = false;
    cv_.notify_all();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  int sharers_ = 0;
  bool reader_ = false;
};

struct Writes {  // scope in which a call may write the last-error text
  explicit Writes(ErrorLock &l) : l_(l) { l_.lock_shared(); }
  ~Writes() { l_.unlock_shared(); }
  ErrorLock &l_;
};

ErrorLock g_err;
std::mutex g_json_lock;   // sftp_client_list_dir, sftp_client_get_log
std::mutex g_json2_lock;  // sftp_client_stat, sftp_client_list_local
std::mutex g_info_lock;   // sftp_client_session_info, sftp_transfer_progress
std::mutex g_path_lock;   // sftp_client_realpath

// ---- Shared setting ---------------------------------------------------------

const char *const kWrongPassword = "Soak-Wrong-Pw-91c4e";

struct Setup {
  std::string key_config, password_config, wrong_config, closed_config;
  std::string password;              // the right one, which must never show
  std::string remote_base;           // a folder of ours in the account's home
  std::string local_base;            // a local folder of ours
  std::string home;                  // the account's home, canonical
  std::vector<std::string> content;  // the small files' contents
  int uid = -1;
};
Setup g_setup;

std::string config(const std::string &port, const std::string &auth) {
  return "{\"host\":\"127.0.0.1\",\"port\":" + port +
         ",\"user\":" + quote(env("TW_SSH_USER")) + "," + auth +
         ",\"timeout_ms\":10000}";
}

void prepare() {
  Setup &s = g_setup;
  s.password = env("TW_SSH_PASSWORD");
  s.key_config =
      config(env("TW_SSHD_PORT"),
             "\"private_key\":" + quote(env("TW_KEYS_DIR") + "/id_ed25519"));
  s.password_config =
      config(env("TW_SSHD_PORT"), "\"password\":" + quote(s.password));
  s.wrong_config =
      config(env("TW_SSHD_PORT"), "\"password\":" + quote(kWrongPassword));
  s.closed_config =
      config(env("TW_CLOSED_PORT"), "\"password\":" + quote(s.password));
  s.uid = std::atoi(env("TW_SSH_UID").c_str());
  char *home = realpath(env("TW_SSH_HOME").c_str(), nullptr);
  s.home = home != nullptr ? home : env("TW_SSH_HOME");
  std::free(home);
  std::string tag = std::to_string(getpid());
  s.remote_base = s.home + "/soak." + tag;
  s.local_base = "/tmp/tw-soak." + tag;
  make_dir(s.remote_base, s.uid);
  make_dir(s.local_base, -1);
  for (unsigned k : {0u, 1u, 2u, 3u}) {
    // Empty, one byte, a part of one chunk and a little over two chunks.
    static const size_t kSizes[] = {0, 1, 5000, 70000};
    s.content.push_back(pattern(kSizes[k], k));
    write_file(s.remote_base + "/src" + std::to_string(k), s.content[k]);
  }
}

// Every text the library returns is scanned for the password, raw and as a
// JSON string would carry it.
void scan_secrets(const std::string &text, const char *where) {
  std::string escaped = quote(g_setup.password);
  escaped = escaped.substr(1, escaped.size() - 2);
  if (text.find(g_setup.password) != std::string::npos ||
      text.find(escaped) != std::string::npos ||
      text.find(kWrongPassword) != std::string::npos)
    problem("%s shows a password: %s", where, text.c_str());
}

// Parses a JSON result; a problem, and false, when it does not parse.
bool parse(const std::string &text, const char *where, json_check::Value *v) {
  scan_secrets(text, where);
  std::string why = json_check::parse(text, v);
  if (why.empty()) return true;
  problem("%s: invalid JSON (%s): %.300s", where, why.c_str(), text.c_str());
  return false;
}

// ---- One worker -------------------------------------------------------------

// The 23 exports, in the order of the counters.
const char *const kOps[] = {
    "version",      "last_error", "is_connected", "get_log",  "clear_log",
    "connect",      "disconnect", "session_info", "list_dir", "stat",
    "realpath",     "mkdir",      "rmdir",        "delete",   "rename",
    "chmod",        "progress",   "cancel",       "download", "upload",
    "scp_download", "scp_upload", "list_local"};
constexpr int kOpCount = 23;

struct Counters {
  std::atomic<long> calls[kOpCount] = {};
  std::atomic<long> ok[kOpCount] = {};
};
Counters g_count;

class Worker {
 public:
  Worker(int index, uint64_t seed) : rng_(seed | 1) {
    remote_ = g_setup.remote_base + "/t" + std::to_string(index);
    local_ = g_setup.local_base + "/t" + std::to_string(index);
    make_dir(remote_, g_setup.uid);
    make_dir(local_, -1);
    for (int k = 0; k < 4; ++k)
      write_file(local_ + "/up" + std::to_string(k), g_setup.content[k]);
  }

  // Runs one export picked at random and checks what it returned.
  void step() {
    int op = pick();
    op_.store(op);
    bool ok = run(op);
    g_count.calls[op].fetch_add(1);
    if (ok) g_count.ok[op].fetch_add(1);
    beat_.store(now_ms());
  }

  int64_t last_beat() const { return beat_.load(); }
  int current_op() const { return op_.load(); }

 private:
  uint32_t next() {
    rng_ ^= rng_ << 13;
    rng_ ^= rng_ >> 7;
    rng_ ^= rng_ << 17;
    return static_cast<uint32_t>(rng_ >> 11);
  }
  int below(int n) {
    return static_cast<int>(next() % static_cast<uint32_t>(n));
  }

  // Connects and disconnects are rarer than the rest, disconnects most, so
  // that most calls find a session.
  int pick() {
    int op = below(kOpCount);
    if ((op == 5 && below(4) != 0) || (op == 6 && below(12) != 0))
      op = 8 + below(15);
    return op;
  }

  std::string remote_file(int n) const {
    return remote_ + "/f" + std::to_string(n);
  }

  bool run(int op) {
    switch (op) {
      case 0:
        return check_version();
      case 1:
        return check_last_error();
      case 2:
        return check_is_connected();
      case 3:
        return check_log();
      case 4:
        return sftp_client_clear_log() == 0 || (problem("clear_log"), false);
      case 5:
        return connect();
      case 6:
        return sftp_client_disconnect() == 0 ||
               (problem("disconnect returned non-zero"), false);
      case 7:
        return check_session_info();
      case 8:
        return list_dir();
      case 9:
        return stat_path();
      case 10:
        return real_path();
      case 11:
      case 12:
        return make_or_remove_dir(op == 11);
      case 13:
        return delete_file();
      case 14:
        return rename_file();
      case 15:
        return chmod_file();
      case 16:
        return check_progress();
      case 17:
        return sftp_transfer_cancel() == 0 ||
               (problem("cancel returned non-zero"), false);
      case 18:
      case 20:
        return download(op == 20);
      case 19:
      case 21:
        return upload(op == 21);
      default:
        return list_local();
    }
  }

  bool check_version() {
    if (std::strcmp(sftp_client_version(), "1.1.1") == 0) return true;
    problem("version is '%s'", sftp_client_version());
    return false;
  }

  bool check_last_error() {
    std::string text;
    {
      std::lock_guard<ErrorLock> l(g_err);
      text = sftp_client_last_error();
    }
    scan_secrets(text, "last_error");
    if (text.size() <= 511) return true;
    problem("last_error longer than 511 bytes");
    return false;
  }

  bool check_is_connected() {
    int c = sftp_client_is_connected();
    if (c == 0 || c == 1) return c == 1;
    problem("is_connected returned %d", c);
    return false;
  }

  bool check_log() {
    std::string text;
    {
      std::lock_guard<std::mutex> l(g_json_lock);
      text = sftp_client_get_log();
    }
    json_check::Value v;
    if (!parse(text, "get_log", &v)) return false;
    for (const auto &item : v.items)
      if (item.get("ts_ms") == nullptr || item.get("line") == nullptr)
        return problem("log element without ts_ms or line"), false;
    return v.type == json_check::Value::array ||
           (problem("log is not an array"), false);
  }

  // Mostly good connects, by key or password; now and then one that must
  // fail: a wrong password, or a port where nothing listens.
  bool connect() {
    int kind = below(20);
    const std::string &cfg = kind < 14   ? g_setup.key_config
                             : kind < 18 ? g_setup.password_config
                             : kind < 19 ? g_setup.wrong_config
                                         : g_setup.closed_config;
    bool good = kind < 18;
    int rc;
    {
      Writes w(g_err);
      rc = sftp_client_connect(cfg.c_str());
    }
    if (!good && rc == 0) problem("a connect that must fail returned 0");
    if (good && rc != 0) problem("a good connect failed");
    return rc == 0;
  }

  bool check_session_info() {
    std::string text;
    {
      std::lock_guard<std::mutex> l(g_info_lock);
      text = sftp_client_session_info();
    }
    json_check::Value v;
    if (!parse(text, "session_info", &v)) return false;
    const json_check::Value *c = v.get("connected");
    if (c == nullptr || c->type != json_check::Value::boolean)
      return problem("session_info without connected: %s", text.c_str()), false;
    return c->flag;
  }

  // Lists this worker's own folder (which only it changes, so a listing that
  // succeeded must name what is there), the shared folder, or one that does
  // not exist.
  bool list_dir() {
    int kind = below(4);
    std::string path = kind == 0   ? remote_
                       : kind == 1 ? g_setup.remote_base
                       : kind == 2 ? std::string()
                                   : remote_ + "/missing";
    std::string text;
    {
      std::lock_guard<std::mutex> l(g_json_lock);
      Writes w(g_err);
      text = sftp_client_list_dir(path.c_str());
    }
    json_check::Value v;
    if (!parse(text, "list_dir", &v)) return false;
    if (v.type != json_check::Value::array)
      return problem("list_dir is not an array"), false;
    if (v.items.empty()) return false;  // a failure, or an empty folder
    if (kind == 3) return problem("a missing folder was listed"), false;
    if (kind == 0) same_names(v, names_in(remote_), "list_dir");
    return true;
  }

  void same_names(const json_check::Value &v, const std::set<std::string> &want,
                  const char *where) {
    std::set<std::string> got;
    for (const auto &item : v.items)
      if (const json_check::Value *n = item.get("name")) got.insert(n->text);
    if (got != want)
      problem("%s of a worker's folder: %zu names, %zu expected", where,
              got.size(), want.size());
  }

  bool stat_path() {
    int k = below(4);
    bool shared = below(2) == 0;
    std::string path = shared ? g_setup.remote_base + "/src" + std::to_string(k)
                              : remote_file(k);
    std::string text;
    {
      std::lock_guard<std::mutex> l(g_json2_lock);
      Writes w(g_err);
      text = sftp_client_stat(path.c_str());
    }
    json_check::Value v;
    if (!parse(text, "stat", &v)) return false;
    if (text == "{}") return false;
    const json_check::Value *name = v.get("name");
    const json_check::Value *size = v.get("size");
    struct stat st {};
    if (name == nullptr || size == nullptr || name->text != path ||
        lstat(path.c_str(), &st) != 0 ||
        size->text != std::to_string(st.st_size))
      return problem("stat of %s: %s", path.c_str(), text.c_str()), false;
    return true;
  }

  bool real_path() {
    bool own = below(2) == 0;
    std::string text;
    {
      std::lock_guard<std::mutex> l(g_path_lock);
      Writes w(g_err);
      text = sftp_client_realpath(own ? remote_.c_str() : ".");
    }
    scan_secrets(text, "realpath");
    if (text.empty()) return false;
    if (text != (own ? remote_ : g_setup.home))
      return problem("realpath gave '%s'", text.c_str()), false;
    return true;
  }

  bool make_or_remove_dir(bool make) {
    std::string path = remote_ + "/d" + std::to_string(below(2));
    int rc;
    {
      Writes w(g_err);
      rc = make ? sftp_client_mkdir(path.c_str())
                : sftp_client_rmdir(path.c_str());
    }
    if (rc == 0 && exists(path) != make)
      problem("%s of %s returned 0 but did not happen",
              make ? "mkdir" : "rmdir", path.c_str());
    return rc == 0;
  }

  bool delete_file() {
    std::string path = remote_file(below(4));
    int rc;
    {
      Writes w(g_err);
      rc = sftp_client_delete(path.c_str());
    }
    if (rc == 0 && exists(path))
      problem("delete of %s returned 0 but it is there", path.c_str());
    return rc == 0;
  }

  bool rename_file() {
    std::string from = remote_file(below(4)), to = remote_file(below(4));
    int rc;
    {
      Writes w(g_err);
      rc = sftp_client_rename(from.c_str(), to.c_str());
    }
    if (rc == 0 && (!exists(to) || (from != to && exists(from))))
      problem("rename %s to %s returned 0 but did not happen", from.c_str(),
              to.c_str());
    return rc == 0;
  }

  bool chmod_file() {
    static const int kModes[] = {0600, 0640, 0644};
    std::string path = remote_file(below(4));
    int mode = kModes[below(3)];
    int rc;
    {
      Writes w(g_err);
      rc = sftp_client_chmod(path.c_str(), mode);
    }
    struct stat st {};
    if (rc == 0 && (lstat(path.c_str(), &st) != 0 ||
                    static_cast<int>(st.st_mode & 0777) != mode))
      problem("chmod %o %s returned 0 but did not happen", mode, path.c_str());
    return rc == 0;
  }

  bool check_progress() {
    std::string text;
    {
      std::lock_guard<std::mutex> l(g_info_lock);
      text = sftp_transfer_progress();
    }
    json_check::Value v;
    if (!parse(text, "progress", &v)) return false;
    const json_check::Value *active = v.get("active");
    const json_check::Value *error = v.get("error");
    if (active == nullptr || active->type != json_check::Value::boolean ||
        error == nullptr || error->type != json_check::Value::string)
      return problem("progress record: %s", text.c_str()), false;
    return true;
  }

  // Downloads one of the shared small files; a download that returned 0
  // must have left an exact copy.
  bool download(bool scp) {
    int k = below(4);
    std::string remote = g_setup.remote_base + "/src" + std::to_string(k);
    std::string local = local_ + "/dl";
    std::remove(local.c_str());
    int rc;
    {
      Writes w(g_err);
      rc = scp ? scp_client_download(remote.c_str(), local.c_str())
               : sftp_client_download(remote.c_str(), local.c_str());
    }
    if (rc != 0) return false;
    bool read;
    if (read_file(local, &read) != g_setup.content[k] || !read)
      return problem("%s download of src%d returned 0, copy differs",
                     scp ? "SCP" : "SFTP", k),
             false;
    return true;
  }

  // Uploads one of this worker's local files into its own remote folder; an
  // upload that returned 0 must have left an exact copy there.
  bool upload(bool scp) {
    int k = below(4);
    std::string local = local_ + "/up" + std::to_string(k);
    std::string remote = remote_file(below(4));
    int rc;
    {
      Writes w(g_err);
      rc = scp ? scp_client_upload(local.c_str(), remote.c_str(), 0644)
               : sftp_client_upload(local.c_str(), remote.c_str());
    }
    if (rc != 0) return false;
    bool read;
    if (read_file(remote, &read) != g_setup.content[k] || !read)
      return problem("%s upload of up%d returned 0, copy differs",
                     scp ? "SCP" : "SFTP", k),
             false;
    return true;
  }

  bool list_local() {
    bool own = below(4) != 0;
    std::string text;
    {
      std::lock_guard<std::mutex> l(g_json2_lock);
      Writes w(g_err);
      text = sftp_client_list_local(own ? local_.c_str() : "");
    }
    json_check::Value v;
    if (!parse(text, "list_local", &v)) return false;
    if (v.type != json_check::Value::array || v.items.empty())
      return problem("list_local gave %s", text.c_str()), false;
    if (own) same_names(v, names_in(local_), "list_local");
    return true;
  }

  uint64_t rng_;
  std::string remote_, local_;
  std::atomic<int64_t> beat_{now_ms()};
  std::atomic<int> op_{-1};
};

// ---- The mixed soak ---------------------------------------------------------

// Ends the process when a worker has been inside one call for longer than
// any bounded wait explains: that is a hang.
void watch(std::vector<Worker *> &workers, std::atomic<bool> &done,
           int64_t limit_ms) {
  while (!done.load()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (size_t i = 0; i < workers.size(); ++i) {
      if (now_ms() - workers[i]->last_beat() <= limit_ms) continue;
      std::fprintf(stderr, "soak: HANG: worker %zu inside %s for over %lld s\n",
                   i, kOps[workers[i]->current_op()],
                   static_cast<long long>(limit_ms / 1000));
      std::fflush(stderr);
      std::_Exit(3);
    }
  }
}

void print_counts(double seconds) {
  long total = 0;
  std::printf("%-13s %8s %8s\n", "export", "calls", "ok");
  for (int i = 0; i < kOpCount; ++i) {
    std::printf("%-13s %8ld %8ld\n", kOps[i], g_count.calls[i].load(),
                g_count.ok[i].load());
    total += g_count.calls[i].load();
  }
  std::printf("soak: %ld calls in %.1f s (%.0f per second)\n", total, seconds,
              static_cast<double>(total) / seconds);
}

int run_mixed(int seconds, int threads, uint64_t seed) {
  std::printf("soak: %d threads for %d s, seed %llu\n", threads, seconds,
              static_cast<unsigned long long>(seed));
  std::vector<Worker *> workers;
  for (int i = 0; i < threads; ++i)
    workers.push_back(new Worker(i, seed * 7919 + static_cast<uint64_t>(i)));
  std::atomic<bool> done{false};
  int64_t start = now_ms(), end = start + seconds * 1000LL;
  std::thread watchdog(watch, std::ref(workers), std::ref(done), 90000);
  std::vector<std::thread> pool;
  for (Worker *w : workers)
    pool.emplace_back([w, end] {
      while (now_ms() < end) w->step();
    });
  for (std::thread &t : pool) t.join();
  done.store(true);
  watchdog.join();
  sftp_client_disconnect();
  print_counts(static_cast<double>(now_ms() - start) / 1000.0);
  for (Worker *w : workers) delete w;
  return 0;
}

// ---- The long run -----------------------------------------------------------

struct Resources {
  int fds = 0, threads = 0;
  long rss_kib = 0;
};

Resources measure() {
  Resources r;
  if (DIR *d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++r.fds;
    closedir(d);
    r.fds -= 3;  // ".", ".." and the folder's own descriptor
  }
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) r.threads = std::atoi(line.c_str() + 8);
    if (line.rfind("VmRSS:", 0) == 0) r.rss_kib = std::atol(line.c_str() + 6);
  }
  return r;
}

// Prints a phase's figures and reports growth beyond the allowance.
void report_flat(const char *phase, const Resources &base, const Resources &end,
                 long peak_rss, long allowance_kib) {
  std::printf(
      "soak: %s: fds %d -> %d, threads %d -> %d, RSS %ld -> %ld KiB "
      "(peak %ld)\n",
      phase, base.fds, end.fds, base.threads, end.threads, base.rss_kib,
      end.rss_kib, peak_rss);
  if (end.fds != base.fds) problem("%s: file descriptors grew", phase);
  if (end.threads != base.threads) problem("%s: threads grew", phase);
  if (end.rss_kib - base.rss_kib > allowance_kib)
    problem("%s: resident memory grew by %ld KiB", phase,
            end.rss_kib - base.rss_kib);
}

bool cycle() {
  if (sftp_client_connect(g_setup.key_config.c_str()) != 0)
    return problem("connect: %s", sftp_client_last_error()), false;
  json_check::Value v;
  bool ok = parse(sftp_client_list_dir(g_setup.remote_base.c_str()), "list_dir",
                  &v) &&
            v.items.size() >= 5;  // "..", and the four shared files
  if (!ok) problem("listing in cycle: %s", sftp_client_last_error());
  sftp_client_disconnect();
  return ok;
}

bool transfer(int i) {
  int k = i % 4, kind = (i / 4) % 4;
  std::string remote_src = g_setup.remote_base + "/src" + std::to_string(k);
  std::string remote_dst = g_setup.remote_base + "/long" + std::to_string(k);
  std::string local_src = g_setup.local_base + "/up" + std::to_string(k);
  std::string local_dst = g_setup.local_base + "/dl";
  int rc =
      kind == 0   ? sftp_client_download(remote_src.c_str(), local_dst.c_str())
      : kind == 1 ? sftp_client_upload(local_src.c_str(), remote_dst.c_str())
      : kind == 2
          ? scp_client_download(remote_src.c_str(), local_dst.c_str())
          : scp_client_upload(local_src.c_str(), remote_dst.c_str(), 0644);
  bool read;
  std::string copy = read_file(kind % 2 == 0 ? local_dst : remote_dst, &read);
  if (rc == 0 && read && copy == g_setup.content[k]) return true;
  problem("transfer %d (kind %d): rc %d, %s", i, kind, rc,
          sftp_client_last_error());
  return false;
}

// Runs count steps, measuring after the warm-up tenth and at the end.
template <typename Step>
void phase(const char *name, int count, Step step, long allowance_kib) {
  int warm = count / 10 > 0 ? count / 10 : 1;
  Resources base, now;
  long peak = 0;
  int64_t start = now_ms();
  for (int i = 0; i < count && g_problems.load() < 20; ++i) {
    step(i);
    if (i + 1 == warm) base = measure();
    if (i % 50 == 0 || i + 1 == count) {
      now = measure();
      if (now.rss_kib > peak) peak = now.rss_kib;
    }
  }
  double seconds = static_cast<double>(now_ms() - start) / 1000.0;
  std::printf("soak: %s: %d in %.1f s (%.1f per second)\n", name, count,
              seconds, count / seconds);
  report_flat(name, base, now, peak, allowance_kib);
}

int run_long(int cycles, int transfers) {
  for (int k = 0; k < 4; ++k)
    write_file(g_setup.local_base + "/up" + std::to_string(k),
               g_setup.content[k]);
  // A little growth is allowed for the allocator's own bookkeeping; a leak
  // of one buffer per cycle or transfer would exceed it many times over.
  phase(
      "connect/list/disconnect cycles", cycles, [](int) { cycle(); }, 1024);
  if (sftp_client_connect(g_setup.key_config.c_str()) != 0) {
    problem("connect: %s", sftp_client_last_error());
    return 1;
  }
  phase("small transfers", transfers, transfer, 1024);
  sftp_client_disconnect();
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  int seconds = 60, threads = 8, cycles = 0, transfers = 0;
  uint64_t seed = static_cast<uint64_t>(time(nullptr));
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string opt = argv[i];
    long v = std::atol(argv[i + 1]);
    if (opt == "--seconds")
      seconds = static_cast<int>(v);
    else if (opt == "--threads")
      threads = static_cast<int>(v);
    else if (opt == "--cycles")
      cycles = static_cast<int>(v);
    else if (opt == "--transfers")
      transfers = static_cast<int>(v);
    else if (opt == "--seed")
      seed = static_cast<uint64_t>(v);
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  prepare();
  if (cycles > 0 || transfers > 0)
    run_long(cycles, transfers);
  else
    run_mixed(seconds, threads, seed);
  std::error_code ignored;
  std::filesystem::remove_all(g_setup.local_base, ignored);
  std::filesystem::remove_all(g_setup.remote_base, ignored);
  int n = g_problems.load();
  std::printf("soak: %s (%d problems)\n", n == 0 ? "passed" : "FAILED", n);
  return n == 0 ? 0 : 1;
}
