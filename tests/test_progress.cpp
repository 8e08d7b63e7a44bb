// The progress record, its JSON form and cancellation, without a server.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "frame.h"
#include "transfer.h"
#include "transfer_support.h"

namespace {

using xfer::log_lines;
using xfer::progress;

std::string print(const tw::TransferProgress &p, int64_t elapsed) {
  char buf[tw::kInfoCap];
  tw::progress_print(p, elapsed, buf, sizeof buf);
  return buf;
}

tw::TransferProgress record(long long transferred, long long total) {
  tw::TransferProgress p{};
  p.transferred = transferred;
  p.total = total;
  return p;
}

void sleep_ms(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

TEST(Progress, IdleRecordBeforeAnyTransfer) {
  tw::ensure_locks();
  tw::set_error("earlier failure");
  EXPECT_STREQ(sftp_transfer_progress(),
               "{\"active\":false,\"direction\":\"download\",\"name\":\"\","
               "\"transferred\":0,\"total\":0,\"percent\":0.0,"
               "\"bytes_per_sec\":0,\"elapsed_ms\":0,\"cancelled\":false,"
               "\"finished\":false,\"error\":\"\"}");
  EXPECT_STREQ(sftp_client_last_error(), "earlier failure");
}

TEST(Progress, FiguresOfOneSnapshot) {
  tw::TransferProgress p = record(100, 400);
  p.active = 1;
  p.upload = 1;
  snprintf(p.name, sizeof p.name, "a\"b\\c");
  EXPECT_EQ(
      print(p, 200),
      "{\"active\":true,\"direction\":\"upload\",\"name\":\"a\\\"b\\\\c\","
      "\"transferred\":100,\"total\":400,\"percent\":25.0,"
      "\"bytes_per_sec\":500,\"elapsed_ms\":200,\"cancelled\":false,"
      "\"finished\":false,\"error\":\"\"}");
  EXPECT_EQ(xfer::parse_progress(print(record(1, 3), 0)).percent, "33.3");
  EXPECT_EQ(xfer::parse_progress(print(record(500, 0), 10)).percent, "0.0");
  EXPECT_EQ(xfer::parse_progress(print(record(150, 100), 10)).percent, "150.0");
  EXPECT_EQ(xfer::parse_progress(print(record(500, 0), 0)).bytes_per_sec, 0);
  EXPECT_EQ(xfer::parse_progress(print(record(500, 0), -7)).bytes_per_sec, 0);
  // The rate is truncated toward zero: 1000 bytes in 3 ms is 333333.33/s.
  EXPECT_EQ(xfer::parse_progress(print(record(1000, 0), 3)).bytes_per_sec,
            333333);
  tw::TransferProgress big = record(5000000000LL, 6000000000LL);
  snprintf(big.error, sizeof big.error, "short read");
  auto q = xfer::parse_progress(print(big, 1000));
  EXPECT_EQ(q.transferred, 5000000000LL);
  EXPECT_EQ(q.percent, "83.3");
  EXPECT_EQ(q.error, "short read");
}

TEST(Progress, RunningThenDone) {
  tw::ensure_locks();
  tw::progress_begin("/data/in/file.bin", 1000, true);
  auto p = progress();
  EXPECT_TRUE(p.active);
  EXPECT_FALSE(p.finished);
  EXPECT_EQ(p.direction, "upload");
  EXPECT_EQ(p.name, "file.bin");
  EXPECT_EQ(p.total, 1000);
  EXPECT_EQ(p.transferred, 0);
  sleep_ms(30);
  auto later = progress();
  EXPECT_GE(later.elapsed_ms, p.elapsed_ms + 25) << "elapsed runs on";

  tw::progress_add(250);
  p = progress();
  EXPECT_EQ(p.transferred, 250);
  EXPECT_EQ(p.percent, "25.0");
  tw::progress_finish("");
  p = progress();
  EXPECT_FALSE(p.active);
  EXPECT_TRUE(p.finished);
  EXPECT_FALSE(p.cancelled);
  EXPECT_EQ(p.error, "");
  EXPECT_EQ(p.transferred, 250);
  EXPECT_EQ(p.name, "file.bin");
  sleep_ms(30);
  EXPECT_EQ(progress().elapsed_ms, p.elapsed_ms) << "frozen once done";

  // A new transfer starts from a clean record.
  tw::progress_begin("remote.txt", 0, false);
  p = progress();
  EXPECT_TRUE(p.active);
  EXPECT_FALSE(p.finished);
  EXPECT_EQ(p.direction, "download");
  EXPECT_EQ(p.transferred, 0);
  // A request after the last cancellation test does not stop the transfer,
  // but the record shows it.
  sftp_transfer_cancel();
  tw::progress_finish("");
  p = progress();
  EXPECT_TRUE(p.cancelled);
  EXPECT_EQ(p.error, "");
}

TEST(Progress, NameIsTheBaseNameCutTo1023Bytes) {
  tw::ensure_locks();
  std::string longname(1500, 'n');
  tw::progress_begin(("/x/" + longname).c_str(), 0, false);
  int64_t elapsed;
  EXPECT_EQ(std::string(tw::progress_snapshot(&elapsed).name),
            longname.substr(0, 1023));
  // The JSON text escapes the name into 1024 bytes, 8 of them in reserve.
  EXPECT_EQ(progress().name, longname.substr(0, 1016));
  tw::progress_begin("/some/dir/", 0, false);
  EXPECT_EQ(progress().name, "");
  tw::progress_begin("C:\\dir\\win \"q\".txt", 0, false);
  EXPECT_EQ(progress().name, "win \\\"q\\\".txt");
  tw::progress_finish("");
}

TEST(Cancel, AsFirstCallLogsEachRequest) {
  EXPECT_EQ(sftp_transfer_cancel(), 0);
  EXPECT_EQ(sftp_transfer_cancel(), 0);
  auto lines = log_lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], "CANCEL requested");
  EXPECT_EQ(lines[1], "CANCEL requested");
  EXPECT_EQ(tw::g_cancel_req.load(), 1);
  // A record that nothing has begun is still idle.
  EXPECT_FALSE(progress().cancelled);
}

TEST(Cancel, NotConnectedComesFirstAndLeavesTheRecord) {
  tw::ensure_locks();
  tw::progress_begin("/r/done.bin", 10, false);
  tw::progress_add(10);
  tw::progress_finish("");
  std::string before = sftp_transfer_progress();
  size_t log_before = log_lines().size();
  const char *cases[][2] = {{"/r/a", "/tmp/a"}, {"", ""}, {nullptr, "/x"}};
  for (auto &c : cases) {
    EXPECT_EQ(sftp_client_download(c[0], c[1]), -1);
    EXPECT_STREQ(sftp_client_last_error(), "not connected");
    EXPECT_EQ(sftp_client_upload(c[1], c[0]), -1);
    EXPECT_STREQ(sftp_client_last_error(), "not connected");
    EXPECT_EQ(scp_client_download(c[0], c[1]), -1);
    EXPECT_STREQ(sftp_client_last_error(), "not connected");
    EXPECT_EQ(scp_client_upload(c[1], c[0], 0644), -1);
    EXPECT_STREQ(sftp_client_last_error(), "not connected");
  }
  EXPECT_EQ(sftp_transfer_progress(), before);
  EXPECT_EQ(log_lines().size(), log_before);
}

}  // namespace
