// The frame: version, last-error text, connected flag, JSON escaping and the
// array-building rule.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "frame.h"
#include "tarnwick_sftp.h"

namespace {

std::string escape(const std::string &src, size_t cap = 512) {
  std::vector<char> out(cap, '\x7f');
  tw::json_escape(out.data(), cap, src.c_str());
  return std::string(out.data());
}

TEST(Frame, FreshProcessState) {
  EXPECT_STREQ(sftp_client_version(), "1.1.1");
  EXPECT_STREQ(sftp_client_last_error(), "");
  EXPECT_EQ(sftp_client_is_connected(), 0);
  EXPECT_EQ(sftp_client_version(), sftp_client_version());
  EXPECT_EQ(sftp_client_last_error(), sftp_client_last_error());
}

TEST(Frame, SetErrorCutsAt511Bytes) {
  tw::ensure_locks();
  std::string path(600, 'p');
  tw::set_error("cannot stat '%s'", path.c_str());
  EXPECT_EQ(strlen(sftp_client_last_error()), 511u);
  EXPECT_EQ(std::string(sftp_client_last_error()).substr(0, 14),
            "cannot stat 'p");
  tw::clear_error();
  EXPECT_STREQ(sftp_client_last_error(), "");
}

TEST(Frame, ErrorSurvivesReportsThatDoNotClearIt) {
  tw::ensure_locks();
  tw::set_error("cannot create directory '%s'", "/x");
  sftp_client_get_log();
  sftp_client_clear_log();
  sftp_client_is_connected();
  EXPECT_STREQ(sftp_client_last_error(), "cannot create directory '/x'");
}

TEST(Frame, ConcurrentErrorWritersNeverTearTheText) {
  tw::ensure_locks();
  std::string a(400, 'a'), b(300, 'b');
  auto writer = [](const std::string *s) {
    for (int i = 0; i < 2000; ++i) tw::set_error("%s", s->c_str());
  };
  std::thread t1(writer, &a), t2(writer, &b);
  t1.join();
  t2.join();
  std::string last = sftp_client_last_error();
  EXPECT_TRUE(last == a || last == b);
}

TEST(Frame, EnsureLocksRacingFirstCalls) {
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([] {
      tw::ensure_locks();
      tw::Guard g(tw::g_log_lock);
    });
  for (auto &t : threads) t.join();
}

TEST(Frame, ClockIsEpochMilliseconds) {
  int64_t t = tw::now_ms();
  EXPECT_GT(t, 1700000000000LL);  // after 2023
  EXPECT_LT(t, 4102444800000LL);  // before 2100
}

TEST(Frame, BaseName) {
  EXPECT_STREQ(tw::base_name("/a/b/c.txt"), "c.txt");
  EXPECT_STREQ(tw::base_name("C:\\dir\\f.bin"), "f.bin");
  EXPECT_STREQ(tw::base_name("plain"), "plain");
  EXPECT_STREQ(tw::base_name("/ends/with/"), "");
}

TEST(JsonEscape, ShortAndControlEscapes) {
  EXPECT_EQ(escape(""), "");
  EXPECT_EQ(escape("a\"b\\c\n"), "a\\\"b\\\\c\\n");
  EXPECT_EQ(escape("\b\t\f\r"), "\\b\\t\\f\\r");
  EXPECT_EQ(escape("\x1b"), "\\u001b");
  EXPECT_EQ(escape("\x0b"), "\\u000b");
  EXPECT_EQ(escape("\x01\x1f"), "\\u0001\\u001f");
  EXPECT_EQ(escape("/\x7f"), "/\x7f");
}

TEST(JsonEscape, Utf8Validity) {
  EXPECT_EQ(escape("\xc3\xa9"), "\xc3\xa9");
  EXPECT_EQ(escape("\xe9t"), "\xef\xbf\xbdt");
  EXPECT_EQ(escape("\xe2\x82\x41"), "\xef\xbf\xbd\xef\xbf\xbd\x41");
  EXPECT_EQ(escape("\xf0\x9f\x98\x80"), "\xf0\x9f\x98\x80");
  EXPECT_EQ(escape("x\xe2"), "x\xef\xbf\xbd");
  EXPECT_EQ(escape("\x80"), "\xef\xbf\xbd");
  EXPECT_EQ(escape("\xf8\x80"), "\xef\xbf\xbd\xef\xbf\xbd");
}

// Only the well-formed sequences of RFC 3629 pass; every byte that begins
// none becomes U+FFFD on its own, and the bytes after it are looked at anew.
TEST(JsonEscape, OnlyWellFormedUtf8Passes) {
  const std::string r = "\xef\xbf\xbd";
  EXPECT_EQ(escape("\xc0\x80"), r + r);          // overlong NUL
  EXPECT_EQ(escape("\xc1\xbf"), r + r);          // overlong DEL
  EXPECT_EQ(escape("\xe0\x80\xaf"), r + r + r);  // overlong '/'
  EXPECT_EQ(escape("\xf0\x8f\xbf\xbf"), r + r + r + r);
  EXPECT_EQ(escape("\xed\xa0\x80"), r + r + r);          // UTF-16 surrogate
  EXPECT_EQ(escape("\xf4\x90\x80\x80"), r + r + r + r);  // above U+10FFFF
  EXPECT_EQ(escape("\xf5\x80\x80\x80z"), r + r + r + r + "z");
  EXPECT_EQ(escape("\xf7\xbf\xbf\xbf"), r + r + r + r);
  EXPECT_EQ(escape("\xff\xfe"), r + r);
  // The edges of the ranges that stay valid.
  for (const char *ok :
       {"\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xed\x9f\xbf", "\xee\x80\x80",
        "\xef\xbf\xbf", "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf"})
    EXPECT_EQ(escape(ok), ok);
}

TEST(JsonEscape, RoomRuleAtCapacity512) {
  EXPECT_EQ(escape(std::string(600, 'x')), std::string(504, 'x'));
  std::string ctl = escape(std::string(200, '\x01'));
  EXPECT_EQ(ctl.size(), 504u);
  EXPECT_EQ(ctl.substr(498), "\\u0001");
  EXPECT_EQ(escape(std::string(501, 'x') + "\xc3\xa9"),
            std::string(501, 'x') + "\xc3\xa9");
  EXPECT_EQ(escape(std::string(502, 'x') + "\xc3\xa9"),
            std::string(502, 'x') + "\xef\xbf\xbd");
  EXPECT_EQ(escape(std::string(1100, 'y'), 1024), std::string(1016, 'y'));
  EXPECT_EQ(escape(std::string(3000, 'z'), 2048), std::string(2040, 'z'));
}

TEST(JsonEscape, NeverWritesPastCapacity) {
  // Every mix of escapes and characters stays within capacity - 3 + NUL.
  const char *pieces[] = {"\x01", "\"", "\xf0\x9f\x98\x80", "a", "\xe2"};
  for (size_t cap : {512u, 513u, 515u, 1024u}) {
    for (const char *p : pieces) {
      std::string src;
      while (src.size() < 2 * cap) src += p;
      std::vector<char> out(cap + 16, '#');
      tw::json_escape(out.data(), cap, src.c_str());
      EXPECT_LE(strlen(out.data()), cap - 3);
      for (size_t i = cap; i < out.size(); ++i) ASSERT_EQ(out[i], '#');
    }
  }
}

class JsonArrayTest : public ::testing::Test {
 protected:
  std::vector<char> buf = std::vector<char>(tw::kJsonCap);
};

TEST_F(JsonArrayTest, EmptyAndSingleElement) {
  tw::JsonArray a;
  tw::json_array_begin(&a, buf.data());
  tw::json_array_end(&a);
  EXPECT_STREQ(buf.data(), "[]");
  tw::json_array_begin(&a, buf.data());
  EXPECT_TRUE(tw::json_array_add(&a, 1, 64, "{\"v\":\"%s\"}", "x"));
  tw::json_array_end(&a);
  EXPECT_STREQ(buf.data(), "[{\"v\":\"x\"}]");
  tw::json_array_begin(&a, buf.data());
  tw::json_array_add(&a, 1, 64, "%d", 1);
  tw::json_array_add(&a, 1, 64, "%d", 2);
  tw::json_array_end(&a);
  EXPECT_STREQ(buf.data(), "[1,2]");
}

TEST_F(JsonArrayTest, LimitIsCapacityLessOneAndShorterElementsStillFit) {
  tw::JsonArray a;
  tw::json_array_begin(&a, buf.data());
  std::string big(2000, 'n');
  size_t printed = 0;
  while (tw::json_array_add(&a, big.size(), tw::kEntryHeadroom, "\"%s\"",
                            big.c_str()))
    ++printed;
  // Each element takes 2003 bytes with its comma; the test before it needs
  // the text plus 2000 plus 160 to stay within the capacity less one.
  EXPECT_EQ(printed, (tw::kJsonCap - 1 - 2160) / 2003 + 1);
  EXPECT_EQ(a.len, 1u + printed * 2003 - 1);
  // A short element still fits where the long one did not.
  EXPECT_TRUE(tw::json_array_add(&a, 1, tw::kEntryHeadroom, "\"%s\"", "s"));
  tw::json_array_end(&a);
  std::string text(buf.data());
  EXPECT_LE(text.size(), tw::kJsonCap - 1);
  EXPECT_EQ(text.front(), '[');
  EXPECT_EQ(text.substr(text.size() - 5), ",\"s\"]");
}

TEST_F(JsonArrayTest, ElementExactlyAtTheLimit) {
  tw::JsonArray a;
  tw::json_array_begin(&a, buf.data());
  a.len = tw::kJsonCap - 1 - 100 - 64;  // as if earlier elements filled it
  a.first = false;
  EXPECT_TRUE(tw::json_array_add(&a, 100, 64, "%s", "e"));
  size_t len = a.len;
  EXPECT_FALSE(tw::json_array_add(&a, 100, 64, "%s", "f"));
  EXPECT_EQ(a.len, len);
}

TEST(EntryRecord, PrintsTheSevenMembers) {
  char buf[512];
  tw::EntryRecord e{"a\"b", true, 5368709120LL, 1700000000, "drwxr-xr-x",
                    -2,     0};
  tw::json_entry_print(buf, sizeof buf, e);
  EXPECT_STREQ(buf,
               "{\"name\":\"a\\\"b\",\"is_dir\":true,\"size\":5368709120,"
               "\"mtime\":1700000000,\"mode\":\"drwxr-xr-x\",\"uid\":-2,"
               "\"gid\":0}");
}

}  // namespace
