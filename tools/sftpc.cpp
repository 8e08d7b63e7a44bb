// sftpc: a command-line SSH file-transfer client over the library's public
// header. One command per run, or a batch of them over one session. This
// unit reads the command line, the config file and batch lines, and opens the
// session; the commands live in sftpc_commands.cpp.
#include "sftpc.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "sftpc_json.h"
#include "tarnwick_sftp.h"

namespace sftpc {
namespace {

const char kHelp[] = R"(usage: sftpc [options] COMMAND [ARGS...]
       sftpc [options] --batch FILE|-

A command-line SSH file-transfer client (SFTP and SCP).

Connection settings:
  --host HOST            server name or address (required)
  --port N               SSH port (default 22)
  --user NAME            login name (required)
  --key FILE             log in with this private key file instead of a password
  --passphrase-env VAR   read the key's passphrase from environment variable VAR
  --password-env VAR     read the password from environment variable VAR; without
                         it (and without --key) the password is asked for on the
                         terminal, without echo. A password is never taken from
                         the command line, never read from a file, never printed.
  --timeout SECONDS      bound of every network wait (default 15)
  --fingerprint FP       refuse the server unless its host key has this
                         fingerprint: the SHA-1 form that 'info' shows
                         (aa:bb:...) or OpenSSH's SHA256:... form
  --config FILE          read settings from a JSON object whose keys are the
                         long option names with '_' for '-', for example
                         {"host":"example.org","user":"me","key":"/home/me/.ssh/id_ed25519",
                          "password_env":"SFTP_PASSWORD","port":22,"timeout":15,
                          "fingerprint":"SHA256:..."}
                         options on the command line override it

Output and transfers:
  --json                 print the library's own JSON instead of text
  --scp                  get and put use SCP instead of SFTP
  --mode OCTAL           permission bits of an SCP upload (default 644)
  --no-progress          draw no progress line
  -v, --verbose          print the library's activity log on standard error at exit
  -b, --batch FILE       run the commands of FILE ('-': standard input) one per
                         line over one session; stop at the first failure,
                         except on lines that begin with '-'. Blank lines and
                         lines beginning with '#' are skipped. A line may hold
                         --json, --scp and --mode; words may be quoted.
  -h, --help             show this text

Commands:
  info                   describe the session
  ls [PATH]              list a remote directory (default: the home directory)
  stat PATH              describe one remote path
  realpath [PATH]        the canonical absolute form of a remote path
  mkdir PATH             create a remote directory
  rmdir PATH             remove an empty remote directory
  rm PATH                delete a remote file
  mv FROM TO             rename a remote path
  chmod MODE PATH        set permission bits, MODE in octal (644)
  get REMOTE [LOCAL]     download a file (LOCAL may be a folder)
  put LOCAL [REMOTE]     upload a file (REMOTE may be a directory)
  lls [PATH]             list a local folder (default: the current one)
  log                    the library's activity log of this session
  version                the versions of sftpc and of the library

A transfer shows a progress line (percent, bytes, rate, time left) on a
terminal, or a plain line each second otherwise; Ctrl-C cancels it, removes
a partial download and exits with status 130. Exit status: 0 success, 1 a
failure (the reason on standard error), 2 a usage mistake, 130 interrupted.

Example:
  SFTP_PASSWORD=... sftpc --host example.org --user me --password-env SFTP_PASSWORD ls /tmp
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
// on the command line.
enum class Scope { setting, command, run };

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

// Reads options and words from args. Options may stand anywhere, and "--"
// ends them; a batch line may hold only the options of one command.
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
    size_t eq = a.rfind("--", 0) == 0 ? a.find('=') : std::string::npos;
    std::string name = a.substr(0, eq), value;
    const Flag *f = find_flag(name);
    if (f == nullptr && !inv.words.empty()) {  // the command's own, as get -r
      inv.words.push_back(a);
      continue;
    }
    if (f == nullptr) throw UsageError("unknown option '" + name + "'");
    if (batch_line && f->scope != Scope::command)
      throw UsageError("option " + name + " cannot be used in a batch line");
    if (eq != std::string::npos) {
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

std::string env_value(const std::string &var, const char *what) {
  const char *v = std::getenv(var.c_str());
  if (v == nullptr)
    throw UsageError(std::string(what) + " variable " + var + " is not set");
  return v;
}

// The library's configuration, secrets included: it is handed to the
// library and never printed.
std::string config_json(const Settings &s, const std::string &secret) {
  std::string c =
      "{\"host\":" + json_quote(s.host) + ",\"user\":" + json_quote(s.user);
  if (s.port != 0) c += ",\"port\":" + std::to_string(s.port);
  if (s.timeout != 0)
    c += ",\"timeout_ms\":" + std::to_string(s.timeout * 1000);
  if (!s.fingerprint.empty())
    c += ",\"host_fingerprint\":" + json_quote(s.fingerprint);
  if (!s.key.empty())
    c += ",\"private_key\":" + json_quote(s.key) +
         ",\"passphrase\":" + json_quote(secret);
  else
    c += ",\"password\":" + json_quote(secret);
  return c + "}";
}

// Overwrites a text that held a secret before it is released.
void wipe(std::string &s) {
  volatile char *p = &s[0];
  for (size_t k = 0; k < s.size(); ++k) p[k] = 0;
  s.clear();
}

volatile std::sig_atomic_t g_prompt_interrupted = 0;

}  // namespace

std::string read_password(const Settings &s) {
  if (!s.password_env.empty()) return env_value(s.password_env, "password");
  int fd = open("/dev/tty", O_RDWR | O_NOCTTY);
  if (fd < 0)
    throw UsageError(
        "no password: give --password-env VAR or --key FILE (no terminal to "
        "ask on)");
  std::string prompt = s.user + "@" + s.host + "'s password: ";
  termios old{};
  bool tty = tcgetattr(fd, &old) == 0;
  termios quiet = old;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  if (tty) tcsetattr(fd, TCSAFLUSH, &quiet);
  // Ctrl-C at the prompt must restore echo before the run ends.
  struct sigaction sa {
  }, previous{};
  sa.sa_handler = [](int) { g_prompt_interrupted = 1; };
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, &previous);
  ssize_t ignored = write(fd, prompt.data(), prompt.size());
  std::string password;
  char c;
  while (!g_prompt_interrupted && read(fd, &c, 1) == 1 && c != '\n')
    password += c;
  if (tty) tcsetattr(fd, TCSAFLUSH, &old);
  sigaction(SIGINT, &previous, nullptr);
  ignored = write(fd, "\n", 1);
  (void)ignored;
  close(fd);
  if (g_prompt_interrupted) std::exit(kInterrupted);
  return password;
}

Session::~Session() { close(); }

void Session::close() {
  if (open_) sftp_client_disconnect();
  open_ = false;
}

bool Session::ensure() {
  if (open_) return true;
  const Settings &s = settings_;
  if (s.host.empty()) throw UsageError("--host is required");
  if (s.user.empty()) throw UsageError("--user is required");
  std::string secret = !s.key.empty()
                           ? (s.passphrase_env.empty()
                                  ? ""
                                  : env_value(s.passphrase_env, "passphrase"))
                           : read_password(s);
  std::string config = config_json(s, secret);
  int rc = sftp_client_connect(config.c_str());
  wipe(secret);
  wipe(config);
  if (rc != 0) {
    std::fprintf(stderr, "sftpc: %s\n", sftp_client_last_error());
    return false;
  }
  open_ = true;
  return true;
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
  if (!inv.batch.empty() && !inv.words.empty())
    throw UsageError("--batch takes no command");
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
