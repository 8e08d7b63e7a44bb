// ssh_config as OpenSSH's ssh reads it, for the keywords sftpc uses: Host
// blocks chosen by patterns, the first value of each keyword wins, Include
// pulls in other files where it stands. Other keywords are left to ssh.
#include <glob.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>

#include "sftpc.h"
#include "sftpc_ssh.h"

namespace sftpc {
namespace {

std::string lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower((unsigned char)c));
  return s;
}

bool match_here(const char *s, const char *p) {
  for (; *p != '\0'; ++s, ++p) {
    if (*p == '*') {
      for (const char *t = s;; ++t) {
        if (match_here(t, p + 1)) return true;
        if (*t == '\0') return false;
      }
    }
    if (*s == '\0' || (*p != '?' && std::tolower((unsigned char)*p) !=
                                        std::tolower((unsigned char)*s)))
      return false;
  }
  return *s == '\0';
}

// Splits a line into words: blanks (and one '=' after the keyword) separate,
// double quotes group.
Words config_words(const std::string &line) {
  Words out;
  std::string word;
  bool in_word = false, quoted = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted, in_word = true;
    } else if (!quoted &&
               (c == ' ' || c == '\t' || (c == '=' && out.empty()))) {
      if (in_word) out.push_back(word), word.clear(), in_word = false;
    } else {
      word += c, in_word = true;
    }
  }
  if (quoted) throw UsageError("unbalanced quotes in '" + line + "'");
  if (in_word) out.push_back(word);
  return out;
}

long long config_number(const std::string &key, const std::string &v,
                        long long high) {
  char *end = nullptr;
  long long n = std::strtoll(v.c_str(), &end, 10);
  if (v.empty() || *end != '\0' || n < 1 || n > high)
    throw UsageError("bad " + key + " value '" + v + "'");
  return n;
}

Strict strict_value(const std::string &v) {
  std::string w = lower(v);
  if (w == "yes" || w == "true") return Strict::yes;
  if (w == "no" || w == "off" || w == "false") return Strict::no;
  if (w == "ask") return Strict::ask;
  if (w == "accept-new") return Strict::accept_new;
  throw UsageError("bad StrictHostKeyChecking value '" + v + "'");
}

// Applies one keyword; false when sftpc does not use it.
bool apply_keyword(const std::string &key, const Words &w, SshOptions &o) {
  const std::string &v = w[1];
  if (key == "hostname") {
    if (o.hostname.empty()) o.hostname = v;
  } else if (key == "user") {
    if (o.user.empty()) o.user = v;
  } else if (key == "port") {
    if (o.port == 0) o.port = config_number("Port", v, 65535);
  } else if (key == "connecttimeout") {
    if (o.timeout == 0) o.timeout = config_number("ConnectTimeout", v, 86400);
  } else if (key == "stricthostkeychecking") {
    if (o.strict == Strict::unset) o.strict = strict_value(v);
  } else if (key == "hashknownhosts") {
    if (o.hash_known_hosts < 0)
      o.hash_known_hosts = strict_value(v) == Strict::yes ? 1 : 0;
  } else if (key == "identityfile") {
    o.identity_files.push_back(v);
  } else if (key == "userknownhostsfile") {
    // The first line that names files gives them all.
    if (o.known_hosts_files.empty())
      o.known_hosts_files.assign(w.begin() + 1, w.end());
  } else {
    return false;
  }
  return true;
}

// True when a Host line's patterns select host.
bool host_line_matches(const Words &w, const std::string &host) {
  bool matched = false;
  for (size_t k = 1; k < w.size(); ++k) {
    bool negated = w[k][0] == '!';
    if (!match_pattern(host, negated ? w[k].substr(1) : w[k])) continue;
    if (negated) return false;
    matched = true;
  }
  return matched;
}

void read_file(const std::string &path, const std::string &host, SshOptions &o,
               bool must_exist, int depth);

// Reads the files an Include line names; relative names are taken from the
// folder of user files, ~/.ssh, or of system files, /etc/ssh.
void include(const Words &w, const std::string &from, const std::string &host,
             SshOptions &o, int depth) {
  bool system = from.rfind("/etc/ssh/", 0) == 0;
  for (size_t k = 1; k < w.size(); ++k) {
    std::string pattern = expand_tokens(w[k], host, "", 0);
    if (pattern[0] != '/')
      pattern = (system ? "/etc/ssh/" : home_dir() + "/.ssh/") + pattern;
    glob_t g{};
    if (glob(pattern.c_str(), 0, nullptr, &g) == 0)
      for (size_t i = 0; i < g.gl_pathc; ++i)
        read_file(g.gl_pathv[i], host, o, false, depth + 1);
    globfree(&g);
  }
}

void read_file(const std::string &path, const std::string &host, SshOptions &o,
               bool must_exist, int depth) {
  if (depth > 16) throw UsageError("Include nested too deep in " + path);
  std::ifstream in(path);
  if (!in) {
    if (must_exist) throw UsageError("cannot read ssh config '" + path + "'");
    return;
  }
  std::string line;
  bool active = true;
  for (int number = 1; std::getline(in, line); ++number) {
    size_t hash = line.find_first_not_of(" \t\r");
    if (hash == std::string::npos || line[hash] == '#') continue;
    if (line.back() == '\r') line.pop_back();
    Words w = config_words(line);
    if (w.empty()) continue;
    std::string key = lower(w[0]);
    if (w.size() < 2)
      throw UsageError(path + " line " + std::to_string(number) + ": " + w[0] +
                       " needs a value");
    if (key == "host")
      active = host_line_matches(w, host);
    else if (key == "match")
      active = lower(w[1]) == "all";  // the other criteria are left to ssh
    else if (active && key == "include")
      include(w, path, host, o, depth);
    else if (active)
      apply_keyword(key, w, o);
  }
}

}  // namespace

bool match_pattern(const std::string &name, const std::string &pattern) {
  return match_here(name.c_str(), pattern.c_str());
}

bool match_pattern_list(const std::string &name, const std::string &list) {
  Words w{""};
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = std::min(list.find_first_of(", \t", start), list.size());
    if (end > start) w.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return host_line_matches(w, name);
}

void apply_ssh_option(const std::string &line, SshOptions &o) {
  Words w = config_words(line);
  if (w.size() < 2)
    throw UsageError("-o needs Keyword=value, not '" + line + "'");
  if (!apply_keyword(lower(w[0]), w, o))
    throw UsageError("unsupported -o option '" + w[0] +
                     "' (sftpc uses HostName, User, Port, IdentityFile, "
                     "StrictHostKeyChecking, UserKnownHostsFile, "
                     "HashKnownHosts, ConnectTimeout)");
}

void read_ssh_config(const std::string &path, const std::string &host,
                     SshOptions &o, bool must_exist) {
  read_file(path, host, o, must_exist, 0);
}

std::string home_dir() {
  const char *home = std::getenv("HOME");
  if (home != nullptr && home[0] != '\0') return home;
  const passwd *pw = getpwuid(getuid());
  return pw != nullptr && pw->pw_dir != nullptr ? pw->pw_dir : "/";
}

std::string login_name() {
  const passwd *pw = getpwuid(getuid());
  if (pw != nullptr && pw->pw_name != nullptr) return pw->pw_name;
  const char *user = std::getenv("USER");
  return user != nullptr ? user : "";
}

std::string expand_tokens(const std::string &text, const std::string &host,
                          const std::string &user, long long port) {
  std::string out;
  size_t k = 0;
  if (text == "~" || text.rfind("~/", 0) == 0) out = home_dir(), k = 1;
  for (; k < text.size(); ++k) {
    if (text[k] != '%' || k + 1 == text.size()) {
      out += text[k];
      continue;
    }
    switch (text[++k]) {
      case 'd':
        out += home_dir();
        break;
      case 'u':
        out += login_name();
        break;
      case 'h':
        out += host;
        break;
      case 'r':
        out += user;
        break;
      case 'p':
        out += std::to_string(port == 0 ? 22 : port);
        break;
      case '%':
        out += '%';
        break;
      default:
        throw UsageError("unknown token %" + std::string(1, text[k]) + " in '" +
                         text + "'");
    }
  }
  return out;
}

}  // namespace sftpc
