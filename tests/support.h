// Helpers shared by the tests that talk to the test servers. The servers are
// started by the test run (tests/servers/start.sh) and described by
// environment variables (TW_*); a test that needs one fails when it is absent.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "plain_support.h"
#include "tarnwick_sftp.h"

namespace tw_test {

inline std::string env(const char *name) {
  const char *v = std::getenv(name);
  if (v == nullptr || *v == '\0') {
    ADD_FAILURE() << name << " is not set: run the tests through "
                  << "scripts/test.sh or scripts/with-servers.sh";
    return "";
  }
  return v;
}

inline std::string key_path(const std::string &name) {
  return env("TW_KEYS_DIR") + "/" + name;
}

// Configuration for the private OpenSSH server (or another server of the test
// account, by the variable naming its port), by key file (default) or by
// password when key is empty.
inline std::string openssh_config(const std::string &key = "id_ed25519",
                                  const std::string &extra = "",
                                  const char *port_variable = "TW_SSHD_PORT") {
  std::string c = "{\"host\":\"127.0.0.1\",\"port\":" + env(port_variable) +
                  ",\"user\":" + quote(env("TW_SSH_USER"));
  if (key.empty())
    c += ",\"password\":" + quote(env("TW_SSH_PASSWORD"));
  else
    c += ",\"private_key\":" + quote(key_path(key));
  return c + extra + "}";
}

// Configuration for the programmable server; the user name picks its
// behaviour ("<scenario>" or "<scenario>.<arg>").
inline std::string fake_config(const std::string &scenario,
                               const std::string &extra = "") {
  return "{\"host\":\"127.0.0.1\",\"port\":" + env("TW_FAKE_PORT") +
         ",\"user\":" + quote(scenario) +
         ",\"password\":" + quote(env("TW_FAKE_PASSWORD")) + extra + "}";
}

inline void connect_openssh(const std::string &key = "id_ed25519") {
  ASSERT_EQ(sftp_client_connect(openssh_config(key).c_str()), 0)
      << sftp_client_last_error();
}

inline void connect_fake(const std::string &scenario) {
  ASSERT_EQ(sftp_client_connect(fake_config(scenario).c_str()), 0)
      << sftp_client_last_error();
}

// A folder of this test's own, unique across the parallel test processes:
// below the OpenSSH account's home (owned by that account) or below the
// programmable server's root. Returns the absolute local path; for the
// programmable server the remote path is the part after TW_FAKE_ROOT.
inline std::string scratch_dir(bool fake = false) {
  const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string base = env(fake ? "TW_FAKE_ROOT" : "TW_SSH_HOME");
  std::string dir = base + "/" + info->test_suite_name() + "." + info->name() +
                    "." + std::to_string(getpid());
  mkdir(dir.c_str(), 0755);
  if (!fake) {
    int uid = std::atoi(env("TW_SSH_UID").c_str());
    if (chown(dir.c_str(), uid, uid) != 0) ADD_FAILURE() << "chown " << dir;
  }
  return dir;
}

inline std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void write_file(const std::string &path, const std::string &data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

inline bool exists(const std::string &path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

// The "line" members of the activity log, oldest first, as JSON text.
inline std::vector<std::string> log_lines() {
  std::string json = sftp_client_get_log();
  std::vector<std::string> out;
  std::regex member("\"line\":\"((?:[^\"\\\\]|\\\\.)*)\"");
  for (auto it = std::sregex_iterator(json.begin(), json.end(), member);
       it != std::sregex_iterator(); ++it)
    out.push_back((*it)[1]);
  return out;
}

// The log lines that begin with prefix.
inline std::vector<std::string> log_lines_with(const std::string &prefix) {
  std::vector<std::string> out;
  for (auto &l : log_lines())
    if (l.compare(0, prefix.size(), prefix) == 0) out.push_back(l);
  return out;
}

}  // namespace tw_test
