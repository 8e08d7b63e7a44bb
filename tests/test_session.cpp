// The session: configuration, connect by key and password against OpenSSH,
// every failing stage, replacement, disconnect and the description.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

#include "session.h"
#include "support.h"

using namespace tw_test;

namespace {

// ---- Configuration ---------------------------------------------------------

struct Parsed {
  int rc;
  std::string error;
  tw::ConnectionConfig cfg;
};

Parsed parse(const char *json) {
  tw::ensure_locks();
  tw::clear_error();
  Parsed p{};
  p.rc = tw::parse_config(json, &p.cfg);
  p.error = sftp_client_last_error();
  return p;
}

std::string parse_error(const char *json) { return parse(json).error; }

TEST(Config, RejectionsAndTheirMessages) {
  EXPECT_EQ(parse_error(nullptr), "config_json is required");
  EXPECT_EQ(parse_error(""), "config_json is required");
  for (const char *bad : {"   ", "[1,2]", "\"host\"", "{", "{\"host\":\"a\"",
                          "{\"host\":\"a\"]", "{\"host\":\"a\\x\"}", "42"})
    EXPECT_EQ(parse_error(bad), "config_json is not a JSON object") << bad;
  EXPECT_EQ(parse_error("{}"), "'host' is required");
  EXPECT_EQ(parse_error("{\"host\":\"h\"}"), "'user' is required");
  EXPECT_EQ(parse_error("{\"host\":\"\",\"user\":\"u\"}"),
            "'host' is required");
  EXPECT_EQ(parse_error("{\"user\":\"u\"}"), "'host' is required");
}

TEST(Config, SixtyFourTokensAtMost) {
  std::string ok = "{\"host\":\"h\",\"user\":\"u\"";
  for (int i = 0; i < 29; ++i) ok += ",\"k" + std::to_string(i) + "\":1";
  ok += "}";  // 31 members: 63 tokens
  EXPECT_EQ(parse(ok.c_str()).rc, 0) << parse_error(ok.c_str());
  std::string big = ok.substr(0, ok.size() - 1) + ",\"k99\":1}";  // 65 tokens
  EXPECT_EQ(parse_error(big.c_str()), "config_json is not a JSON object");
}

TEST(Config, KeysAreTopLevelMemberNamesOnly) {
  Parsed p = parse("{\"user\":\"host\",\"host\":\"127.0.0.1\"}");
  ASSERT_EQ(p.rc, 0) << p.error;
  EXPECT_STREQ(p.cfg.host, "127.0.0.1");
  EXPECT_STREQ(p.cfg.user, "host");
  p = parse("{\"host\":\"h\",\"password\":\"user\",\"user\":\"real\"}");
  EXPECT_STREQ(p.cfg.user, "real");
  EXPECT_STREQ(p.cfg.password, "user");
  p = parse("{\"opts\":{\"host\":\"evil\"},\"host\":\"good\",\"user\":\"u\"}");
  EXPECT_STREQ(p.cfg.host, "good");
  p = parse("{\"list\":[\"host\",\"x\"],\"host\":\"good\",\"user\":\"u\"}");
  EXPECT_STREQ(p.cfg.host, "good");
  // A nested object alone never supplies the host.
  EXPECT_EQ(parse_error("{\"opts\":{\"host\":\"evil\"},\"user\":\"u\"}"),
            "'host' is required");
  // An object value is taken whole, as its text.
  p = parse("{\"host\":{\"a\":1},\"user\":\"u\"}");
  EXPECT_STREQ(p.cfg.host, "{\"a\":1}");
}

TEST(Config, LookupDetails) {
  Parsed p = parse("{\"host\":\"first\",\"host\":\"second\",\"user\":\"u\"}");
  EXPECT_STREQ(p.cfg.host, "first");
  EXPECT_EQ(parse_error("{\"Host\":\"h\",\"user\":\"u\"}"),
            "'host' is required");
  EXPECT_EQ(parse_error("{host:\"h\",\"user\":\"u\"}"), "'host' is required");
  // The non-strict tokenizer does not enforce separators.
  p = parse("{\"host\" \"h\" \"user\" \"u\",}");
  ASSERT_EQ(p.rc, 0) << p.error;
  EXPECT_STREQ(p.cfg.host, "h");
  EXPECT_STREQ(p.cfg.user, "u");
  // Keys of a second object after the first are not members of the first.
  EXPECT_EQ(parse_error("{\"host\":\"h\"}{\"user\":\"u\"}"),
            "'user' is required");
  std::string longhost(300, 'h');
  std::string json = "{\"host\":\"" + longhost + "\",\"user\":\"u\"}";
  EXPECT_EQ(std::string(parse(json.c_str()).cfg.host), longhost.substr(0, 255));
}

TEST(Config, StringsAreDecoded) {
  Parsed p = parse(
      "{\"host\":\"h\",\"user\":\"u\",\"password\":\"a\\\"b\\\\c\\/d\\te\","
      "\"private_key\":\"C:\\\\keys\\\\id\",\"passphrase\":"
      "\"\\u00e9\\ud83d\\ude00\\u20ac\"}");
  ASSERT_EQ(p.rc, 0) << p.error;
  EXPECT_STREQ(p.cfg.password, "a\"b\\c/d\te");
  EXPECT_STREQ(p.cfg.private_key, "C:\\keys\\id");
  EXPECT_STREQ(p.cfg.passphrase, "\xc3\xa9\xf0\x9f\x98\x80\xe2\x82\xac");
  p = parse("{\"host\":\"h\",\"user\":\"u\",\"private_key\":\"/k/id\"}");
  EXPECT_STREQ(p.cfg.private_key, "/k/id");
  // A lone surrogate cannot be written as UTF-8.
  p = parse("{\"host\":\"h\",\"user\":\"\\ud800x\"}");
  EXPECT_STREQ(p.cfg.user, "\xef\xbf\xbdx");
}

// A character that does not fit whole ends the value cleanly, even where an
// earlier, longer value of the same buffer is still in memory behind it.
TEST(Config, EscapedCharacterThatDoesNotFitEndsTheValue) {
  tw::ensure_locks();
  tw::ConnectionConfig cfg{};
  auto reparse = [&cfg](const std::string &user) {
    std::string json = "{\"host\":\"h\",\"user\":\"" + user + "\"}";
    EXPECT_EQ(tw::parse_config(json.c_str(), &cfg), 0);
    return std::string(cfg.user);
  };
  reparse(std::string(255, 'x'));
  EXPECT_EQ(reparse(std::string(254, 'b') + "\\u00e9"), std::string(254, 'b'));
  EXPECT_EQ(reparse(std::string(253, 'b') + "\\u20ac"), std::string(253, 'b'));
  EXPECT_EQ(reparse(std::string(252, 'b') + "\\ud83d\\ude00"),
            std::string(252, 'b'));
  EXPECT_EQ(reparse(std::string(252, 'b') + "\\u00e9z"),
            std::string(252, 'b') + "\xc3\xa9z");
}

TEST(Config, ValuesHoldingNulAreRejected) {
  EXPECT_EQ(
      parse_error("{\"host\":\"h\",\"user\":\"u\",\"password\":\"a\\u0000b\"}"),
      "'password' must not contain a NUL character");
  EXPECT_EQ(parse_error("{\"host\":\"h\\u0000.evil\",\"user\":\"u\"}"),
            "'host' must not contain a NUL character");
}

TEST(Config, PortCorrections) {
  auto port = [](const std::string &v) {
    std::string json = "{\"host\":\"h\",\"user\":\"u\",\"port\":" + v + "}";
    return parse(json.c_str()).cfg.port;
  };
  EXPECT_EQ(port("2222"), 2222);
  EXPECT_EQ(port("\"2222\""), 2222);
  EXPECT_EQ(port("\"  2222\""), 2222);
  EXPECT_EQ(port("65535"), 65535);
  for (const char *v : {"65536", "0", "-1", "true", "0x16", "\"\"",
                        "99999999999999999999", "-99999999999999999999"})
    EXPECT_EQ(port(v), 22) << v;
  EXPECT_EQ(port("22.9"), 22);
  EXPECT_EQ(parse("{\"host\":\"h\",\"user\":\"u\"}").cfg.port, 22);
}

TEST(Config, TimeoutCorrections) {
  auto timeout = [](const std::string &v) {
    std::string json =
        "{\"host\":\"h\",\"user\":\"u\",\"timeout_ms\":" + v + "}";
    return parse(json.c_str()).cfg.timeout_ms;
  };
  EXPECT_EQ(timeout("1000"), 1000);
  EXPECT_EQ(timeout("\"2500\""), 2500);
  for (const char *v : {"999", "0", "-5", "1e5", "null"})
    EXPECT_EQ(timeout(v), 15000) << v;
  EXPECT_EQ(parse("{\"host\":\"h\",\"user\":\"u\"}").cfg.timeout_ms, 15000);
}

// The switches take the JSON literals only: a typing error never turns one
// silently off.
TEST(Config, SwitchesAreTrueOrFalse) {
  for (const char *key : {"agent", "safe_replace"})
    for (auto [v, rc, on] : {std::tuple{"true", 0, true},
                             {"false", 0, false},
                             {"1", -1, false},
                             {"\"yes\"", -1, false}}) {
      std::string json = "{\"host\":\"h\",\"user\":\"u\",\"" +
                         std::string(key) + "\":" + v + "}";
      Parsed p = parse(json.c_str());
      EXPECT_EQ(p.rc, rc) << key << "=" << v;
      if (rc == 0)
        EXPECT_EQ(strcmp(key, "agent") == 0 ? p.cfg.agent : p.cfg.safe_replace,
                  on);
      else
        EXPECT_EQ(p.error, std::string("'") + key + "' must be true or false");
    }
}

TEST(Config, SecretsAreWipedWithTheConfiguration) {
  alignas(
      tw::ConnectionConfig) unsigned char storage[sizeof(tw::ConnectionConfig)];
  auto *cfg = new (storage) tw::ConnectionConfig();
  tw::ensure_locks();
  ASSERT_EQ(tw::parse_config("{\"host\":\"h\",\"user\":\"u\",\"password\":"
                             "\"hunter2\",\"passphrase\":\"sesame\"}",
                             cfg),
            0);
  cfg->~ConnectionConfig();
  const unsigned char *pw = storage + offsetof(tw::ConnectionConfig, password);
  const unsigned char *pp =
      storage + offsetof(tw::ConnectionConfig, passphrase);
  for (size_t i = 0; i < 512; ++i) {
    ASSERT_EQ(pw[i], 0) << i;
    ASSERT_EQ(pp[i], 0) << i;
  }
}

// ---- Connect
// -----------------------------------------------------------------

std::string info() { return sftp_client_session_info(); }

std::string config_to(const std::string &port, const std::string &extra = "") {
  return "{\"host\":\"127.0.0.1\",\"port\":" + port +
         ",\"user\":\"u\",\"password\":\"p\"" + extra + "}";
}

class Connect : public ::testing::Test {
 protected:
  void TearDown() override { sftp_client_disconnect(); }
};

TEST_F(Connect, EveryKeyTypeLogsIn) {
  for (const char *key : {"id_ed25519", "id_ecdsa", "id_rsa_pem", "id_rsa"}) {
    ASSERT_EQ(sftp_client_connect(openssh_config(key).c_str()), 0)
        << key << ": " << sftp_client_last_error();
    EXPECT_EQ(sftp_client_is_connected(), 1);
    EXPECT_NE(info().find("\"auth\":\"publickey\""), std::string::npos);
  }
  for (const char *key : {"id_ed25519_enc", "id_rsa_pem_enc"}) {
    std::string pass = ",\"passphrase\":" + quote(env("TW_KEY_PASSPHRASE"));
    ASSERT_EQ(sftp_client_connect(openssh_config(key, pass).c_str()), 0)
        << key << ": " << sftp_client_last_error();
  }
  EXPECT_STREQ(sftp_client_last_error(), "");
}

TEST_F(Connect, KeyFailuresAreAuthenticationFailures) {
  std::string user = env("TW_SSH_USER");
  std::string msg = "authentication failed for user '" + user + "' (publickey)";
  std::string wrong = ",\"passphrase\":\"not it\"";
  const std::string configs[] = {
      openssh_config("id_ed25519_enc", wrong),
      openssh_config("id_ed25519_enc"),  // no passphrase
      openssh_config("id_rsa_pem_enc", wrong), openssh_config("no_such_key"),
      openssh_config("id_ed25519_other"),  // not authorized
  };
  for (const auto &c : configs) {
    EXPECT_EQ(sftp_client_connect(c.c_str()), -1) << c;
    EXPECT_EQ(std::string(sftp_client_last_error()), msg) << c;
    EXPECT_EQ(sftp_client_is_connected(), 0);
  }
  std::string line =
      "AUTH FAILED " + user + "@127.0.0.1:" + env("TW_SSHD_PORT");
  EXPECT_EQ(log_lines_with("AUTH FAILED").size(), 5u);
  EXPECT_EQ(log_lines_with("AUTH FAILED").back(), line);
}

TEST_F(Connect, PasswordLogin) {
  // The account's password holds a double quote and a backslash.
  ASSERT_EQ(sftp_client_connect(openssh_config("").c_str()), 0)
      << sftp_client_last_error();
  EXPECT_NE(info().find("\"auth\":\"password\""), std::string::npos);
  std::string user = env("TW_SSH_USER");
  std::string msg = "authentication failed for user '" + user + "' (password)";
  std::string base = "{\"host\":\"127.0.0.1\",\"port\":" + env("TW_SSHD_PORT") +
                     ",\"user\":" + quote(user);
  for (const std::string &c : {base + ",\"password\":\"wrong\"}",
                               base + ",\"password\":\"\"}", base + "}"}) {
    EXPECT_EQ(sftp_client_connect(c.c_str()), -1);
    EXPECT_EQ(std::string(sftp_client_last_error()), msg) << c;
  }
  EXPECT_EQ(sftp_client_is_connected(), 0);
}

// Keyboard-interactive answered with the password (OpenSSH through PAM, two
// rounds, a server still asking after four), and the agent's identities in
// its order (the first is refused), taken over a password.
TEST_F(Connect, KeyboardInteractiveAndAgentLogins) {
  std::string user = quote(env("TW_SSH_USER")), sock = env("TW_AGENT_SOCK");
  auto to = [](const std::string &port, const std::string &rest) {
    return "{\"host\":\"127.0.0.1\",\"port\":" + port + ",\"user\":" + rest +
           "}";
  };
  std::string sshd = env("TW_SSHD_PORT"),
              failed = "authentication failed for user '";
  struct {
    std::string config, sock, error, auth;
  } cases[] = {
      {to(env("TW_SSHD_KBDINT_PORT"),
          user + ",\"password\":" + quote(env("TW_SSH_PASSWORD"))),
       "", "", "password"},
      {fake_config("kbdint2"), "", "", "password"},
      {fake_config("kbdint9"), "", failed + "kbdint9' (password)", "password"},
      {to(sshd, user + ",\"password\":\"x\",\"agent\":true"), sock, "",
       "publickey"},
      {to(sshd, "\"no-such-user\",\"agent\":true"), sock,
       failed + "no-such-user' (agent)", "publickey"},
      {to(sshd, user + ",\"agent\":true"), sock + ".none",
       "cannot reach the SSH agent", "publickey"},
  };
  for (const auto &c : cases) {
    setenv("SSH_AUTH_SOCK", c.sock.c_str(), 1);
    EXPECT_EQ(sftp_client_connect(c.config.c_str()), c.error.empty() ? 0 : -1);
    EXPECT_EQ(sftp_client_last_error(), c.error) << c.config;
    EXPECT_NE(info().find("\"auth\":\"" + c.auth + "\""), std::string::npos);
  }
  unsetenv("SSH_AUTH_SOCK");
}

TEST_F(Connect, KeyWinsOverPasswordWithoutFallback) {
  std::string pw = ",\"password\":" + quote(env("TW_SSH_PASSWORD"));
  ASSERT_EQ(sftp_client_connect(openssh_config("id_ecdsa", pw).c_str()), 0);
  EXPECT_NE(info().find("\"auth\":\"publickey\""), std::string::npos);
  // A refused key is not followed by a password attempt.
  EXPECT_EQ(sftp_client_connect(openssh_config("id_ed25519_other", pw).c_str()),
            -1);
  EXPECT_NE(std::string(sftp_client_last_error()).find("(publickey)"),
            std::string::npos);
}

TEST_F(Connect, NetworkStageFailures) {
  // A label longer than 63 bytes is refused by the resolver library itself,
  // so nothing is asked of the machine's DNS servers.
  std::string bad_host = std::string(64, 'n') + ".invalid";
  std::string bad = "{\"host\":\"" + bad_host + "\",\"user\":\"u\"}";
  EXPECT_EQ(sftp_client_connect(bad.c_str()), -1);
  EXPECT_EQ(std::string(sftp_client_last_error()),
            "cannot resolve host '" + bad_host + "'");
  std::string closed = env("TW_CLOSED_PORT");
  EXPECT_EQ(sftp_client_connect(config_to(closed).c_str()), -1);
  EXPECT_EQ(std::string(sftp_client_last_error()),
            "cannot connect to 127.0.0.1:" + closed);
  std::string nossh = env("TW_NOSSH_PORT");
  EXPECT_EQ(sftp_client_connect(config_to(nossh).c_str()), -1);
  std::string err = sftp_client_last_error();
  EXPECT_EQ(err.rfind("SSH handshake failed (-", 0), 0u) << err;
  EXPECT_NE(err.find(") - is 127.0.0.1:" + nossh + " an SSH server?"),
            std::string::npos)
      << err;
  EXPECT_EQ(sftp_client_is_connected(), 0);
  EXPECT_TRUE(log_lines().empty());  // none of these stages logs
}

TEST_F(Connect, EveryAddressIsTriedInTurn) {
  // localhost resolves to ::1 and 127.0.0.1; the server listens on the
  // latter only, so an address that refuses is passed over.
  std::string c = "{\"host\":\"localhost\",\"port\":" + env("TW_SSHD_PORT") +
                  ",\"user\":" + quote(env("TW_SSH_USER")) +
                  ",\"private_key\":" + quote(key_path("id_ed25519")) + "}";
  ASSERT_EQ(sftp_client_connect(c.c_str()), 0) << sftp_client_last_error();
  EXPECT_NE(info().find("\"host\":\"localhost\""), std::string::npos);
}

TEST_F(Connect, SilentServerTimesOut) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), len), 0);
  ASSERT_EQ(listen(fd, 4), 0);
  getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
  std::string port = std::to_string(ntohs(a.sin_port));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(
      sftp_client_connect(config_to(port, ",\"timeout_ms\":1000").c_str()), -1);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(
      std::string(sftp_client_last_error()).rfind("SSH handshake failed (-", 0),
      0u);
  // Bounded by the configured time-out, not by the server.
  EXPECT_LT(waited, std::chrono::seconds(20));
  close(fd);
}

TEST_F(Connect, ProgrammableServerStages) {
  ASSERT_EQ(sftp_client_connect(fake_config("nosftp").c_str()), -1);
  EXPECT_STREQ(sftp_client_last_error(),
               "server accepted the login but refused the SFTP subsystem");
  EXPECT_EQ(sftp_client_is_connected(), 0);
  for (const char *scenario : {"norealpath", "longhome"}) {
    ASSERT_EQ(sftp_client_connect(fake_config(scenario).c_str()), 0)
        << scenario;
    EXPECT_NE(info().find("\"home\":\"/\""), std::string::npos) << info();
    EXPECT_EQ(log_lines().back(), std::string("CONNECTED ") + scenario +
                                      "@127.0.0.1:" + env("TW_FAKE_PORT") +
                                      " (password) home=/");
  }
}

TEST_F(Connect, BannerIsEscapedInTheDescription) {
  connect_fake("ok");
  EXPECT_NE(info().find("\"banner\":\"SSH-2.0-Tarnwick\\\"Fake\\\\Server\""),
            std::string::npos)
      << info();
}

// The SHA-1 of the host key, as ssh-keygen computes it, in the library's form.
std::string expected_fingerprint() {
  std::string cmd =
      "ssh-keygen -l -E sha1 -f " + env("TW_TEST_DIR") + "/host_ed25519.pub";
  FILE *p = popen(cmd.c_str(), "r");
  char line[512] = "";
  if (p == nullptr || fgets(line, sizeof line, p) == nullptr) return "?";
  pclose(p);
  std::string s = line;
  size_t at = s.find("SHA1:") + 5;
  std::string b64 = s.substr(at, s.find(' ', at) - at);
  const std::string alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string hex;
  unsigned bits = 0, nbits = 0;
  for (char c : b64) {
    bits = (bits << 6) | static_cast<unsigned>(alphabet.find(c));
    nbits += 6;
    if (nbits >= 8) {
      nbits -= 8;
      char pair[4];
      snprintf(pair, sizeof pair, "%s%02x", hex.empty() ? "" : ":",
               (bits >> nbits) & 0xFF);
      hex += pair;
    }
  }
  return hex;
}

// OpenSSH's SHA256 form of the host key's fingerprint.
std::string expected_sha256() {
  std::string cmd =
      "ssh-keygen -l -f " + env("TW_TEST_DIR") + "/host_ed25519.pub";
  FILE *p = popen(cmd.c_str(), "r");
  char line[512] = "";
  if (p == nullptr || fgets(line, sizeof line, p) == nullptr) return "?";
  pclose(p);
  std::string s = line;
  size_t at = s.find("SHA256:");
  return s.substr(at, s.find(' ', at) - at);
}

std::string pinned(const std::string &fp) {
  return ",\"host_fingerprint\":" + quote(fp);
}

// A pinned key that the server does not hold ends the connect before any
// credential is sent; one that it holds, in either form, lets it through.
TEST_F(Connect, PinnedHostKey) {
  std::string sha1 = expected_fingerprint();
  std::string upper = sha1;
  for (char &c : upper) c = static_cast<char>(toupper(c));
  for (const std::string &fp : {upper, expected_sha256()})
    EXPECT_EQ(
        sftp_client_connect(openssh_config("id_ed25519", pinned(fp)).c_str()),
        0)
        << fp << ": " << sftp_client_last_error();

  std::string user = "ok.pin" + std::to_string(getpid());
  std::string fake = "{\"host\":\"127.0.0.1\",\"port\":" + env("TW_FAKE_PORT") +
                     ",\"user\":" + quote(user) + ",\"password\":\"secret\"";
  EXPECT_EQ(
      sftp_client_connect((fake + pinned(expected_sha256()) + "}").c_str()),
      -1);
  std::string where = "127.0.0.1:" + env("TW_FAKE_PORT");
  EXPECT_EQ(std::string(sftp_client_last_error()),
            "host key mismatch for " + where);
  EXPECT_EQ(tw_test::log_lines().back(), "HOSTKEY MISMATCH " + where);
  EXPECT_EQ(sftp_client_is_connected(), 0);
  EXPECT_NE(info().find("\"connected\":false"), std::string::npos);
  EXPECT_EQ(info().find("\"fingerprint\":\"" + sha1 + "\""), std::string::npos);
  EXPECT_EQ(info().find("\"fingerprint\":\"\""), std::string::npos);
  std::string attempts = read_file(env("TW_TEST_DIR") + "/auth_attempts");
  EXPECT_EQ(attempts.find(user), std::string::npos) << "a credential was sent";
  // The same connect without the pin logs in: the server was not the cause.
  EXPECT_EQ(sftp_client_connect((fake + "}").c_str()), 0);
}

TEST_F(Connect, MalformedPinsAreConfigurationErrors) {
  connect_openssh();
  std::string sha1 = expected_fingerprint();
  std::string sha256 = expected_sha256();
  for (const std::string &bad :
       {std::string("abc"), sha1.substr(3), sha1 + ":00", "x" + sha1.substr(1),
        sha256.substr(0, sha256.size() - 1), sha256 + "=",
        "sha256" + sha256.substr(6), "SHA256:" + std::string(43, '*'),
        "MD5:" + sha1.substr(0, 47)}) {
    EXPECT_EQ(
        sftp_client_connect(openssh_config("id_ed25519", pinned(bad)).c_str()),
        -1)
        << bad;
    EXPECT_STREQ(sftp_client_last_error(),
                 "'host_fingerprint' is not a SHA-1 or SHA256 fingerprint");
  }
  EXPECT_EQ(sftp_client_is_connected(), 1);
}

// No password or passphrase, right or wrong, reaches any text the library
// returns, in its raw or its escaped form.
TEST_F(Connect, SecretsNeverReachAText) {
  const std::string wrong_pw = "Wr0ng\"Pw\\9f3e1";
  const std::string wrong_pp = "Wr0ngPp-5c7d2a";
  const std::string pp = ",\"passphrase\":";
  std::string base = "{\"host\":\"127.0.0.1\",\"port\":" + env("TW_SSHD_PORT") +
                     ",\"user\":" + quote(env("TW_SSH_USER"));
  std::vector<std::string> configs = {
      openssh_config(""),
      base + ",\"password\":" + quote(wrong_pw) + "}",
      openssh_config("id_ed25519_enc", pp + quote(env("TW_KEY_PASSPHRASE"))),
      openssh_config("id_ed25519_enc", pp + quote(wrong_pp)),
      openssh_config("id_rsa_pem_enc", pp + quote(wrong_pp)),
      fake_config("nosftp"),
  };
  std::string texts;
  for (const std::string &c : configs) {
    sftp_client_connect(c.c_str());
    texts += sftp_client_last_error();
    texts += sftp_client_session_info();
    texts += sftp_client_list_dir(".");
    texts += sftp_client_last_error();
    texts += sftp_transfer_progress();
    texts += sftp_client_get_log();
    sftp_client_disconnect();
  }
  texts += sftp_client_get_log();
  for (std::string secret :
       {env("TW_SSH_PASSWORD"), wrong_pw, env("TW_KEY_PASSPHRASE"), wrong_pp,
        env("TW_FAKE_PASSWORD")}) {
    EXPECT_EQ(texts.find(secret), std::string::npos) << secret;
    char escaped[512];
    tw::json_escape(escaped, sizeof escaped, secret.c_str());
    EXPECT_EQ(texts.find(escaped), std::string::npos) << escaped;
  }
}

TEST_F(Connect, DescriptionOfAnOpenSession) {
  connect_openssh();
  std::string home = env("TW_SSH_HOME");
  std::string expected =
      "{\"connected\":true,\"host\":\"127.0.0.1\",\"port\":" +
      env("TW_SSHD_PORT") + ",\"user\":" + quote(env("TW_SSH_USER")) +
      ",\"banner\":\"SSH-2.0-OpenSSH_";
  std::string d = info();
  EXPECT_EQ(d.rfind(expected, 0), 0u) << d;
  std::string fp = expected_fingerprint();
  EXPECT_EQ(fp.size(), 59u);
  // The host key as its .pub file holds it, without the comment.
  std::string pub = read_file(env("TW_TEST_DIR") + "/host_ed25519.pub");
  std::string key = pub.substr(0, pub.find(' ', pub.find(' ') + 1));
  EXPECT_NE(d.find("\"fingerprint\":\"" + fp + "\",\"home\":\"" + home +
                   "\",\"auth\":\"publickey\",\"fingerprint_sha256\":\"" +
                   expected_sha256() + "\",\"host_key\":\"" + key + "\"}"),
            std::string::npos)
      << d << "\n"
      << fp;
  EXPECT_EQ(log_lines().back(), "CONNECTED " + env("TW_SSH_USER") +
                                    "@127.0.0.1:" + env("TW_SSHD_PORT") +
                                    " (publickey) home=" + home);
}

TEST_F(Connect, DescriptionBeforeAndAfter) {
  EXPECT_EQ(info(),
            "{\"connected\":false,\"host\":\"\",\"port\":22,\"user\":\"\","
            "\"banner\":\"\",\"fingerprint\":\"\",\"home\":\"\",\"auth\":\"\","
            "\"fingerprint_sha256\":\"\",\"host_key\":\"\"}");
  connect_openssh();
  std::string open = info();
  tw::ensure_locks();
  tw::set_error("cannot create directory '/x'");
  EXPECT_EQ(sftp_client_disconnect(), 0);
  EXPECT_STREQ(sftp_client_last_error(), "cannot create directory '/x'");
  EXPECT_EQ(sftp_client_is_connected(), 0);
  std::string closed = info();
  EXPECT_EQ(closed, "{\"connected\":false" +
                        open.substr(strlen("{\"connected\":true")));
  EXPECT_EQ(log_lines_with("DISCONNECT").size(), 1u);
  EXPECT_EQ(sftp_client_disconnect(), 0);
  EXPECT_EQ(log_lines_with("DISCONNECT").size(), 1u);
  EXPECT_EQ(
      log_lines_with("DISCONNECT").back(),
      "DISCONNECT " + env("TW_SSH_USER") + "@127.0.0.1:" + env("TW_SSHD_PORT"));
}

TEST_F(Connect, ReplacingAnOpenSession) {
  connect_openssh();
  connect_fake("ok");
  EXPECT_TRUE(log_lines_with("DISCONNECT").empty());
  EXPECT_EQ(log_lines_with("CONNECTED").size(), 2u);
  EXPECT_NE(info().find("\"port\":" + env("TW_FAKE_PORT")), std::string::npos);
  // A rejected configuration leaves the session open.
  EXPECT_EQ(sftp_client_connect("{\"user\":\"x\"}"), -1);
  EXPECT_EQ(sftp_client_is_connected(), 1);
  // A failed reconnect leaves nothing connected; the description keeps the
  // earlier session but shows the banner and method just tried.
  std::string base = "{\"host\":\"127.0.0.1\",\"port\":" + env("TW_SSHD_PORT") +
                     ",\"user\":\"nobody\",\"password\":\"x\"}";
  EXPECT_EQ(sftp_client_connect(base.c_str()), -1);
  EXPECT_EQ(sftp_client_is_connected(), 0);
  std::string d = info();
  EXPECT_NE(d.find("\"connected\":false,\"host\":\"127.0.0.1\",\"port\":" +
                   env("TW_FAKE_PORT") +
                   ",\"user\":\"ok\",\"banner\":\"SSH-2.0-OpenSSH_"),
            std::string::npos)
      << d;
  EXPECT_NE(
      d.find("\"home\":\"/\",\"auth\":\"password\",\"fingerprint_sha256\":"
             "\"SHA256:"),
      std::string::npos)
      << d;
  // A failure before the handshake changes nothing but the flag.
  std::string before = info();
  EXPECT_EQ(sftp_client_connect(config_to(env("TW_CLOSED_PORT")).c_str()), -1);
  EXPECT_EQ(info(), before);
}

TEST_F(Connect, OutOfRangePortBecomes22) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(22);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bool listening = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
  close(fd);
  if (listening) GTEST_SKIP() << "something listens on port 22 here";
  std::string c = "{\"host\":\"127.0.0.1\",\"user\":\"u\",\"port\":70000}";
  EXPECT_EQ(sftp_client_connect(c.c_str()), -1);
  EXPECT_STREQ(sftp_client_last_error(), "cannot connect to 127.0.0.1:22");
}

// A description read while connects run shows one state whole: the banner
// always belongs to the server whose port it shows.
TEST_F(Connect, DescriptionNeverMixesTwoStates) {
  std::string fake_port = "\"port\":" + env("TW_FAKE_PORT") + ",";
  std::string sshd_port = "\"port\":" + env("TW_SSHD_PORT") + ",";
  std::atomic<bool> stop{false};
  std::atomic<int> mixed{0}, seen{0};
  std::thread reader([&] {
    while (!stop) {
      std::string d = sftp_client_session_info();
      bool fake_banner = d.find("Tarnwick") != std::string::npos;
      bool sshd_banner = d.find("OpenSSH") != std::string::npos;
      if ((d.find(fake_port) != std::string::npos && !fake_banner) ||
          (d.find(sshd_port) != std::string::npos && !sshd_banner))
        ++mixed;
      ++seen;
    }
  });
  for (int i = 0; i < 6; ++i) {
    connect_fake("ok");
    connect_openssh();
  }
  stop = true;
  reader.join();
  EXPECT_EQ(mixed.load(), 0);
  EXPECT_GT(seen.load(), 0);
}

TEST_F(Connect, DescriptionDoesNotWaitForTheSessionLock) {
  connect_openssh();
  tw::Guard busy(tw::g_lock);  // as a running transfer would hold it
  EXPECT_NE(info().find("\"connected\":true"), std::string::npos);
  EXPECT_EQ(sftp_client_is_connected(), 1);
}

int open_fds() {
  int n = 0;
  DIR *d = opendir("/proc/self/fd");
  while (readdir(d) != nullptr) ++n;
  closedir(d);
  return n;
}

long rss_kb() {
  std::string status = read_file("/proc/self/status");
  size_t at = status.find("VmRSS:");
  return at == std::string::npos ? 0 : std::atol(status.c_str() + at + 6);
}

TEST_F(Connect, RepeatedSessionsLeakNothing) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  const int rounds = 40;
#else
  const int rounds = 100;
#endif
  connect_openssh();
  sftp_client_disconnect();
  int fds = open_fds();
  long rss = rss_kb();
  for (int i = 0; i < rounds; ++i) {
    ASSERT_EQ(sftp_client_connect(openssh_config().c_str()), 0)
        << i << ": " << sftp_client_last_error();
    if (i % 2 == 0) sftp_client_disconnect();  // half are replaced instead
  }
  sftp_client_disconnect();
  EXPECT_EQ(open_fds(), fds);
  long growth_kb = rss_kb() - rss;
#if defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer keeps freed memory in quarantine, so growth means
  // nothing there; it reports real leaks itself at exit.
  growth_kb = 0;
#endif
  EXPECT_LT(growth_kb, 8 * 1024);
}

}  // namespace
