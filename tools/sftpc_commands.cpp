// The commands of sftpc. Each one calls the library, copies its result text
// at once (the buffers are shared and overwritten by later calls), and prints
// it for a person or, with --json, as the library wrote it.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "sftpc.h"
#include "sftpc_json.h"
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

std::string base_name(const std::string &path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string join(const std::string &dir, const std::string &name) {
  if (dir.empty() || dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

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

int cmd_ls(const Words &w, const Options &opt) {
  return show_listing(sftp_client_list_dir(w.size() > 1 ? w[1].c_str() : "."),
                      opt);
}

int cmd_lls(const Words &w, const Options &opt) {
  return show_listing(sftp_client_list_local(w.size() > 1 ? w[1].c_str() : "."),
                      opt);
}

int cmd_stat(const Words &w, const Options &opt) {
  std::string text = sftp_client_stat(w[1].c_str());
  if (text == "{}") return failed();
  Json entry;
  json_parse(text, entry);
  if (opt.json)
    std::printf("%s\n", text.c_str());
  else
    print_entries({&entry});
  return kOk;
}

int cmd_info(const Words &, const Options &opt) {
  std::string text = sftp_client_session_info();
  if (opt.json) {
    std::printf("%s\n", text.c_str());
    return kOk;
  }
  Json info;
  json_parse(text, info);
  for (const char *key : {"connected", "host", "port", "user", "auth", "banner",
                          "fingerprint", "home"}) {
    const Json &v = info[key];
    std::string shown =
        v.is(Json::Kind::boolean) ? (v.flag ? "yes" : "no") : printable(v.text);
    std::printf("%-12s %s\n", key, shown.c_str());
  }
  return kOk;
}

int cmd_log(const Words &, const Options &opt) {
  if (opt.json)
    std::printf("%s\n", sftp_client_get_log());
  else
    print_log(stdout);
  return kOk;
}

int cmd_realpath(const Words &w, const Options &opt) {
  std::string path = sftp_client_realpath(w.size() > 1 ? w[1].c_str() : ".");
  if (path.empty()) return failed();
  std::printf("%s\n", opt.json ? json_quote(path).c_str() : path.c_str());
  return kOk;
}

int cmd_version(const Words &, const Options &opt) {
  if (opt.json)
    std::printf("{\"sftpc\":\"%s\",\"library\":\"%s\"}\n", SFTPC_VERSION,
                sftp_client_version());
  else
    std::printf("sftpc %s, library %s\n", SFTPC_VERSION, sftp_client_version());
  return kOk;
}

int cmd_mkdir(const Words &w, const Options &) {
  return status(sftp_client_mkdir(w[1].c_str()));
}
int cmd_rmdir(const Words &w, const Options &) {
  return status(sftp_client_rmdir(w[1].c_str()));
}
int cmd_rm(const Words &w, const Options &) {
  return status(sftp_client_delete(w[1].c_str()));
}
int cmd_mv(const Words &w, const Options &) {
  return status(sftp_client_rename(w[1].c_str(), w[2].c_str()));
}

int cmd_chmod(const Words &w, const Options &) {
  return status(sftp_client_chmod(w[2].c_str(), parse_mode(w[1])));
}

// Reports a finished transfer: the record as JSON, or a summary line.
int report_transfer(int rc, const char *verb, const std::string &from,
                    const std::string &to, const Options &opt) {
  if (rc == kInterrupted) {
    std::fprintf(stderr, "sftpc: %s\n", sftp_client_last_error());
    return rc;
  }
  if (rc != kOk) return failed();
  std::string text = sftp_transfer_progress();
  if (opt.json) {
    std::printf("%s\n", text.c_str());
    return kOk;
  }
  Json rec;
  json_parse(text, rec);
  double s = static_cast<double>(rec["elapsed_ms"].integer()) / 1000;
  double mib = static_cast<double>(rec["transferred"].integer()) / (1 << 20);
  std::printf("%s %s -> %s: %.1f MiB in %.1f s (%.1f MiB/s)\n", verb,
              printable(from).c_str(), printable(to).c_str(), mib, s,
              s > 0 ? mib / s : 0.0);
  return kOk;
}

bool local_is_dir(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool remote_is_dir(const std::string &path) {
  Json entry;
  return json_parse(sftp_client_stat(path.c_str()), entry) &&
         entry["is_dir"].flag;
}

int cmd_get(const Words &w, const Options &opt) {
  const std::string &remote = w[1];
  std::string local = w.size() > 2 ? w[2] : base_name(remote);
  if (local.empty() || local_is_dir(local))
    local = join(local, base_name(remote));
  auto copy = [&] {
    return (opt.scp ? scp_client_download : sftp_client_download)(
        remote.c_str(), local.c_str());
  };
  return report_transfer(run_transfer(copy, opt), "downloaded", remote, local,
                         opt);
}

int cmd_put(const Words &w, const Options &opt) {
  const std::string &local = w[1];
  std::string remote = w.size() > 2 ? w[2] : base_name(local);
  if (remote.empty() || remote_is_dir(remote))
    remote = join(remote, base_name(local));
  auto copy = [&] {
    return opt.scp ? scp_client_upload(local.c_str(), remote.c_str(), opt.mode)
                   : sftp_client_upload(local.c_str(), remote.c_str());
  };
  return report_transfer(run_transfer(copy, opt), "uploaded", local, remote,
                         opt);
}

struct Command {
  const char *name;
  size_t min_args, max_args;
  bool needs_session;
  int (*run)(const Words &, const Options &);
};

const Command kCommands[] = {
    {"info", 0, 0, true, cmd_info},   {"ls", 0, 1, true, cmd_ls},
    {"stat", 1, 1, true, cmd_stat},   {"realpath", 0, 1, true, cmd_realpath},
    {"mkdir", 1, 1, true, cmd_mkdir}, {"rmdir", 1, 1, true, cmd_rmdir},
    {"rm", 1, 1, true, cmd_rm},       {"mv", 2, 2, true, cmd_mv},
    {"chmod", 2, 2, true, cmd_chmod}, {"get", 1, 2, true, cmd_get},
    {"put", 1, 2, true, cmd_put},     {"lls", 0, 1, false, cmd_lls},
    {"log", 0, 0, true, cmd_log},     {"version", 0, 0, false, cmd_version},
};

const Command *find_command(const std::string &name) {
  for (const Command &c : kCommands)
    if (name == c.name) return &c;
  return nullptr;
}

}  // namespace

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
  const Command *c = find_command(words[0]);
  if (c == nullptr) throw UsageError("unknown command '" + words[0] + "'");
  size_t args = words.size() - 1;
  if (args < c->min_args || args > c->max_args)
    throw UsageError("wrong number of arguments for '" + words[0] + "'");
  if (c->needs_session && !session.ensure()) return kFailed;
  return c->run(words, opt);
}

}  // namespace sftpc
