// The remote file system against real peers: listings, stat and the path
// operations on the private OpenSSH server, and crafted names, attributes
// and faults from the programmable server (tests/servers/scenarios_fs.py).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "entries.h"
#include "support.h"

using namespace tw_test;

namespace {

// The "line" members of the activity log, in order, with JSON escapes left
// as they are (the lines checked here hold none).
std::vector<std::string> log_lines() {
  const std::string json = sftp_client_get_log();
  const std::string key = "\"line\":\"";
  std::vector<std::string> out;
  for (size_t at = json.find(key); at != std::string::npos;
       at = json.find(key, at)) {
    at += key.size();
    size_t end = at;
    while (end < json.size() && json[end] != '"')
      end += json[end] == '\\' ? 2 : 1;
    out.push_back(json.substr(at, end - at));
  }
  return out;
}

std::string error() { return sftp_client_last_error(); }

// ---- Without a session ----------------------------------------------------

// The connection test comes before the argument checks, and nothing is
// logged.
TEST(RemoteNoSession, EveryOperationReportsNotConnectedFirst) {
  EXPECT_STREQ(sftp_client_list_dir(nullptr), "[]");
  EXPECT_EQ(error(), "not connected");
  EXPECT_STREQ(sftp_client_stat(nullptr), "{}");
  EXPECT_EQ(error(), "not connected");
  EXPECT_STREQ(sftp_client_realpath(nullptr), "");
  EXPECT_EQ(error(), "not connected");
  EXPECT_EQ(sftp_client_mkdir(nullptr), -1);
  EXPECT_EQ(error(), "not connected");
  EXPECT_EQ(sftp_client_rmdir(""), -1);
  EXPECT_EQ(error(), "not connected");
  EXPECT_EQ(sftp_client_delete(nullptr), -1);
  EXPECT_EQ(error(), "not connected");
  EXPECT_EQ(sftp_client_rename(nullptr, ""), -1);
  EXPECT_EQ(error(), "not connected");
  EXPECT_EQ(sftp_client_chmod(nullptr, 0644), -1);
  EXPECT_EQ(error(), "not connected");
  EXPECT_TRUE(log_lines().empty());
}

TEST(RemoteNoSession, ResultTextsAreTheSharedBuffers) {
  const char *listing = sftp_client_list_dir("/x");
  EXPECT_EQ(sftp_client_get_log(), listing);
  EXPECT_STREQ(listing, "[]") << "the empty log replaced the listing";
  const char *record = sftp_client_stat("/x");
  EXPECT_EQ(sftp_client_list_local(nullptr), record);
  EXPECT_EQ(sftp_client_realpath("/x"), sftp_client_realpath(nullptr));
}

// ---- OpenSSH --------------------------------------------------------------

class OpenSsh : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = scratch_dir();
    ASSERT_NO_FATAL_FAILURE(connect_openssh());
    sftp_client_clear_log();
  }
  void TearDown() override {
    sftp_client_disconnect();
    std::filesystem::remove_all(dir_);
  }

  std::string path(const std::string &name) const { return dir_ + "/" + name; }

  // Files made here belong to the test account, as if it had made them.
  void own(const std::string &p) const {
    int uid = std::atoi(env("TW_SSH_UID").c_str());
    ASSERT_EQ(lchown(p.c_str(), uid, uid), 0) << p;
  }
  void file(const std::string &name, const std::string &data = "",
            mode_t mode = 0644) const {
    write_file(path(name), data);
    own(path(name));  // before chmod: a change of owner clears set-id bits
    ASSERT_EQ(chmod(path(name).c_str(), mode), 0);
  }
  void folder(const std::string &name, mode_t mode = 0755) const {
    ASSERT_EQ(mkdir(path(name).c_str(), mode), 0) << name;
    ASSERT_EQ(chmod(path(name).c_str(), mode), 0);
    own(path(name));
  }
  void link(const std::string &target, const std::string &name) const {
    ASSERT_EQ(symlink(target.c_str(), path(name).c_str()), 0) << name;
    own(path(name));
  }
  static mode_t mode_of(const std::string &p) {
    struct stat st {};
    EXPECT_EQ(lstat(p.c_str(), &st), 0) << p;
    return st.st_mode;
  }

  std::string dir_;
};

TEST_F(OpenSsh, ListsARealFolderEntryByEntry) {
  file("plain", "0123456789", 0644);
  file("exec", "#!/bin/sh\n", 0755);
  file("open", "", 0777);
  file("setuid", "x", 04755);
  file(".profile", "export A=1\n", 0600);
  folder("sub", 0755);
  link("plain", "to_file");
  link("sub", "to_folder");
  struct stat st {};
  ASSERT_EQ(stat(path("plain").c_str(), &st), 0);

  auto entries = by_name(parse_array(sftp_client_list_dir(dir_.c_str())));
  EXPECT_EQ(error(), "");
  EXPECT_EQ(entries.count("."), 0u);
  ASSERT_EQ(entries.size(), 9u) << "8 entries and ..";

  const Entry &plain = entries["plain"];
  EXPECT_FALSE(plain.is_dir);
  EXPECT_EQ(plain.size, 10);
  EXPECT_EQ(plain.mtime, static_cast<long long>(st.st_mtime));
  EXPECT_EQ(plain.mode, "-rw-r--r--");
  EXPECT_EQ(plain.uid, 4242);
  EXPECT_EQ(plain.gid, 4242);
  EXPECT_EQ(entries["exec"].mode, "-rwxr-xr-x");
  EXPECT_EQ(entries["open"].mode, "-rwxrwxrwx");
  EXPECT_EQ(entries["setuid"].mode, "-rwxr-xr-x") << "no s letter";
  EXPECT_EQ(entries[".profile"].mode, "-rw-------");
  EXPECT_EQ(entries[".profile"].size, 11);
  EXPECT_TRUE(entries["sub"].is_dir);
  EXPECT_EQ(entries["sub"].mode, "drwxr-xr-x");
  // The listing describes links themselves, not their targets.
  EXPECT_EQ(entries["to_file"].mode, "lrwxrwxrwx");
  EXPECT_FALSE(entries["to_file"].is_dir);
  EXPECT_EQ(entries["to_folder"].mode, "lrwxrwxrwx");
  EXPECT_FALSE(entries["to_folder"].is_dir);
  EXPECT_EQ(entries["to_folder"].size, 3);
  EXPECT_TRUE(entries[".."].is_dir);

  EXPECT_EQ(log_lines(),
            std::vector<std::string>{"LIST " + dir_ + " (9 entries)"});
}

TEST_F(OpenSsh, NullOrEmptyPathListsTheCurrentFolder) {
  std::string mine = std::filesystem::path(dir_).filename();
  for (const char *p : {static_cast<const char *>(nullptr), ""}) {
    sftp_client_clear_log();
    auto entries = by_name(parse_array(sftp_client_list_dir(p)));
    EXPECT_EQ(entries.count(mine), 1u) << "the home folder holds " << mine;
    EXPECT_TRUE(entries[mine].is_dir);
    EXPECT_EQ(error(), "");
    EXPECT_EQ(log_lines(),
              std::vector<std::string>{
                  "LIST . (" + std::to_string(entries.size()) + " entries)"});
  }
}

TEST_F(OpenSsh, AFolderThatCannotBeOpenedGivesAnEmptyArray) {
  file("plain", "x");
  for (const std::string &p : {path("missing"), path("plain")}) {
    EXPECT_STREQ(sftp_client_list_dir(p.c_str()), "[]");
    EXPECT_EQ(error(), "cannot open remote directory '" + p + "'");
  }
  EXPECT_TRUE(log_lines().empty());
}

// 100,000 entries of 30-character names fit the 16 MiB text whole. They are
// made in memory, in a folder linked from here.
TEST_F(OpenSsh, AHundredThousandEntriesAreListedWhole) {
  const int kFiles = 100000;
  char folder[] = "/dev/shm/tw-list.XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  chmod(folder, 0755);
  link(folder, "big");
  for (int i = 0; i < kFiles; ++i) {
    char name[40];
    snprintf(name, sizeof name, "big/entry-%06d-abcdefghijklmnopq", i);
    int fd = open(path(name).c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
  }
  auto start = std::chrono::steady_clock::now();
  std::string json = sftp_client_list_dir(path("big").c_str());
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - start)
                .count();
  RecordProperty("list_100001_entries_ms", static_cast<int>(ms));
  std::filesystem::remove_all(folder);
  EXPECT_EQ(parse_array(json).size(), 100001u);
  EXPECT_EQ(error(), "");
  EXPECT_EQ(log_lines(), std::vector<std::string>{"LIST " + path("big") +
                                                  " (100001 entries)"});
}

TEST_F(OpenSsh, StatFollowsLinksAndNamesTheRecordAfterThePath) {
  file("data.txt", "twelve bytes", 0640);
  folder("sub", 0700);
  link("data.txt", "to_file");
  link("sub", "to_folder");
  link("nowhere", "dangling");

  Entry f = parse_single(sftp_client_stat(path("data.txt").c_str()));
  EXPECT_EQ(error(), "");
  EXPECT_EQ(f.name, path("data.txt")) << "the whole path, not the base name";
  EXPECT_EQ(f.size, 12);
  EXPECT_EQ(f.mode, "-rw-r-----");
  EXPECT_EQ(f.uid, 4242);
  EXPECT_FALSE(f.is_dir);

  Entry d = parse_single(sftp_client_stat(path("sub").c_str()));
  EXPECT_TRUE(d.is_dir);
  EXPECT_EQ(d.mode, "drwx------");

  Entry lf = parse_single(sftp_client_stat(path("to_file").c_str()));
  EXPECT_EQ(lf.name, path("to_file"));
  EXPECT_EQ(lf.mode, "-rw-r-----");
  EXPECT_EQ(lf.size, 12);
  Entry ld = parse_single(sftp_client_stat(path("to_folder").c_str()));
  EXPECT_TRUE(ld.is_dir);
  EXPECT_EQ(ld.mode, "drwx------");

  for (const std::string &p : {path("dangling"), path("missing")}) {
    EXPECT_STREQ(sftp_client_stat(p.c_str()), "{}");
    EXPECT_EQ(error(), "cannot stat '" + p + "'");
  }
  EXPECT_STREQ(sftp_client_stat(""), "{}");
  EXPECT_EQ(error(), "path is required");
  EXPECT_STREQ(sftp_client_stat(nullptr), "{}");
  EXPECT_EQ(error(), "path is required");
  EXPECT_TRUE(log_lines().empty()) << "stat writes no log line";
}

TEST_F(OpenSsh, MkdirAndRmdir) {
  std::string d = path("new");
  EXPECT_EQ(sftp_client_mkdir(d.c_str()), 0) << error();
  EXPECT_EQ(error(), "");
  EXPECT_TRUE(S_ISDIR(mode_of(d)));
  EXPECT_EQ(mode_of(d) & 07777, 0755u);

  EXPECT_EQ(sftp_client_mkdir(d.c_str()), -1);
  EXPECT_EQ(error(), "cannot create directory '" + d + "'");

  write_file(d + "/inside", "x");
  EXPECT_EQ(sftp_client_rmdir(d.c_str()), -1);
  EXPECT_EQ(error(), "cannot remove directory '" + d + "' (is it empty?)");
  EXPECT_TRUE(exists(d));

  unlink((d + "/inside").c_str());
  EXPECT_EQ(sftp_client_rmdir(d.c_str()), 0) << error();
  EXPECT_FALSE(exists(d));
  EXPECT_EQ(sftp_client_rmdir(d.c_str()), -1);
  EXPECT_EQ(error(), "cannot remove directory '" + d + "' (is it empty?)");

  EXPECT_EQ(sftp_client_mkdir(""), -1);
  EXPECT_EQ(error(), "path is required");
  EXPECT_EQ(sftp_client_rmdir(nullptr), -1);
  EXPECT_EQ(error(), "path is required");
  EXPECT_EQ(log_lines(), (std::vector<std::string>{"MKDIR " + d, "RMDIR " + d}))
      << "one line per success, none per failure";
}

TEST_F(OpenSsh, Delete) {
  file("victim", "x");
  folder("folder");
  std::string v = path("victim");
  EXPECT_EQ(sftp_client_delete(v.c_str()), 0) << error();
  EXPECT_EQ(error(), "");
  EXPECT_FALSE(exists(v));
  EXPECT_EQ(sftp_client_delete(v.c_str()), -1);
  EXPECT_EQ(error(), "cannot delete '" + v + "'");
  EXPECT_EQ(sftp_client_delete(path("folder").c_str()), -1);
  EXPECT_EQ(error(), "cannot delete '" + path("folder") + "'");
  EXPECT_TRUE(exists(path("folder")));
  EXPECT_EQ(sftp_client_delete(""), -1);
  EXPECT_EQ(error(), "path is required");
  EXPECT_EQ(log_lines(), std::vector<std::string>{"DELETE " + v});
}

TEST_F(OpenSsh, Rename) {
  file("a", "alpha");
  file("c", "gamma");
  std::string a = path("a"), b = path("b"), c = path("c");
  EXPECT_EQ(sftp_client_rename(a.c_str(), b.c_str()), 0) << error();
  EXPECT_EQ(error(), "");
  EXPECT_FALSE(exists(a));
  EXPECT_EQ(read_file(b), "alpha");

  // OpenSSH's posix-rename replaces an existing file.
  EXPECT_EQ(sftp_client_rename(c.c_str(), b.c_str()), 0) << error();
  EXPECT_EQ(read_file(b), "gamma");
  EXPECT_FALSE(exists(c));

  EXPECT_EQ(sftp_client_rename(a.c_str(), c.c_str()), -1);
  EXPECT_EQ(error(), "cannot rename '" + a + "' to '" + c + "'");

  for (auto args : {std::pair<const char *, const char *>{b.c_str(), nullptr},
                    {b.c_str(), ""},
                    {nullptr, c.c_str()},
                    {"", c.c_str()}}) {
    EXPECT_EQ(sftp_client_rename(args.first, args.second), -1);
    EXPECT_EQ(error(), "both source and destination paths are required");
  }
  EXPECT_EQ(log_lines(),
            (std::vector<std::string>{"RENAME " + a + " -> " + b,
                                      "RENAME " + c + " -> " + b}));
}

TEST_F(OpenSsh, ChmodSendsTheWholeMode) {
  file("f", "x", 0600);
  std::string f = path("f");
  EXPECT_EQ(sftp_client_chmod(f.c_str(), 493), 0) << error();
  EXPECT_EQ(error(), "");
  EXPECT_EQ(mode_of(f) & 07777, 0755u);
  EXPECT_EQ(parse_single(sftp_client_stat(f.c_str())).mode, "-rwxr-xr-x");

  // A regular-file type bit travels with the mode; the server applies the
  // permission bits and the log shows every octal digit.
  EXPECT_EQ(sftp_client_chmod(f.c_str(), 0100644), 0) << error();
  EXPECT_TRUE(S_ISREG(mode_of(f)));
  EXPECT_EQ(mode_of(f) & 07777, 0644u);

  EXPECT_EQ(sftp_client_chmod(path("missing").c_str(), 0644), -1);
  EXPECT_EQ(error(), "cannot chmod '" + path("missing") + "'");
  EXPECT_EQ(sftp_client_chmod("", 0644), -1);
  EXPECT_EQ(error(), "path is required");
  EXPECT_EQ(log_lines(),
            (std::vector<std::string>{"CHMOD 755 " + f, "CHMOD 100644 " + f}));
}

TEST_F(OpenSsh, RealpathCanonicalisesAndLogsNothing) {
  std::string home = std::filesystem::canonical(env("TW_SSH_HOME"));
  std::string mine = std::filesystem::path(dir_).filename();
  folder("sub");

  const char *result = sftp_client_realpath(".");
  EXPECT_EQ(std::string(result), home);
  EXPECT_EQ(error(), "");
  EXPECT_EQ(sftp_client_realpath(nullptr), result) << "one buffer";
  EXPECT_EQ(std::string(result), home);
  EXPECT_EQ(std::string(sftp_client_realpath("")), home);
  EXPECT_EQ(std::string(sftp_client_realpath("..")),
            std::filesystem::path(home).parent_path().string());
  EXPECT_EQ(std::string(sftp_client_realpath((mine + "/sub/../sub").c_str())),
            home + "/" + mine + "/sub");

  std::string missing = "/no/such/folder/here";
  EXPECT_STREQ(sftp_client_realpath(missing.c_str()), "");
  EXPECT_EQ(error(), "cannot resolve '" + missing + "'");
  // The next request after a failure must still resolve.
  EXPECT_EQ(std::string(sftp_client_realpath(".")), home);
  EXPECT_TRUE(log_lines().empty());
}

// Listings and path operations from several threads at once: each waits for
// the session lock, none interleaves with another, all succeed. Each result
// buffer is written by one thread only, as the interface asks of a host.
TEST_F(OpenSsh, OperationsFromSeveralThreadsShareTheSession) {
  for (int i = 0; i < 20; ++i) file("f" + std::to_string(i), "x");
  std::atomic<int> failures{0};
  auto worker = [&](int id) {
    std::string d = path("t" + std::to_string(id));
    for (int i = 0; i < 15; ++i) {
      if (sftp_client_mkdir(d.c_str()) != 0) ++failures;
      if (id == 0 &&
          std::string(sftp_client_stat(d.c_str())).find("\"is_dir\":true") ==
              std::string::npos)
        ++failures;
      if (id == 1 && std::string(sftp_client_realpath(d.c_str())) != d)
        ++failures;
      if (sftp_client_rmdir(d.c_str()) != 0) ++failures;
    }
  };
  std::vector<std::thread> threads;
  for (int id = 0; id < 3; ++id) threads.emplace_back(worker, id);
  for (int i = 0; i < 10; ++i)
    EXPECT_GE(parse_array(sftp_client_list_dir(dir_.c_str())).size(), 21u);
  for (auto &t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  auto entries = parse_array(sftp_client_list_dir(dir_.c_str()));
  EXPECT_EQ(entries.size(), 21u) << "every folder made was removed";
}

// A disconnect while another thread keeps using the session: each call
// either completes on the session or fails with its own message.
TEST_F(OpenSsh, DisconnectWhileOperationsRun) {
  file("f", "x");
  std::string f = path("f");
  std::atomic<bool> stop{false};
  std::atomic<int> done{0}, odd{0};
  std::thread user([&] {
    while (!stop) {
      std::string r = sftp_client_stat(f.c_str());
      if (r != "{}" && r.find("\"size\":1,") == std::string::npos) ++odd;
      sftp_client_list_dir(dir_.c_str());
      ++done;
    }
  });
  while (done < 5) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  sftp_client_disconnect();
  int after = done;
  while (done < after + 3)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  stop = true;
  user.join();
  EXPECT_EQ(odd.load(), 0);
  EXPECT_STREQ(sftp_client_stat(f.c_str()), "{}");
  EXPECT_EQ(error(), "not connected");
}

// ---- Programmable server --------------------------------------------------

class Fake : public ::testing::Test {
 protected:
  void TearDown() override { sftp_client_disconnect(); }

  // Connects to a scenario and returns the listing of a directory there.
  std::vector<Entry> list(const std::string &scenario,
                          const std::string &dir = "/d") {
    connect_fake(scenario);
    sftp_client_clear_log();
    json_ = sftp_client_list_dir(dir.c_str());
    return parse_array(json_);
  }

  std::string json_;
};

TEST_F(Fake, DotsOnlyGivesOneRecordForDotDot) {
  auto entries = list("fsdotsonly");
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "..");
  EXPECT_TRUE(entries[0].is_dir);
  EXPECT_EQ(entries[0].mode, "drwxr-xr-x");
  EXPECT_EQ(error(), "");
  EXPECT_EQ(log_lines(), std::vector<std::string>{"LIST /d (1 entries)"});
}

TEST_F(Fake, NoEntriesAtAllGivesAnEmptyArray) {
  EXPECT_TRUE(list("fsemptydir").empty());
  EXPECT_EQ(json_, "[]");
  EXPECT_EQ(error(), "");
  EXPECT_EQ(log_lines(), std::vector<std::string>{"LIST /d (0 entries)"});
}

TEST_F(Fake, NamesAreEscapedAndBadUtf8Replaced) {
  auto entries = list("fsoddnames");
  EXPECT_EQ(error(), "");
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_NE(json_.find("\"ctl\\u0001\\u001b\x7f\\t\\n\\\"\\\\end\""),
            std::string::npos)
      << json_.substr(0, 200);
  auto names = by_name(entries);
  EXPECT_EQ(names.count("ctl\x01\x1b\x7f\t\n\"\\end"), 1u);
  EXPECT_EQ(names.count("caf\xEF\xBF\xBD"), 1u);
  EXPECT_EQ(names.count("ok\xC3\xA9"), 1u);
  EXPECT_EQ(names.count(".hidden"), 1u);
  EXPECT_EQ(names.count(std::string(1022, 'L')), 1u) << "1022 bytes fit";
}

// libssh2 refuses a name of 1023 bytes or more; the listing stops there with
// what it read before, and says so.
TEST_F(Fake, ANameTooLongEndsTheListingAsIncomplete) {
  for (const char *scenario : {"fslongname", "fslongname.5000"}) {
    auto entries = list(scenario);
    ASSERT_EQ(entries.size(), 2u) << scenario;
    EXPECT_EQ(entries[0].name, "a");
    EXPECT_EQ(entries[1].name, "b");
    EXPECT_EQ(error(),
              "listing of '/d' is incomplete: reading failed after 2 entries, "
              "2 returned");
    EXPECT_EQ(log_lines(), std::vector<std::string>{"LIST /d (2 entries)"});
    sftp_client_disconnect();
  }
  EXPECT_EQ(list("fslongname.1022").size(), 4u);
  EXPECT_EQ(error(), "");
}

TEST_F(Fake, ModeTextsAndAttributeLimits) {
  auto entries = by_name(list("fsmodes"));
  EXPECT_EQ(error(), "");
  struct Want {
    const char *name;
    const char *mode;
    bool is_dir;
  };
  for (const Want &w : {Want{"noattrs", "----------", false},
                        {"dir755", "drwxr-xr-x", true},
                        {"file644", "-rw-r--r--", false},
                        {"link777", "lrwxrwxrwx", false},
                        {"suid755", "-rwxr-xr-x", false},
                        {"sgid755", "-rwxr-xr-x", false},
                        {"sticky1777", "drwxrwxrwx", true},
                        {"sock755", "-rwxr-xr-x", false},
                        {"chr666", "-rw-rw-rw-", false},
                        {"blk660", "-rw-rw----", false},
                        {"type160644", "lrw-r--r--", false}}) {
    ASSERT_EQ(entries.count(w.name), 1u) << w.name;
    EXPECT_EQ(entries[w.name].mode, w.mode) << w.name;
    EXPECT_EQ(entries[w.name].is_dir, w.is_dir) << w.name;
  }
  const Entry &none = entries["noattrs"];
  EXPECT_EQ(none.size, 0);
  EXPECT_EQ(none.mtime, 0);
  EXPECT_EQ(none.uid, 0);
  EXPECT_EQ(none.gid, 0);
  const Entry &big = entries["bigids"];
  EXPECT_EQ(big.uid, -2);
  EXPECT_EQ(big.gid, -1);
  EXPECT_EQ(big.size, 5368709120LL);
  EXPECT_EQ(big.mtime, 4294967295LL) << "unsigned 32-bit time";

  Entry st = parse_single(sftp_client_stat("/some/where/bigids"));
  EXPECT_EQ(st.name, "/some/where/bigids");
  EXPECT_EQ(st.uid, -2);
  EXPECT_EQ(st.mode, "-rw-------");
  EXPECT_EQ(parse_single(sftp_client_stat("/x/noattrs")).mode, "----------");
}

TEST_F(Fake, AReadErrorPartWayReturnsWhatWasReadAndSaysSo) {
  auto entries = list("fsreaddirfail");
  EXPECT_EQ(entries.size(), 128u);
  EXPECT_EQ(entries.back().name, "entry127");
  EXPECT_EQ(error(),
            "listing of '/d' is incomplete: reading failed after 128 entries, "
            "128 returned");
  EXPECT_EQ(log_lines(), std::vector<std::string>{"LIST /d (128 entries)"});
}

// Long names stop fitting before the end of the text, while later short ones
// still fit in the room that is left.
TEST_F(Fake, AFullTextSkipsLongNamesButKeepsLaterShortOnes) {
  auto entries = list("fsoverflow");
  EXPECT_LE(json_.size(), 16777215u);
  auto names = by_name(entries);
  for (const char *s : {"short0", "short1", "short2"})
    EXPECT_EQ(names.count(s), 1u) << s;
  EXPECT_LT(entries.size(), 17003u);
  EXPECT_EQ(error(),
            "listing of '/d' is incomplete: " + std::to_string(entries.size()) +
                " of 17003 entries returned");
  EXPECT_EQ(log_lines(), std::vector<std::string>{"LIST /d (17003 entries)"});
}

// Where posix-rename is refused, the plain rename is used, which servers of
// SFTP version 3 refuse over an existing file.
TEST_F(Fake, RenameFallsBackWherePosixRenameIsRefused) {
  std::string d = "/rn" + std::to_string(getpid()), root = env("TW_FAKE_ROOT");
  std::filesystem::create_directory(root + d);
  write_file(root + d + "/a", "alpha");
  write_file(root + d + "/b", "beta");
  connect_fake("fsnoposixrename");
  std::string a = d + "/a", b = d + "/b", c = d + "/c";
  EXPECT_EQ(sftp_client_rename(a.c_str(), b.c_str()), -1);
  EXPECT_EQ(sftp_client_rename(a.c_str(), c.c_str()), 0) << error();
  std::filesystem::remove_all(root + d);
}

// The server echoes the permissions word it received as the size.
TEST_F(Fake, ChmodSendsAll32BitsAndNothingElse) {
  connect_fake("fssetstat");
  sftp_client_clear_log();
  EXPECT_EQ(sftp_client_chmod("/f", 040755), 0) << error();
  Entry e = parse_single(sftp_client_stat("/f"));
  EXPECT_EQ(e.size, 040755);
  EXPECT_EQ(e.mode, "drwxr-xr-x");
  EXPECT_EQ(sftp_client_chmod("/f", -1), 0) << error();
  EXPECT_EQ(parse_single(sftp_client_stat("/f")).size, 4294967295LL);
  EXPECT_EQ(log_lines(), (std::vector<std::string>{"CHMOD 40755 /f",
                                                   "CHMOD 37777777777 /f"}));
}

TEST_F(Fake, RealpathLengthLimitsAndEmptyAnswers) {
  connect_fake("fsrealpath");
  std::string p1022 = sftp_client_realpath("/len/1022");
  EXPECT_EQ(p1022, "/" + std::string(1021, 'r'));
  EXPECT_EQ(error(), "");
  EXPECT_STREQ(sftp_client_realpath("/len/1023"), "");
  EXPECT_EQ(error(), "cannot resolve '/len/1023'");
  // An empty canonical name makes libssh2 answer 0, which is no path.
  EXPECT_STREQ(sftp_client_realpath("/empty"), "");
  EXPECT_EQ(error(), "cannot resolve '/empty'");
}

TEST_F(Fake, RealpathFailureNamesDotForNullAndNothingForEmpty) {
  connect_fake("norealpath");
  EXPECT_STREQ(sftp_client_realpath(nullptr), "");
  EXPECT_EQ(error(), "cannot resolve '.'");
  EXPECT_STREQ(sftp_client_realpath(""), "");
  EXPECT_EQ(error(), "cannot resolve ''");
}

}  // namespace
