// Hostile and broken servers: crafted signature-algorithm lists on RSA
// login, and an SFTP stream cut in the middle of a reply. Every call must
// come back, quickly, truthfully, and leave a session that can be replaced.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "fault_support.h"

namespace {

using namespace xfer;

constexpr int kTimeoutMs = 3000;

std::string fake_with_timeout(const std::string &scenario) {
  return tw_test::fake_config(scenario,
                              ",\"timeout_ms\":" + std::to_string(kTimeoutMs));
}

template <typename Call>
auto bounded(Call call) {
  return faults::bounded(kTimeoutMs, std::move(call));
}

void expect_session_lost(const std::string &user) {
  faults::expect_session_lost(user,
                              std::atoi(tw_test::env("TW_FAKE_PORT").c_str()),
                              fake_with_timeout("ok"), kTimeoutMs);
}

// asyncssh names every algorithm twice in its default server-sig-algs; a
// list of some KB of one name is a server's choice as well. Neither may
// write past the client's buffer (the AddressSanitizer tree checks).
TEST(Hostile, RsaLoginWithCraftedSignatureAlgorithms) {
  for (const char *port : {"TW_FAKE_SIGDUP_PORT", "TW_FAKE_SIGLONG_PORT"}) {
    for (const char *key : {"id_rsa", "id_rsa_pem"}) {
      std::string c = "{\"host\":\"127.0.0.1\",\"port\":" + tw_test::env(port) +
                      ",\"user\":\"ok\",\"private_key\":" +
                      tw_test::quote(tw_test::key_path(key)) + "}";
      EXPECT_EQ(sftp_client_connect(c.c_str()), 0)
          << port << " " << key << ": " << sftp_client_last_error();
      EXPECT_NE(std::string(sftp_client_list_dir("/")), "[]");
      sftp_client_disconnect();
    }
  }
}

TEST(Hostile, DownloadCutMidPacket) {
  ASSERT_EQ(sftp_client_connect(fake_with_timeout("cutread.65536").c_str()), 0)
      << sftp_client_last_error();
  Place at = fake_place();
  std::string data = pattern(300000);
  write_file(at.local + "/src", data);
  std::string remote = at.remote + "/src";
  std::string local = at.local + "/dst";
  Result r = bounded([&] {
    return run(
        [&] { return sftp_client_download(remote.c_str(), local.c_str()); });
  });
  expect_failed(r, quoted(kSftp.read_fail, remote), "read failed");
  std::string got = read_file(local);
  EXPECT_EQ(static_cast<long long>(got.size()), r.p.transferred);
  EXPECT_TRUE(got == data.substr(0, got.size()));
  expect_session_lost("cutread.65536");
}

TEST(Hostile, ListingCutMidPacket) {
  ASSERT_EQ(sftp_client_connect(fake_with_timeout("cutlist").c_str()), 0)
      << sftp_client_last_error();
  std::string json =
      bounded([] { return std::string(sftp_client_list_dir("/d")); });
  std::string error = sftp_client_last_error();
  EXPECT_EQ(
      error.rfind("listing of '/d' is incomplete: reading failed after ", 0),
      0u)
      << error;
  EXPECT_EQ(json.front(), '[');
  EXPECT_EQ(json.back(), ']');
  expect_session_lost("cutlist");
}

// Several READDIR requests are in flight on a listing. Once one answers the
// end, what the server answers to those behind it (names of a folder that
// grew meanwhile, failures) is dropped: the listing is whole and in order,
// and the next calls get their own answers.
TEST(Hostile, AnswersBehindTheEndOfAListingAreDropped) {
  ASSERT_EQ(sftp_client_connect(fake_with_timeout("grownlist").c_str()), 0)
      << sftp_client_last_error();
  std::string want;
  for (int i = 0; i < 250; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "entry%03d,", i);
    want += name;
  }
  for (int round = 0; round < 2; ++round) {
    std::string json =
        bounded([] { return std::string(sftp_client_list_dir("/d")); });
    EXPECT_STREQ(sftp_client_last_error(), "") << round;
    std::string names;
    for (size_t at = 0; (at = json.find("\"name\":\"", at)) != json.npos;) {
      at += 8;
      names += json.substr(at, json.find('"', at) - at) + ",";
    }
    EXPECT_EQ(names, want) << round;
  }
  EXPECT_NE(std::string(sftp_client_stat("/d/entry007")), "{}");
}

}  // namespace
