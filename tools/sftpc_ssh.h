// What sftpc shares with OpenSSH's client: the ssh_config files
// (sftpc_ssh_config.cpp), the known_hosts files (sftpc_ssh_hosts.cpp), and
// the login that uses both: host key check, then the credentials in
// OpenSSH's order (sftpc_ssh_login.cpp).
#pragma once

#include <string>
#include <vector>

namespace sftpc {

// The local user's home folder ($HOME, else the password database's) and
// login name.
std::string home_dir();
std::string login_name();

// How an unknown or changed host key is met (StrictHostKeyChecking).
enum class Strict { unset, ask, yes, no, accept_new };

// The ssh_config keywords that sftpc uses. Each holds the first value that
// was given (the command line's first, then the files', top to bottom);
// IdentityFile and UserKnownHostsFile collect every value, as ssh does.
struct SshOptions {
  std::string hostname, user;
  long long port = 0;     // 0: not given
  long long timeout = 0;  // ConnectTimeout in seconds; 0: not given
  Strict strict = Strict::unset;
  int hash_known_hosts = -1;  // -1: not given
  std::vector<std::string> identity_files, known_hosts_files;
};

// True when name matches the pattern: '*' any run of characters, '?' any one
// character; letters compare without regard to case.
bool match_pattern(const std::string &name, const std::string &pattern);
// True when name matches a list of patterns (separated by commas or blanks)
// of which none that begins with '!' matches its rest, and another matches.
bool match_pattern_list(const std::string &name, const std::string &list);

// Applies one "Keyword value" or "Keyword=value" line, as -o gives it.
// Throws UsageError for a keyword that sftpc does not use or a bad value.
void apply_ssh_option(const std::string &line, SshOptions &o);
// Applies the blocks of an ssh_config file that match host (the name given
// on the command line). A missing file is skipped unless must_exist.
void read_ssh_config(const std::string &path, const std::string &host,
                     SshOptions &o, bool must_exist);
// Expands a leading "~" and the tokens %d (home), %u (local user), %h (remote
// host), %r (remote user), %p (port) and %%.
std::string expand_tokens(const std::string &text, const std::string &host,
                          const std::string &user, long long port);

// The name known_hosts uses for a server: "host", or "[host]:port" off 22.
std::string known_host_name(const std::string &host, long long port);

// One key of the known_hosts files that names a host.
struct KnownKey {
  std::string key;  // "<type> <base64>", as the session description has it
  std::string file;
  int line = 0;
  bool revoked = false;  // an @revoked line
};
// The keys that the files hold for name (plain or hashed, patterns too).
std::vector<KnownKey> find_known_keys(const std::vector<std::string> &files,
                                      const std::string &name);
// The hashed form of a name, "|1|salt|hmac", with the given base64 salt; an
// empty salt draws a new one.
std::string hash_host_name(const std::string &name,
                           const std::string &salt_b64);
// Appends "<name> <key>" to the file (the name hashed when asked), making
// its folder when needed. False, with the reason in error, when it cannot.
bool add_known_host(const std::string &file, const std::string &name,
                    const std::string &key, bool hashed, std::string &error);
// OpenSSH's fingerprint of a key text "<type> <base64>": "SHA256:..." with
// 43 base64 digits, or "" when the text holds no valid base64 key.
std::string key_fingerprint(const std::string &key);
// The word OpenSSH names a key type with: "ED25519", "RSA", "ECDSA", ...
std::string key_type_label(const std::string &key);

// Decodes base64, padded or not; false on any other character.
bool base64_decode(const std::string &in, std::string &out);

// Asks a question on the terminal; false when there is none. The answer is
// read without echo when secret is set; Ctrl-C ends the run (status 130).
bool ask_terminal(const std::string &prompt, bool secret, std::string &answer);
// True when a private key file is protected by a passphrase (OpenSSH's own
// format, or PEM with an ENCRYPTED header).
bool key_is_encrypted(const std::string &path);

// Where and how one run logs in, once the command line and the ssh_config
// files are read.
struct Target {
  std::string alias;  // the host name given, which Host patterns match
  std::string host, user;
  long long port = 22, timeout = 0;
  std::vector<std::string> keys;  // identity files given, tokens expanded
  std::string password_env, passphrase_env, fingerprint;
  Strict strict = Strict::ask;
  bool hash_known_hosts = false;
  std::vector<std::string> known_hosts_files;  // the first gets new keys
  bool safe_replace = true;
};

// Opens the session: checks the host key against known_hosts (unless a
// fingerprint is pinned), then tries the credentials in OpenSSH's order.
// False after printing why not. Throws UsageError when no credential can be
// had at all (no password and no terminal to ask on).
bool login(const Target &t);

}  // namespace sftpc
