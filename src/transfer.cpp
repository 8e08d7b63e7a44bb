#include "transfer.h"

#include <cstdio>
#include <cstring>

#include "log.h"
#include "platform/platform.h"
#include "remote_fs.h"
#include "session.h"
#include "transfer_frame.h"

namespace tw {

using xfer::cancel_requested;

std::atomic<int> g_cancel_req{0};

namespace {

TransferProgress g_prog;  // guarded by g_prog_lock

// Milliseconds since progress_begin. The monotonic clock keeps the figure
// from going negative when the system time is set back during a transfer.
// Call with g_prog_lock held.
int64_t elapsed_locked() { return monotonic_ms() - g_prog.start_mono_ms; }

}  // namespace

// ---- Progress record ----------------------------------------------------

void progress_begin(const char *source, int64_t total, bool upload) {
  const char *name = base_name(source);
  Guard guard(g_prog_lock);
  memset(&g_prog, 0, sizeof g_prog);
  g_prog.active = 1;
  g_prog.upload = upload ? 1 : 0;
  g_prog.total = total;
  g_prog.start_ms = now_ms();
  g_prog.start_mono_ms = monotonic_ms();
  snprintf(g_prog.name, sizeof g_prog.name, "%s", name);
}

void progress_add(int64_t n) {
  Guard guard(g_prog_lock);
  g_prog.transferred += n;
  g_prog.elapsed_ms = elapsed_locked();
}

void progress_finish(const char *error_word) {
  Guard guard(g_prog_lock);
  g_prog.active = 0;
  g_prog.finished = 1;
  g_prog.cancelled = cancel_requested() ? 1 : 0;
  g_prog.elapsed_ms = elapsed_locked();
  snprintf(g_prog.error, sizeof g_prog.error, "%s", error_word);
}

void progress_print(const TransferProgress &p, int64_t elapsed_ms, char *buf,
                    size_t cap) {
  double percent = 0.0;
  if (p.total > 0)
    percent = static_cast<double>(p.transferred) * 100.0 /
              static_cast<double>(p.total);
  int64_t rate = 0;
  if (elapsed_ms > 0)
    rate = static_cast<int64_t>(static_cast<double>(p.transferred) * 1000.0 /
                                static_cast<double>(elapsed_ms));
  char name[1024];
  json_escape(name, sizeof name, p.name);
  char error[512];
  json_escape(error, sizeof error, p.error);
  snprintf(
      buf, cap,
      "{\"active\":%s,\"direction\":\"%s\",\"name\":\"%s\","
      "\"transferred\":%lld,\"total\":%lld,\"percent\":%.1f,"
      "\"bytes_per_sec\":%lld,\"elapsed_ms\":%lld,\"cancelled\":%s,"
      "\"finished\":%s,\"error\":\"%s\"}",
      p.active ? "true" : "false", p.upload ? "upload" : "download", name,
      static_cast<long long>(p.transferred), static_cast<long long>(p.total),
      percent, static_cast<long long>(rate), static_cast<long long>(elapsed_ms),
      p.cancelled ? "true" : "false", p.finished ? "true" : "false", error);
}

TransferProgress progress_snapshot(int64_t *elapsed_ms) {
  Guard guard(g_prog_lock);
  *elapsed_ms = g_prog.active ? elapsed_locked() : g_prog.elapsed_ms;
  return g_prog;
}

const char *progress_json() {
  int64_t elapsed;
  TransferProgress snap = progress_snapshot(&elapsed);
  progress_print(snap, elapsed, g_info, kInfoCap);
  return g_info;
}

void transfer_cancel() {
  g_cancel_req.store(1);
  log_add("CANCEL requested");
}

// ---- The transfer frame -------------------------------------------------

namespace xfer {

char g_window[2 * kWindow];

namespace {

Transfer make_transfer(Kind kind, const char *remote, const char *local) {
  Transfer t{};
  t.kind = kind;
  t.remote = remote;
  t.local = local;
  return t;
}

const char *source_of(const Transfer &t) {
  return is_upload(t) ? t.local : t.remote;
}
const char *destination_of(const Transfer &t) {
  return is_upload(t) ? t.remote : t.local;
}

// The first word or words of the transfer's log lines.
const char *verb(const Transfer &t) {
  switch (t.kind) {
    case Kind::sftp_download:
      return "DOWNLOAD";
    case Kind::sftp_upload:
      return "UPLOAD";
    case Kind::scp_download:
      return "SCP DOWNLOAD";
    case Kind::scp_upload:
      return "SCP UPLOAD";
  }
  return "";
}

const char *error_word(Outcome o) {
  switch (o) {
    case Outcome::ok:
      return "";
    case Outcome::cancelled:
      return "cancelled";
    case Outcome::read_failed:
      return "read failed";
    case Outcome::write_failed:
      return "write failed";
    case Outcome::local_read_failed:
    case Outcome::local_ended:
      return "local read failed";
    case Outcome::local_write_failed:
      return "local write failed";
    case Outcome::short_read:
      return "short read";
    case Outcome::replace_failed:
      return "";  // error_word_of tells which side failed
  }
  return "";
}

const char *error_word_of(const Transfer &t, Outcome o) {
  if (o != Outcome::replace_failed) return error_word(o);
  return is_upload(t) ? "write failed" : "local write failed";
}

bool given(const char *path) { return path != nullptr && path[0] != '\0'; }

void report_early(const Transfer &t) {
  switch (t.early) {
    case Early::none:
      break;
    case Early::not_connected:
      set_error("not connected");
      break;
    case Early::remote_open:
      set_error("cannot open remote file '%s'", t.remote);
      break;
    case Early::remote_folder:
      set_error("cannot open remote file '%s' (it is a folder)", t.remote);
      break;
    case Early::local_open:
      set_error("cannot write local file '%s'", t.local);
      break;
    case Early::remote_create:
      set_error("cannot create remote file '%s' (permission denied?)",
                t.remote);
      break;
    case Early::scp_download_refused:
      set_error("SCP download refused for '%s' (no scp on the server?)",
                t.remote);
      break;
    case Early::scp_download_folder:
      set_error("SCP download refused for '%s' (it is a folder)", t.remote);
      break;
    case Early::scp_upload_refused:
      set_error("SCP upload refused for '%s' (permission denied?)", t.remote);
      break;
    case Early::scp_no_channel:
      set_error("SCP %s refused for '%s' (the server allows no second channel)",
                is_upload(t) ? "upload" : "download", t.remote);
      break;
  }
}

void report_failure(const Transfer &t, Outcome o) {
  const auto moved = static_cast<long long>(t.moved);
  const auto size = static_cast<long long>(t.size);
  switch (o) {
    case Outcome::ok:
      break;
    case Outcome::cancelled:
      set_error("transfer cancelled");
      break;
    case Outcome::read_failed:
      if (is_scp(t))
        set_error("SCP read failed for '%s'", t.remote);
      else
        set_error("remote read failed for '%s'", t.remote);
      break;
    case Outcome::write_failed:
      if (is_scp(t))
        set_error("SCP write failed for '%s'", t.remote);
      else
        set_error("remote write failed for '%s'", t.remote);
      break;
    case Outcome::local_read_failed:
      set_error("local read failed for '%s'", t.local);
      break;
    case Outcome::local_ended:
      set_error("local read failed for '%s' (file ended at %lld of %lld bytes)",
                t.local, moved, size);
      break;
    case Outcome::local_write_failed:
      set_error("local write failed (disk full?)");
      break;
    case Outcome::short_read:
      set_error("SCP download truncated (%lld of %lld bytes)", moved, size);
      break;
    case Outcome::replace_failed:
      if (is_upload(t))
        set_error("cannot replace remote file '%s'", t.remote);
      else
        set_error("cannot replace local file '%s'", t.local);
      break;
  }
}

// Starts the record, then lowers the flag, so that a cancellation requested
// before this transfer cannot stop it. g_lock is held.
void transfer_begin(const Transfer &t) {
  progress_begin(source_of(t), t.size, is_upload(t));
  g_cancel_req.store(0);
  log_add("%s %s -> %s (%lld bytes)", verb(t), source_of(t), destination_of(t),
          static_cast<long long>(t.size));
}

// A temporary name beside path, in its folder: a dot, at most 64 bytes of
// the base name, a mark of this library with a serial number, and ".part",
// so that it is hidden and cannot be taken for the user's file. False when
// it does not fit.
bool temp_name(const char *path, char *out, size_t cap) {
  static std::atomic<uint32_t> serial{0};
  const char *base = base_name(path);
  // A drive-relative Windows path ("C:name") has its folder end at the colon;
  // elsewhere a colon only puts the start of the name before the dot, still
  // in the same folder.
  if (const char *colon = strrchr(base, ':')) base = colon + 1;
  uint32_t mark =
      static_cast<uint32_t>(monotonic_us()) * 2654435761u ^ serial.fetch_add(1);
  int n = snprintf(out, cap, "%.*s.%.64s.tarnwick-%08x.part",
                   static_cast<int>(base - path), path, base, mark);
  if (n > 0 && static_cast<size_t>(n) < cap) return true;
  out[0] = '\0';
  return false;
}

// The end of an upload's temporary file: renamed over the destination when
// the upload succeeded, deleted otherwise. When the connection is gone it
// stays under its temporary name.
Outcome finish_remote_temp(Transfer *t, Outcome o) {
  LIBSSH2_SFTP *sftp = g_sftp.load();
  if (t->lost || sftp == nullptr) return o;
  if (o == Outcome::ok) {
    int rc = rename_replacing(sftp, t->temp, t->remote);
    if (rc == 0) return o;
    o = remote_failed(t, rc, Outcome::replace_failed);
    if (t->lost) return o;
  }
  libssh2_sftp_unlink_ex(sftp, t->temp, static_cast<unsigned>(strlen(t->temp)));
  return o;
}

// The end of a download's temporary file: it takes the destination's place
// when whole, and is removed otherwise, leaving the destination as it was.
Outcome finish_local_temp(const Transfer &t, Outcome o) {
  if (o == Outcome::ok && platform::file_replace(t.temp, t.local)) return o;
  platform::file_remove(t.temp);
  return o == Outcome::ok ? Outcome::replace_failed : o;
}

// Puts the data where it belongs once both ends are closed. Without a
// temporary file, a cancelled download removes its partial file.
Outcome finish_destination(Transfer *t, Outcome o) {
  if (t->temp[0] == '\0') {
    if (o == Outcome::cancelled && !is_upload(*t))
      platform::file_remove(t->local);
    return o;
  }
  return is_upload(*t) ? finish_remote_temp(t, o) : finish_local_temp(*t, o);
}

// Ends a transfer that began to move data, while g_lock is still held: the
// partial or temporary file goes before another transfer could create one
// of the same name, the record is finished before the next transfer can
// begin its own, and a session whose connection failed is closed.
Outcome transfer_close(Transfer *t, Outcome o) {
  o = finish_destination(t, o);
  progress_finish(error_word_of(*t, o));
  if (t->lost) session_lost();
  return o;
}

// With safe_replace an upload names its temporary remote file before it
// opens anything.
bool prepare_open(Transfer *t) {
  t->safe = session_safe_replace();
  if (!t->safe || !is_upload(*t) || temp_name(t->remote, t->temp, kTempPathCap))
    return true;
  if (t->file != nullptr) fclose(t->file);
  return fail_open(t, Early::remote_create);
}

// What follows the release of g_lock: the message and the end line.
int transfer_end(const Transfer &t, Outcome o) {
  report_failure(t, o);
  if (o == Outcome::ok) log_add("%s OK %s", verb(t), base_name(source_of(t)));
  if (o == Outcome::cancelled)
    log_add("%s CANCELLED %s", verb(t), source_of(t));
  return o == Outcome::ok ? 0 : -1;
}

// The part of every transfer that holds g_lock: from opening the remote side
// to closing both ends. open() leaves nothing open when it fails.
int run_transfer(Transfer *t, bool (*open)(Transfer *),
                 Outcome (*move)(Transfer *)) {
  Outcome o = Outcome::ok;
  {
    Guard guard(g_lock);
    if (prepare_open(t) && open(t)) {
      transfer_begin(*t);
      o = move(t);
      o = transfer_close(t, o);
    } else if (t->lost) {
      session_lost();
    }
  }
  if (t->early != Early::none) {
    report_early(*t);
    return -1;
  }
  return transfer_end(*t, o);
}

// Opens the local source and measures it before any lock is taken. What is
// not a regular file is refused, and so is, for SCP, a file whose size
// cannot be measured: SCP must announce the size before the data.
bool open_local_source(Transfer *t) {
  t->file = platform::file_open(t->local, "rb");
  if (t->file != nullptr && platform::file_is_regular(t->file)) {
    int64_t size = platform::file_size(t->file);
    t->size = size < 0 ? 0 : size;
    if (size >= 0 || !is_scp(*t)) return true;
  }
  if (t->file != nullptr) fclose(t->file);
  t->file = nullptr;
  set_error("cannot read local file '%s'", t->local);
  return false;
}

// Permission bits: the nine of mode, or 0644 when mode is 0 or negative.
int scp_mode(int mode) { return (mode > 0 ? mode : 0644) & 0777; }

}  // namespace

// ---- Shared by both protocols -------------------------------------------

size_t window_for(int64_t round_trip_us, int64_t rate, size_t least,
                  size_t most) {
  int64_t w = round_trip_us * rate;
  if (w < static_cast<int64_t>(least)) return least;
  if (w > static_cast<int64_t>(most)) return most;
  return static_cast<size_t>(w);
}

Outcome remote_failed(Transfer *t, ssize_t rc, Outcome o) {
  if (connection_failed(static_cast<int>(rc), is_scp(*t) ? nullptr : t->sftp)) {
    t->lost = true;
    connection_broken();
  }
  return o;
}

void add_progress(size_t n) {
  while (n > 0) {
    size_t step = n < kChunk ? n : kChunk;
    progress_add(static_cast<int64_t>(step));
    n -= step;
  }
}

bool open_local_destination(Transfer *t) {
  if (t->safe) {
    if (temp_name(t->local, t->temp, sizeof t->temp))
      t->file = platform::file_create_new(t->temp);
    if (t->file == nullptr) t->temp[0] = '\0';
  } else {
    t->file = platform::file_open(t->local, "wb");
  }
  return t->file != nullptr;
}

bool remote_is_folder(const char *path) {
  LIBSSH2_SFTP *sftp = g_sftp.load();
  LIBSSH2_SFTP_ATTRIBUTES attrs{};
  return sftp != nullptr &&
         libssh2_sftp_stat_ex(sftp, path, static_cast<unsigned>(strlen(path)),
                              LIBSSH2_SFTP_STAT, &attrs) == 0 &&
         (attrs.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS) != 0 &&
         LIBSSH2_SFTP_S_ISDIR(attrs.permissions);
}

Outcome store_piece(Transfer *t, const char *p, size_t n) {
  if (cancel_requested()) return Outcome::cancelled;
  return write_piece(t, p, n);
}

Outcome write_piece(Transfer *t, const char *p, size_t n) {
  if (fwrite(p, 1, n, t->file) != n) return Outcome::local_write_failed;
  t->moved += static_cast<int64_t>(n);
  progress_add(static_cast<int64_t>(n));
  return Outcome::ok;
}

Outcome local_stop(const Transfer &t) {
  if (ferror(t.file)) return Outcome::local_read_failed;
  if (t.moved < t.size) return Outcome::local_ended;
  return Outcome::ok;
}

Outcome read_piece(Transfer *t, char *buf, size_t want, size_t *n) {
  *n = fread(buf, 1, want, t->file);
  if (*n == 0) return Outcome::ok;
  if (cancel_requested()) return Outcome::cancelled;
  t->moved += static_cast<int64_t>(*n);
  return Outcome::ok;
}

Outcome close_local(Transfer *t, Outcome o) {
  // A temporary file replaces the destination only once it is on the disk.
  bool synced = o != Outcome::ok || is_upload(*t) || t->temp[0] == '\0' ||
                platform::file_sync(t->file);
  bool closed = fclose(t->file) == 0 && synced;
  t->file = nullptr;
  if (o == Outcome::ok && !is_upload(*t) && !closed)
    return Outcome::local_write_failed;
  return o;
}

}  // namespace xfer

using namespace xfer;

// ---- The four transfers -------------------------------------------------

int sftp_download(const char *remote_path, const char *local_path) {
  if (!require_sftp()) return -1;
  if (!given(remote_path) || !given(local_path)) {
    set_error("both remote and local paths are required");
    return -1;
  }
  Transfer t = make_transfer(Kind::sftp_download, remote_path, local_path);
  return run_transfer(&t, sftp_download_open, sftp_download_move);
}

int sftp_upload(const char *local_path, const char *remote_path) {
  if (!require_sftp()) return -1;
  if (!given(local_path) || !given(remote_path)) {
    set_error("both local and remote paths are required");
    return -1;
  }
  Transfer t = make_transfer(Kind::sftp_upload, remote_path, local_path);
  if (!open_local_source(&t)) return -1;
  return run_transfer(&t, sftp_upload_open, sftp_upload_move);
}

int scp_download(const char *remote_path, const char *local_path) {
  if (!require_ssh()) return -1;
  if (!given(remote_path) || !given(local_path)) {
    set_error("both remote and local paths are required");
    return -1;
  }
  Transfer t = make_transfer(Kind::scp_download, remote_path, local_path);
  return run_transfer(&t, scp_download_open, scp_download_move);
}

int scp_upload(const char *local_path, const char *remote_path, int mode) {
  if (!require_ssh()) return -1;
  if (!given(local_path) || !given(remote_path)) {
    set_error("both local and remote paths are required");
    return -1;
  }
  Transfer t = make_transfer(Kind::scp_upload, remote_path, local_path);
  t.mode = scp_mode(mode);
  if (!open_local_source(&t)) return -1;
  return run_transfer(&t, scp_upload_open, scp_upload_move);
}

}  // namespace tw
