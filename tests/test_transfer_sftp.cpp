// What only the SFTP transfers do: remote open failures, the stat that
// feeds the total, remote read and write errors part-way, partial writes,
// and other threads at work while a transfer holds the session.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "frame.h"
#include "transfer.h"
#include "transfer_support.h"

namespace {

using namespace xfer;

TEST(SftpTransfer, RemoteOpenFailuresLeaveTheRecord) {
  tw_test::connect_openssh();
  Place at = openssh_place();
  write_file(at.local + "/small", pattern(10));
  ASSERT_EQ(
      sftp_down((at.remote + "/small").c_str(), (at.local + "/first").c_str()),
      0);
  std::string done = sftp_transfer_progress();
  size_t log_before = log_lines().size();

  std::string missing = at.remote + "/missing";
  std::string local = at.local + "/out";
  EXPECT_EQ(sftp_down(missing.c_str(), local.c_str()), -1);
  EXPECT_EQ(sftp_client_last_error(),
            "cannot open remote file '" + missing + "'");
  EXPECT_FALSE(exists(local)) << "created before the remote file opened";

  std::string nodir = at.remote + "/no/such/dir/f";
  EXPECT_EQ(sftp_up((at.local + "/small").c_str(), nodir.c_str()), -1);
  EXPECT_EQ(sftp_client_last_error(),
            "cannot create remote file '" + nodir + "' (permission denied?)");
  EXPECT_EQ(sftp_transfer_progress(), done);
  EXPECT_EQ(log_lines().size(), log_before);
}

TEST(SftpTransfer, ExistingDestinationsAreTruncated) {
  tw_test::connect_openssh();
  Place at = openssh_place();
  write_file(at.local + "/long", pattern(5000, 1));
  write_file(at.local + "/short", pattern(7, 2));
  ASSERT_EQ(
      sftp_down((at.remote + "/short").c_str(), (at.local + "/long").c_str()),
      0);
  EXPECT_TRUE(read_file(at.local + "/long") == pattern(7, 2));
  // The remote file must belong to the account, so it is uploaded first.
  write_file(at.local + "/big.src", pattern(5000, 3));
  write_file(at.local + "/empty", "");
  std::string big = at.remote + "/big";
  ASSERT_EQ(sftp_up((at.local + "/big.src").c_str(), big.c_str()), 0);
  ASSERT_EQ(sftp_up((at.local + "/empty").c_str(), big.c_str()), 0);
  EXPECT_EQ(file_size(at.local + "/big"), 0);
}

TEST(SftpTransfer, DownloadWithoutStatHasNoTotal) {
  connect_fake("nostat");
  Place at = fake_place();
  write_file(at.local + "/f", pattern(70000));
  std::string remote = at.remote + "/f";
  std::string local = at.local + "/f.back";
  Result r = run([&] { return sftp_down(remote.c_str(), local.c_str()); });
  ASSERT_EQ(r.rc, 0) << r.error;
  EXPECT_TRUE(read_file(local) == pattern(70000));
  EXPECT_EQ(r.p.total, 0);
  EXPECT_EQ(r.p.transferred, 70000);
  EXPECT_EQ(r.p.percent, "0.0");
  EXPECT_TRUE(logged("DOWNLOAD " + remote + " -> " + local + " (0 bytes)"));
}

TEST(SftpTransfer, DownloadReadErrorKeepsWhatArrived) {
  connect_fake("readfail.65536");
  Place at = fake_place();
  std::string data = pattern(200000);
  write_file(at.local + "/f", data);
  std::string remote = at.remote + "/f";
  std::string local = at.local + "/f.back";
  Result r = run([&] { return sftp_down(remote.c_str(), local.c_str()); });
  expect_failed(r, quoted(kSftp.read_fail, remote), "read failed");
  std::string got = read_file(local);
  EXPECT_GT(got.size(), 0u);
  EXPECT_LE(got.size(), 65536u);
  EXPECT_EQ(static_cast<long long>(got.size()), r.p.transferred);
  EXPECT_TRUE(got == data.substr(0, got.size()));
  EXPECT_FALSE(logged("DOWNLOAD OK f"));
}

TEST(SftpTransfer, UploadWriteErrorKeepsWhatWasAccepted) {
  connect_fake("writefail.65536");
  Place at = fake_place();
  std::string data = pattern(200000);
  write_file(at.local + "/src", data);
  std::string remote = at.remote + "/dst";
  Result r =
      run([&] { return sftp_up((at.local + "/src").c_str(), remote.c_str()); });
  expect_failed(r, quoted(kSftp.write_fail, remote), "write failed");
  std::string got = read_file(at.local + "/dst");
  EXPECT_LE(got.size(), 65536u);
  EXPECT_GE(static_cast<long long>(got.size()), r.p.transferred);
  EXPECT_TRUE(got == data.substr(0, got.size()));
}

// A server that fails the close has not stored the file.
TEST(SftpTransfer, UploadFailingRemoteCloseIsAWriteFailure) {
  connect_fake("closefail");
  Place at = fake_place();
  write_file(at.local + "/src", pattern(1000));
  std::string remote = at.remote + "/dst";
  Result r =
      run([&] { return sftp_up((at.local + "/src").c_str(), remote.c_str()); });
  expect_failed(r, quoted(kSftp.write_fail, remote), "write failed");
  EXPECT_EQ(r.p.transferred, 1000);
}

// libssh2 answers a 32768-byte write with the part the server acknowledged
// first; the rest of the chunk is offered again and counted as it goes.
TEST(SftpTransfer, PartialWritesAreContinuedAndCounted) {
  connect_fake("slow.0.05");
  Place at = fake_place();
  std::string data = pattern(100000);
  write_file(at.local + "/src", data);
  Watcher w;
  Result r = run(
      [&] {
        return sftp_up((at.local + "/src").c_str(),
                       (at.remote + "/dst").c_str());
      },
      &w);
  ASSERT_EQ(r.rc, 0) << r.error;
  EXPECT_TRUE(read_file(at.local + "/dst") == data);
  bool partial = false;
  for (long long v : w.seen()) partial |= v % 32768 != 0 && v != 100000;
  EXPECT_TRUE(partial) << "no partial chunk was seen in the record";
}

// While one thread transfers, another polls and reads without waiting for
// it, and a third thread's disconnect waits until the transfer is over.
TEST(TransferConcurrency, OthersAnswerWhileATransferRuns) {
  connect_fake("slow.0.01");
  Place at = fake_place();
  std::string data = pattern(1 << 20);
  std::string dst = at.local + "/dst";
  write_file(at.local + "/src", data);
  std::atomic<int64_t> size_at_disconnect{-1};
  std::thread closer;
  Watcher w(-1, [&](const Progress &) {
    EXPECT_EQ(sftp_client_is_connected(), 1);
    std::string info = sftp_client_session_info();
    EXPECT_NE(info.find("\"connected\":true"), std::string::npos) << info;
    EXPECT_NE(std::string(sftp_client_get_log()).find("DOWNLOAD "),
              std::string::npos);
    if (!closer.joinable())
      closer = std::thread([&] {
        sftp_client_disconnect();
        size_at_disconnect = file_size(dst);
      });
  });
  Result r = run(
      [&] { return sftp_down((at.remote + "/src").c_str(), dst.c_str()); }, &w);
  ASSERT_TRUE(closer.joinable()) << "the transfer was never seen running";
  closer.join();
  ASSERT_EQ(r.rc, 0) << r.error;
  EXPECT_TRUE(read_file(dst) == data);
  EXPECT_EQ(size_at_disconnect, 1 << 20)
      << "disconnect did not wait for the transfer";
  EXPECT_GT(w.active_polls(), 20);
  EXPECT_EQ(sftp_client_is_connected(), 0);
}

// Two threads transfer back to back while a third polls. A record that
// says finished belongs to a transfer that has ended: it never shows a
// transfer that still runs, and each finished record is whole and clean.
TEST(TransferConcurrency, AFinishIsNeverAppliedToTheNextTransfer) {
  tw_test::connect_openssh();
  Place at = openssh_place();
  const int sizes[2] = {40000, 70000};
  for (int i = 0; i < 2; ++i)
    write_file(at.local + "/f" + std::to_string(i), pattern(sizes[i], i + 1));
  std::atomic<bool> done{false};
  std::atomic<int> finished_polls{0};
  std::thread poller([&] {
    while (!done) {
      Progress p = progress();
      if (!p.finished || (p.name != "f0" && p.name != "f1")) continue;
      ++finished_polls;
      ASSERT_FALSE(p.active);
      ASSERT_EQ(p.error, "");
      ASSERT_EQ(p.transferred, p.total) << p.name;
      int i = p.name == "f0" ? 0 : 1;
      ASSERT_EQ(p.total, sizes[i]) << p.name;
    }
  });
  auto worker = [&](int i) {
    std::string remote = at.remote + "/f" + std::to_string(i);
    std::string local = at.local + "/back" + std::to_string(i);
    for (int n = 0; n < 60; ++n)
      ASSERT_EQ(sftp_down(remote.c_str(), local.c_str()), 0)
          << sftp_client_last_error();
  };
  std::thread a(worker, 0), b(worker, 1);
  a.join();
  b.join();
  done = true;
  poller.join();
  EXPECT_GT(finished_polls, 0);
}

// Every remove() of this process, the library's included, can be made to
// wait before it removes: so a thread that is held up between letting the
// session go and removing its file (as a busy machine may hold it up) leaves
// that time to the others.
std::atomic<bool> g_slow_remove{false};

}  // namespace

extern "C" int remove(const char *path) {
  if (g_slow_remove)
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  if (unlink(path) == 0) return 0;
  return errno == EISDIR || errno == EPERM ? rmdir(path) : -1;
}

namespace {

// A cancelled download removes its partial file before it lets the next
// call in, so the file of the same name that the next download writes is
// never removed. Its record is finished by then, too.
TEST(TransferConcurrency, ACancelledDownloadRemovesOnlyItsOwnFile) {
  connect_fake("slow.0.002");
  Place at = fake_place();
  write_file(at.local + "/src", pattern(1 << 20));
  write_file(at.local + "/next", pattern(50000, 7));
  std::string local = at.local + "/same-name";
  std::thread next;
  Watcher w(32768, [&](const Progress &) {
    if (next.joinable()) return;
    g_slow_remove = true;
    next = std::thread([&] {
      EXPECT_EQ(sftp_down((at.remote + "/next").c_str(), local.c_str()), 0);
      int64_t elapsed;
      EXPECT_EQ(tw::progress_snapshot(&elapsed).total, 50000);
    });
  });
  Result r = run(
      [&] { return sftp_down((at.remote + "/src").c_str(), local.c_str()); },
      &w);
  ASSERT_TRUE(next.joinable());
  next.join();
  g_slow_remove = false;
  EXPECT_EQ(r.error, "transfer cancelled");
  EXPECT_TRUE(read_file(local) == pattern(50000, 7));
}

}  // namespace

namespace {

// An upload that would share its file among four channels, on a server that
// grants only one, goes on over that one.
TEST(SftpTransfer, UploadGoesOnWhenTheServerRefusesMoreChannels) {
  connect_fake("onechannel");
  Place at = fake_place();
  std::string data = pattern(3 << 20);
  write_file(at.local + "/src", data);
  Result r = run([&] {
    return sftp_lanes_up((at.local + "/src").c_str(),
                         (at.remote + "/dst").c_str());
  });
  ASSERT_EQ(r.rc, 0) << r.error;
  EXPECT_TRUE(read_file(at.local + "/dst") == data);
  EXPECT_EQ(r.p.transferred, 3 << 20);
}

}  // namespace
