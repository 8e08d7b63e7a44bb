// The commands of sftpc. Each one calls the library, copies its result text
// at once (the buffers are shared and overwritten by later calls), and prints
// it for a person or, with --json, as the library wrote it.
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "sftpc_tree.h"
#include "tarnwick_sftp.h"

#ifndef SFTPC_VERSION
#define SFTPC_VERSION "unknown"
#endif

namespace sftpc {
namespace {

// Prints the library's reason for the last failure; returns kFailed.
int failed() {
  std::fprintf(stderr, "sftpc: %s\n", sftp_client_last_error());
  return kFailed;
}

int status(int rc) { return rc == 0 ? kOk : failed(); }

bool g_quit = false;

std::string time_text(long long seconds, const char *format) {
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  char buf[64] = "?";
  if (localtime_r(&t, &tm) != nullptr)
    std::strftime(buf, sizeof buf, format, &tm);
  return buf;
}

// Prints entry records as aligned lines: mode, size, date, name.
void print_entries(std::vector<const Json *> entries) {
  std::sort(entries.begin(), entries.end(), [](const Json *a, const Json *b) {
    return (*a)["name"].text < (*b)["name"].text;
  });
  size_t width = 1;
  for (const Json *e : entries)
    width = std::max(width, (*e)["size"].text.size());
  for (const Json *e : entries) {
    const Json &r = *e;
    std::printf("%s  %*s  %s  %s\n", r["mode"].text.c_str(),
                static_cast<int>(width), r["size"].text.c_str(),
                time_text(r["mtime"].integer(), "%Y-%m-%d %H:%M").c_str(),
                printable(r["name"].text).c_str());
  }
}

// An entry record in the library's own JSON form.
std::string entry_json(const Json &e) {
  return "{\"name\":" + json_quote(e["name"].text) +
         ",\"is_dir\":" + (e["is_dir"].flag ? "true" : "false") +
         ",\"size\":" + e["size"].text + ",\"mtime\":" + e["mtime"].text +
         ",\"mode\":" + json_quote(e["mode"].text) +
         ",\"uid\":" + e["uid"].text + ",\"gid\":" + e["gid"].text + "}";
}

// Shows a listing the library wrote (remote or local); an incomplete one is
// shown with its warning and fails.
int show_listing(const std::string &text, const Options &opt) {
  std::string error = sftp_client_last_error();
  if (opt.json) {
    std::printf("%s\n", text.c_str());
  } else {
    Json list;
    json_parse(text, list);
    std::vector<const Json *> entries;
    for (const Json &e : list.items) entries.push_back(&e);
    print_entries(entries);
  }
  if (error.empty()) return kOk;
  std::fprintf(stderr, "sftpc: %s\n", error.c_str());
  return kFailed;
}

// The entries of one remote listing whose names match the last element.
int show_matches(const std::string &path, const Options &opt) {
  std::string dir = dir_name(path), pattern = base_name(path);
  std::vector<Json> all;
  if (!list_entries(true, dir.empty() ? "." : dir, all)) return kFailed;
  std::vector<const Json *> shown;
  for (const Json &e : all)
    if (fnmatch(pattern.c_str(), e["name"].text.c_str(), FNM_PERIOD) == 0)
      shown.push_back(&e);
  if (opt.json) {
    std::string text;
    for (const Json *e : shown)
      text += (text.empty() ? "" : ",") + entry_json(*e);
    std::printf("[%s]\n", text.c_str());
  } else {
    print_entries(shown);
  }
  return kOk;
}

std::string arg(const Words &a, size_t k) { return k < a.size() ? a[k] : ""; }

bool remote_entry(const std::string &path, Json &entry) {
  return json_parse(sftp_client_stat(path.c_str()), entry) &&
         entry.is(Json::Kind::object) && !entry.members.empty();
}

// Shows one entry, as the library described it.
void show_entry(const std::string &text, const Json &entry,
                const Options &opt) {
  if (opt.json)
    std::printf("%s\n", text.c_str());
  else
    print_entries({&entry});
}

// Lists a folder, the entries that a pattern matches, or, as ls does for a
// path that is no folder, the one file.
int cmd_ls(const Words &a, const std::string &, const Options &opt) {
  std::string path = remote_path(arg(a, 0));
  if (has_pattern(path)) return show_matches(path, opt);
  std::string text = sftp_client_list_dir(path.c_str());
  std::string error = sftp_client_last_error();
  if (text != "[]" || error.empty()) return show_listing(text, opt);
  Json entry;
  if (!path.empty() && remote_entry(path, entry) && !entry["is_dir"].flag) {
    // As JSON, still an array, as every listing is.
    if (opt.json)
      std::printf("[%s]\n", entry_json(entry).c_str());
    else
      print_entries({&entry});
    return kOk;
  }
  std::fprintf(stderr, "sftpc: %s\n", error.c_str());
  return kFailed;
}

int cmd_lls(const Words &a, const std::string &, const Options &opt) {
  std::string path = a.empty() ? "." : a[0];
  return show_listing(sftp_client_list_local(path.c_str()), opt);
}

int cmd_stat(const Words &a, const std::string &, const Options &opt) {
  std::string text = sftp_client_stat(remote_path(a[0]).c_str());
  if (text == "{}") return failed();
  Json entry;
  json_parse(text, entry);
  show_entry(text, entry, opt);
  return kOk;
}

int cmd_info(const Words &, const std::string &, const Options &opt) {
  std::string text = sftp_client_session_info();
  if (opt.json) {
    std::printf("%s\n", text.c_str());
    return kOk;
  }
  Json info;
  json_parse(text, info);
  // The SHA256 fingerprint, as ssh prints it, under a short label.
  const std::pair<const char *, const char *> rows[] = {
      {"connected", "connected"},
      {"host", "host"},
      {"port", "port"},
      {"user", "user"},
      {"auth", "auth"},
      {"banner", "banner"},
      {"fingerprint", "fingerprint"},
      {"sha256", "fingerprint_sha256"},
      {"home", "home"}};
  for (const auto &[label, key] : rows) {
    const Json &v = info[key];
    std::string shown =
        v.is(Json::Kind::boolean) ? (v.flag ? "yes" : "no") : printable(v.text);
    std::printf("%-12s %s\n", label, shown.c_str());
  }
  return kOk;
}

int cmd_log(const Words &, const std::string &, const Options &opt) {
  if (opt.json)
    std::printf("%s\n", sftp_client_get_log());
  else
    print_log(stdout);
  return kOk;
}

int cmd_realpath(const Words &a, const std::string &, const Options &opt) {
  std::string path = sftp_client_realpath(remote_path(arg(a, 0)).c_str());
  if (path.empty()) return failed();
  std::printf("%s\n", opt.json ? json_quote(path).c_str() : path.c_str());
  return kOk;
}

int cmd_version(const Words &, const std::string &, const Options &opt) {
  if (opt.json)
    std::printf("{\"sftpc\":\"%s\",\"library\":\"%s\"}\n", SFTPC_VERSION,
                sftp_client_version());
  else
    std::printf("sftpc %s, library %s\n", SFTPC_VERSION, sftp_client_version());
  return kOk;
}

int cmd_mkdir(const Words &a, const std::string &, const Options &) {
  return status(sftp_client_mkdir(remote_path(a[0]).c_str()));
}
int cmd_rmdir(const Words &a, const std::string &, const Options &) {
  return status(sftp_client_rmdir(remote_path(a[0]).c_str()));
}
int cmd_mv(const Words &a, const std::string &, const Options &) {
  return status(
      sftp_client_rename(remote_path(a[0]).c_str(), remote_path(a[1]).c_str()));
}
int cmd_chmod(const Words &a, const std::string &, const Options &) {
  int mode = parse_mode(a[0]);
  return status(sftp_client_chmod(remote_path(a[1]).c_str(), mode));
}

// Deletes every file that the argument names; a failure does not stop the
// others, but fails the command.
int cmd_rm(const Words &a, const std::string &, const Options &) {
  Words paths;
  if (!expand(true, remote_path(a[0]), paths)) return kFailed;
  int rc = kOk;
  for (const std::string &p : paths)
    if (sftp_client_delete(p.c_str()) != 0) rc = failed();
  return rc;
}

bool local_is_dir(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Where one of the sources goes: into the target when it is a folder,
// beside the current folder when there is no target, else the target itself.
std::string target_of(const std::string &source, const std::string &target,
                      bool is_folder, bool remote) {
  if (target.empty())
    return remote ? remote_path(base_name(source)) : base_name(source);
  return is_folder ? join(target, base_name(source)) : target;
}

// A folder named without -r is refused; one that a pattern matched is passed
// over, as ls would show it.
int folder_without_r(const std::string &from, const char *verb, bool matched) {
  std::fprintf(stderr, "sftpc: '%s' is a folder (use %s -r)\n",
               printable(from).c_str(), verb);
  return matched ? kOk : kFailed;
}

int get_one(const std::string &from, const std::string &to,
            const std::string &flags, bool matched, const Options &opt) {
  bool keep = flags.find('p') != std::string::npos;
  // A path that cannot be described is left to the download, whose
  // failure says why in its own words.
  Json e;
  bool described = remote_entry(from, e);
  if (e["is_dir"].flag) {
    if (flags.find('r') == std::string::npos)
      return folder_without_r(from, "get", matched);
    return get_tree(from, to, keep, opt);
  }
  int rc = copy_file(true, from, to, opt);
  if (rc != kOk || !keep) return rc;
  if (described) return keep_local_attrs(to, e);
  std::fprintf(stderr, "sftpc: cannot keep the time and mode of '%s'\n",
               printable(to).c_str());
  return kFailed;
}

int put_one(const std::string &from, const std::string &to,
            const std::string &flags, bool matched, const Options &opt) {
  bool keep = flags.find('p') != std::string::npos;
  if (local_is_dir(from)) {
    if (flags.find('r') == std::string::npos)
      return folder_without_r(from, "put", matched);
    return put_tree(from, to, keep, opt);
  }
  int rc = copy_file(false, from, to, opt);
  return rc == kOk && keep ? keep_remote_attrs(to, from) : rc;
}

// get and put: every source that the first argument names (a pattern may
// name several) goes to the target; several need a folder as the target.
int transfer(bool download, const Words &a, const std::string &flags,
             const Options &opt) {
  std::string source = a[0];
  while (source.size() > 1 && source.back() == '/') source.pop_back();
  Words sources;
  if (!expand(download, download ? remote_path(source) : source, sources))
    return kFailed;
  std::string target =
      a.size() > 1 ? (download ? a[1] : remote_path(a[1])) : "";
  Json e;
  bool folder = !target.empty() &&
                (download ? local_is_dir(target)
                          : remote_entry(target, e) && e["is_dir"].flag);
  if (sources.size() > 1 && !target.empty() && !folder) {
    std::fprintf(stderr, "sftpc: '%s' is not a folder, and %zu files match\n",
                 printable(target).c_str(), sources.size());
    return kFailed;
  }
  bool matched = has_pattern(a[0]);
  for (const std::string &s : sources) {
    std::string to = target_of(s, target, folder, !download);
    int rc = download ? get_one(s, to, flags, matched, opt)
                      : put_one(s, to, flags, matched, opt);
    if (rc != kOk) return rc;
  }
  return kOk;
}

int cmd_get(const Words &a, const std::string &flags, const Options &opt) {
  return transfer(true, a, flags, opt);
}
int cmd_put(const Words &a, const std::string &flags, const Options &opt) {
  return transfer(false, a, flags, opt);
}

int cmd_cd(const Words &a, const std::string &, const Options &) {
  if (a.empty()) {
    set_remote_folder("");
    return kOk;
  }
  std::string path = sftp_client_realpath(remote_path(a[0]).c_str());
  Json e;
  if (path.empty() || !remote_entry(path, e)) return failed();
  if (!e["is_dir"].flag) {
    std::fprintf(stderr, "sftpc: '%s' is not a folder\n",
                 printable(path).c_str());
    return kFailed;
  }
  set_remote_folder(path);
  return kOk;
}

int cmd_pwd(const Words &, const std::string &, const Options &) {
  std::string path = sftp_client_realpath(remote_path("").c_str());
  if (path.empty()) return failed();
  std::printf("Remote working directory: %s\n", printable(path).c_str());
  return kOk;
}

int cmd_lcd(const Words &a, const std::string &, const Options &) {
  const char *home = std::getenv("HOME");
  std::string path = a.empty() ? (home != nullptr ? home : "/") : a[0];
  if (chdir(path.c_str()) == 0) return kOk;
  std::fprintf(stderr, "sftpc: cannot change local folder to '%s'\n",
               printable(path).c_str());
  return kFailed;
}

int cmd_lpwd(const Words &, const std::string &, const Options &) {
  char buf[4096];
  if (getcwd(buf, sizeof buf) == nullptr) {
    std::fprintf(stderr, "sftpc: cannot tell the local folder\n");
    return kFailed;
  }
  std::printf("Local working directory: %s\n", printable(buf).c_str());
  return kOk;
}

int cmd_help(const Words &a, const std::string &, const Options &) {
  for (const CommandSpec &c : command_table()) {
    if (!a.empty() && a[0] != c.name) continue;
    std::string head = std::string(c.name) + (*c.usage ? " " : "") + c.usage;
    std::printf("%-30s %s\n", head.c_str(), c.summary);
  }
  return kOk;
}

int cmd_quit(const Words &, const std::string &, const Options &) {
  g_quit = true;
  return kOk;
}

const std::vector<CommandSpec> kCommands = {
    {"bye", "", 0, 0, false, "", "", "leave the shell", cmd_quit},
    {"cd", "", 0, 1, true, "r", "[PATH]",
     "change the remote folder (default: the home folder)", cmd_cd},
    {"chmod", "", 2, 2, true, "-r", "MODE PATH",
     "set permission bits, MODE in octal (644)", cmd_chmod},
    {"exit", "", 0, 0, false, "", "", "leave the shell", cmd_quit},
    {"get", "rp", 1, 2, true, "rl", "[-r] [-p] REMOTE [LOCAL]",
     "download files (LOCAL may be a folder)", cmd_get},
    {"help", "", 0, 1, false, "c", "[COMMAND]", "show the commands", cmd_help},
    {"info", "", 0, 0, true, "", "", "describe the session", cmd_info},
    {"lcd", "", 0, 1, false, "l", "[PATH]",
     "change the local folder (default: the home folder)", cmd_lcd},
    {"lls", "", 0, 1, false, "l", "[PATH]",
     "list a local folder (default: the current one)", cmd_lls},
    {"log", "", 0, 0, true, "", "", "the library's activity log", cmd_log},
    {"lpwd", "", 0, 0, false, "", "", "print the local folder", cmd_lpwd},
    {"ls", "la", 0, 1, true, "r", "[-l] [-a] [PATH]",
     "list a remote folder (default: the current one), always in long form "
     "with dot files",
     cmd_ls},
    {"mkdir", "", 1, 1, true, "r", "PATH", "create a remote folder", cmd_mkdir},
    {"mv", "", 2, 2, true, "r", "FROM TO", "rename a remote path", cmd_mv},
    {"put", "rp", 1, 2, true, "lr", "[-r] [-p] LOCAL [REMOTE]",
     "upload files (REMOTE may be a folder)", cmd_put},
    {"pwd", "", 0, 0, true, "", "", "print the remote folder", cmd_pwd},
    {"quit", "", 0, 0, false, "", "", "leave the shell", cmd_quit},
    {"realpath", "", 0, 1, true, "r", "[PATH]",
     "the canonical absolute form of a remote path", cmd_realpath},
    {"rm", "", 1, 1, true, "r", "PATH", "delete remote files", cmd_rm},
    {"rmdir", "", 1, 1, true, "r", "PATH", "remove an empty remote folder",
     cmd_rmdir},
    {"stat", "", 1, 1, true, "r", "PATH", "describe one remote path", cmd_stat},
    {"version", "", 0, 0, false, "", "",
     "the versions of sftpc and the library", cmd_version},
};

// Splits the arguments after the command name into one-letter flags (such
// as -r, -p or -rp, before the first other word) and the rest.
void split_flags(const CommandSpec &c, const Words &words, std::string &flags,
                 Words &args) {
  size_t k = 1;
  for (; k < words.size() && words[k].size() > 1 && words[k][0] == '-'; ++k) {
    if (words[k] == "--") {
      ++k;
      break;
    }
    for (char f : words[k].substr(1)) {
      if (std::strchr(c.flags, f) == nullptr)
        throw UsageError("'" + words[0] + "' has no option -" +
                         std::string(1, f));
      flags += f;
    }
  }
  args.assign(words.begin() + static_cast<long>(k), words.end());
}

}  // namespace

const std::vector<CommandSpec> &command_table() { return kCommands; }

const CommandSpec *find_command(const std::string &name) {
  for (const CommandSpec &c : kCommands)
    if (name == c.name) return &c;
  return nullptr;
}

char argument_kind(const CommandSpec &c, size_t arg) {
  size_t n = std::strlen(c.kinds);
  if (n == 0) return '-';
  return c.kinds[arg < n ? arg : n - 1];
}

bool quit_requested() { return g_quit; }

// An octal mode of at most four digits, such as 644 or 0755.
int parse_mode(const std::string &text) {
  if (text.empty() || text.size() > 4 ||
      text.find_first_not_of("01234567") != std::string::npos)
    throw UsageError("'" + text + "' is not an octal mode such as 644");
  return static_cast<int>(std::strtol(text.c_str(), nullptr, 8));
}

void print_log(std::FILE *out) {
  Json log;
  json_parse(sftp_client_get_log(), log);
  for (const Json &e : log.items) {
    long long ms = e["ts_ms"].integer();
    std::fprintf(out, "%s.%03lld  %s\n",
                 time_text(ms / 1000, "%H:%M:%S").c_str(), ms % 1000,
                 printable(e["line"].text).c_str());
  }
}

std::string printable(const std::string &text) {
  std::string out = text;
  for (char &c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return out;
}

int run_command(const Words &words, const Options &opt, Session &session) {
  const CommandSpec *c = find_command(words[0]);
  if (c == nullptr) throw UsageError("unknown command '" + words[0] + "'");
  std::string flags;
  Words args;
  split_flags(*c, words, flags, args);
  if (args.size() < c->min_args || args.size() > c->max_args)
    throw UsageError("wrong number of arguments for '" + words[0] + "'");
  if (c->needs_session && !session.ensure()) return kFailed;
  return c->run(args, flags, opt);
}

}  // namespace sftpc
