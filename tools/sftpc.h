// sftpc, a command-line client over the library's public header. The parts
// share these declarations: the settings and options of one run (sftpc.cpp),
// the commands (sftpc_commands.cpp) and the transfer runner with its
// progress line (sftpc_progress.cpp).
#pragma once

#include <cstdio>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace sftpc {

// Exit statuses.
constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr int kInterrupted = 130;

// A mistake in the command line, a batch line or the config file.
struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Where and how to log in, as the command line (and --config) gave it; the
// ssh_config files fill in what is left (see sftpc_ssh.h). Secrets are never
// held here, only the names of the environment variables that hold them.
struct Settings {
  std::string host, user, key, password_env, passphrase_env, fingerprint;
  long long port = 0;                    // 0: not given
  long long timeout = 0;                 // seconds; 0: not given
  std::vector<std::string> identities;   // -i, in order
  std::vector<std::string> ssh_options;  // -o, in order
  std::string ssh_config;                // -F, or empty for the usual files
  bool inplace = false;  // --inplace: uploads and downloads write in place
};

// What shapes one command's output and transfer.
struct Options {
  bool json = false;
  bool scp = false;
  bool progress = true;
  int mode = 0;  // permission bits of an SCP upload; 0: the library's 0644
};

using Words = std::vector<std::string>;

// The one session of a run, opened by the first command that needs it.
class Session {
 public:
  explicit Session(const Settings &s) : settings_(s) {}
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;
  // Connects unless connected; false after printing why it could not.
  bool ensure();
  // Disconnects if connected.
  void close();

 private:
  const Settings &settings_;
  bool open_ = false;
};

// Runs one command (words[0]) with its arguments; returns an exit status.
int run_command(const Words &words, const Options &opt, Session &session);

// The interactive shell: reads lines with editing, history and completion
// and hands each to run_line, the runner that batch mode uses too.
int run_shell(Session &session,
              const std::function<int(const std::string &line)> &run_line);

// The reading of the password: from the environment variable, else from a
// prompt on the terminal without echo. Throws UsageError when neither works.
std::string read_password(const Settings &s);

// Runs copy() on a worker thread while this thread draws its progress on
// standard error; Ctrl-C cancels it through the library. Returns kOk,
// kFailed (the library's last-error text says why) or kInterrupted.
int run_transfer(const std::function<int()> &copy, const Options &opt);

// An octal mode of at most four digits, such as 644 or 0755; throws
// UsageError for anything else.
int parse_mode(const std::string &text);

// Prints the library's activity log as lines: local time, then the line.
void print_log(std::FILE *out);

// The text with control characters shown as '?', so that names from a
// server cannot steer the terminal.
std::string printable(const std::string &text);

}  // namespace sftpc
