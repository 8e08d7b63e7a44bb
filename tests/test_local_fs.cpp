// The local listing: folders of the local machine and the drive list, in the
// entry-record format of the remote listing. Needs no server.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>

#include "entries.h"
#include "frame.h"
#include "tarnwick_sftp.h"

namespace {

using tw_test::by_name;
using tw_test::Entry;
using tw_test::parse_array;

class LocalListing : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/tw-local.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string path(const std::string &name) const { return dir_ + "/" + name; }

  void file(const std::string &name, const std::string &data = "",
            mode_t mode = 0644) const {
    int fd = open(path(name).c_str(), O_CREAT | O_WRONLY | O_TRUNC, mode);
    ASSERT_GE(fd, 0) << name;
    ASSERT_EQ(write(fd, data.data(), data.size()),
              static_cast<ssize_t>(data.size()));
    close(fd);
  }

  void set_mtime(const std::string &name, time_t sec, long nsec = 0) const {
    timespec times[2] = {{sec, nsec}, {sec, nsec}};
    ASSERT_EQ(utimensat(AT_FDCWD, path(name).c_str(), times, 0), 0) << name;
  }

  std::vector<Entry> list(const std::string &folder) const {
    return parse_array(sftp_client_list_local(folder.c_str()));
  }

  std::string dir_;
};

TEST_F(LocalListing, ListsFilesFoldersAndDotNamesButNotDot) {
  file("plain.txt", "hello world", 0755);
  file(".hidden", "", 0600);
  ASSERT_EQ(mkdir(path("sub").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(path(".hiddendir").c_str(), 0755), 0);
  set_mtime("plain.txt", 1600000000);
  set_mtime("sub", 1500000000);

  auto entries = by_name(list(dir_));
  EXPECT_STREQ(sftp_client_last_error(), "");
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries.count("."), 0u);

  const Entry &f = entries["plain.txt"];
  EXPECT_FALSE(f.is_dir);
  EXPECT_EQ(f.size, 11);
  EXPECT_EQ(f.mtime, 1600000000);
  EXPECT_EQ(f.mode, "-rw-r--r--") << "fixed text, whatever the file's bits";
  EXPECT_EQ(f.uid, 0);
  EXPECT_EQ(f.gid, 0);

  EXPECT_EQ(entries[".hidden"].mode, "-rw-r--r--");
  EXPECT_EQ(entries[".hidden"].size, 0);
  EXPECT_TRUE(entries["sub"].is_dir);
  EXPECT_EQ(entries["sub"].mode, "drwxr-xr-x");
  EXPECT_EQ(entries["sub"].mtime, 1500000000);
  EXPECT_TRUE(entries[".hiddendir"].is_dir);
  EXPECT_TRUE(entries[".."].is_dir);
  EXPECT_EQ(entries[".."].mode, "drwxr-xr-x");
}

TEST_F(LocalListing, EmptyFolderListsOnlyDotDot) {
  auto entries = list(dir_);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "..");
  EXPECT_EQ(std::string(sftp_client_list_local(dir_.c_str())).find("\n"),
            std::string::npos);
}

TEST_F(LocalListing, SizesAndTimesKeepTheirFullRange) {
  file("sparse");
  ASSERT_EQ(truncate(path("sparse").c_str(), 5LL << 30), 0);
  file("old");
  set_mtime("old", -31536000);  // 1969-01-01
  file("early");
  set_mtime("early", 1, 900000000);

  auto entries = by_name(list(dir_));
  EXPECT_EQ(entries["sparse"].size, 5368709120LL);
  EXPECT_EQ(entries["old"].mtime, -31536000) << "negative, not wrapped";
  EXPECT_EQ(entries["early"].mtime, 1) << "fractions dropped";
}

TEST_F(LocalListing, LinksAreFollowedAndDanglingOnesStillListed) {
  file("target", "12345");
  ASSERT_EQ(mkdir(path("folder").c_str(), 0755), 0);
  ASSERT_EQ(symlink("target", path("to_file").c_str()), 0);
  ASSERT_EQ(symlink("folder", path("to_folder").c_str()), 0);
  ASSERT_EQ(symlink("nowhere/at/all", path("dangling").c_str()), 0);

  auto entries = by_name(list(dir_));
  EXPECT_EQ(entries["to_file"].size, 5);
  EXPECT_FALSE(entries["to_file"].is_dir);
  EXPECT_TRUE(entries["to_folder"].is_dir);
  EXPECT_EQ(entries["to_folder"].mode, "drwxr-xr-x");
  ASSERT_EQ(entries.count("dangling"), 1u);
  EXPECT_FALSE(entries["dangling"].is_dir);
  EXPECT_EQ(entries["dangling"].size, 14) << "the link itself, from lstat";
}

TEST_F(LocalListing, TrailingSlashListsTheSameFolder) {
  file("a", "x");
  ASSERT_EQ(mkdir(path("b").c_str(), 0755), 0);
  std::string plain = sftp_client_list_local(dir_.c_str());
  std::string slashed = sftp_client_list_local((dir_ + "/").c_str());
  EXPECT_EQ(plain, slashed);
  EXPECT_EQ(parse_array(plain).size(), 3u);
}

TEST_F(LocalListing, NamesAreEscapedAndBadUtf8Replaced) {
  file("bad\xe9name");
  file("ctl\x01\x1b");
  file("quote\"back\\slash");
  std::string json = sftp_client_list_local(dir_.c_str());
  EXPECT_NE(json.find("\"ctl\\u0001\\u001b\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"quote\\\"back\\\\slash\""), std::string::npos);
  auto entries = by_name(parse_array(json));
  EXPECT_EQ(entries.count("bad\xEF\xBF\xBDname"), 1u);
}

TEST_F(LocalListing, MissingFolderOrFileFailsAndASuccessClearsTheError) {
  std::string missing = path("no/such/folder");
  const char *r = sftp_client_list_local(missing.c_str());
  EXPECT_STREQ(r, "[]");
  EXPECT_EQ(sftp_client_last_error(),
            "cannot list local folder '" + missing + "'");

  file("plain");
  EXPECT_STREQ(sftp_client_list_local(path("plain").c_str()), "[]");
  EXPECT_EQ(sftp_client_last_error(),
            "cannot list local folder '" + path("plain") + "'");

  EXPECT_EQ(list(dir_).size(), 2u);
  EXPECT_STREQ(sftp_client_last_error(), "");
}

TEST_F(LocalListing, NullOrEmptyListsTheOneRoot) {
  const char *expected =
      "[{\"name\":\"/\",\"is_dir\":true,\"size\":0,\"mtime\":0,"
      "\"mode\":\"drwxr-xr-x\",\"uid\":0,\"gid\":0}]";
  EXPECT_STREQ(sftp_client_list_local(nullptr), expected);
  EXPECT_STREQ(sftp_client_list_local(""), expected);
  EXPECT_STREQ(sftp_client_last_error(), "");
}

// 100,000 entries of ordinary names fit the 16 MiB text whole; far more
// bytes than it holds make the array drop what does not fit and still close
// as valid JSON. The folder is in memory where the system offers it.
TEST_F(LocalListing, AFullTextStillClosesTheArray) {
  char tmpl[] = "/dev/shm/tw-local.XXXXXX";
  if (mkdtemp(tmpl) != nullptr) std::filesystem::remove_all(dir_), dir_ = tmpl;
  for (int i = 0; i < 100000; ++i) file("entry-" + std::to_string(i) + ".txt");
  EXPECT_EQ(list(dir_).size(), 100001u);
  for (int i = 0; i < 40000; ++i)
    file(std::to_string(i) + std::string(244, 'n'));
  std::string json = sftp_client_list_local(dir_.c_str());
  EXPECT_LE(json.size(), tw::kJsonCap - 1);
  EXPECT_GT(json.size(), tw::kJsonCap - 1 - 160 - 600);
  EXPECT_LT(parse_array(json).size(), 140001u);
}

TEST_F(LocalListing, SharesItsTextWithStat) {
  const char *listing = sftp_client_list_local(dir_.c_str());
  EXPECT_EQ(sftp_client_stat("/anything"), listing);
  EXPECT_STREQ(listing, "{}");
  EXPECT_STREQ(sftp_client_last_error(), "not connected");
  EXPECT_EQ(sftp_client_list_local(nullptr), listing);
}

// The local listing takes no lock: it answers while the session lock is held
// elsewhere, as it is during a transfer or a remote listing.
TEST_F(LocalListing, AnswersWhileTheSessionLockIsHeld) {
  file("x");
  tw::ensure_locks();
  std::future<std::string> result;
  {
    tw::Guard hold(tw::g_lock);
    result = std::async(std::launch::async, [this] {
      return std::string(sftp_client_list_local(dir_.c_str()));
    });
    ASSERT_EQ(result.wait_for(std::chrono::seconds(10)),
              std::future_status::ready);
  }
  EXPECT_EQ(parse_array(result.get()).size(), 2u);
}

}  // namespace
