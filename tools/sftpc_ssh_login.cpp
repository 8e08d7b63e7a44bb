// The login as OpenSSH's ssh does it, over the library's one-shot connect.
// The host key is checked first: a key known_hosts holds is pinned through
// host_fingerprint; an unknown host is met with a connect pinned to a key no
// server has, which stops right after the handshake, before any credential
// is sent, and leaves the server's key in the session description. Then the
// credentials are tried one connect each: the agent, the identity files
// (given, else ~/.ssh/id_ed25519, id_ecdsa, id_rsa), then a password.
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "sftpc.h"
#include "sftpc_json.h"
#include "sftpc_ssh.h"
#include "tarnwick_sftp.h"

namespace sftpc {
namespace {

// A pin that no key has: its connect ends with "host key mismatch".
const char kProbePin[] = "SHA256:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";

volatile std::sig_atomic_t g_prompt_interrupted = 0;

struct Credential {
  enum class Kind { none, agent, key, password } kind;
  std::string key;  // the identity file of Kind::key
};

// Overwrites a text that held a secret before it is released.
void wipe(std::string &s) {
  volatile char *p = s.empty() ? nullptr : &s[0];
  for (size_t k = 0; k < s.size(); ++k) p[k] = 0;
  s.clear();
}

bool starts_with(const std::string &s, const char *prefix) {
  return s.rfind(prefix, 0) == 0;
}

// The library's configuration, secrets included: it is handed to the
// library and never printed.
std::string config_json(const Target &t, const std::string &pin,
                        const Credential &c, const std::string &secret) {
  std::string j = "{\"host\":" + json_quote(t.host) +
                  ",\"user\":" + json_quote(t.user) +
                  ",\"port\":" + std::to_string(t.port) +
                  ",\"host_fingerprint\":" + json_quote(pin) +
                  ",\"safe_replace\":" + (t.safe_replace ? "true" : "false");
  if (t.timeout != 0)
    j += ",\"timeout_ms\":" + std::to_string(t.timeout * 1000);
  if (c.kind == Credential::Kind::agent) j += ",\"agent\":true";
  if (c.kind == Credential::Kind::key)
    j += ",\"private_key\":" + json_quote(c.key) +
         ",\"passphrase\":" + json_quote(secret);
  else
    j += ",\"password\":" + json_quote(secret);
  return j + "}";
}

std::string env_value(const std::string &var, const char *what) {
  const char *v = std::getenv(var.c_str());
  if (v == nullptr)
    throw UsageError(std::string(what) + " variable " + var + " is not set");
  return v;
}

// The secret a credential needs; false when it cannot be had, which skips
// the credential.
bool secret_for(const Target &t, const Credential &c, bool first,
                std::string &secret) {
  secret.clear();
  if (c.kind == Credential::Kind::password) {
    if (!t.password_env.empty())
      return secret = env_value(t.password_env, "password"), true;
    if (ask_terminal(t.user + "@" + t.host + "'s password: ", true, secret))
      return true;
    if (first)
      throw UsageError(
          "no password: give --password-env VAR or --key FILE (no terminal to "
          "ask on)");
    return false;
  }
  if (c.kind != Credential::Kind::key) return true;
  if (!t.passphrase_env.empty())
    return secret = env_value(t.passphrase_env, "passphrase"), true;
  if (!key_is_encrypted(c.key)) return true;
  return ask_terminal("Enter passphrase for key '" + c.key + "': ", true,
                      secret) &&
         !secret.empty();
}

bool file_exists(const std::string &path) {
  return access(path.c_str(), R_OK) == 0;
}

std::vector<Credential> credentials(const Target &t) {
  using K = Credential::Kind;
  std::vector<Credential> out;
  if (!t.password_env.empty()) return {{K::password, ""}};
  const char *agent = std::getenv("SSH_AUTH_SOCK");
  if (agent != nullptr && agent[0] != '\0') out.push_back({K::agent, ""});
  std::vector<std::string> keys = t.keys;
  if (keys.empty())
    for (const char *name : {"id_ed25519", "id_ecdsa", "id_rsa"})
      if (file_exists(home_dir() + "/.ssh/" + name))
        keys.push_back(home_dir() + "/.ssh/" + name);
  for (const std::string &k : keys) {
    if (file_exists(k))
      out.push_back({K::key, k});
    else
      std::fprintf(stderr, "Warning: Identity file %s not accessible.\n",
                   k.c_str());
  }
  out.push_back({K::password, ""});
  return out;
}

// The member of the session description, as the library wrote it.
std::string described(const char *member) {
  Json info;
  json_parse(sftp_client_session_info(), info);
  return info[member].text;
}

const char kChanged[] =
    "@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@\n"
    "@    WARNING: REMOTE HOST IDENTIFICATION HAS CHANGED!     @\n"
    "@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@\n"
    "IT IS POSSIBLE THAT SOMEONE IS DOING SOMETHING NASTY!\n"
    "Someone could be eavesdropping on you right now (man-in-the-middle "
    "attack)!\n"
    "It is also possible that a host key has just been changed.\n"
    "The fingerprint for the %s key sent by the remote host is\n%s.\n"
    "Please contact your system administrator.\n"
    "Add correct host key in %s to get rid of this message.\n"
    "Offending %s key in %s:%d\n"
    "  remove with:\n  ssh-keygen -f '%s' -R '%s'\n"
    "Host key for %s has changed and you have requested strict checking.\n"
    "Host key verification failed.\n";

const char kRevoked[] =
    "@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@\n"
    "@       WARNING: REVOKED HOST KEY DETECTED!               @\n"
    "@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@@\n"
    "The %s host key for %s is marked as revoked.\n"
    "This could mean that a stolen key is being used to\n"
    "impersonate this host.\n"
    "Host key verification failed.\n";

// The server as the questions name it.
struct Seen {
  std::string name, key, fingerprint, label;
};

// Asks whether to trust an unknown key: "yes", "no", or its fingerprint.
bool user_accepts(const Seen &s, bool other_types) {
  std::fprintf(stderr,
               "The authenticity of host '%s' can't be established.\n"
               "%s key fingerprint is %s.\n%s",
               s.name.c_str(), s.label.c_str(), s.fingerprint.c_str(),
               other_types ? "Keys of other types are already known for this "
                             "host.\n"
                           : "");
  std::string answer;
  std::string prompt =
      "Are you sure you want to continue connecting (yes/no)? ";
  while (ask_terminal(prompt, false, answer)) {
    if (answer == "yes" || answer == s.fingerprint) return true;
    if (answer == "no") return false;
    prompt = "Please type 'yes', 'no' or the fingerprint: ";
  }
  return false;
}

// Decides on a key known_hosts does not hold for this name; true to go on.
bool accept_unknown(const Target &t, const Seen &s, bool other_types) {
  Strict mode = t.strict == Strict::unset ? Strict::ask : t.strict;
  int fd = open("/dev/tty", O_RDWR | O_NOCTTY);
  bool tty = fd >= 0;
  if (tty) close(fd);
  bool asked = mode == Strict::ask && tty;
  if (mode == Strict::yes || (mode == Strict::ask && !tty)) {
    std::fprintf(stderr,
                 "No %s host key is known for %s and you have requested "
                 "strict checking.\nHost key verification failed.\n",
                 s.label.c_str(), s.name.c_str());
    return false;
  }
  if (asked && !user_accepts(s, other_types)) {
    std::fprintf(stderr, "Host key verification failed.\n");
    return false;
  }
  std::string error, file = t.known_hosts_files.front();
  if (file == "none") return true;  // UserKnownHostsFile none keeps nothing
  if (add_known_host(file, s.name, s.key, t.hash_known_hosts, error))
    std::fprintf(stderr,
                 "Warning: Permanently added '%s' (%s) to the list of known "
                 "hosts.\n",
                 s.name.c_str(), s.label.c_str());
  else
    std::fprintf(stderr,
                 "Failed to add the host to the list of known hosts (%s): "
                 "%s\n",
                 file.c_str(), error.c_str());
  return true;
}

// Judges the key a server showed against what known_hosts holds; true when
// it may be pinned and the login go on. Prints OpenSSH's warnings.
bool judge_host_key(const Target &t, const std::vector<KnownKey> &known) {
  Seen s{known_host_name(t.host, t.port), described("host_key"),
         described("fingerprint_sha256"), ""};
  s.label = key_type_label(s.key);
  if (s.key.empty()) {
    std::fprintf(stderr, "sftpc: %s\n", sftp_client_last_error());
    return false;
  }
  const KnownKey *same_type = nullptr;
  for (const KnownKey &k : known) {
    if (k.key == s.key && k.revoked) {
      std::fprintf(stderr, kRevoked, s.label.c_str(), s.name.c_str());
      return false;
    }
    if (k.key == s.key) return true;
    if (!k.revoked && same_type == nullptr && key_type_label(k.key) == s.label)
      same_type = &k;
  }
  if (same_type != nullptr) {
    const char *file = same_type->file.c_str(), *name = s.name.c_str();
    std::fprintf(stderr, kChanged, s.label.c_str(), s.fingerprint.c_str(),
                 t.known_hosts_files.front().c_str(), s.label.c_str(), file,
                 same_type->line, file, name, name);
    return false;
  }
  return accept_unknown(t, s, !known.empty());
}

// The pin for the first connect: the given fingerprint, the first key
// known_hosts holds for the host, or the probe.
std::string first_pin(const Target &t, const std::vector<KnownKey> &known) {
  if (!t.fingerprint.empty()) return t.fingerprint;
  for (const KnownKey &k : known)
    if (!k.revoked && !key_fingerprint(k.key).empty())
      return key_fingerprint(k.key);
  return kProbePin;
}

int connect_with(const Target &t, const std::string &pin, const Credential &c,
                 std::string &secret) {
  std::string config = config_json(t, pin, c, secret);
  int rc = sftp_client_connect(config.c_str());
  wipe(secret);
  wipe(config);
  return rc;
}

}  // namespace

bool login(const Target &t) {
  // A variable named but not set is a mistake of the command line, found
  // before any connect.
  if (!t.password_env.empty()) env_value(t.password_env, "password");
  if (!t.passphrase_env.empty()) env_value(t.passphrase_env, "passphrase");
  std::vector<std::string> files = t.known_hosts_files;
  files.push_back("/etc/ssh/ssh_known_hosts");
  std::vector<KnownKey> known =
      find_known_keys(files, known_host_name(t.host, t.port));
  std::string pin = first_pin(t, known);
  std::vector<Credential> creds = credentials(t);
  bool host_judged = false, attempted = false;
  std::string secret;
  for (size_t i = 0; i < creds.size();) {
    // The probe needs no credential: it ends before one would be sent.
    Credential none{Credential::Kind::none, ""};
    bool probe = pin == kProbePin;
    if (!probe && !secret_for(t, creds[i], !attempted, secret)) {
      ++i;
      continue;
    }
    attempted = attempted || !probe;
    if (connect_with(t, pin, probe ? none : creds[i], secret) == 0) return true;
    std::string error = sftp_client_last_error();
    // The probe's mismatch is no event of the user's session.
    if (probe) sftp_client_clear_log();
    if (starts_with(error, "host key mismatch") && t.fingerprint.empty() &&
        !host_judged) {
      if (!judge_host_key(t, known)) return false;
      host_judged = true;
      pin = described("fingerprint_sha256");
      continue;
    }
    // An agent that cannot be reached is no reason to stop: the keys and
    // the password follow, as with ssh.
    bool agent = creds[i].kind == Credential::Kind::agent &&
                 error.find("agent") != std::string::npos;
    if (!agent && !starts_with(error, "authentication failed")) {
      std::fprintf(stderr, "sftpc: %s\n", error.c_str());
      return false;
    }
    ++i;
  }
  std::fprintf(stderr, "sftpc: %s\n", sftp_client_last_error());
  return false;
}

bool ask_terminal(const std::string &prompt, bool secret, std::string &answer) {
  answer.clear();
  int fd = open("/dev/tty", O_RDWR | O_NOCTTY);
  if (fd < 0) return false;
  termios old{};
  bool tty = tcgetattr(fd, &old) == 0;
  termios quiet = old;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  if (tty && secret) tcsetattr(fd, TCSAFLUSH, &quiet);
  // Ctrl-C at the prompt must restore echo before the run ends.
  struct sigaction sa {
  }, previous{};
  sa.sa_handler = [](int) { g_prompt_interrupted = 1; };
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, &previous);
  ssize_t ignored = write(fd, prompt.data(), prompt.size());
  char c;
  while (!g_prompt_interrupted && read(fd, &c, 1) == 1 && c != '\n')
    answer += c;
  if (tty && secret) tcsetattr(fd, TCSAFLUSH, &old);
  sigaction(SIGINT, &previous, nullptr);
  if (secret) ignored = write(fd, "\n", 1);
  (void)ignored;
  close(fd);
  if (g_prompt_interrupted) std::exit(kInterrupted);
  return true;
}

bool key_is_encrypted(const std::string &path) {
  std::ifstream in(path);
  std::string line, body;
  bool openssh = false;
  while (std::getline(in, line)) {
    if (line.find("ENCRYPTED") != std::string::npos) return true;
    if (line.find("BEGIN OPENSSH PRIVATE KEY") != std::string::npos)
      openssh = true;
    else if (openssh && line.find("-----") == std::string::npos)
      body += line.substr(0, line.find_last_not_of("\r \t") + 1);
  }
  // "openssh-key-v1\0", then the cipher's name as an SSH string.
  std::string raw;
  if (!openssh || !base64_decode(body, raw) || raw.size() < 19) return false;
  size_t len = (static_cast<unsigned char>(raw[15]) << 24) |
               (static_cast<unsigned char>(raw[16]) << 16) |
               (static_cast<unsigned char>(raw[17]) << 8) |
               static_cast<unsigned char>(raw[18]);
  return raw.compare(19, len, "none") != 0 || len != 4;
}

}  // namespace sftpc
