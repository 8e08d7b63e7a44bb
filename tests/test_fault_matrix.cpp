// Faults of the connection and of the server during every long operation:
// SFTP download and upload, a listing of 30,000 entries, SCP download and
// upload against the private OpenSSH server, each broken at a chosen byte
// count by a relay or by signals to the processes that serve the
// connection. Each must fail with its own message within the time-out plus
// a second of the server going silent, report no success, leave a session
// that says it is gone, and allow a new connect. Then the local faults: a
// full disk and destinations that cannot be written fail the transfer and
// leave the session open.
//
// Every case prints one line beginning with "FAULT |": its outcome and
// times, for the record of what was tried.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "fault_support.h"

namespace {

using namespace xfer;
using faults::Clock;
using faults::FaultProxy;
using faults::seconds_between;

constexpr int kTimeoutMs = 2000;
// The transfers' files, sparse on both sides: large enough that no transfer
// can end on the data under way when its fault strikes.
constexpr long long kFileSize = 64ll << 20;
constexpr int kListed = 30000;

enum class Op {
  sftp_download,
  sftp_upload,
  sftp_upload_lanes,  // over four channels
  listing,
  scp_download,
  scp_upload
};
enum class Fault { killed, stopped, reset, cut, not_reading };

const char *name_of(Op op) {
  static const char *const names[] = {"SftpDownload",    "SftpUpload",
                                      "SftpUploadLanes", "Listing",
                                      "ScpDownload",     "ScpUpload"};
  return names[static_cast<int>(op)];
}

const char *name_of(Fault f) {
  static const char *const names[] = {"Killed", "Stopped", "Reset",
                                      "CutMidPacket", "NotReading"};
  return names[static_cast<int>(f)];
}

bool is_upload(Op op) {
  return op == Op::sftp_upload || op == Op::sftp_upload_lanes ||
         op == Op::scp_upload;
}

struct Case {
  Op op;
  Fault fault;
};

// Names the case in the test's output.
void PrintTo(const Case &c, std::ostream *os) {
  *os << name_of(c.op) << name_of(c.fault);
}

// The relay's action for a fault; the signals are sent by a call.
FaultProxy::Action action_of(Fault f) {
  switch (f) {
    case Fault::reset:
      return FaultProxy::Action::reset;
    case Fault::cut:
      return FaultProxy::Action::cut;
    case Fault::not_reading:
      return FaultProxy::Action::stop_reading;
    default:
      return FaultProxy::Action::call;
  }
}

// How far the operation's data has come when the fault strikes: well past
// the opening, well short of the end, and at an odd count.
int64_t fault_at(Op op) {
  if (op == Op::listing) return (512 << 10) + 333;
  return (is_upload(op) ? 2 << 20 : 1 << 20) + 333;
}

// The remote and local path of an operation; the listing has no local one.
struct Paths {
  std::string remote;
  std::string local;
};

// A folder of 30,000 empty files in the OpenSSH account's home, made once
// per server run: built under a name of this process's own and renamed into
// place, so that no test sees it half made.
std::string big_folder() {
  std::string dir = tw_test::env("TW_SSH_HOME") + "/listing30000";
  if (exists(dir)) return dir;
  std::string tmp = dir + "." + std::to_string(getpid());
  mkdir(tmp.c_str(), 0755);
  for (int i = 0; i < kListed; ++i) {
    std::string name = tmp + "/entry-" + std::to_string(100000 + i);
    int fd = open(name.c_str(), O_CREAT | O_WRONLY, 0644);
    if (fd >= 0) close(fd);
  }
  if (rename(tmp.c_str(), dir.c_str()) != 0) std::filesystem::remove_all(tmp);
  return dir;
}

Paths prepare(Op op) {
  if (op == Op::listing) return {big_folder(), ""};
  Place at = openssh_place();
  make_sparse(at.local + "/src", kFileSize);
  if (is_upload(op)) return {at.remote + "/dst", at.local + "/src"};
  return {at.remote + "/src", at.local + "/dst"};
}

// What an operation returned, as the host sees it: for a transfer its
// status and the progress record, for a listing the array (rc -1 when the
// last-error text says something).
struct Outcome {
  int rc;
  std::string error;
  std::string json;
};

int transfer(Op op, const Paths &p) {
  const char *r = p.remote.c_str();
  const char *l = p.local.c_str();
  switch (op) {
    case Op::sftp_download:
      return sftp_client_download(r, l);
    case Op::sftp_upload:
      return sftp_client_upload(l, r);
    case Op::sftp_upload_lanes:
      return sftp_lanes_up(l, r);
    case Op::scp_download:
      return scp_client_download(r, l);
    case Op::scp_upload:
      return scp_client_upload(l, r, 0644);
    case Op::listing:
      break;
  }
  return 0;
}

Outcome run_op(Op op, const Paths &p) {
  if (op == Op::listing) {
    std::string json = sftp_client_list_dir(p.remote.c_str());
    std::string error = sftp_client_last_error();
    return {error.empty() ? 0 : -1, error, json};
  }
  int rc = transfer(op, p);
  return {rc, sftp_client_last_error(), sftp_transfer_progress()};
}

// The message a failed operation must give.
std::string expected_message(Op op, const std::string &remote) {
  bool scp = op == Op::scp_download || op == Op::scp_upload;
  const Proto &proto = scp ? kScp : kSftp;
  return quoted(is_upload(op) ? proto.write_fail : proto.read_fail, remote);
}

bool starts_with(const std::string &s, const std::string &head) {
  return s.compare(0, head.size(), head) == 0;
}

// A failure, and nothing that could pass for a success: the message, the
// record (or a whole array that says it is incomplete), no end line.
void expect_failure(Op op, const Outcome &o, const Paths &p) {
  EXPECT_EQ(o.rc, -1);
  if (op == Op::listing) {
    std::string cut =
        "listing of '" + p.remote + "' is incomplete: reading failed after ";
    EXPECT_TRUE(starts_with(o.error, cut) ||
                o.error == "cannot open remote directory '" + p.remote + "'")
        << o.error;
    EXPECT_TRUE(o.json.front() == '[' && o.json.back() == ']');
    return;
  }
  EXPECT_EQ(o.error, expected_message(op, p.remote));
  Progress r = parse_progress(o.json);
  EXPECT_TRUE(r.finished && !r.active);
  EXPECT_EQ(r.error, is_upload(op) ? "write failed" : "read failed");
  EXPECT_LT(r.transferred, kFileSize);
  for (const std::string &line : log_lines())
    EXPECT_EQ(line.find(" OK "), std::string::npos) << line;
}

// The message with the path replaced, for the printed line.
std::string shown(std::string message, const std::string &path) {
  size_t at = message.find(path);
  if (!path.empty() && at != std::string::npos)
    message.replace(at, path.size(), "<path>");
  return message;
}

// The configuration of the OpenSSH account, on another port.
std::string openssh_on(int port) {
  return "{\"host\":\"127.0.0.1\",\"port\":" + std::to_string(port) +
         ",\"user\":" + tw_test::quote(tw_test::env("TW_SSH_USER")) +
         ",\"private_key\":" + tw_test::quote(tw_test::key_path("id_ed25519")) +
         ",\"timeout_ms\":" + std::to_string(kTimeoutMs) + "}";
}

class OpenSSHFaults : public ::testing::TestWithParam<Case> {};

TEST_P(OpenSSHFaults, FailTrulyAndQuickly) {
  const Case c = GetParam();
  faults::StoppedReaper reaper;
  int sshd = std::atoi(tw_test::env("TW_SSHD_PORT").c_str());
  Paths p = prepare(c.op);
  std::atomic<size_t> signalled{0};  // outlives the relay that sets it
  FaultProxy proxy(sshd);
  sftp_client_clear_log();
  ASSERT_EQ(sftp_client_connect(openssh_on(proxy.port()).c_str()), 0)
      << sftp_client_last_error();

  int sig = c.fault == Fault::killed ? SIGKILL : SIGSTOP;
  proxy.arm(is_upload(c.op) ? FaultProxy::kToServer : FaultProxy::kToClient,
            fault_at(c.op), action_of(c.fault), [&] {
              signalled =
                  faults::signal_connection(sshd, proxy.upstream_port(), sig);
            });
  auto start = Clock::now();
  Outcome o =
      faults::returns_within(std::chrono::milliseconds(kTimeoutMs + 10000),
                             [&] { return run_op(c.op, p); });
  auto end = Clock::now();
  int connected = sftp_client_is_connected();
  ASSERT_TRUE(proxy.fired())
      << "the operation ended before its fault: " << o.error
      << "\nlog: " << sftp_client_get_log();
  // The monitor, the session process and the SFTP or SCP process at least.
  if (action_of(c.fault) == FaultProxy::Action::call) {
    EXPECT_GE(signalled.load(), 3u);
  }
  double after_silence = seconds_between(proxy.silent_since(), end);
  EXPECT_LT(after_silence, (kTimeoutMs + 1000) / 1000.0);
  expect_failure(c.op, o, p);
  double reconnect = faults::expect_session_lost(
      tw_test::env("TW_SSH_USER"), proxy.port(), openssh_on(sshd), kTimeoutMs);
  printf(
      "FAULT | OpenSSH | %s | %s | %s | %.3f s after the server went silent "
      "(call %.3f s) | is_connected %d | reconnect %.3f s\n",
      name_of(c.op), name_of(c.fault), shown(o.error, p.remote).c_str(),
      after_silence, seconds_between(start, end), connected, reconnect);
}

std::vector<Case> all_cases() {
  std::vector<Case> out;
  for (Op op : {Op::sftp_download, Op::sftp_upload, Op::sftp_upload_lanes,
                Op::listing, Op::scp_download, Op::scp_upload})
    for (Fault f : {Fault::killed, Fault::stopped, Fault::reset, Fault::cut,
                    Fault::not_reading})
      out.push_back({op, f});
  return out;
}

INSTANTIATE_TEST_SUITE_P(Matrix, OpenSSHFaults,
                         ::testing::ValuesIn(all_cases()),
                         [](const ::testing::TestParamInfo<Case> &info) {
                           return std::string(name_of(info.param.op)) +
                                  name_of(info.param.fault);
                         });

// The SFTP stream of an upload cut inside a status reply, the SSH connection
// left open: only a server that writes its own SFTP packets can do that.
TEST(ProgrammableServerFaults, SftpUploadCutMidPacket) {
  const std::string user = "cutwrite.1048576";
  connect_fake(user, kTimeoutMs);
  Place at = fake_place();
  make_sparse(at.local + "/src", 8 << 20);
  std::string remote = at.remote + "/dst";
  Result r = faults::bounded(kTimeoutMs, [&] {
    return run([&] {
      return sftp_client_upload((at.local + "/src").c_str(), remote.c_str());
    });
  });
  int connected = sftp_client_is_connected();
  expect_failed(r, quoted(kSftp.write_fail, remote), "write failed");
  int port = std::atoi(tw_test::env("TW_FAKE_PORT").c_str());
  double reconnect = faults::expect_session_lost(
      user, port,
      tw_test::fake_config("ok",
                           ",\"timeout_ms\":" + std::to_string(kTimeoutMs)),
      kTimeoutMs);
  printf(
      "FAULT | fake_sshd | SftpUpload | SFTP reply cut, channel EOF | %s | "
      "call %.3f s | is_connected %d | reconnect %.3f s\n",
      shown(r.error, remote).c_str(), r.seconds, connected, reconnect);
}

// ---- Local faults -----------------------------------------------------------

// A tmpfs mounted on dir for one scope, in a mount namespace of this
// thread's own (threads it starts later share it): no other process sees
// the mount, and none is left behind should the test die.
class Tmpfs {
 public:
  Tmpfs(const std::string &dir, const char *options, unsigned long flags)
      : dir_(dir) {
    mkdir(dir.c_str(), 0755);
    if (unshare(CLONE_NEWNS) != 0 ||
        mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", dir.c_str(), "tmpfs", flags, options) != 0) {
      why_ = std::string("cannot mount a tmpfs here: ") + strerror(errno);
      return;
    }
    mounted_ = true;
  }
  ~Tmpfs() {
    if (mounted_) umount2(dir_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }
  const std::string &why() const { return why_; }

 private:
  std::string dir_;
  std::string why_;
  bool mounted_ = false;
};

class LocalFaults : public ::testing::TestWithParam<Proto> {
 protected:
  const Proto &proto() const { return GetParam(); }

  // A download into local fails before any data moves: the record stays as
  // it was and the session goes on working.
  void expect_refused(const Place &at, const std::string &local) {
    std::string remote = at.remote + "/small";
    write_file(at.local + "/small", pattern(10));
    std::string before = sftp_transfer_progress();
    EXPECT_EQ(proto().down(remote.c_str(), local.c_str()), -1);
    std::string error = sftp_client_last_error();
    EXPECT_EQ(error, "cannot write local file '" + local + "'");
    EXPECT_EQ(sftp_transfer_progress(), before);
    EXPECT_EQ(sftp_client_is_connected(), 1);
    EXPECT_EQ(proto().down(remote.c_str(), (at.local + "/back").c_str()), 0)
        << sftp_client_last_error();
    printf("FAULT | local | %sDownload | %s | %s | is_connected %d\n",
           proto().name, local == at.local ? "a folder" : "read-only folder",
           shown(error, local).c_str(), sftp_client_is_connected());
  }
};

TEST_P(LocalFaults, DiskFullDuringDownload) {
  Place at = openssh_place();
  Tmpfs full(at.local + "/full", "size=4m", 0);
  if (!full.mounted()) GTEST_SKIP() << full.why();
  tw_test::connect_openssh();
  make_sparse(at.local + "/src", 16 << 20);
  std::string local = at.local + "/full/dst";
  Result r = run([&] {
    return proto().down((at.remote + "/src").c_str(), local.c_str());
  });
  expect_failed(r, "local write failed (disk full?)", "local write failed");
  EXPECT_LE(file_size(local), 4 << 20);
  EXPECT_EQ(sftp_client_is_connected(), 1);
  write_file(at.local + "/small", pattern(10));
  EXPECT_EQ(proto().down((at.remote + "/small").c_str(),
                         (at.local + "/back").c_str()),
            0)
      << sftp_client_last_error();
  printf(
      "FAULT | local | %sDownload | disk full (4 MiB tmpfs) | %s | "
      "call %.3f s | is_connected %d\n",
      proto().name, r.error.c_str(), r.seconds, sftp_client_is_connected());
}

TEST_P(LocalFaults, DestinationIsAFolder) {
  tw_test::connect_openssh();
  Place at = openssh_place();
  expect_refused(at, at.local);
}

// The tests run as root, whom permissions do not stop: a read-only mount
// does.
TEST_P(LocalFaults, DestinationInAReadOnlyFolder) {
  Place at = openssh_place();
  Tmpfs ro(at.local + "/ro", "size=64k", MS_RDONLY);
  if (!ro.mounted()) GTEST_SKIP() << ro.why();
  tw_test::connect_openssh();
  expect_refused(at, at.local + "/ro/dst");
}

INSTANTIATE_TEST_SUITE_P(Both, LocalFaults, ::testing::Values(kSftp, kScp),
                         [](const ::testing::TestParamInfo<Proto> &info) {
                           return std::string(info.param.name);
                         });

}  // namespace
