// sftpc: a command-line SSH file-transfer client over the library's public
// header. One command per run, or a batch of them over one session. This
// unit reads the command line, the config file and batch lines, and opens the
// session; the commands live in sftpc_commands.cpp.
#include "sftpc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "sftpc_json.h"
#include "sftpc_ssh.h"
#include "tarnwick_sftp.h"

namespace sftpc {
namespace {

const char kHelp[] =
    R"(usage: sftpc [options] [user@]host[:port] [command [args...]]
       sftpc [options] -b batchfile [user@]host[:port]
       sftpc [options] --host HOST [command [args...]]

An SSH file-transfer client (SFTP and SCP) that reads OpenSSH's files:
~/.ssh/config, ~/.ssh/known_hosts and the keys in ~/.ssh. With a command it
runs that one command; with -b it runs a batch; with neither it starts the
interactive shell (prompt "sftpc> "). See sftpc(1).

OpenSSH's options (before the destination):
  -P port                SSH port (default 22, or the config's Port)
  -i identity_file       log in with this private key (may be repeated)
  -F ssh_config          read this file instead of ~/.ssh/config and
                         /etc/ssh/ssh_config ('none': no file)
  -o Keyword=value       as in ssh_config: HostName, User, Port, IdentityFile,
                         StrictHostKeyChecking (ask, yes, accept-new, no),
                         UserKnownHostsFile, HashKnownHosts, ConnectTimeout
  -b, --batch FILE       run the commands of FILE ('-': standard input) one per
                         line over one session; stop at the first failure,
                         except on lines that begin with '-'. Blank lines and
                         lines beginning with '#' are skipped. A line may hold
                         --json, --scp and --mode; words may be quoted.

Connection settings (long options may stand anywhere):
  --host HOST            server name or address, instead of the destination
  --port N               SSH port
  --user NAME            login name (default: the config's User, else yours)
  --key FILE             log in with this private key file
  --passphrase-env VAR   read the key's passphrase from environment variable
                         VAR; without it an encrypted key's passphrase is asked
                         for on the terminal, without echo
  --password-env VAR     log in with the password in environment variable VAR,
                         and with nothing else. A password is never taken from
                         the command line, never read from a file, never
                         printed.
  --timeout SECONDS      bound of every network wait (default 15)
  --fingerprint FP       accept only the host key with this fingerprint: the
                         SHA-1 form that 'info' shows (aa:bb:...) or OpenSSH's
                         SHA256:... form; known_hosts is then not consulted
  --config FILE          read settings from a JSON object whose keys are the
                         long option names with '_' for '-', for example
                         {"host":"example.org","user":"me","key":"/home/me/.ssh/id_ed25519",
                          "password_env":"SFTP_PASSWORD","port":22,"timeout":15,
                          "fingerprint":"SHA256:..."}
                         options on the command line override it

Logging in: without --password-env, sftpc tries the agent (SSH_AUTH_SOCK),
then the identity files (-i, --key, IdentityFile; else ~/.ssh/id_ed25519,
id_ecdsa and id_rsa, those that exist), then asks for the password on the
terminal. The host key is checked against ~/.ssh/known_hosts first: a known
key must match (a changed key is refused, exit status 1); an unknown host is
shown with its SHA256 fingerprint and asked about on a terminal ("yes" adds
it to known_hosts), and refused without one unless StrictHostKeyChecking is
accept-new or no, which add it without asking.

Output and transfers:
  --json                 print the library's own JSON instead of text
  --scp                  get and put use SCP instead of SFTP
  --mode OCTAL           permission bits of an SCP upload (default 644)
  --inplace              write over the target file as the copy goes; by
                         default a download or SFTP upload goes to a temporary
                         file that replaces the target only once it is whole
  --no-progress          draw no progress line
  -v, --verbose          print the library's activity log on standard error at exit
  -h, --help             show this text

Commands (remote paths are relative to the remote current folder; get, put,
rm and ls take *, ? and [...] patterns in the last path element):
  info                   describe the session (host key fingerprints included)
  ls [PATH]              list a remote directory (default: the current one)
  stat PATH              describe one remote path
  realpath [PATH]        the canonical absolute form of a remote path
  mkdir PATH             create a remote directory
  rmdir PATH             remove an empty remote directory
  rm PATH                delete a remote file
  mv FROM TO             rename a remote path
  chmod MODE PATH        set permission bits, MODE in octal (644)
  get [-r] [-p] REMOTE [LOCAL]
                         download a file (LOCAL may be a folder); -r a whole
                         folder tree, -p keep modification time and mode bits
  put [-r] [-p] LOCAL [REMOTE]
                         upload a file (REMOTE may be a directory); -r, -p
                         as for get
  lls [PATH]             list a local folder (default: the current one)
  log                    the library's activity log of this session
  version                the versions of sftpc and of the library
  cd [PATH]              change the remote folder (default: the home)
  pwd                    print the remote folder
  lcd [PATH]             change the local folder
  lpwd                   print the local folder
  help                   list the commands
  exit, quit, bye        leave the shell

A transfer shows a progress line (percent, bytes, rate, time left) on a
terminal, or a plain line each second otherwise; Ctrl-C cancels it, removes
a partial download and exits with status 130 (in the shell: returns to the
prompt). Exit status: 0 success, 1 a failure (the reason on standard error),
2 a usage mistake, 130 interrupted.

Examples:
  sftpc me@example.org ls /srv
  sftpc -P 2222 -i ~/.ssh/deploy_ed25519 deploy@example.org put site.tar.gz
  sftpc -b jobs.txt backup
  SFTP_PASSWORD=... sftpc --password-env SFTP_PASSWORD me@example.org info
)";

// Everything one run was asked to do.
struct Invocation {
  Settings settings;
  Options options;
  std::string batch;  // a batch file, "-" for standard input, or empty
  bool verbose = false;
  bool help = false;
  std::string config;  // the --config file, or empty
  Words words;
};

long long parse_number(const std::string &flag, const std::string &v,
                       long long low, long long high) {
  char *end = nullptr;
  long long n = std::strtoll(v.c_str(), &end, 10);
  if (v.empty() || *end != '\0' || n < low || n > high)
    throw UsageError(flag + " needs a number from " + std::to_string(low) +
                     " to " + std::to_string(high));
  return n;
}

// Where an option may stand: a connection setting on the command line or in
// the config file; a command option also in a batch line; a run option only
// on the command line; OpenSSH's short options only before the destination.
enum class Scope { setting, command, run, ssh };

// One option: its name, whether it takes a value, where it may stand, and
// what it sets.
struct Flag {
  const char *name;
  bool takes_value;
  Scope scope;
  void (*set)(Invocation &, const std::string &);
};

using V = const std::string &;
const Flag kFlags[] = {
    {"--host", true, Scope::setting,
     [](Invocation &i, V v) { i.settings.host = v; }},
    {"--user", true, Scope::setting,
     [](Invocation &i, V v) { i.settings.user = v; }},
    {"--port", true, Scope::setting,
     [](Invocation &i, V v) {
       i.settings.port = parse_number("--port", v, 1, 65535);
     }},
    {"--key", true, Scope::setting,
     [](Invocation &i, V v) { i.settings.key = v; }},
    {"--passphrase-env", true, Scope::setting,
     [](Invocation &i, V v) { i.settings.passphrase_env = v; }},
    {"--password-env", true, Scope::setting,
     [](Invocation &i, V v) { i.settings.password_env = v; }},
    {"--timeout", true, Scope::setting,
     [](Invocation &i, V v) {
       i.settings.timeout = parse_number("--timeout", v, 1, 86400);
     }},
    {"--fingerprint", true, Scope::setting,
     [](Invocation &i, V v) { i.settings.fingerprint = v; }},
    {"-P", true, Scope::ssh,
     [](Invocation &i, V v) {
       i.settings.port = parse_number("-P", v, 1, 65535);
     }},
    {"-i", true, Scope::ssh,
     [](Invocation &i, V v) { i.settings.identities.push_back(v); }},
    {"-F", true, Scope::ssh,
     [](Invocation &i, V v) { i.settings.ssh_config = v; }},
    {"-o", true, Scope::ssh,
     [](Invocation &i, V v) { i.settings.ssh_options.push_back(v); }},
    {"--inplace", false, Scope::run,
     [](Invocation &i, V) { i.settings.inplace = true; }},
    {"--json", false, Scope::command,
     [](Invocation &i, V) { i.options.json = true; }},
    {"--scp", false, Scope::command,
     [](Invocation &i, V) { i.options.scp = true; }},
    {"--mode", true, Scope::command,
     [](Invocation &i, V v) { i.options.mode = parse_mode(v); }},
    {"--no-progress", false, Scope::run,
     [](Invocation &i, V) { i.options.progress = false; }},
    {"--verbose", false, Scope::run,
     [](Invocation &i, V) { i.verbose = true; }},
    {"--batch", true, Scope::run, [](Invocation &i, V v) { i.batch = v; }},
    {"--config", true, Scope::run, [](Invocation &i, V v) { i.config = v; }},
    {"--help", false, Scope::run, [](Invocation &i, V) { i.help = true; }},
};

const Flag *find_flag(const std::string &name) {
  const char *shorts[][2] = {
      {"-v", "--verbose"}, {"-b", "--batch"}, {"-h", "--help"}};
  std::string full = name;
  for (const auto &s : shorts)
    if (name == s[0]) full = s[1];
  for (const Flag &f : kFlags)
    if (full == f.name) return &f;
  return nullptr;
}

// Applies the members of a --config file, each as its long option would.
void apply_config(Invocation &inv, const std::string &path) {
  std::ifstream in(path);
  if (!in) throw UsageError("cannot read config file '" + path + "'");
  std::stringstream text;
  text << in.rdbuf();
  Json cfg;
  if (!json_parse(text.str(), cfg) || !cfg.is(Json::Kind::object))
    throw UsageError("config file '" + path + "' is not a JSON object");
  for (const auto &m : cfg.members) {
    if (m.first == "password" || m.first == "passphrase")
      throw UsageError("config file '" + path +
                       "': a secret is never read from a file; name its "
                       "environment variable in \"" +
                       m.first + "_env\"");
    std::string name = "--" + m.first;
    for (char &c : name) c = c == '_' ? '-' : c;
    const Flag *f = find_flag(name);
    if (f == nullptr || f->scope != Scope::setting)
      throw UsageError("config file '" + path + "': unknown setting \"" +
                       m.first + "\"");
    f->set(inv, m.second.text);
  }
}

// Reads options and words from args. Long options may stand anywhere, and
// "--" ends them; OpenSSH's -P, -i, -F and -o only before the first word.
// After the first word, any other word that begins with one '-' is the
// command's own (get -r). A batch line may hold only the options of one
// command.
void parse_args(const Words &args, Invocation &inv, bool batch_line) {
  bool options_done = false;
  for (size_t k = 0; k < args.size(); ++k) {
    const std::string &a = args[k];
    if (options_done || a.size() < 2 || a[0] != '-') {
      inv.words.push_back(a);
      continue;
    }
    if (a == "--") {
      options_done = true;
      continue;
    }
    bool is_long = a.rfind("--", 0) == 0;
    size_t eq = is_long ? a.find('=') : std::string::npos;
    // Short options may carry their value: -P2222, -oPort=2222.
    std::string name = is_long ? a.substr(0, eq) : a.substr(0, 2), value;
    const Flag *f = find_flag(name);
    if (f != nullptr && f->scope == Scope::ssh && !inv.words.empty())
      f = nullptr;
    if (f == nullptr && !is_long && !inv.words.empty()) {
      inv.words.push_back(a);
      continue;
    }
    if (f == nullptr) throw UsageError("unknown option '" + a + "'");
    if (batch_line && f->scope != Scope::command)
      throw UsageError("option " + name + " cannot be used in a batch line");
    if (!is_long && a.size() > 2) {
      if (!f->takes_value) throw UsageError("unknown option '" + a + "'");
      value = a.substr(2);
    } else if (eq != std::string::npos) {
      if (!f->takes_value) throw UsageError(name + " takes no value");
      value = a.substr(eq + 1);
    } else if (f->takes_value) {
      if (++k >= args.size()) throw UsageError(name + " needs a value");
      value = args[k];
    }
    f->set(inv, value);
  }
}

// Splits a batch line into words: blanks separate, single and double quotes
// group, a backslash takes the next character as it is.
Words split_line(const std::string &line) {
  Words out;
  std::string word;
  bool in_word = false;
  char quote = 0;
  for (size_t k = 0; k < line.size(); ++k) {
    char c = line[k];
    if (c == '\\' && quote != '\'' && k + 1 < line.size()) {
      word += line[++k], in_word = true;
    } else if (quote != 0) {
      if (c == quote)
        quote = 0;
      else
        word += c;
    } else if (c == '"' || c == '\'') {
      quote = c, in_word = true;
    } else if (c == ' ' || c == '\t') {
      if (in_word) out.push_back(word), word.clear(), in_word = false;
    } else {
      word += c, in_word = true;
    }
  }
  if (quote != 0) throw UsageError("unterminated quote");
  if (in_word) out.push_back(word);
  return out;
}

// Runs one batch line; returns its exit status and whether a failure may be
// ignored.
int run_line(std::string line, const Invocation &base, Session &session,
             bool &may_fail) {
  may_fail = !line.empty() && line[0] == '-';
  if (may_fail) line.erase(0, 1);
  Invocation inv;
  inv.options = base.options;
  try {
    parse_args(split_line(line), inv, true);
    if (inv.words.empty()) throw UsageError("no command");
    return run_command(inv.words, inv.options, session);
  } catch (const UsageError &e) {
    std::fprintf(stderr, "sftpc: %s\n", e.what());
    return kUsage;
  }
}

// Runs the commands of a batch file over one session, echoing each one.
int run_batch(const Invocation &inv, Session &session) {
  std::ifstream file;
  if (inv.batch != "-") {
    file.open(inv.batch);
    if (!file) throw UsageError("cannot read batch file '" + inv.batch + "'");
  }
  std::istream &in = inv.batch == "-" ? std::cin : file;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    line.erase(0, start);
    std::printf("sftpc> %s\n", printable(line).c_str());
    std::fflush(stdout);
    bool may_fail = false;
    int rc = run_line(line, inv, session, may_fail);
    if (rc == kInterrupted || (rc != kOk && !may_fail)) return rc;
  }
  return kOk;
}

// Takes the destination, [user@]host[:port] ("[::1]:2222" for an IPv6
// address), from the first word when no --host or --config named the host.
void take_destination(Invocation &inv) {
  // The local commands need no destination.
  if (!inv.settings.host.empty() || inv.words.empty() ||
      inv.words[0] == "version" || inv.words[0] == "lls")
    return;
  const std::string given = inv.words.front();
  std::string d = given;
  inv.words.erase(inv.words.begin());
  size_t at = d.rfind('@');
  if (at != std::string::npos) inv.settings.user = d.substr(0, at);
  d.erase(0, at == std::string::npos ? 0 : at + 1);
  size_t colon = d.rfind(':');
  bool bracketed = d.size() > 1 && d[0] == '[';
  size_t close = d.find(']');
  if (bracketed && close != std::string::npos) {
    if (close + 1 < d.size() && d[close + 1] == ':')
      inv.settings.port = parse_number("port", d.substr(close + 2), 1, 65535);
    d = d.substr(1, close - 1);
  } else if (colon != std::string::npos && d.find(':') == colon) {
    inv.settings.port = parse_number("port", d.substr(colon + 1), 1, 65535);
    d.erase(colon);
  }
  if (d.empty() || (inv.settings.user.empty() && at != std::string::npos))
    throw UsageError("bad destination '" + given + "'");
  inv.settings.host = d;
}

// Reads the ssh_config files for the host: -F's file alone, else the
// user's and the system's. Command-line values come first and so win.
SshOptions ssh_options(const Settings &s) {
  SshOptions o;
  for (const std::string &line : s.ssh_options) apply_ssh_option(line, o);
  if (s.ssh_config == "none") return o;
  if (!s.ssh_config.empty()) {
    read_ssh_config(s.ssh_config, s.host, o, true);
  } else {
    read_ssh_config(home_dir() + "/.ssh/config", s.host, o, false);
    read_ssh_config("/etc/ssh/ssh_config", s.host, o, false);
  }
  return o;
}

// Where and how to log in: the command line first, then ssh_config, then
// OpenSSH's defaults.
Target resolve(const Settings &s) {
  if (s.host.empty()) throw UsageError("no destination (host) given");
  SshOptions o = ssh_options(s);
  Target t;
  t.alias = s.host;
  t.host =
      o.hostname.empty() ? s.host : expand_tokens(o.hostname, s.host, "", 0);
  t.user = !s.user.empty() ? s.user : !o.user.empty() ? o.user : login_name();
  t.port = s.port != 0 ? s.port : o.port != 0 ? o.port : 22;
  t.timeout = s.timeout != 0 ? s.timeout : o.timeout;
  Words keys = s.identities;
  if (!s.key.empty()) keys.insert(keys.begin(), s.key);
  keys.insert(keys.end(), o.identity_files.begin(), o.identity_files.end());
  for (const std::string &k : keys)
    t.keys.push_back(expand_tokens(k, t.host, t.user, t.port));
  if (o.known_hosts_files.empty())
    o.known_hosts_files = {"~/.ssh/known_hosts", "~/.ssh/known_hosts2"};
  for (const std::string &f : o.known_hosts_files)
    t.known_hosts_files.push_back(expand_tokens(f, t.host, t.user, t.port));
  t.password_env = s.password_env;
  t.passphrase_env = s.passphrase_env;
  t.fingerprint = s.fingerprint;
  t.strict = o.strict;
  t.hash_known_hosts = o.hash_known_hosts == 1;
  t.safe_replace = !s.inplace;
  return t;
}

}  // namespace

Session::~Session() { close(); }

void Session::close() {
  if (open_) sftp_client_disconnect();
  open_ = false;
}

bool Session::ensure() {
  if (open_) return true;
  open_ = login(resolve(settings_));
  return open_;
}

}  // namespace sftpc

namespace {

int run(int argc, char **argv) {
  using namespace sftpc;
  Words args(argv + 1, argv + argc);
  // The config file is read first, so that every option on the command line
  // overrides it wherever it stands.
  Invocation first, inv;
  parse_args(args, first, false);
  if (!first.config.empty()) apply_config(inv, first.config);
  parse_args(args, inv, false);
  if (inv.help) {
    std::fputs(kHelp, stdout);
    return kOk;
  }
  take_destination(inv);
  if (!inv.batch.empty() && !inv.words.empty())
    throw UsageError("--batch takes no command");
  if (inv.settings.host.empty() && inv.words.empty() && inv.batch.empty())
    throw UsageError("no destination (host) given");
  Session session(inv.settings);
  bool may_fail = false;
  int rc = !inv.batch.empty()   ? run_batch(inv, session)
           : !inv.words.empty() ? run_command(inv.words, inv.options, session)
                                : run_shell(session, [&](const std::string &l) {
                                    return run_line(l, inv, session, may_fail);
                                  });
  session.close();
  if (inv.verbose) {
    std::fprintf(stderr, "--- activity log\n");
    print_log(stderr);
  }
  return rc;
}

}  // namespace

int main(int argc, char **argv) {
  try {
    return run(argc, argv);
  } catch (const sftpc::UsageError &e) {
    std::fprintf(stderr, "sftpc: %s\nTry 'sftpc --help'.\n", e.what());
    return sftpc::kUsage;
  }
}
