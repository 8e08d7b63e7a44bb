// OpenSSH, Dropbear and ProFTPD's mod_sftp as the test run starts them, with
// one account: one table of operations against each, in a folder of its own.
#include <functional>

#include "entries.h"
#include "transfer_support.h"

namespace {

using namespace xfer;
using tw_test::env;
using P = const char *;

struct Server {
  P name, port, home;
};
class Interop : public ::testing::TestWithParam<Server> {};

int login(const Server &s, const std::string &key) {
  return sftp_client_connect(tw_test::openssh_config(key, "", s.port).c_str());
}

TEST_P(Interop, EveryOperation) {
  const Server &s = GetParam();
  const std::string home = env(s.home), data = pattern(300000);
  const std::string d = home + "/ops." + std::to_string(getpid()) + "/";
  for (P key : {"id_rsa", "id_ecdsa", "", "id_ed25519"})
    ASSERT_EQ(login(s, key), 0) << key << ": " << sftp_client_last_error();
  ASSERT_EQ(sftp_client_mkdir(d.c_str()), 0) << sftp_client_last_error();
  write_file(d + "src", data);
  // Each step works on what the ones before left; the folder is local too.
  // ProFTPD refuses an SCP upload after an SCP download on one connection.
  const struct {
    P what;
    std::function<int(P, P)> call;
    P a = "", b = "";
  } steps[] = {
      {"realpath", [&](P, P) { return -(sftp_client_realpath(".") != home); }},
      {"upload", sftp_up, "src", "f"},
      {"rename", sftp_client_rename, "f", "g"},
      {"download", sftp_down, "g", "g2"},
      {"SCP download", scp_down, "g", "g3"},
      {"reconnect", [&](P, P) { return login(s, ""); }},
      {"SCP upload", scp_up, "src", "h"},
      {"mkdir", [](P a, P) { return sftp_client_mkdir(a); }, "sub"},
      {"mkdir", [](P a, P) { return sftp_client_mkdir(a); }, "gone"},
      {"rmdir", [](P a, P) { return sftp_client_rmdir(a); }, "gone"},
      {"delete", [](P a, P) { return sftp_client_delete(a); }, "g"},
      {"chmod", [](P a, P) { return sftp_client_chmod(a, 0600); }, "h"}};
  for (const auto &st : steps)
    EXPECT_EQ(st.call((d + st.a).c_str(), (d + st.b).c_str()), 0)
        << st.what << ": " << sftp_client_last_error();
  for (P copy : {"g2", "g3", "h"}) EXPECT_TRUE(read_file(d + copy) == data);
  auto m =
      tw_test::by_name(tw_test::parse_array(sftp_client_list_dir(d.c_str())));
  EXPECT_TRUE(m["sub"].is_dir && !m.count("gone") && !m.count("g"));
  auto h = tw_test::parse_single(sftp_client_stat((d + "h").c_str()));
  EXPECT_TRUE(h.size == 300000 && h.mode == "-rw-------") << h.mode;

  // A cancelled download leaves no local file and a session that works.
  write_file(d + "big", pattern(16 << 20));
  Watcher w(65536);
  expect_cancelled(
      run([&] { return sftp_down((d + "big").c_str(), (d + "b").c_str()); },
          &w),
      w, 16 << 20);
  EXPECT_TRUE(!exists(d + "b") && sftp_client_realpath(".") == home);
}

INSTANTIATE_TEST_SUITE_P(
    Servers, Interop,
    ::testing::Values(Server{"OpenSSH", "TW_SSHD_PORT", "TW_SSH_HOME"},
                      Server{"Dropbear", "TW_DROPBEAR_PORT",
                             "TW_DROPBEAR_HOME"},
                      Server{"ProFTPD", "TW_PROFTPD_PORT", "TW_PROFTPD_HOME"}),
    [](const auto &i) { return i.param.name; });

// Where a server serves one channel per connection (tinysshd), SCP's channel
// beside the SFTP one is refused, and the message says so.
TEST(InteropOneChannel, ScpSaysTheChannelWasRefused) {
  connect_fake("onechannel");
  Place at = fake_place();
  const std::string f = at.remote + "/f", lf = at.local + "/f",
                    g = at.local + "/g",
                    why = "' (the server allows no second channel)";
  write_file(lf, "abc");
  EXPECT_EQ(scp_down(f.c_str(), g.c_str()), -1);
  EXPECT_EQ(sftp_client_last_error(), "SCP download refused for '" + f + why);
  EXPECT_EQ(scp_up(lf.c_str(), f.c_str()), -1);
  EXPECT_EQ(sftp_client_last_error(), "SCP upload refused for '" + f + why);
  EXPECT_EQ(sftp_down(f.c_str(), g.c_str()), 0);
}

}  // namespace
