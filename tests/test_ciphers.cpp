// Whole files in both directions over both protocols with each cipher, and
// for the CTR ciphers each MAC, that libssh2 and the private OpenSSH server
// have in common. libssh2 hands the cipher many blocks per call where the
// crypto backend allows it, so every mode must still come out byte for byte
// at every packet size; an odd file size makes packets of every length.
#include <gtest/gtest.h>
#include <libssh2.h>

#include <cctype>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "session.h"
#include "transfer_support.h"

namespace {

using namespace xfer;

struct Algs {
  std::string cipher;
  std::string mac;  // "" for the AEAD ciphers, which carry their own
};

// What libssh2 1.11.1 (OpenSSL) and OpenSSH 9.2's sshd share by default;
// CoverEveryCommonAlgorithm checks the lists against both sides.
const char *const kAead[] = {"aes128-gcm@openssh.com", "aes256-gcm@openssh.com",
                             "chacha20-poly1305@openssh.com"};
const char *const kCtr[] = {"aes128-ctr", "aes192-ctr", "aes256-ctr"};
const char *const kMacs[] = {"hmac-sha2-256",
                             "hmac-sha2-512",
                             "hmac-sha1",
                             "hmac-sha2-256-etm@openssh.com",
                             "hmac-sha2-512-etm@openssh.com",
                             "hmac-sha1-etm@openssh.com"};

std::vector<Algs> all_pairs() {
  std::vector<Algs> out;
  for (const char *c : kAead) out.push_back({c, ""});
  for (const char *c : kCtr)
    for (const char *m : kMacs) out.push_back({c, m});
  return out;
}

void PrintTo(const Algs &a, std::ostream *os) {
  *os << a.cipher << (a.mac.empty() ? "" : " with " + a.mac);
}

// "aes128_ctr_hmac_sha2_256_etm" for aes128-ctr with
// hmac-sha2-256-etm@openssh.com.
std::string plain_name(const Algs &a) {
  std::string out;
  for (const std::string &s : {a.cipher, a.mac}) {
    std::string name = s.substr(0, s.find('@'));
    if (name.empty()) continue;
    if (!out.empty()) out += '_';
    for (char c : name)
      out += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  }
  return out;
}

// A folder of the server's account for one protocol's round trip, named
// short, as the log lines that name both paths have a bounded length.
Place place_for(const Algs &a, const char *proto) {
  std::string dir = tw_test::env("TW_SSH_HOME") + "/" + plain_name(a) + "." +
                    proto + "." + std::to_string(getpid());
  mkdir(dir.c_str(), 0755);
  int uid = std::atoi(tw_test::env("TW_SSH_UID").c_str());
  if (chown(dir.c_str(), uid, uid) != 0) ADD_FAILURE() << dir;
  return {dir, dir};
}

std::set<std::string> split(const std::string &list) {
  std::set<std::string> out;
  for (size_t pos = 0; pos <= list.size();) {
    size_t end = std::min(list.find(',', pos), list.size());
    if (end > pos) out.insert(list.substr(pos, end - pos));
    pos = end + 1;
  }
  return out;
}

// One keyword's list from the private server's effective configuration.
std::set<std::string> server_offer(const std::string &keyword) {
  std::string cmd = "/usr/sbin/sshd -T -f '" + tw_test::env("TW_TEST_DIR") +
                    "/sshd_config' 2>/dev/null";
  FILE *p = popen(cmd.c_str(), "r");
  if (p == nullptr) return {};
  std::set<std::string> out;
  char line[4096];
  std::string head = keyword + " ";
  while (std::fgets(line, sizeof line, p) != nullptr) {
    std::string l(line);
    l.erase(l.find_last_not_of('\n') + 1);
    if (l.compare(0, head.size(), head) == 0)
      out = split(l.substr(head.size()));
  }
  pclose(p);
  return out;
}

std::set<std::string> libssh2_offer(int method) {
  LIBSSH2_SESSION *s = libssh2_session_init();
  const char **algs = nullptr;
  int n = libssh2_session_supported_algs(s, method, &algs);
  std::set<std::string> out(algs, algs + (n > 0 ? n : 0));
  if (n > 0) libssh2_free(s, static_cast<void *>(algs));
  libssh2_session_free(s);
  return out;
}

std::set<std::string> common(const std::set<std::string> &a,
                             const std::set<std::string> &b) {
  std::set<std::string> out;
  for (const auto &x : a)
    if (b.count(x) != 0) out.insert(x);
  return out;
}

TEST(Ciphers, CoverEveryCommonAlgorithm) {
  std::set<std::string> ciphers(std::begin(kAead), std::end(kAead));
  ciphers.insert(std::begin(kCtr), std::end(kCtr));
  EXPECT_EQ(
      common(libssh2_offer(LIBSSH2_METHOD_CRYPT_CS), server_offer("ciphers")),
      ciphers);
  EXPECT_EQ(common(libssh2_offer(LIBSSH2_METHOD_MAC_CS), server_offer("macs")),
            std::set<std::string>(std::begin(kMacs), std::end(kMacs)));
}

// Without a preference set, the session asks for AES-GCM first, the cipher
// that OpenSSL runs fastest.
TEST(Ciphers, PreferAes128GcmByDefault) {
  tw_test::connect_openssh();
  EXPECT_EQ(std::string(tw::session_cipher()), "aes128-gcm@openssh.com");
  sftp_client_disconnect();
}

class Ciphers : public ::testing::TestWithParam<Algs> {
 protected:
  void TearDown() override {
    sftp_client_disconnect();
    tw::set_cipher_preference(nullptr);
    tw::set_mac_preference(nullptr);
  }
};

TEST_P(Ciphers, RoundTripBothProtocols) {
  const Algs &a = GetParam();
  tw::set_cipher_preference(a.cipher.c_str());
  tw::set_mac_preference(a.mac.c_str());
  tw_test::connect_openssh();
  ASSERT_EQ(std::string(tw::session_cipher()), a.cipher);
  if (!a.mac.empty()) {
    ASSERT_EQ(std::string(tw::session_mac()), a.mac);
  }
  round_trip(place_for(a, "sftp"), 300001, sftp_up, sftp_down, "");
  round_trip(place_for(a, "scp"), 300001, scp_up, scp_down, "SCP ");
}

INSTANTIATE_TEST_SUITE_P(Common, Ciphers, ::testing::ValuesIn(all_pairs()),
                         [](const ::testing::TestParamInfo<Algs> &info) {
                           return plain_name(info.param);
                         });

}  // namespace
