#include "transfer.h"

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <cstdio>
#include <cstring>

#include "log.h"
#include "platform/platform.h"
#include "session.h"

namespace tw {

std::atomic<int> g_cancel_req{0};

namespace {

TransferProgress g_prog;  // guarded by g_prog_lock

bool cancel_requested() { return g_cancel_req.load() != 0; }

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

namespace {

enum class Kind { sftp_download, sftp_upload, scp_download, scp_upload };

// How a transfer that began to move data ended.
enum class Outcome {
  ok,
  cancelled,
  read_failed,         // the remote side failed to deliver
  write_failed,        // the remote side refused or failed to store
  local_read_failed,   // the local file gave a read error
  local_ended,         // the local file ended before the size SCP announced
  local_write_failed,  // the local file took fewer bytes than given
  short_read,          // the SCP stream ended before the announced size
};

// Why a transfer stopped before it began to move data. Nothing of the
// progress record or the cancellation flag has been touched then.
enum class Early {
  none,
  not_connected,
  remote_open,
  local_open,
  remote_create,
  scp_download_refused,
  scp_upload_refused,
};

struct Transfer {
  Kind kind;
  const char *remote;
  const char *local;
  int mode;  // SCP upload permission bits
  FILE *file;
  LIBSSH2_SFTP_HANDLE *handle;
  LIBSSH2_CHANNEL *channel;
  int64_t size;   // the record's total; for SCP the size on the wire
  int64_t moved;  // bytes written to the destination in whole chunks
  Early early;
};

Transfer make_transfer(Kind kind, const char *remote, const char *local) {
  Transfer t{};
  t.kind = kind;
  t.remote = remote;
  t.local = local;
  return t;
}

bool is_upload(const Transfer &t) {
  return t.kind == Kind::sftp_upload || t.kind == Kind::scp_upload;
}
bool is_scp(const Transfer &t) {
  return t.kind == Kind::scp_download || t.kind == Kind::scp_upload;
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
  }
  return "";
}

bool given(const char *path) { return path != nullptr && path[0] != '\0'; }

// Records why opening failed; always false, for the caller to return.
bool fail_open(Transfer *t, Early why) {
  t->early = why;
  return false;
}

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
    case Early::scp_upload_refused:
      set_error("SCP upload refused for '%s' (permission denied?)", t.remote);
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

// Everything after g_lock has been released: the partial file of a
// cancelled download goes, the record is finished, then the message and the
// end line are written.
int transfer_end(const Transfer &t, Outcome o) {
  if (o == Outcome::cancelled && !is_upload(t)) platform::file_remove(t.local);
  progress_finish(error_word(o));
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
    if (open(t)) {
      transfer_begin(*t);
      o = move(t);
    }
  }
  if (t->early != Early::none) {
    report_early(*t);
    return -1;
  }
  return transfer_end(*t, o);
}

// ---- Moving the data ----------------------------------------------------

// Returned by remote_read when cancellation stopped it before a request.
constexpr ssize_t kReadCancelled = -100000;

// One read request of at most n bytes: bytes read, 0 at the end of the
// stream, a negative libssh2 error or kReadCancelled. This is the one place
// where an SCP read that would block is asked again, after a fresh
// cancellation test each time.
ssize_t remote_read(Transfer *t, char *buf, size_t n) {
  if (!is_scp(*t)) return libssh2_sftp_read(t->handle, buf, n);
  for (;;) {
    if (cancel_requested()) return kReadCancelled;
    ssize_t r = libssh2_channel_read_ex(t->channel, 0, buf, n);
    if (r != LIBSSH2_ERROR_EAGAIN) return r;
  }
}

// One write request: bytes accepted (possibly fewer than offered) or a
// negative libssh2 error. This is the one place where an SCP write that
// would block is offered again.
ssize_t remote_write(Transfer *t, const char *p, size_t n) {
  if (!is_scp(*t)) return libssh2_sftp_write(t->handle, p, n);
  ssize_t w;
  do {
    w = libssh2_channel_write_ex(t->channel, 0, p, n);
  } while (w == LIBSSH2_ERROR_EAGAIN);
  return w;
}

// Offers the bytes until the server has accepted all of them. Each accepted
// part of a counted write goes to the progress record at once.
bool send_all(Transfer *t, const char *p, size_t n, bool counted) {
  size_t done = 0;
  while (done < n) {
    ssize_t w = remote_write(t, p + done, n - done);
    if (w < 0) return false;
    if (counted) progress_add(w);
    done += static_cast<size_t>(w);
  }
  return true;
}

// How much the next chunk asks for: SFTP reads until the remote or local
// file ends, SCP exactly the announced size, so 0 means SCP is done.
size_t next_chunk(const Transfer &t) {
  if (!is_scp(t)) return kChunk;
  int64_t left = t.size - t.moved;
  if (left <= 0) return 0;
  return left < static_cast<int64_t>(kChunk) ? static_cast<size_t>(left)
                                             : kChunk;
}

// Copies remote data into the local file. A chunk read after a cancellation
// request is dropped unwritten.
Outcome download_chunks(Transfer *t) {
  char buf[kChunk];
  for (;;) {
    size_t want = next_chunk(*t);
    if (want == 0) return Outcome::ok;
    ssize_t n = remote_read(t, buf, want);
    if (n == kReadCancelled) return Outcome::cancelled;
    if (n < 0) return Outcome::read_failed;
    if (n == 0) return is_scp(*t) ? Outcome::short_read : Outcome::ok;
    if (cancel_requested()) return Outcome::cancelled;
    if (fwrite(buf, 1, static_cast<size_t>(n), t->file) !=
        static_cast<size_t>(n))
      return Outcome::local_write_failed;
    t->moved += n;
    progress_add(n);
  }
}

// Why the local file yielded nothing: a read error, the end of the file
// before the size SCP announced, or simply its end.
Outcome local_stop(const Transfer &t) {
  if (ferror(t.file)) return Outcome::local_read_failed;
  if (is_scp(t)) return Outcome::local_ended;
  return Outcome::ok;
}

// Sends the local file. SCP never sends more than it announced.
Outcome upload_chunks(Transfer *t) {
  char buf[kChunk];
  for (;;) {
    size_t want = next_chunk(*t);
    if (want == 0) return Outcome::ok;
    size_t n = fread(buf, 1, want, t->file);
    if (n == 0) return local_stop(*t);
    if (cancel_requested()) return Outcome::cancelled;
    if (!send_all(t, buf, n, true)) return Outcome::write_failed;
    t->moved += static_cast<int64_t>(n);
  }
}

// Closes the local file. Buffered data of a download is written only now,
// so a failing close (a full disk) fails a download that was going well.
Outcome close_local(Transfer *t, Outcome o) {
  bool closed = fclose(t->file) == 0;
  t->file = nullptr;
  if (o == Outcome::ok && !is_upload(*t) && !closed)
    return Outcome::local_write_failed;
  return o;
}

// ---- SFTP ---------------------------------------------------------------

// The size of the remote file as the server states it, or 0.
int64_t remote_size(LIBSSH2_SFTP *sftp, const char *path) {
  LIBSSH2_SFTP_ATTRIBUTES attrs{};
  int rc = libssh2_sftp_stat_ex(sftp, path, static_cast<unsigned>(strlen(path)),
                                LIBSSH2_SFTP_STAT, &attrs);
  if (rc != 0 || (attrs.flags & LIBSSH2_SFTP_ATTR_SIZE) == 0) return 0;
  return static_cast<int64_t>(attrs.filesize);
}

LIBSSH2_SFTP_HANDLE *sftp_open(LIBSSH2_SFTP *sftp, const char *path,
                               unsigned long flags, long mode) {
  return libssh2_sftp_open_ex(sftp, path, static_cast<unsigned>(strlen(path)),
                              flags, mode, LIBSSH2_SFTP_OPENFILE);
}

// The session is tested again under g_lock: a disconnect may have closed it
// since the unlocked test at entry.
bool sftp_download_open(Transfer *t) {
  LIBSSH2_SFTP *sftp = g_sftp.load();
  if (sftp == nullptr) return fail_open(t, Early::not_connected);
  t->size = remote_size(sftp, t->remote);
  t->handle = sftp_open(sftp, t->remote, LIBSSH2_FXF_READ, 0);
  if (t->handle == nullptr) return fail_open(t, Early::remote_open);
  t->file = platform::file_open(t->local, "wb");
  if (t->file != nullptr) return true;
  libssh2_sftp_close_handle(t->handle);
  return fail_open(t, Early::local_open);
}

Outcome sftp_download_move(Transfer *t) {
  Outcome o = download_chunks(t);
  o = close_local(t, o);
  libssh2_sftp_close_handle(t->handle);
  return o;
}

bool sftp_upload_open(Transfer *t) {
  LIBSSH2_SFTP *sftp = g_sftp.load();
  if (sftp != nullptr)
    t->handle = sftp_open(
        sftp, t->remote,
        LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_TRUNC, 0644);
  if (t->handle != nullptr) return true;
  fclose(t->file);
  return fail_open(
      t, sftp == nullptr ? Early::not_connected : Early::remote_create);
}

// A server that reports a failure when the file is closed has not stored
// it, so a failing close fails an upload that was going well.
Outcome sftp_upload_move(Transfer *t) {
  Outcome o = upload_chunks(t);
  o = close_local(t, o);
  int rc = libssh2_sftp_close_handle(t->handle);
  if (o == Outcome::ok && rc != 0) return Outcome::write_failed;
  return o;
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

// ---- SCP ----------------------------------------------------------------

const char kStatusOk = '\0';

// Frees the channel, after the end-of-file exchange when the SCP exchange
// itself came to its end.
void scp_close(Transfer *t, bool graceful) {
  if (graceful) {
    libssh2_channel_send_eof(t->channel);
    libssh2_channel_wait_eof(t->channel);
    libssh2_channel_wait_closed(t->channel);
  }
  libssh2_channel_free(t->channel);
  t->channel = nullptr;
}

// libssh2 can return a channel on which no file was announced (a server
// without scp): the size then keeps the negative mark set before the
// request, and the download is refused like any other refusal.
bool scp_download_open(Transfer *t) {
  LIBSSH2_SESSION *session = g_session.load();
  if (session == nullptr) return fail_open(t, Early::not_connected);
  libssh2_struct_stat st;
  memset(&st, 0, sizeof st);
  st.st_size = -1;
  t->channel = libssh2_scp_recv2(session, t->remote, &st);
  if (t->channel != nullptr && st.st_size < 0) scp_close(t, false);
  if (t->channel == nullptr) return fail_open(t, Early::scp_download_refused);
  t->size = static_cast<int64_t>(st.st_size);
  t->file = platform::file_open(t->local, "wb");
  if (t->file != nullptr) return true;
  scp_close(t, false);
  return fail_open(t, Early::local_open);
}

// After the data the source sends one status byte, zero when it could read
// the whole file; the download acknowledges it the same way.
Outcome scp_read_status(Transfer *t) {
  char status = 1;
  ssize_t n = remote_read(t, &status, 1);
  if (n == kReadCancelled) return Outcome::cancelled;
  if (n != 1 || status != kStatusOk) return Outcome::read_failed;
  send_all(t, &kStatusOk, 1, false);
  return Outcome::ok;
}

Outcome scp_download_move(Transfer *t) {
  Outcome o = download_chunks(t);
  if (o == Outcome::ok) o = scp_read_status(t);
  bool graceful = o == Outcome::ok || o == Outcome::short_read;
  o = close_local(t, o);
  scp_close(t, graceful);
  return o;
}

bool scp_upload_open(Transfer *t) {
  LIBSSH2_SESSION *session = g_session.load();
  if (session != nullptr)
    t->channel = libssh2_scp_send64(session, t->remote, t->mode, t->size, 0, 0);
  if (t->channel != nullptr) return true;
  fclose(t->file);
  return fail_open(
      t, session == nullptr ? Early::not_connected : Early::scp_upload_refused);
}

// The upload ends its data with a zero status byte; the server answers with
// its own status once it has stored the file.
Outcome scp_finish_upload(Transfer *t) {
  if (!send_all(t, &kStatusOk, 1, false)) return Outcome::write_failed;
  char ack = 1;
  ssize_t n = remote_read(t, &ack, 1);
  if (n == kReadCancelled) return Outcome::cancelled;
  if (n != 1 || ack != kStatusOk) return Outcome::write_failed;
  return Outcome::ok;
}

Outcome scp_upload_move(Transfer *t) {
  Outcome o = upload_chunks(t);
  if (o == Outcome::ok) o = scp_finish_upload(t);
  o = close_local(t, o);
  scp_close(t, o == Outcome::ok);
  return o;
}

// Permission bits: the nine of mode, or 0644 when mode is 0 or negative.
int scp_mode(int mode) { return (mode > 0 ? mode : 0644) & 0777; }

}  // namespace

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
