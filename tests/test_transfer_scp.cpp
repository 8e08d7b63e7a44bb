// What only the SCP transfers do, against the private OpenSSH server
// (legacy scp on the server side), asyncssh's SCP server and hand-written
// SCP peers: refusals, the announced size, and the status bytes after the
// data in both directions.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "transfer_support.h"

namespace {

using namespace xfer;

// Every refusal, whatever its cause, has one message per direction and
// leaves the record of the previous transfer and the local file alone.
TEST(ScpTransfer, RefusalsLeaveTheRecord) {
  tw_test::connect_openssh();
  Place at = openssh_place();
  write_file(at.local + "/small", "abc");
  ASSERT_EQ(
      scp_down((at.remote + "/small").c_str(), (at.local + "/first").c_str()),
      0);
  std::string done = sftp_transfer_progress();
  std::string local = at.local + "/out";
  auto expect_refused = [&](const std::string &remote) {
    EXPECT_EQ(scp_down(remote.c_str(), local.c_str()), -1);
    EXPECT_EQ(sftp_client_last_error(), "SCP download refused for '" + remote +
                                            "' (no scp on the server?)");
    EXPECT_FALSE(exists(local));
  };
  expect_refused(at.remote + "/missing");
  std::string nodir = at.remote + "/no/such/dir/f";
  EXPECT_EQ(scp_up((at.local + "/small").c_str(), nodir.c_str()), -1);
  EXPECT_EQ(sftp_client_last_error(),
            "SCP upload refused for '" + nodir + "' (permission denied?)");
  EXPECT_EQ(sftp_transfer_progress(), done);

  connect_fake("noscp");
  expect_refused("/any");
  EXPECT_EQ(sftp_transfer_progress(), done);
  // Here libssh2 may hand back a channel, and only the missing answer after
  // the data tells that nothing was stored.
  EXPECT_EQ(scp_up((at.local + "/small").c_str(), "/any"), -1);
  std::string error = sftp_client_last_error();
  EXPECT_TRUE(error == "SCP upload refused for '/any' (permission denied?)" ||
              error == "SCP write failed for '/any'")
      << error;
  done = sftp_transfer_progress();
  // A channel on which no usable size was announced is refused too, rather
  // than written as an empty file.
  connect_fake("scpnegsize");
  expect_refused("/negative");
  EXPECT_EQ(sftp_transfer_progress(), done);
}

TEST(ScpTransfer, StreamEndingEarlyIsTruncated) {
  connect_fake("scptrunc");
  Place at = fake_place();
  std::string local = at.local + "/t";
  Result r = run([&] { return scp_down("/truncated", local.c_str()); });
  expect_failed(r, "SCP download truncated (100 of 500 bytes)", "short read");
  EXPECT_EQ(r.p.transferred, 100);
  EXPECT_EQ(r.p.total, 500);
  EXPECT_EQ(read_file(local), std::string(100, 't'));
}

// The source's status byte after the data is read: a stream that ends
// instead, or a source that could not read its file and padded it with
// zeros, used to pass as a success.
TEST(ScpTransfer, DownloadChecksTheStatusAfterTheData) {
  connect_fake("scpnostatus");
  Place at = fake_place();
  std::string local = at.local + "/s";
  Result r = run([&] { return scp_down("/nostatus", local.c_str()); });
  expect_failed(r, "SCP read failed for '/nostatus'", "read failed");
  EXPECT_EQ(r.p.transferred, 500);
  EXPECT_EQ(read_file(local), std::string(500, 's'));

  connect_fake("readfail.65536");
  std::string data = pattern(200000);
  write_file(at.local + "/src", data);
  std::string remote = at.remote + "/src";
  r = run([&] { return scp_down(remote.c_str(), local.c_str()); });
  expect_failed(r, "SCP read failed for '" + remote + "'", "read failed");
  EXPECT_TRUE(read_file(local).substr(0, 65536) == data.substr(0, 65536));
  EXPECT_FALSE(logged("SCP DOWNLOAD OK src"));
}

TEST(ScpTransfer, UploadModes) {
  connect_fake("scpsink");
  Place at = fake_place();
  std::string data = pattern(40000);
  write_file(at.local + "/src", data);
  struct Case {
    int mode;
    const char *announced;
  } cases[] = {{0, "C0644"},
               {-1, "C0644"},
               {0755, "C0755"},
               {0100644, "C0644"},
               {01000, "C00"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.mode);
    std::string remote = at.remote + "/m" + std::to_string(c.mode);
    std::string stored = at.local + "/m" + std::to_string(c.mode);
    ASSERT_EQ(
        scp_client_upload((at.local + "/src").c_str(), remote.c_str(), c.mode),
        0)
        << sftp_client_last_error();
    EXPECT_EQ(
        read_file(stored + ".cline"),
        std::string(c.announced) + " 40000 m" + std::to_string(c.mode) + "\n");
    EXPECT_EQ(read_file(stored + ".status"), std::string(1, '\0'));
    EXPECT_TRUE(read_file(stored) == data);
  }

  tw_test::connect_openssh();
  Place home = openssh_place();
  write_file(home.local + "/src", "#!/bin/sh\n");
  ASSERT_EQ(scp_client_upload((home.local + "/src").c_str(),
                              (home.remote + "/run").c_str(), 0755),
            0);
  struct stat st {};
  ASSERT_EQ(stat((home.local + "/run").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
}

// The server's answer after the data decides: an error line (its disk is
// full) or a stream that ends instead used to pass as a success.
TEST(ScpTransfer, UploadChecksTheServersAnswer) {
  for (const char *scenario :
       {"scpsink.fail", "scpsink.eof", "writefail.65536"}) {
    SCOPED_TRACE(scenario);
    connect_fake(scenario);
    Place at = fake_place();
    write_file(at.local + "/src", pattern(100000));
    std::string remote = at.remote + "/dst";
    Result r = run(
        [&] { return scp_up((at.local + "/src").c_str(), remote.c_str()); });
    expect_failed(r, "SCP write failed for '" + remote + "'", "write failed");
    EXPECT_EQ(r.p.transferred, 100000);
    EXPECT_FALSE(logged("SCP UPLOAD OK src"));
  }
}

// The size announced at the start is what is sent: a file that grows on
// the way is cut there (one that shrinks fails, as over SFTP).
TEST(ScpTransfer, UploadSendsExactlyTheAnnouncedSize) {
  connect_fake("slow.0.005");
  Place at = fake_place();
  const long long size = 4 << 20;
  std::string data = pattern(size);
  std::string local = at.local + "/src";
  write_file(local, data);
  bool grown = false;
  Watcher grow(-1, [&](const Progress &p) {
    if (p.transferred >= 32768 && !grown) {
      std::ofstream(local, std::ios::app) << pattern(100000, 9);
      grown = true;
    }
  });
  Result r =
      run([&] { return scp_up(local.c_str(), (at.remote + "/grown").c_str()); },
          &grow);
  ASSERT_EQ(r.rc, 0) << r.error;
  EXPECT_TRUE(grown);
  EXPECT_EQ(r.p.transferred, size);
  EXPECT_TRUE(read_file(at.local + "/grown") == data);
}

// A cancellation while a read waits stops the download at the next request:
// what the waiting read returns is written and counted, nothing after it.
TEST(ScpTransfer, CancelledDownloadCountsTheReadThatWaited) {
  connect_fake("slow.0.3");
  Place at = fake_place();
  write_file(at.local + "/src", pattern(1 << 20));
  std::string local = at.local + "/dst";
  std::atomic<long long> at_cancel{-1};
  Watcher w(-1, [&](const Progress &p) {
    if (p.transferred == 0 || at_cancel >= 0) return;
    // The next read is now waiting for the slow server.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    sftp_transfer_cancel();
    at_cancel = progress().transferred;
  });
  Result r =
      run([&] { return scp_down((at.remote + "/src").c_str(), local.c_str()); },
          &w);
  ASSERT_GE(at_cancel, 0);
  EXPECT_EQ(r.error, "transfer cancelled");
  EXPECT_GT(r.p.transferred, at_cancel);
  EXPECT_LE(r.p.transferred, at_cancel + 32768);
  EXPECT_FALSE(exists(local));
}

// Once the local file has been read to its end (here in two reads, before
// anything is sent), the data and the terminating zero byte are as good as
// sent: a cancellation that comes while the data waits for the server's
// window, or while its answer is awaited, no longer fails the upload, and
// the record tells that it came late.
TEST(ScpTransfer, CancelAfterTheLastReadDoesNotFailTheUpload) {
  for (const char *scenario : {"scpsinkwait", "scpsink.slowack"}) {
    SCOPED_TRACE(scenario);
    connect_fake(scenario);
    Place at = fake_place();
    const long long size = 60000;
    std::string data = pattern(size);
    write_file(at.local + "/src", data);
    long long seen = -1;
    bool cancelled = false;
    Watcher w(-1, [&](const Progress &p) {
      // The transfer stands still near or at its end: the server waits.
      if (cancelled || p.transferred != seen) {
        seen = p.transferred;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      if (progress().transferred != seen) return;
      sftp_transfer_cancel();
      cancelled = true;
    });
    Result r = run(
        [&] {
          return scp_up((at.local + "/src").c_str(),
                        (at.remote + "/dst").c_str());
        },
        &w);
    ASSERT_TRUE(cancelled);
    ASSERT_EQ(r.rc, 0) << r.error;
    EXPECT_EQ(r.error, "");
    EXPECT_TRUE(r.p.cancelled);
    EXPECT_EQ(r.p.error, "");
    EXPECT_EQ(r.p.transferred, size);
    EXPECT_TRUE(logged("SCP UPLOAD OK src"));
    EXPECT_TRUE(read_file(at.local + "/dst") == data);
  }
}

}  // namespace
