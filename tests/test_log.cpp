// The activity log: the ring of 128 lines, its JSON form and concurrent use.
#include <gtest/gtest.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "frame.h"
#include "log.h"
#include "support.h"
#include "tarnwick_sftp.h"

namespace {

using tw_test::log_lines;

TEST(Log, EmptyBeforeAnyAppend) { EXPECT_STREQ(sftp_client_get_log(), "[]"); }

TEST(Log, OneLineCarriesItsTimestamp) {
  int64_t before = tw::now_ms();
  tw::log_add("MKDIR %s", "/tmp/a");
  int64_t after = tw::now_ms();
  std::string json = sftp_client_get_log();
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      json, m,
      std::regex("\\[\\{\"ts_ms\":(\\d+),\"line\":\"MKDIR /tmp/a\"\\}\\]")));
  int64_t ts = std::stoll(m[1]);
  EXPECT_GE(ts, before);
  EXPECT_LE(ts, after);
}

TEST(Log, RingKeepsTheNewest128) {
  for (int i = 1; i <= 130; ++i) tw::log_add("L%d", i);
  int head, count;
  tw::log_state(&head, &count);
  EXPECT_EQ(head, 2);
  EXPECT_EQ(count, 128);
  auto got = log_lines();
  ASSERT_EQ(got.size(), 128u);
  EXPECT_EQ(got.front(), "L3");
  EXPECT_EQ(got.back(), "L130");
  for (int i = 131; i <= 256; ++i) tw::log_add("L%d", i);
  tw::log_state(&head, &count);
  EXPECT_EQ(head, 0);
  got = log_lines();
  ASSERT_EQ(got.size(), 128u);
  EXPECT_EQ(got.front(), "L129");
  EXPECT_EQ(got.back(), "L256");
}

TEST(Log, ClearEmptiesAndRestartsAtSlotZero) {
  for (int i = 0; i < 5; ++i) tw::log_add("X%d", i);
  EXPECT_EQ(sftp_client_clear_log(), 0);
  EXPECT_STREQ(sftp_client_get_log(), "[]");
  tw::log_add("after");
  int head, count;
  tw::log_state(&head, &count);
  EXPECT_EQ(head, 0);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(log_lines(), std::vector<std::string>{"after"});
}

TEST(Log, LongLinesAreCutAt255Bytes) {
  std::string line(300, 'q');
  tw::log_add("%s", line.c_str());
  EXPECT_EQ(log_lines().at(0), std::string(255, 'q'));
}

TEST(Log, LinesAreEscapedWhenRead) {
  tw::log_add("RENAME %s -> %s", "a\"b", "c\\d\te");
  EXPECT_EQ(log_lines().at(0), "RENAME a\\\"b -> c\\\\d\\te");
  // 255 control bytes escape to 84 six-byte escapes in the 512-byte scratch.
  tw::log_add("%s", std::string(255, '\x02').c_str());
  EXPECT_EQ(log_lines().at(1).size(), 84u * 6);
}

TEST(Log, SharesTheListingBuffer) {
  const char *a = sftp_client_get_log();
  tw::log_add("one");
  EXPECT_EQ(sftp_client_get_log(), a);
}

TEST(Log, ReadingLeavesTheLastErrorText) {
  tw::ensure_locks();
  tw::set_error("cannot create directory '%s'", "/nope");
  tw::log_add("x");
  sftp_client_get_log();
  sftp_client_clear_log();
  EXPECT_STREQ(sftp_client_last_error(), "cannot create directory '/nope'");
}

// Appenders, a reader and a clearer at once: every read is a whole JSON
// array of well-formed elements, and the ring's invariant holds.
TEST(Log, ConcurrentAppendReadClear) {
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int w = 0; w < 4; ++w)
    writers.emplace_back([w] {
      for (int i = 0; i < 3000; ++i) tw::log_add("W%d line %d", w, i);
    });
  std::thread clearer([&] {
    while (!stop) {
      sftp_client_clear_log();
      std::this_thread::yield();
    }
  });
  std::regex array(
      "\\[(\\{\"ts_ms\":\\d+,\"line\":\"W\\d line \\d+\"\\}"
      "(,\\{\"ts_ms\":\\d+,\"line\":\"W\\d line \\d+\"\\})*)?\\]");
  for (int r = 0; r < 200; ++r) {
    // Reads and copies are serialised with the appenders by the log lock;
    // the buffer itself is this thread's alone.
    std::string json = sftp_client_get_log();
    ASSERT_TRUE(std::regex_match(json, array)) << json.substr(0, 200);
  }
  for (auto &t : writers) t.join();
  stop = true;
  clearer.join();
  int head, count;
  tw::log_state(&head, &count);
  EXPECT_GE(head, 0);
  EXPECT_LT(head, 128);
  EXPECT_LE(count, 128);
}

TEST(Log, CancelAsFirstCallCreatesLocksAndLogs) {
  // log_add works before any export has created the locks.
  tw::log_add("CANCEL requested");
  EXPECT_EQ(log_lines(), std::vector<std::string>{"CANCEL requested"});
}

}  // namespace
