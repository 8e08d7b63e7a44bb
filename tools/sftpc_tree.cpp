// Paths, patterns and whole-tree copies for sftpc: the current remote
// folder, *, ? and [...] in the last path element (matched with fnmatch
// against one listing), get -r and put -r, and what -p keeps.
#include "sftpc_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "tarnwick_sftp.h"

namespace sftpc {
namespace {

std::string g_remote_folder;  // absolute, or empty for the home folder

// The counts of one tree copy, for its summary line.
struct Tally {
  long long files = 0, folders = 0, skipped = 0, bytes = 0;
  std::chrono::steady_clock::time_point start =
      std::chrono::steady_clock::now();
};

int failed() {
  std::fprintf(stderr, "sftpc: %s\n", sftp_client_last_error());
  return kFailed;
}

int complain(const char *format, const std::string &path) {
  std::fprintf(stderr, format, printable(path).c_str());
  return kFailed;
}

// A name from a listing that may safely become one element of a path: a
// hostile server must not lead a tree copy out of its target folder.
bool safe_name(const std::string &name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('/') == std::string::npos;
}

void report_skip(const char *what, const std::string &path, Tally &t) {
  std::fprintf(stdout, "skipped %s %s\n", what, printable(path).c_str());
  ++t.skipped;
}

void report_tree(const char *verb, const std::string &from,
                 const std::string &to, const Tally &t, const Options &opt) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - t.start)
                .count();
  if (opt.json) {
    std::printf(
        "{\"tree\":\"%s\",\"from\":%s,\"to\":%s,\"files\":%lld,\"folders\":"
        "%lld,\"skipped\":%lld,\"bytes\":%lld,\"elapsed_ms\":%lld}\n",
        verb, json_quote(from).c_str(), json_quote(to).c_str(), t.files,
        t.folders, t.skipped, t.bytes, static_cast<long long>(ms));
    return;
  }
  std::printf(
      "%s tree %s -> %s: %lld files, %lld folders, %lld skipped, %.1f MiB in "
      "%.1f s\n",
      verb, printable(from).c_str(), printable(to).c_str(), t.files, t.folders,
      t.skipped, static_cast<double>(t.bytes) / (1 << 20),
      static_cast<double>(ms) / 1000);
}

bool local_is_dir(const std::string &path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool make_local_folder(const std::string &path) {
  if (mkdir(path.c_str(), 0777) == 0 || (errno == EEXIST && local_is_dir(path)))
    return true;
  complain("sftpc: cannot create local folder '%s'\n", path);
  return false;
}

bool make_remote_folder(const std::string &path) {
  if (sftp_client_mkdir(path.c_str()) == 0) return true;
  Json entry;
  if (json_parse(sftp_client_stat(path.c_str()), entry) && entry["is_dir"].flag)
    return true;
  failed();
  return false;
}

int get_walk(const std::string &remote, const std::string &local,
             const Json &self, bool keep, const Options &opt, Tally &t);

// One entry of a remote folder being downloaded.
int get_entry(const std::string &remote, const std::string &local,
              const Json &e, bool keep, const Options &opt, Tally &t) {
  const std::string &name = e["name"].text;
  std::string from = join(remote, name), to = join(local, name);
  if (!safe_name(name)) return report_skip("unsafe name", from, t), kOk;
  char type = e["mode"].text.empty() ? '?' : e["mode"].text[0];
  if (type == 'l') return report_skip("link", from, t), kOk;
  if (e["is_dir"].flag) return get_walk(from, to, e, keep, opt, t);
  if (type != '-') return report_skip("special file", from, t), kOk;
  int rc = copy_file(true, from, to, opt, &t.bytes);
  if (rc != kOk) return rc;
  ++t.files;
  return keep ? keep_local_attrs(to, e) : kOk;
}

int get_walk(const std::string &remote, const std::string &local,
             const Json &self, bool keep, const Options &opt, Tally &t) {
  if (!make_local_folder(local)) return kFailed;
  ++t.folders;
  std::vector<Json> entries;
  if (!list_entries(true, remote, entries)) return kFailed;
  for (const Json &e : entries) {
    int rc = get_entry(remote, local, e, keep, opt, t);
    if (rc != kOk) return rc;
  }
  // A folder's time is set last: creating its contents changed it.
  return keep ? keep_local_attrs(local, self) : kOk;
}

std::vector<std::string> local_names(const std::string &folder) {
  std::vector<std::string> names;
  DIR *d = opendir(folder.c_str());
  if (d == nullptr) return names;
  while (dirent *de = readdir(d)) {
    std::string n = de->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

int put_walk(const std::string &local, const std::string &remote, bool keep,
             const Options &opt, Tally &t);

// One entry of a local folder being uploaded; links are not followed.
int put_entry(const std::string &from, const std::string &to, bool keep,
              const Options &opt, Tally &t) {
  struct stat st {};
  if (lstat(from.c_str(), &st) != 0)
    return complain("sftpc: cannot read local file '%s'\n", from);
  if (S_ISLNK(st.st_mode)) return report_skip("link", from, t), kOk;
  if (S_ISDIR(st.st_mode)) return put_walk(from, to, keep, opt, t);
  if (!S_ISREG(st.st_mode)) return report_skip("special file", from, t), kOk;
  int rc = copy_file(false, from, to, opt, &t.bytes);
  if (rc != kOk) return rc;
  ++t.files;
  return keep ? keep_remote_attrs(to, from) : kOk;
}

int put_walk(const std::string &local, const std::string &remote, bool keep,
             const Options &opt, Tally &t) {
  if (!local_is_dir(local))
    return complain("sftpc: cannot list local folder '%s'\n", local);
  if (!make_remote_folder(remote)) return kFailed;
  ++t.folders;
  for (const std::string &name : local_names(local)) {
    int rc = put_entry(join(local, name), join(remote, name), keep, opt, t);
    if (rc != kOk) return rc;
  }
  return keep ? keep_remote_attrs(remote, local) : kOk;
}

// Reports a finished file transfer: the record as JSON, or a summary line.
int report_copy(int rc, bool download, const std::string &from,
                const std::string &to, const Options &opt, long long *bytes) {
  if (rc == kInterrupted) {
    std::fprintf(stderr, "sftpc: %s\n", sftp_client_last_error());
    return rc;
  }
  if (rc != kOk) return failed();
  std::string text = sftp_transfer_progress();
  Json rec;
  json_parse(text, rec);
  if (bytes != nullptr) *bytes += rec["transferred"].integer();
  if (opt.json) {
    std::printf("%s\n", text.c_str());
    return kOk;
  }
  double s = static_cast<double>(rec["elapsed_ms"].integer()) / 1000;
  double mib = static_cast<double>(rec["transferred"].integer()) / (1 << 20);
  std::printf("%s %s -> %s: %.1f MiB in %.1f s (%.1f MiB/s)\n",
              download ? "downloaded" : "uploaded", printable(from).c_str(),
              printable(to).c_str(), mib, s, s > 0 ? mib / s : 0.0);
  std::fflush(stdout);
  return kOk;
}

}  // namespace

std::string remote_path(const std::string &path) {
  if (g_remote_folder.empty() || (!path.empty() && path[0] == '/')) return path;
  return path.empty() || path == "." ? g_remote_folder
                                     : join(g_remote_folder, path);
}

void set_remote_folder(const std::string &absolute) {
  g_remote_folder = absolute;
}

const std::string &remote_folder() { return g_remote_folder; }

std::string join(const std::string &dir, const std::string &name) {
  if (dir.empty() || dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

std::string base_name(const std::string &path) {
  size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string dir_name(const std::string &path) {
  size_t slash = path.find_last_of("/\\");
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool has_pattern(const std::string &path) {
  return base_name(path).find_first_of("*?[") != std::string::npos;
}

bool list_entries(bool remote, const std::string &dir, std::vector<Json> &out) {
  const char *text = remote ? sftp_client_list_dir(dir.c_str())
                            : sftp_client_list_local(dir.c_str());
  Json list;
  json_parse(text, list);
  if (*sftp_client_last_error() != '\0') return failed(), false;
  for (Json &e : list.items)
    if (e["name"].text != "..") out.push_back(std::move(e));
  return true;
}

bool expand(bool remote, const std::string &path, Words &out) {
  if (!has_pattern(path)) {
    out.push_back(path);
    return true;
  }
  std::string dir = dir_name(path), pattern = base_name(path);
  std::vector<Json> entries;
  if (!list_entries(remote, dir.empty() ? "." : dir, entries)) return false;
  Words found;
  for (const Json &e : entries)
    if (fnmatch(pattern.c_str(), e["name"].text.c_str(), FNM_PERIOD) == 0)
      found.push_back(dir.empty() ? e["name"].text : join(dir, e["name"].text));
  if (found.empty()) {
    complain(remote ? "sftpc: no remote file matches '%s'\n"
                    : "sftpc: no local file matches '%s'\n",
             path);
    return false;
  }
  std::sort(found.begin(), found.end());
  out.insert(out.end(), found.begin(), found.end());
  return true;
}

int mode_bits(const std::string &mode_text) {
  int bits = 0;
  for (size_t i = 0; i < 9 && i + 1 < mode_text.size(); ++i)
    if (mode_text[i + 1] != '-') bits |= 0400 >> i;
  return bits;
}

int keep_local_attrs(const std::string &local, const Json &remote_entry) {
  timespec times[2] = {{0, UTIME_NOW}, {remote_entry["mtime"].integer(), 0}};
  if (chmod(local.c_str(), mode_bits(remote_entry["mode"].text)) != 0 ||
      utimensat(AT_FDCWD, local.c_str(), times, 0) != 0)
    return complain("sftpc: cannot keep the time and mode of '%s'\n", local);
  return kOk;
}

int keep_remote_attrs(const std::string &remote, const std::string &local) {
  struct stat st {};
  if (stat(local.c_str(), &st) != 0)
    return complain("sftpc: cannot read local file '%s'\n", local);
  return sftp_client_chmod(remote.c_str(), static_cast<int>(st.st_mode & 0777))
             ? failed()
             : kOk;
}

int copy_file(bool download, const std::string &from, const std::string &to,
              const Options &opt, long long *bytes) {
  auto copy = [&] {
    if (download)
      return (opt.scp ? scp_client_download : sftp_client_download)(
          from.c_str(), to.c_str());
    return opt.scp ? scp_client_upload(from.c_str(), to.c_str(), opt.mode)
                   : sftp_client_upload(from.c_str(), to.c_str());
  };
  return report_copy(run_transfer(copy, opt), download, from, to, opt, bytes);
}

int get_tree(const std::string &remote, const std::string &local, bool keep,
             const Options &opt) {
  Json self;
  json_parse(sftp_client_stat(remote.c_str()), self);
  if (!self["is_dir"].flag)
    return complain("sftpc: '%s' is not a remote folder\n", remote);
  Tally t;
  int rc = get_walk(remote, local, self, keep, opt, t);
  if (rc == kOk) report_tree("downloaded", remote, local, t, opt);
  return rc;
}

int put_tree(const std::string &local, const std::string &remote, bool keep,
             const Options &opt) {
  Tally t;
  int rc = put_walk(local, remote, keep, opt, t);
  if (rc == kOk) report_tree("uploaded", local, remote, t, opt);
  return rc;
}

}  // namespace sftpc
