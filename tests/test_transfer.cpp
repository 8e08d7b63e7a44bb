// What the SFTP and SCP transfers share, run once per protocol against the
// private OpenSSH server and the programmable server: whole copies, the
// checks before anything opens, local failures, cancellation and time-outs.
#include <glob.h>
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <tuple>

#include "transfer_support.h"

namespace {

using namespace xfer;

class Transfer : public ::testing::TestWithParam<Proto> {
 protected:
  const Proto &proto() const { return GetParam(); }
  std::string line(const std::string &rest) const {
    return proto().prefix + rest;
  }
};

TEST_P(Transfer, RoundTripsOnOpenSSH) {
  tw_test::connect_openssh();
  Place at = openssh_place();
  for (size_t size : {0, 1, 32767, 32768, 32769, 3 * 32768 + 100})
    round_trip(at, size, proto().up, proto().down, proto().prefix);
}

TEST_P(Transfer, RoundTripsOnProgrammableServer) {
  connect_fake("ok");
  Place at = fake_place();
  for (size_t size : {0, 32769, 3 * 32768 + 100})
    round_trip(at, size, proto().up, proto().down, proto().prefix);
}

// A server that grants a channel window smaller than one chunk still gets
// every byte, however the upload paces itself to the window.
TEST_P(Transfer, RoundTripsThroughASmallChannelWindow) {
  connect_fake("smallwindow");
  round_trip(fake_place(), 3 * 32768 + 100, proto().up, proto().down,
             proto().prefix);
}

TEST_P(Transfer, RoundTrip64MiB) {
#ifdef TW_TEST_TSAN
  GTEST_SKIP() << "64 MiB take a dozen seconds under ThreadSanitizer, and "
                  "one thread has nothing to race with";
#endif
  tw_test::connect_openssh();
  round_trip(openssh_place(), 64u << 20, proto().up, proto().down,
             proto().prefix);
}

TEST_P(Transfer, PathChecksComeBeforeAnyOpening) {
  tw_test::connect_openssh();
  Place at = openssh_place();
  std::string before = sftp_transfer_progress();
  size_t log_before = log_lines().size();
  std::string dst = at.local + "/never";
  for (const char *empty : {static_cast<const char *>(nullptr), ""}) {
    EXPECT_EQ(proto().down(empty, dst.c_str()), -1);
    EXPECT_STREQ(sftp_client_last_error(),
                 "both remote and local paths are required");
    EXPECT_EQ(proto().down(dst.c_str(), empty), -1);
    EXPECT_EQ(proto().up(empty, dst.c_str()), -1);
    EXPECT_STREQ(sftp_client_last_error(),
                 "both local and remote paths are required");
    EXPECT_EQ(proto().up(dst.c_str(), empty), -1);
  }
  EXPECT_FALSE(exists(dst));
  EXPECT_EQ(sftp_transfer_progress(), before);
  EXPECT_EQ(log_lines().size(), log_before);
}

// The local file is opened only after the remote side, and its failure
// closes the remote side again: the session goes on working.
TEST_P(Transfer, DownloadIntoAMissingFolder) {
  tw_test::connect_openssh();
  Place at = openssh_place();
  std::string remote = at.remote + "/small";
  write_file(at.local + "/small", pattern(10));
  ASSERT_EQ(proto().down(remote.c_str(), (at.local + "/first").c_str()), 0);
  std::string done = sftp_transfer_progress();
  std::string nofolder = at.local + "/no/such/folder/out";
  EXPECT_EQ(proto().down(remote.c_str(), nofolder.c_str()), -1);
  EXPECT_EQ(sftp_client_last_error(),
            "cannot write local file '" + nofolder + "'");
  EXPECT_EQ(sftp_transfer_progress(), done);
  EXPECT_EQ(proto().down(remote.c_str(), (at.local + "/again").c_str()), 0);
  EXPECT_TRUE(read_file(at.local + "/again") == pattern(10));
}

// A full disk, part-way through the file and when only the final flush of
// buffered data fails; the latter used to pass as a success.
TEST_P(Transfer, DownloadLocalWriteFailures) {
  tw_test::connect_openssh();
  Place at = openssh_place();
  std::string data = pattern(100000);
  write_file(at.local + "/f", data);
  write_file(at.local + "/g", data.substr(0, 150));
  std::string local = at.local + "/back";
  Result r;
  {
    FileSizeLimit limit(40000);
    r = run([&] {
      return proto().down((at.remote + "/f").c_str(), local.c_str());
    });
  }
  expect_failed(r, "local write failed (disk full?)", "local write failed");
  EXPECT_GT(r.p.transferred, 0);
  EXPECT_LT(r.p.transferred, 40000);
  EXPECT_TRUE(read_file(local) == data.substr(0, 40000));
  {
    FileSizeLimit limit(100);
    r = run([&] {
      return proto().down((at.remote + "/g").c_str(), local.c_str());
    });
  }
  expect_failed(r, "local write failed (disk full?)", "local write failed");
  EXPECT_EQ(r.p.transferred, 150);
  EXPECT_TRUE(read_file(local) == data.substr(0, 100));
  EXPECT_EQ(proto().down((at.remote + "/g").c_str(), local.c_str()), 0)
      << "the session is out of step after the failure";
}

TEST_P(Transfer, UploadRefusesWhatItCannotRead) {
  tw_test::connect_openssh();
  Place at = openssh_place();
  std::string before = sftp_transfer_progress();
  std::string remote = at.remote + "/up";
  for (std::string local :
       {at.local + "/missing", at.local, std::string("/dev/null")}) {
    EXPECT_EQ(proto().up(local.c_str(), remote.c_str()), -1);
    EXPECT_EQ(sftp_client_last_error(),
              "cannot read local file '" + local + "'");
  }
  EXPECT_FALSE(exists(remote)) << "the remote side was touched";
  EXPECT_EQ(sftp_transfer_progress(), before);
}

// A read error used to end the upload as if the file had ended, reporting a
// truncated copy as a success. Both files are regular and fail with EIO:
// /proc/self/mem measures 0 bytes and cannot be read at its start, the sysfs
// attribute measures 4096 bytes (SCP announces what it measured, so a file
// of 0 bytes would never be read).
TEST_P(Transfer, UploadLocalReadErrorIsNotTheEndOfTheFile) {
  const std::string local =
      proto().scp ? "/sys/devices/system/cpu/power/autosuspend_delay_ms"
                  : "/proc/self/mem";
  if (proto().scp && (file_size(local) <= 0 || !read_file(local).empty()))
    GTEST_SKIP() << local << " is missing or readable here";
  connect_fake("scpsink");
  Place at = fake_place();
  Result r = run(
      [&] { return proto().up(local.c_str(), (at.remote + "/dst").c_str()); });
  expect_failed(r, "local read failed for '" + local + "'",
                "local read failed");
  EXPECT_EQ(r.p.total, file_size(local));
  EXPECT_EQ(r.p.transferred, 0);
  EXPECT_FALSE(exists(at.local + "/dst.status")) << "SCP ended the file";
  EXPECT_FALSE(logged(line("UPLOAD OK ") + local.substr(local.rfind('/') + 1)));
}

TEST_P(Transfer, UploadSparseFileOver4GiBCarriesItsTrueSize) {
  connect_fake("scpsink");
  Place at = fake_place();
  const long long size = (4LL << 30) + 4096 + 7;
  std::string local = at.local + "/sparse";
  make_sparse(local, size);
  std::string remote = at.remote + "/big";
  Watcher w(3 * 32768);
  Result r = run([&] { return proto().up(local.c_str(), remote.c_str()); }, &w);
  expect_cancelled(r, w, size);
  EXPECT_EQ(r.p.total, size);
  EXPECT_TRUE(logged(line("UPLOAD ") + local + " -> " + remote + " (" +
                     std::to_string(size) + " bytes)"));
  EXPECT_TRUE(logged(line("UPLOAD CANCELLED ") + local));
  if (proto().scp) {
    EXPECT_EQ(read_file(at.local + "/big.cline"),
              "C0644 " + std::to_string(size) + " big\n");
  }
}

// A local file that shrinks while it is sent fails the upload: the server
// holds what was read, and the message says where the file ended. One that
// grows is sent to its end over SFTP (SCP stops at the size it announced).
TEST_P(Transfer, UploadOfAFileThatChangesSize) {
  connect_fake("slow.0.002");
  Place at = fake_place();
  const long long size = 8 << 20;
  std::string data = pattern(size);
  std::string local = at.local + "/src";
  write_file(local, data);
  bool shrunk = false;
  Watcher shrink(-1, [&](const Progress &p) {
    if (p.transferred >= 32768 && !shrunk)
      shrunk = truncate(local.c_str(), 3 << 20) == 0;
  });
  std::string remote = at.remote + "/shrunk";
  Result r =
      run([&] { return proto().up(local.c_str(), remote.c_str()); }, &shrink);
  ASSERT_TRUE(shrunk);
  expect_failed(r,
                "local read failed for '" + local + "' (file ended at " +
                    std::to_string(r.p.transferred) + " of " +
                    std::to_string(size) + " bytes)",
                "local read failed");
  EXPECT_LT(r.p.transferred, size);
  std::string got = read_file(at.local + "/shrunk");
  EXPECT_TRUE(got == data.substr(0, got.size()));
  if (proto().scp) return;  // the SCP server may drop what it holds
  // Over several channels, what landed beyond the first gap is cut off.
  if (proto().up == sftp_lanes_up)
    EXPECT_LE(static_cast<long long>(got.size()), r.p.transferred);
  else
    EXPECT_EQ(static_cast<long long>(got.size()), r.p.transferred);

  // The file is four windows long, so that its end is far ahead of what
  // has been read when it grows.
  write_file(local, data);
  std::string more = pattern(100000, 9);
  bool grown = false;
  Watcher grow(-1, [&](const Progress &p) {
    if (p.transferred > 0 && !grown) {
      std::ofstream(local, std::ios::app) << more;
      grown = true;
    }
  });
  r = run([&] { return proto().up(local.c_str(), remote.c_str()); }, &grow);
  ASSERT_EQ(r.rc, 0) << r.error;
  EXPECT_EQ(r.p.total, size);
  EXPECT_TRUE(read_file(at.local + "/shrunk") == data + more);
}

TEST_P(Transfer, CancelledDownloadRemovesItsLocalFile) {
  connect_fake("slow.0.02");
  Place at = fake_place();
  write_file(at.local + "/src", pattern(2 << 20));
  std::string remote = at.remote + "/src";
  std::string local = at.local + "/partial";
  write_file(local, "an older file of the same name");
  Watcher w(65536);
  Result r =
      run([&] { return proto().down(remote.c_str(), local.c_str()); }, &w);
  expect_cancelled(r, w, 2 << 20);
  EXPECT_EQ(r.p.direction, "download");
  EXPECT_FALSE(exists(local));
  EXPECT_TRUE(logged(line("DOWNLOAD CANCELLED ") + remote));
  EXPECT_TRUE(logged("CANCEL requested"));
}

// The remote file keeps a prefix of the data; nothing removes it.
TEST_P(Transfer, CancelledUploadKeepsTheLocalFile) {
  connect_fake("slow.0.02");
  Place at = fake_place();
  std::string data = pattern(6 << 20);
  std::string local = at.local + "/src";
  write_file(local, data);
  Watcher w(65536);
  Result r = run(
      [&] { return proto().up(local.c_str(), (at.remote + "/dst").c_str()); },
      &w);
  expect_cancelled(r, w, 6 << 20);
  EXPECT_EQ(r.p.direction, "upload");
  EXPECT_TRUE(read_file(local) == data);
  std::string got = read_file(at.local + "/dst");
  EXPECT_TRUE(got == data.substr(0, got.size()));
  EXPECT_TRUE(logged(line("UPLOAD CANCELLED ") + local));
}

TEST_P(Transfer, CancelWhileIdleDoesNotStopTheNextTransfer) {
  tw_test::connect_openssh();
  Place at = openssh_place();
  write_file(at.local + "/src", pattern(100000));
  EXPECT_EQ(sftp_transfer_cancel(), 0);
  Result r = run([&] {
    return proto().down((at.remote + "/src").c_str(),
                        (at.local + "/dst").c_str());
  });
  ASSERT_EQ(r.rc, 0) << r.error;
  EXPECT_FALSE(r.p.cancelled);
  EXPECT_EQ(r.p.transferred, 100000);
}

// A server that stops answering ends the transfer through the session
// time-out (a second one may pass while the remote side is closed). libssh2
// counts that time-out in whole seconds of the wall clock, so a setting of
// 1000 ms can expire at once; 2000 ms leaves between one and two seconds.
TEST_P(Transfer, StalledDownloadEndsAfterTheTimeout) {
  connect_fake("stall.65536", 2000);
  Place at = fake_place();
  write_file(at.local + "/src", pattern(300000));
  std::string remote = at.remote + "/src";
  Result r = run([&] {
    return proto().down(remote.c_str(), (at.local + "/dst").c_str());
  });
  expect_failed(r, quoted(proto().read_fail, remote), "read failed");
  EXPECT_LT(r.seconds, 10.0);
}

// 6 MiB fill the server's channel window, so that SCP waits as well.
TEST_P(Transfer, StalledUploadEndsAfterTheTimeout) {
  connect_fake("stall.65536", 2000);
  Place at = fake_place();
  write_file(at.local + "/src", pattern(6 << 20));
  std::string remote = at.remote + "/dst";
  Result r = run(
      [&] { return proto().up((at.local + "/src").c_str(), remote.c_str()); });
  expect_failed(r, quoted(proto().write_fail, remote), "write failed");
  EXPECT_LT(r.seconds, 10.0);
}

// OpenSSH's server opens a folder for reading; the download used to empty
// the local file before its first read failed.
TEST_P(Transfer, DownloadOfAFolderLeavesTheLocalFile) {
  tw_test::connect_openssh();
  Place at = openssh_place();
  std::string local = at.local + "/kept";
  write_file(local, "fourteen bytes");
  EXPECT_EQ(proto().down(at.remote.c_str(), local.c_str()), -1);
  const char *head =
      proto().scp ? "SCP download refused for" : "cannot open remote file";
  EXPECT_EQ(sftp_client_last_error(),
            quoted(head, at.remote) + " (it is a folder)");
  EXPECT_EQ(read_file(local), "fourteen bytes");
}

// With safe_replace a destination is replaced whole or not at all, and a
// temporary file outlives the transfer only on a server that went away.
TEST_P(Transfer, SafeReplaceKeepsTheDestinationUntilTheCopyIsWhole) {
  // How each ends: o ok, w remote write failure, c cancelled, R the remote
  // rename refused, F a local folder in the way, L connection lost.
  // clang-format off
  const std::tuple<const char *, bool, char> cases[] = {
      {"ok", true, 'o'}, {"ok", false, 'o'}, {"ok", false, 'F'},
      {"writefail", true, 'w'}, {"slow.0.02", true, 'c'}, {"slow.0.02", false, 'c'},
      {"noposixrename", true, 'R'}, {"stall", true, 'L'}};
  // clang-format on
  Place at = fake_place();
  std::string data = pattern(6 << 20);
  write_file(at.local + "/src", data);
  for (size_t i = 0; i < std::size(cases); ++i) {
    auto [scenario, up, end] = cases[i];
    SCOPED_TRACE(std::string(scenario) + (up ? " up " : " down ") + end);
    std::string config = tw_test::fake_config(
        scenario, ",\"timeout_ms\":2000,\"safe_replace\":true");
    ASSERT_EQ(sftp_client_connect(config.c_str()), 0);
    std::string dst = "dst" + std::to_string(i), local = at.local + "/" + dst;
    end == 'F' ? (void)mkdir(local.c_str(), 0755) : write_file(local, "old");
    std::string from = (up ? at.local : at.remote) + "/src";
    std::string to = (up ? at.remote + "/" : at.local + "/") + dst;
    Watcher w(end == 'c' ? 65536 : -1);
    auto copy = up ? proto().up : proto().down;
    Result r = run([&] { return copy(from.c_str(), to.c_str()); }, &w);
    std::string head = end == 'R'   ? "cannot replace remote file"
                       : end == 'F' ? "cannot replace local file"
                                    : proto().write_fail;
    EXPECT_EQ(r.error, end == 'o'   ? ""
                       : end == 'c' ? "transfer cancelled"
                                    : quoted(head.c_str(), to));
    EXPECT_TRUE(logged(line(up ? "UPLOAD " : "DOWNLOAD ") + from + " -> " + to +
                       " (" + std::to_string(data.size()) + " bytes)"));
    std::string kept = end == 'o' ? data : end == 'F' ? "" : "old";
    EXPECT_TRUE(read_file(local) == kept);
    glob_t temps;
    glob((at.local + "/." + dst + ".tarnwick-*").c_str(), 0, nullptr, &temps);
    // Several channels end the connection on any failure (see the upload).
    bool gone =
        end == 'L' || (end == 'w' && std::string(proto().name) == "SftpLanes");
    EXPECT_EQ(temps.gl_pathc, gone ? 1u : 0u);
    globfree(&temps);
  }
}

// A host returning from main during a download exits cleanly (the crypto
// library's exit-time clean-up crashed about one such exit in eight).
TEST(HostExit, ReturningFromMainDuringADownloadExitsCleanly) {
  Place at = openssh_place();
  make_sparse(at.local + "/big", 1LL << 30);
  setenv("TW_EXIT_CONFIG", tw_test::openssh_config().c_str(), 1);
  std::string host = std::string(TW_EXIT_HOST) + " " + at.remote + "/big";
  int failed = 0;
  for (int i = 0; i < 20; ++i) failed += system(host.c_str()) != 0;
  EXPECT_EQ(failed, 0) << "of 20 exits";
}

INSTANTIATE_TEST_SUITE_P(Both, Transfer,
                         ::testing::Values(kSftp, kSftpLanes, kScp),
                         [](const ::testing::TestParamInfo<Proto> &info) {
                           return std::string(info.param.name);
                         });

}  // namespace
