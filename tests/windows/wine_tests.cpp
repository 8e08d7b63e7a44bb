// Tests of the Windows DLL, run under Wine by tests/windows/run_wine.sh
// against the private OpenSSH server and the programmable server on
// 127.0.0.1. The DLL is loaded as a host loads it, with LoadLibraryA and
// GetProcAddress; its path is the first argument, and a case name may follow
// to run that case alone. The servers' ports, account and folders come from the
// TW_* variables of the test run; their Unix paths are reached through Wine's
// drive Z:, which maps the Unix root.
//
// The program prints one line per case and closes with "wine: N passed,
// N failed"; it exits 0 only when every case passed.

// winsock2.h includes windows.h; windows.h on its own first would bring the
// old Winsock declarations.
#include <winsock2.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../plain_support.h"
#include "tarnwick_sftp.h"

namespace {

using tw_test::pattern;
using tw_test::quote;

// ---- The library, loaded at run time ---------------------------------------

#define TW_EXPORTS(X)          \
  X(sftp_client_version);      \
  X(sftp_client_last_error);   \
  X(sftp_client_is_connected); \
  X(sftp_client_get_log);      \
  X(sftp_client_clear_log);    \
  X(sftp_client_connect);      \
  X(sftp_client_disconnect);   \
  X(sftp_client_session_info); \
  X(sftp_client_list_dir);     \
  X(sftp_client_stat);         \
  X(sftp_client_realpath);     \
  X(sftp_client_mkdir);        \
  X(sftp_client_rmdir);        \
  X(sftp_client_delete);       \
  X(sftp_client_rename);       \
  X(sftp_client_chmod);        \
  X(sftp_transfer_progress);   \
  X(sftp_transfer_cancel);     \
  X(sftp_client_download);     \
  X(sftp_client_upload);       \
  X(scp_client_download);      \
  X(scp_client_upload);        \
  X(sftp_client_list_local)

struct Api {
#define TW_MEMBER(name) decltype(&::name) name
  TW_EXPORTS(TW_MEMBER);
#undef TW_MEMBER
};
Api lib;

template <typename Fn>
bool resolve(HMODULE m, const char *name, Fn *fn) {
  *fn = reinterpret_cast<Fn>(reinterpret_cast<void *>(GetProcAddress(m, name)));
  if (*fn == nullptr) std::printf("export %s is missing\n", name);
  return *fn != nullptr;
}

// Resolves every export by its undecorated name; false when one is missing.
bool load(const char *path) {
  HMODULE m = LoadLibraryA(path);
  if (m == nullptr) {
    std::printf("cannot load %s (error %lu)\n", path, GetLastError());
    return false;
  }
  bool ok = true;
#define TW_RESOLVE(name) ok = resolve(m, #name, &lib.name) && ok
  TW_EXPORTS(TW_RESOLVE);
#undef TW_RESOLVE
  return ok;
}

// ---- A small test frame -----------------------------------------------------

int g_failures_in_case = 0;

void fail(int line, const std::string &what) {
  std::printf("  line %d: %s\n", line, what.c_str());
  ++g_failures_in_case;
}

#define CHECK(cond) \
  ((cond) ? (void)0 : fail(__LINE__, std::string("failed: ") + #cond))
#define CHECK_EQ(a, b)                                                         \
  do {                                                                         \
    std::string a_ = (a), b_ = (b);                                            \
    if (a_ != b_) fail(__LINE__, #a " is \"" + a_ + "\", not \"" + b_ + "\""); \
  } while (0)
#define CHECK_HAS(text, part)                                               \
  do {                                                                      \
    std::string t_ = (text), p_ = (part);                                   \
    if (t_.find(p_) == std::string::npos)                                   \
      fail(__LINE__, "\"" + t_.substr(0, 600) + "\" lacks \"" + p_ + "\""); \
  } while (0)

std::string env(const char *name) {
  const char *v = std::getenv(name);
  if (v == nullptr || *v == '\0') {
    fail(0, std::string(name) + " is not set: run through run_wine.sh");
    return "";
  }
  return v;
}

// A Unix path as Windows sees it under Wine.
std::string win(const std::string &unix_path) {
  std::string out = "Z:" + unix_path;
  for (char &c : out)
    if (c == '/') c = '\\';
  return out;
}

std::string to_s(long long v) { return std::to_string(v); }

// The folders of this run: the account's home as the server sees it (a Unix
// path) and as this program sees it, and a local folder of this program's.
std::string home() { return env("TW_SSH_HOME"); }
std::string home_win() { return win(home()); }
std::string local_dir() { return win(env("TW_WIN_LOCAL")); }

std::string openssh_config(const std::string &key,
                           const std::string &extra = "") {
  std::string c = "{\"host\":\"127.0.0.1\",\"port\":" + env("TW_SSHD_PORT") +
                  ",\"user\":" + quote(env("TW_SSH_USER"));
  if (key.empty())
    c += ",\"password\":" + quote(env("TW_SSH_PASSWORD"));
  else
    c += ",\"private_key\":" + quote(win(env("TW_KEYS_DIR") + "/" + key));
  return c + extra + "}";
}

bool connect_openssh(const std::string &key = "id_ed25519") {
  if (lib.sftp_client_connect(openssh_config(key).c_str()) == 0) return true;
  fail(0, std::string("connect failed: ") + lib.sftp_client_last_error());
  return false;
}

bool connect_fake(const std::string &scenario) {
  std::string c = "{\"host\":\"127.0.0.1\",\"port\":" + env("TW_FAKE_PORT") +
                  ",\"user\":" + quote(scenario) +
                  ",\"password\":" + quote(env("TW_FAKE_PASSWORD")) + "}";
  if (lib.sftp_client_connect(c.c_str()) == 0) return true;
  fail(0, std::string("connect failed: ") + lib.sftp_client_last_error());
  return false;
}

std::string last_error() { return lib.sftp_client_last_error(); }

// ---- Files ------------------------------------------------------------------

void write_file(const std::string &path, const std::string &data) {
  FILE *f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return fail(0, "cannot write " + path);
  std::fwrite(data.data(), 1, data.size(), f);
  std::fclose(f);
}

std::string read_file(const std::string &path) {
  std::string out;
  FILE *f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return "<missing>";
  char buf[65536];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  std::fclose(f);
  return out;
}

bool exists(const std::string &path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// A file of the given size that holds only its last byte: sparse on the Unix
// file system below Wine, so sizes over 4 GiB cost no disk space.
void make_sparse(const std::string &path, int64_t size) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return fail(0, "cannot create " + path);
  LARGE_INTEGER at;
  at.QuadPart = size - 1;
  DWORD written = 0;
  SetFilePointerEx(h, at, nullptr, FILE_BEGIN);
  WriteFile(h, "z", 1, &written, nullptr);
  CloseHandle(h);
}

// Sets a file's write time, in 100-nanosecond units from 1970.
void set_write_time(const std::string &path, int64_t since_1970) {
  HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ULARGE_INTEGER t;
  t.QuadPart = static_cast<uint64_t>(since_1970 + 116444736000000000LL);
  FILETIME ft{t.LowPart, t.HighPart};
  if (h == INVALID_HANDLE_VALUE || !SetFileTime(h, nullptr, nullptr, &ft))
    fail(0, "cannot set the time of " + path);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

// ---- JSON records -----------------------------------------------------------

// The number after "key": in a JSON text, or -1.
long long number(const std::string &json, const std::string &key) {
  size_t at = json.find("\"" + key + "\":");
  if (at == std::string::npos) return -1;
  return std::strtoll(json.c_str() + at + key.size() + 3, nullptr, 10);
}

// The text of "key":"..." (still escaped), or "<none>".
std::string text(const std::string &json, const std::string &key) {
  size_t at = json.find("\"" + key + "\":\"");
  if (at == std::string::npos) return "<none>";
  at += key.size() + 4;
  size_t end = at;
  while (end < json.size() && json[end] != '"')
    end += json[end] == '\\' ? 2 : 1;
  return json.substr(at, end - at);
}

// The entry record of one name in a listing, or "".
std::string entry(const std::string &listing, const std::string &name) {
  size_t at = listing.find("{\"name\":" + quote(name) + ",");
  if (at == std::string::npos) return "";
  return listing.substr(at, listing.find('}', at) - at + 1);
}

std::string local_record(const std::string &name, bool dir, int64_t size,
                         int64_t mtime) {
  return "{\"name\":" + quote(name) +
         ",\"is_dir\":" + (dir ? "true" : "false") + ",\"size\":" + to_s(size) +
         ",\"mtime\":" + to_s(mtime) + ",\"mode\":\"" +
         (dir ? "drwxr-xr-x" : "-rw-r--r--") + "\",\"uid\":0,\"gid\":0}";
}

// ---- Transfers --------------------------------------------------------------

enum class Kind { sftp_down, sftp_up, scp_down, scp_up };
const char *kKindNames[] = {"SFTP download", "SFTP upload", "SCP download",
                            "SCP upload"};

int transfer(Kind k, const std::string &remote, const std::string &local) {
  switch (k) {
    case Kind::sftp_down:
      return lib.sftp_client_download(remote.c_str(), local.c_str());
    case Kind::sftp_up:
      return lib.sftp_client_upload(local.c_str(), remote.c_str());
    case Kind::scp_down:
      return lib.scp_client_download(remote.c_str(), local.c_str());
    case Kind::scp_up:
      return lib.scp_client_upload(local.c_str(), remote.c_str(), 0644);
  }
  return -1;
}

// A second thread that polls the progress record while a transfer runs and,
// when cancel_at is positive, cancels it once that many bytes have moved.
struct Watcher {
  long long cancel_at = 0;
  volatile LONG stop = 0;
  int active_polls = 0;
  bool went_back = false;
  long long last = 0;
  std::string total_seen;
  HANDLE thread = nullptr;

  static DWORD WINAPI run(void *arg) {
    auto *w = static_cast<Watcher *>(arg);
    while (!w->stop) {
      std::string p = lib.sftp_transfer_progress();
      if (p.find("\"active\":true") != std::string::npos) {
        long long moved = number(p, "transferred");
        w->went_back = w->went_back || moved < w->last;
        w->last = moved;
        w->total_seen = to_s(number(p, "total"));
        ++w->active_polls;
        if (w->cancel_at > 0 && moved >= w->cancel_at)
          lib.sftp_transfer_cancel();
      }
      Sleep(1);
    }
    return 0;
  }
  void start() { thread = CreateThread(nullptr, 0, run, this, 0, nullptr); }
  void finish() {
    InterlockedExchange(&stop, 1);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
};

// ---- The cases --------------------------------------------------------------

void test_frame() {
  CHECK_EQ(lib.sftp_client_version(), "1.1.1");
  CHECK(lib.sftp_client_is_connected() == 0);
  CHECK_EQ(lib.sftp_client_get_log(), "[]");
}

void test_logins() {
  struct Login {
    const char *key;
    bool encrypted;
  } logins[] = {{"id_ed25519", false},
                {"id_ecdsa", false},
                {"id_rsa_pem", false},
                {"id_rsa", false},
                {"id_ed25519_enc", true},
                {"id_rsa_pem_enc", true},
                {"", false}};
  for (const Login &l : logins) {
    std::string extra =
        l.encrypted ? ",\"passphrase\":" + quote(env("TW_KEY_PASSPHRASE")) : "";
    int rc = lib.sftp_client_connect(openssh_config(l.key, extra).c_str());
    std::printf("  login with %s: %s\n", *l.key ? l.key : "password",
                rc == 0 ? "ok" : last_error().c_str());
    CHECK(rc == 0);
    CHECK_EQ(text(lib.sftp_client_session_info(), "auth"),
             *l.key ? "publickey" : "password");
    lib.sftp_client_disconnect();
  }
  // A key the server does not know, and an encrypted key without its
  // passphrase, are refused alike.
  for (const char *key : {"id_ed25519_other", "id_ed25519_enc"}) {
    CHECK(lib.sftp_client_connect(openssh_config(key).c_str()) == -1);
    CHECK_EQ(last_error(), "authentication failed for user '" +
                               env("TW_SSH_USER") + "' (publickey)");
  }
}

void test_session_description() {
  if (!connect_openssh()) return;
  std::string info = lib.sftp_client_session_info();
  std::string port = env("TW_SSHD_PORT");
  CHECK_HAS(info, "{\"connected\":true,\"host\":\"127.0.0.1\",\"port\":" +
                      port + ",\"user\":" + quote(env("TW_SSH_USER")) +
                      ",\"banner\":\"SSH-2.0-OpenSSH_");
  std::string fp = text(info, "fingerprint");
  CHECK(fp.size() == 59 && fp[2] == ':' && fp[56] == ':');
  CHECK_EQ(text(info, "home"), home());
  CHECK_HAS(lib.sftp_client_get_log(), "CONNECTED " + env("TW_SSH_USER") +
                                           "@127.0.0.1:" + port +
                                           " (publickey) home=" + home());
  CHECK(lib.sftp_client_is_connected() == 1);
  lib.sftp_client_disconnect();
  CHECK_HAS(lib.sftp_client_session_info(), "{\"connected\":false,");
  CHECK(lib.sftp_client_is_connected() == 0);
}

void test_remote_operations() {
  if (!connect_openssh()) return;
  std::string d = home() + "/ops";
  CHECK_EQ(lib.sftp_client_realpath(""), home());
  CHECK(lib.sftp_client_mkdir(d.c_str()) == 0);
  CHECK_EQ(lib.sftp_client_realpath((d + "/../.").c_str()), home());
  write_file(local_dir() + "\\f", "12345");
  CHECK(lib.sftp_client_upload((local_dir() + "\\f").c_str(),
                               (d + "/f").c_str()) == 0);
  std::string listing = lib.sftp_client_list_dir(d.c_str());
  CHECK_HAS(entry(listing, "f"), ",\"is_dir\":false,\"size\":5,");
  CHECK_HAS(entry(listing, ".."), ",\"is_dir\":true,");
  CHECK(entry(listing, ".").empty());
  CHECK_HAS(lib.sftp_client_stat(d.c_str()),
            "{\"name\":" + quote(d) + ",\"is_dir\":true,");
  CHECK(lib.sftp_client_rename((d + "/f").c_str(), (d + "/g").c_str()) == 0);
  CHECK(lib.sftp_client_chmod((d + "/g").c_str(), 0600) == 0);
  CHECK_HAS(lib.sftp_client_stat((d + "/g").c_str()),
            "\"mode\":\"-rw-------\"");
  CHECK(lib.sftp_client_rmdir(d.c_str()) == -1);
  CHECK_EQ(last_error(), "cannot remove directory '" + d + "' (is it empty?)");
  CHECK(lib.sftp_client_delete((d + "/g").c_str()) == 0);
  CHECK(lib.sftp_client_rmdir(d.c_str()) == 0);
  CHECK_EQ(lib.sftp_client_stat(d.c_str()), "{}");
  CHECK_EQ(last_error(), "cannot stat '" + d + "'");
  CHECK_HAS(lib.sftp_client_get_log(), "\"line\":\"RMDIR " + d + "\"");
  lib.sftp_client_disconnect();
}

// Every transfer both ways, byte for byte, on a 64 MiB file and one of an odd
// size; the rates are printed for comparison with native runs.
void test_round_trips() {
  if (!connect_openssh()) return;
  for (size_t size : {size_t(64) << 20, size_t(100001)}) {
    std::string data = pattern(size, static_cast<uint32_t>(size));
    std::string src = local_dir() + "\\src";
    write_file(src, data);
    for (int p = 0; p < 2; ++p) {
      Kind up = p == 0 ? Kind::sftp_up : Kind::scp_up;
      Kind down = p == 0 ? Kind::sftp_down : Kind::scp_down;
      std::string name = p == 0 ? "rt_sftp" : "rt_scp";
      std::string remote = home() + "/" + name;
      std::string back = local_dir() + "\\" + name;
      for (Kind k : {up, down}) {
        DWORD t0 = GetTickCount();
        int rc = transfer(k, remote, k == up ? src : back);
        double s = (GetTickCount() - t0) / 1000.0;
        if (rc != 0)
          fail(__LINE__, std::string(kKindNames[int(k)]) + ": " + last_error());
        std::string prog = lib.sftp_transfer_progress();
        CHECK(number(prog, "transferred") == static_cast<long long>(size));
        CHECK_HAS(prog, "\"finished\":true,\"error\":\"\"}");
        if (size > 1000000)
          std::printf("  throughput: %s of %zu MiB: %.1f MiB/s\n",
                      kKindNames[int(k)], size >> 20,
                      s > 0 ? (size >> 20) / s : 0.0);
      }
      CHECK(read_file(home_win() + "\\" + name) == data);
      CHECK(read_file(back) == data);
    }
  }
  lib.sftp_client_disconnect();
}

// A sparse file of 5 GiB and a byte, moved each way and cancelled by a
// second thread after the first megabytes: the size over 4 GiB is measured
// and announced whole, progress moves forward, and a cancelled download
// leaves no local file.
void test_big_file_cancelled() {
  const long long size = (5LL << 30) + 1;
  std::string big_local = local_dir() + "\\big";
  std::string big_remote = home() + "/big";
  make_sparse(big_local, size);
  make_sparse(home_win() + "\\big", size);
  if (!connect_openssh()) return;
  for (Kind k :
       {Kind::sftp_down, Kind::scp_down, Kind::sftp_up, Kind::scp_up}) {
    bool up = k == Kind::sftp_up || k == Kind::scp_up;
    if (k == Kind::scp_up && !connect_fake("scpsink")) return;
    std::string remote = k == Kind::scp_up ? "/big_up"
                         : up              ? home() + "/big_up"
                                           : big_remote;
    std::string local = up ? big_local : local_dir() + "\\big_down";
    Watcher w;
    w.cancel_at = 4 << 20;
    w.start();
    int rc = transfer(k, remote, local);
    w.finish();
    std::string prog = lib.sftp_transfer_progress();
    std::printf("  %s of 5 GiB cancelled after %lld bytes, %d polls\n",
                kKindNames[int(k)], number(prog, "transferred"),
                w.active_polls);
    CHECK(rc == -1);
    CHECK_EQ(last_error(), "transfer cancelled");
    CHECK_EQ(w.total_seen, to_s(size));
    CHECK(w.active_polls > 1 && !w.went_back);
    CHECK_HAS(prog, ",\"total\":" + to_s(size) + ",");
    CHECK_HAS(prog,
              "\"cancelled\":true,\"finished\":true,\"error\":\"cancelled\"}");
    if (!up) CHECK(!exists(local));
  }
  CHECK_EQ(read_file(win(env("TW_FAKE_ROOT")) + "\\big_up.cline"),
           "C0644 " + to_s(size) + " big_up\n");
  lib.sftp_client_disconnect();
}

// Creates a listening socket on 127.0.0.1 and returns its port, or 0.
int listen_on_loopback(SOCKET *s, int backlog) {
  *s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int len = sizeof a;
  if (bind(*s, reinterpret_cast<sockaddr *>(&a), len) != 0 ||
      listen(*s, backlog) != 0)
    return 0;
  getsockname(*s, reinterpret_cast<sockaddr *>(&a), &len);
  return ntohs(a.sin_port);
}

// Connects without waiting, so that the listener's queue fills.
SOCKET connect_nowait(int port) {
  SOCKET c = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  u_long on = 1;
  ioctlsocket(c, FIONBIO, &on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<u_short>(port));
  connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a);
  return c;
}

// Both kinds of silent server end within the time-out: one that accepts the
// connection and never speaks (the handshake waits), and one whose queue is
// full, so that the TCP connect itself gets no answer (Windows ignores the
// send time-out there).
void test_silent_servers() {
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  SOCKET quiet, full;
  int quiet_port = listen_on_loopback(&quiet, 4);
  int full_port = listen_on_loopback(&full, 0);
  std::vector<SOCKET> fillers;
  for (int i = 0; i < 3; ++i) fillers.push_back(connect_nowait(full_port));
  Sleep(200);
  struct Case {
    int port;
    std::string message;
  } cases[] = {{quiet_port, "SSH handshake failed (-"},
               {full_port, "cannot connect to 127.0.0.1:" + to_s(full_port)}};
  for (const Case &c : cases) {
    std::string config =
        "{\"host\":\"127.0.0.1\",\"port\":" + to_s(c.port) +
        ",\"user\":\"u\",\"password\":\"p\",\"timeout_ms\":1000}";
    DWORD t0 = GetTickCount();
    CHECK(lib.sftp_client_connect(config.c_str()) == -1);
    DWORD waited = GetTickCount() - t0;
    std::printf("  silent server on port %d: %s after %lu ms\n", c.port,
                last_error().c_str(), waited);
    CHECK(last_error().rfind(c.message, 0) == 0);
    CHECK(waited < 10000);
  }
  for (SOCKET f : fillers) closesocket(f);
  closesocket(quiet);
  closesocket(full);
}

void test_drive_list() {
  std::string drives = lib.sftp_client_list_local(nullptr);
  std::printf("  drives: %s\n", drives.c_str());
  CHECK_EQ(lib.sftp_client_list_local(""), drives);
  CHECK_EQ(last_error(), "");
  // Wine gives at least C: and Z:, in letter order.
  size_t c = drives.find(local_record("C:\\", true, 0, 0));
  size_t z = drives.find(local_record("Z:\\", true, 0, 0));
  CHECK(drives.front() == '[' && drives.back() == ']');
  CHECK(c != std::string::npos && z != std::string::npos && c < z);
}

// One folder through the three forms of its path: the same entries, ".."
// but not ".", hidden files too, sizes over 4 GiB whole, and write times as
// Unix seconds rounded down (so negative before 1970).
void test_local_folder() {
  std::string dir = local_dir() + "\\folder";
  CreateDirectoryA(dir.c_str(), nullptr);
  CreateDirectoryA((dir + "\\sub").c_str(), nullptr);
  write_file(dir + "\\.hidden", "abc");
  write_file(dir + "\\early", "");
  write_file(dir + "\\before1970", "");
  make_sparse(dir + "\\big", (5LL << 30) + 7);
  set_write_time(dir + "\\early", 19000000);        // 1.9 s after 1970
  set_write_time(dir + "\\before1970", -15000000);  // 1.5 s before
  std::string listing = lib.sftp_client_list_local(dir.c_str());
  CHECK_EQ(last_error(), "");
  std::string with_sep = dir + "\\";
  std::string slashes = dir + "/";
  for (char &ch : slashes)
    if (ch == '\\') ch = '/';
  CHECK_EQ(lib.sftp_client_list_local(with_sep.c_str()), listing);
  CHECK_EQ(lib.sftp_client_list_local(slashes.c_str()), listing);
  CHECK(entry(listing, ".").empty());
  CHECK_HAS(entry(listing, ".."), "\"is_dir\":true,\"size\":0,");
  CHECK_HAS(entry(listing, "sub"), "\"is_dir\":true,\"size\":0,");
  CHECK_HAS(entry(listing, ".hidden"), "\"is_dir\":false,\"size\":3,");
  CHECK_HAS(entry(listing, "big"), "\"size\":" + to_s((5LL << 30) + 7) + ",");
  CHECK_EQ(entry(listing, "early"), local_record("early", false, 0, 1));
  CHECK_EQ(entry(listing, "before1970"),
           local_record("before1970", false, 0, -2));
  std::string missing = dir + "\\missing";
  CHECK_EQ(lib.sftp_client_list_local(missing.c_str()), "[]");
  CHECK_EQ(last_error(), "cannot list local folder '" + missing + "'");
}

// Local paths are bytes of the ANSI code page (1252 under Wine): such a name
// is opened, listed (its byte that is not UTF-8 shown as U+FFFD) and reaches
// the server as the same character in UTF-8.
void test_ansi_names() {
  std::printf("  ANSI code page %u\n", GetACP());
  if (GetACP() != 1252)
    return fail(__LINE__, "the checks below assume code page 1252");
  std::string dir = local_dir() + "\\ansi";
  CreateDirectoryA(dir.c_str(), nullptr);
  std::string name = "caf\xe9.txt";
  write_file(dir + "\\" + name, "latte");
  CHECK_HAS(lib.sftp_client_list_local(dir.c_str()),
            "{\"name\":\"caf\xEF\xBF\xBD.txt\",\"is_dir\":false,\"size\":5,");
  if (!connect_openssh()) return;
  std::string remote = home() + "/up\xc3\xa9";
  CHECK(lib.sftp_client_upload((dir + "\\" + name).c_str(), remote.c_str()) ==
        0);
  CHECK_EQ(read_file(home_win() + "\\up\xe9"), "latte");
  CHECK(lib.scp_client_download(remote.c_str(), (dir + "\\back\xe9").c_str()) ==
        0);
  CHECK_EQ(read_file(dir + "\\back\xe9"), "latte");
  lib.sftp_client_disconnect();
}

}  // namespace

int main(int argc, char **argv) {
  setvbuf(stdout, nullptr, _IONBF, 0);
  if (argc < 2 || argc > 3 || !load(argv[1])) {
    std::printf(
        "usage: tw_wine_tests <path of the DLL> [case name]\n"
        "wine: 0 passed, 1 failed\n");
    return 1;
  }
  struct Case {
    const char *name;
    void (*run)();
  } cases[] = {{"Frame", test_frame},
               {"Logins", test_logins},
               {"SessionDescription", test_session_description},
               {"RemoteOperations", test_remote_operations},
               {"RoundTrips", test_round_trips},
               {"BigFileCancelled", test_big_file_cancelled},
               {"SilentServers", test_silent_servers},
               {"DriveList", test_drive_list},
               {"LocalFolder", test_local_folder},
               {"AnsiNames", test_ansi_names}};
  int passed = 0, failed = 0;
  for (const Case &c : cases) {
    if (argc == 3 && std::strcmp(argv[2], c.name) != 0) continue;
    std::printf("[ RUN  ] %s\n", c.name);
    g_failures_in_case = 0;
    DWORD t0 = GetTickCount();
    c.run();
    bool ok = g_failures_in_case == 0;
    std::printf("[ %s ] %s (%lu ms)\n", ok ? " OK " : "FAIL", c.name,
                GetTickCount() - t0);
    (ok ? passed : failed) += 1;
  }
  std::printf("wine: %d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
