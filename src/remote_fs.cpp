#include "remote_fs.h"

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "frame.h"
#include "log.h"
#include "session.h"

namespace tw {

namespace {

constexpr long kNewDirMode = 0755;
constexpr long kRenameFlags = LIBSSH2_SFTP_RENAME_OVERWRITE |
                              LIBSSH2_SFTP_RENAME_ATOMIC |
                              LIBSSH2_SFTP_RENAME_NATIVE;

bool is_empty(const char *s) { return s == nullptr || *s == '\0'; }

unsigned int length(const char *s) {
  return static_cast<unsigned int>(strlen(s));
}

bool is_dir_mode(uint32_t permissions) {
  return (permissions & 0xF000) == 0x4000;
}

// The argument check of the operations on one path.
bool require_path(const char *path) {
  if (!is_empty(path)) return true;
  set_error("path is required");
  return false;
}

// What a session call gives back when another thread closed the session
// after this call's connected test.
constexpr int kNoSession = INT_MIN;

// Makes one session call with g_lock held, on the SFTP handle read once the
// lock is taken. A call that failed with the connection closes the session.
template <typename Call>
int with_sftp(Call call) {
  Guard guard(g_lock);
  LIBSSH2_SFTP *sftp = g_sftp.load();
  if (sftp == nullptr) return kNoSession;
  int rc = call(sftp);
  if (rc < 0 && connection_failed(rc, sftp)) session_lost();
  return rc;
}

// Reports a failed session call with the operation's message, or with "not
// connected" when the session went away meanwhile. Always -1.
int fail(int rc, const char *fmt, ...) TW_PRINTF(2, 3);
int fail(int rc, const char *fmt, ...) {
  if (rc == kNoSession) {
    set_error("not connected");
    return -1;
  }
  va_list ap;
  va_start(ap, fmt);
  set_error_v(fmt, ap);
  va_end(ap);
  return -1;
}

// The entry record of a remote entry. The wire carries 32-bit ids and times:
// ids are shown signed (4294967294 as -2), the time unsigned.
EntryRecord remote_record(const char *name, const LIBSSH2_SFTP_ATTRIBUTES &at,
                          char mode[11]) {
  auto permissions = static_cast<uint32_t>(at.permissions);
  mode_string(permissions, mode);
  EntryRecord e;
  e.name = name;
  e.is_dir = is_dir_mode(permissions);
  e.size = static_cast<int64_t>(at.filesize);
  e.mtime = static_cast<int64_t>(static_cast<uint32_t>(at.mtime));
  e.mode = mode;
  e.uid = static_cast<int32_t>(static_cast<uint32_t>(at.uid));
  e.gid = static_cast<int32_t>(static_cast<uint32_t>(at.gid));
  return e;
}

// What one listing read: every entry but "." counts, printed or not.
struct Listing {
  int read;
  int returned;
  bool failed;  // reading ended with an error rather than at the end
  bool lost;    // and the error was the connection's
};

// Reads an open directory to its end or to the first failure, appending
// every entry but "." to the array.
void read_directory(LIBSSH2_SFTP *sftp, LIBSSH2_SFTP_HANDLE *dir, JsonArray *a,
                    Listing *l) {
  char name[1024];
  LIBSSH2_SFTP_ATTRIBUTES attrs;
  for (;;) {
    int n =
        libssh2_sftp_readdir_ex(dir, name, sizeof name - 1, nullptr, 0, &attrs);
    if (n <= 0) {
      l->failed = n < 0;
      l->lost = n < 0 && connection_failed(n, sftp);
      return;
    }
    name[n] = '\0';
    if (strcmp(name, ".") == 0) continue;
    ++l->read;
    char mode[11];
    if (json_entry_add(a, remote_record(name, attrs, mode))) ++l->returned;
  }
}

// Builds the listing into g_json, holding g_lock from the opening of the
// directory to its closing. Returns 0, kNoSession, or -1 when the directory
// cannot be opened.
int list_locked(const char *path, Listing *l) {
  Guard guard(g_lock);
  LIBSSH2_SFTP *sftp = g_sftp.load();
  if (sftp == nullptr) return kNoSession;
  LIBSSH2_SFTP_HANDLE *dir = libssh2_sftp_open_ex(sftp, path, length(path), 0,
                                                  0, LIBSSH2_SFTP_OPENDIR);
  if (dir == nullptr) {
    if (open_failed_with_connection(sftp)) session_lost();
    return -1;
  }
  JsonArray a;
  json_array_begin(&a, g_json);
  read_directory(sftp, dir, &a, l);
  json_array_end(&a);
  if (l->lost) connection_broken();
  libssh2_sftp_close_handle(dir);
  if (l->lost) session_lost();
  return 0;
}

// A listing that lost entries still returns what fits, but says so: a host
// that checks the last-error text can tell it from a whole one.
void report_incomplete(const char *path, const Listing &l) {
  if (l.failed)
    set_error(
        "listing of '%s' is incomplete: reading failed after %d entries, %d "
        "returned",
        path, l.read, l.returned);
  else if (l.returned < l.read)
    set_error("listing of '%s' is incomplete: %d of %d entries returned", path,
              l.returned, l.read);
}

}  // namespace

void mode_string(uint32_t permissions, char out[11]) {
  if (is_dir_mode(permissions))
    out[0] = 'd';
  else
    out[0] = (permissions & 0xA000) == 0xA000 ? 'l' : '-';
  static const char kLetters[] = "rwxrwxrwx";
  for (int i = 0; i < 9; ++i)
    out[1 + i] = (permissions & (0400u >> i)) != 0 ? kLetters[i] : '-';
  out[10] = '\0';
}

const char *remote_list_dir(const char *path) {
  if (is_empty(path)) path = ".";
  g_json[0] = '\0';
  Listing l{};
  int rc = 0;
  if (!require_sftp()) {
    memcpy(g_json, "[]", 3);
  } else if ((rc = list_locked(path, &l)) != 0) {
    fail(rc, "cannot open remote directory '%s'", path);
    memcpy(g_json, "[]", 3);
  } else {
    log_add("LIST %s (%d entries)", path, l.read);
    report_incomplete(path, l);
  }
  return g_json;
}

const char *remote_stat(const char *path) {
  memcpy(g_json2, "{}", 3);
  if (!require_sftp() || !require_path(path)) return g_json2;
  LIBSSH2_SFTP_ATTRIBUTES attrs{};
  int rc = with_sftp([&](LIBSSH2_SFTP *s) {
    return libssh2_sftp_stat_ex(s, path, length(path), LIBSSH2_SFTP_STAT,
                                &attrs);
  });
  if (rc != 0) {
    fail(rc, "cannot stat '%s'", path);
    return g_json2;
  }
  char mode[11];
  json_entry_print(g_json2, kJsonCap, remote_record(path, attrs, mode));
  return g_json2;
}

const char *remote_realpath(const char *path) {
  g_path[0] = '\0';
  if (!require_sftp()) return g_path;
  const char *target = is_empty(path) ? "." : path;
  char canonical[kPathCap];
  int n = with_sftp([&](LIBSSH2_SFTP *s) {
    return libssh2_sftp_symlink_ex(s, target, length(target), canonical,
                                   sizeof canonical - 1, LIBSSH2_SFTP_REALPATH);
  });
  // libssh2 can answer 0 and leave the buffer untouched: that is a failure.
  if (n <= 0 || n >= static_cast<int>(sizeof canonical)) {
    fail(n, "cannot resolve '%s'", path == nullptr ? "." : path);
    return g_path;
  }
  canonical[n] = '\0';
  snprintf(g_path, kPathCap, "%s", canonical);
  return g_path;
}

int remote_mkdir(const char *path) {
  if (!require_sftp() || !require_path(path)) return -1;
  int rc = with_sftp([&](LIBSSH2_SFTP *s) {
    return libssh2_sftp_mkdir_ex(s, path, length(path), kNewDirMode);
  });
  if (rc != 0) return fail(rc, "cannot create directory '%s'", path);
  log_add("MKDIR %s", path);
  return 0;
}

int remote_rmdir(const char *path) {
  if (!require_sftp() || !require_path(path)) return -1;
  int rc = with_sftp([&](LIBSSH2_SFTP *s) {
    return libssh2_sftp_rmdir_ex(s, path, length(path));
  });
  if (rc != 0)
    return fail(rc, "cannot remove directory '%s' (is it empty?)", path);
  log_add("RMDIR %s", path);
  return 0;
}

int remote_delete(const char *path) {
  if (!require_sftp() || !require_path(path)) return -1;
  int rc = with_sftp([&](LIBSSH2_SFTP *s) {
    return libssh2_sftp_unlink_ex(s, path, length(path));
  });
  if (rc != 0) return fail(rc, "cannot delete '%s'", path);
  log_add("DELETE %s", path);
  return 0;
}

int rename_replacing(LIBSSH2_SFTP *sftp, const char *from, const char *to) {
  int rc =
      libssh2_sftp_posix_rename_ex(sftp, from, strlen(from), to, strlen(to));
  // libssh2 answers LIBSSH2_FX_OP_UNSUPPORTED itself when the server did not
  // list the extension; a server may also list it and then refuse it.
  bool unsupported =
      rc == static_cast<int>(LIBSSH2_FX_OP_UNSUPPORTED) ||
      (rc == LIBSSH2_ERROR_SFTP_PROTOCOL &&
       libssh2_sftp_last_error(sftp) == LIBSSH2_FX_OP_UNSUPPORTED);
  if (!unsupported) return rc;
  return libssh2_sftp_rename_ex(sftp, from, length(from), to, length(to),
                                kRenameFlags);
}

int remote_rename(const char *from, const char *to) {
  if (!require_sftp()) return -1;
  if (is_empty(from) || is_empty(to)) {
    set_error("both source and destination paths are required");
    return -1;
  }
  int rc =
      with_sftp([&](LIBSSH2_SFTP *s) { return rename_replacing(s, from, to); });
  if (rc != 0) return fail(rc, "cannot rename '%s' to '%s'", from, to);
  log_add("RENAME %s -> %s", from, to);
  return 0;
}

// Sends the caller's mode whole, type bits and all; only the permissions
// attribute is set, so size, owner and times stay as they are.
int remote_chmod(const char *path, int mode) {
  if (!require_sftp() || !require_path(path)) return -1;
  LIBSSH2_SFTP_ATTRIBUTES attrs{};
  attrs.flags = LIBSSH2_SFTP_ATTR_PERMISSIONS;
  attrs.permissions = static_cast<uint32_t>(mode);
  int rc = with_sftp([&](LIBSSH2_SFTP *s) {
    return libssh2_sftp_stat_ex(s, path, length(path), LIBSSH2_SFTP_SETSTAT,
                                &attrs);
  });
  if (rc != 0) return fail(rc, "cannot chmod '%s'", path);
  log_add("CHMOD %o %s", static_cast<unsigned int>(mode), path);
  return 0;
}

}  // namespace tw
