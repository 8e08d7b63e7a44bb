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
  LIBSSH2_SFTP *sftp;  // the SFTP session, read under g_lock
  LIBSSH2_SFTP_HANDLE *handle;
  LIBSSH2_CHANNEL *channel;
  int64_t size;   // the record's total; for SCP the size on the wire
  int64_t moved;  // bytes read from the local file, or written to it
  Early early;
  bool lost;          // the connection failed: the session is closed at the end
  size_t window;      // the bytes read at a time, or kept in flight
  size_t window_cap;  // SFTP upload: the most it keeps in flight; SCP
                      // upload: the largest channel window seen
  int64_t round_trip_us;  // SFTP upload: the time its open request took
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

// Ends a transfer that began to move data, while g_lock is still held: the
// partial file of a cancelled download goes before another transfer could
// create one of the same name, the record is finished before the next
// transfer can begin its own, and a session whose connection failed is
// closed.
void transfer_close(const Transfer &t, Outcome o) {
  if (o == Outcome::cancelled && !is_upload(t)) platform::file_remove(t.local);
  progress_finish(error_word(o));
  if (t.lost) session_lost();
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
    if (open(t)) {
      transfer_begin(*t);
      o = move(t);
      transfer_close(*t, o);
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

// ---- Moving the data ----------------------------------------------------

// The window of the running transfer. Transfers are serialised by g_lock,
// so one static buffer serves all of them: a download reads into its first
// kWindow bytes, an upload slides a range of at most kWindow bytes along it.
constexpr size_t kWindow = 2u << 20;
char g_window[2 * kWindow];

// An SFTP transfer keeps in flight what the link needs, about its
// bandwidth-delay product, judged by the round trip of its open request;
// more only queues up in the server, where OpenSSH's sshd copies its
// growing buffers and slows to a crawl. A download reads a quarter of that
// product at a rate it could reach at a time (libssh2 asks for four reads
// ahead), so a cancelled download has little to drain on a fast link. An
// upload starts small and sets its window after each window's worth of
// acknowledgements to twice what it moved per round trip: the window
// doubles while the link is the limit and shrinks when the server is. It
// stays under three quarters of the server's channel window: when that runs
// dry, libssh2 sends what each small window adjustment allows, and sshd
// handles such fragments slowest of all.
constexpr int64_t kDownloadRate = 512;  // bytes per microsecond
constexpr size_t kMinRead = 128u << 10;
constexpr size_t kMinUploadWindow = 256u << 10;
constexpr size_t kChannelSlack = 16u << 10;

// The bandwidth-delay product of round_trip_us at rate, within the bounds.
size_t window_for(int64_t round_trip_us, int64_t rate, size_t least,
                  size_t most) {
  int64_t w = round_trip_us * rate;
  if (w < static_cast<int64_t>(least)) return least;
  if (w > static_cast<int64_t>(most)) return most;
  return static_cast<size_t>(w);
}

// SCP packets: libssh2 puts at most this many data bytes in one channel
// packet, so writes of this size go out as whole packets.
constexpr size_t kScpPacket = 32700;
// The receive window an SCP download keeps open, so that the server can
// send this much ahead of what was read: the bandwidth-delay product of the
// session's round trip at kScpRate, within the bounds. A window beyond the
// link's needs doubles the server's work on a fast link; 16 MiB nearly
// doubles the rate at 40 ms.
constexpr int64_t kScpRate = 800;  // bytes per microsecond
constexpr size_t kScpMinWindow = 4u << 20;
constexpr size_t kScpMaxWindow = 16u << 20;
// An SCP upload keeps at most the bandwidth-delay product of the session's
// round trip at kScpRate (at least kScpMinPace) sent but not yet consumed
// by the server; on a slower link the channel window is the smaller limit.
// OpenSSH's sshd takes in all that arrives into a buffer that grows in small
// steps, each a fresh mapping and a copy of the whole in a new session
// process: fed a full channel window at loopback speed, the first upload of
// a connection ran at a third of the rate of later ones.
constexpr size_t kScpMinPace = 512u << 10;
// How long a paced upload waits for the server to give window back, beyond
// four round trips, before it goes on unpaced.
constexpr int64_t kScpPaceWaitUs = 20000;

// Returned by scp_read when cancellation stopped it before a request.
constexpr ssize_t kReadCancelled = -100000;

// Records a failed remote call: when the connection failed, the session is
// marked broken so that closing the handle or channel does not wait, and it
// is closed at the end. Returns the outcome for the caller to return.
Outcome remote_failed(Transfer *t, ssize_t rc, Outcome o) {
  if (connection_failed(static_cast<int>(rc), is_scp(*t) ? nullptr : t->sftp)) {
    t->lost = true;
    connection_broken();
  }
  return o;
}

// One SCP read request of at most n bytes: bytes read, 0 at the end of the
// stream, a negative libssh2 error, or kReadCancelled when cancelled is
// tested and set. The one place where an SCP read that would block is asked
// again, after a fresh cancellation test each time.
ssize_t scp_read(Transfer *t, char *buf, size_t n, bool cancellable) {
  for (;;) {
    if (cancellable && cancel_requested()) return kReadCancelled;
    ssize_t r = libssh2_channel_read_ex(t->channel, 0, buf, n);
    if (r != LIBSSH2_ERROR_EAGAIN) return r;
  }
}

// One SCP write: bytes accepted (possibly fewer than offered) or a negative
// libssh2 error. The one place where an SCP write that would block is
// offered again.
ssize_t scp_write(Transfer *t, const char *p, size_t n) {
  ssize_t w;
  do {
    w = libssh2_channel_write_ex(t->channel, 0, p, n);
  } while (w == LIBSSH2_ERROR_EAGAIN);
  return w;
}

// Counts n acknowledged bytes in the record, in steps of at most kChunk.
void add_progress(size_t n) {
  while (n > 0) {
    size_t step = n < kChunk ? n : kChunk;
    progress_add(static_cast<int64_t>(step));
    n -= step;
  }
}

// Offers bytes to the SCP channel until all are accepted; counted writes go
// to the record as they are accepted.
bool scp_send_all(Transfer *t, const char *p, size_t n, bool counted) {
  size_t done = 0;
  while (done < n) {
    ssize_t w = scp_write(t, p + done, n - done);
    if (w < 0) {
      remote_failed(t, w, Outcome::write_failed);
      return false;
    }
    if (counted) add_progress(static_cast<size_t>(w));
    done += static_cast<size_t>(w);
  }
  return true;
}

// Writes one piece of a download to the local file, unless cancellation was
// requested: then the piece is dropped.
Outcome store_piece(Transfer *t, const char *p, size_t n) {
  if (cancel_requested()) return Outcome::cancelled;
  if (fwrite(p, 1, n, t->file) != n) return Outcome::local_write_failed;
  t->moved += static_cast<int64_t>(n);
  progress_add(static_cast<int64_t>(n));
  return Outcome::ok;
}

// Why the local file of an upload yielded nothing: a read error, an end
// before the size measured at the start (a file that shrank), or its end.
Outcome local_stop(const Transfer &t) {
  if (ferror(t.file)) return Outcome::local_read_failed;
  if (t.moved < t.size) return Outcome::local_ended;
  return Outcome::ok;
}

// Reads the next piece of an upload's local file, at most want bytes, and
// tests cancellation after it. Sets *n to the bytes read, 0 when the file
// gave nothing more (local_stop tells why); cancelled ends the upload.
Outcome read_piece(Transfer *t, char *buf, size_t want, size_t *n) {
  *n = fread(buf, 1, want, t->file);
  if (*n == 0) return Outcome::ok;
  if (cancel_requested()) return Outcome::cancelled;
  t->moved += static_cast<int64_t>(*n);
  return Outcome::ok;
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

// Opens the remote file; *round_trip_us is the round trip it took, or the
// session's own when that was shorter.
LIBSSH2_SFTP_HANDLE *sftp_open(Transfer *t, unsigned long flags, long mode,
                               int64_t *round_trip_us) {
  int64_t t0 = monotonic_us();
  LIBSSH2_SFTP_HANDLE *h = libssh2_sftp_open_ex(
      t->sftp, t->remote, static_cast<unsigned>(strlen(t->remote)), flags, mode,
      LIBSSH2_SFTP_OPENFILE);
  // Creating or opening a file can take the server much longer than the
  // network takes; the session's cheapest request bounds the estimate.
  *round_trip_us = monotonic_us() - t0;
  if (session_round_trip_us() > 0 && session_round_trip_us() < *round_trip_us)
    *round_trip_us = session_round_trip_us();
  if (h == nullptr) t->lost = open_failed_with_connection(t->sftp);
  return h;
}

// The session is tested again under g_lock: a disconnect may have closed it
// since the unlocked test at entry.
bool sftp_download_open(Transfer *t) {
  t->sftp = g_sftp.load();
  if (t->sftp == nullptr) return fail_open(t, Early::not_connected);
  t->size = remote_size(t->sftp, t->remote);
  int64_t round_trip_us;
  t->handle = sftp_open(t, LIBSSH2_FXF_READ, 0, &round_trip_us);
  if (t->handle == nullptr) return fail_open(t, Early::remote_open);
  t->window = window_for(round_trip_us, kDownloadRate / 4, kMinRead, kWindow);
  t->file = platform::file_open(t->local, "wb");
  if (t->file != nullptr) return true;
  libssh2_sftp_close_handle(t->handle);
  return fail_open(t, Early::local_open);
}

// Asks for t->window bytes at a time, so that libssh2 keeps four times that
// requested ahead, and hands what arrives on in pieces of kChunk.
Outcome sftp_download_chunks(Transfer *t) {
  for (;;) {
    ssize_t n = libssh2_sftp_read(t->handle, g_window, t->window);
    if (n < 0) return remote_failed(t, n, Outcome::read_failed);
    if (n == 0) return Outcome::ok;
    for (size_t at = 0; at < static_cast<size_t>(n); at += kChunk) {
      size_t piece = static_cast<size_t>(n) - at;
      Outcome o =
          store_piece(t, g_window + at, piece < kChunk ? piece : kChunk);
      if (o != Outcome::ok) return o;
    }
  }
}

Outcome sftp_download_move(Transfer *t) {
  Outcome o = sftp_download_chunks(t);
  o = close_local(t, o);
  libssh2_sftp_close_handle(t->handle);
  return o;
}

// Three quarters of the window the server gives the SFTP channel, so that
// the writes in flight and their headers never fill it; at most kWindow.
// The channel is idle now, so the window open is close to the whole one
// (OpenSSH opens channels with none and grants it afterwards).
size_t upload_window_cap(LIBSSH2_SFTP *sftp) {
  unsigned long initial = 0;
  unsigned long open =
      libssh2_channel_window_write_ex(libssh2_sftp_get_channel(sftp), &initial);
  size_t cap = static_cast<size_t>((open > initial ? open : initial) / 4 * 3);
  if (cap > kWindow) cap = kWindow;
  return cap < kMinUploadWindow ? kMinUploadWindow : cap;
}

bool sftp_upload_open(Transfer *t) {
  t->sftp = g_sftp.load();
  int64_t round_trip_us = 0;
  if (t->sftp != nullptr)
    t->handle =
        sftp_open(t, LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_TRUNC,
                  0644, &round_trip_us);
  if (t->handle != nullptr) {
    t->round_trip_us = round_trip_us;
    t->window_cap = upload_window_cap(t->sftp);
    t->window = kMinUploadWindow;
    return true;
  }
  fclose(t->file);
  return fail_open(
      t, t->sftp == nullptr ? Early::not_connected : Early::remote_create);
}

// The bytes read from the local file and not yet acknowledged by the server
// lie in g_window[head, tail). libssh2_sftp_write is given that whole range
// on every call: it skips the part it has already sent, sends the rest, and
// returns what the server has acknowledged since, by which head moves on.
struct UploadWindow {
  size_t head;
  size_t tail;
  bool ended;    // the local file has given all it will give
  Outcome stop;  // why it ended: ok at its end, or a local failure
  size_t acked;  // acknowledged since the current stretch began
  int64_t stretch_us;
};

// Once a window's worth has been acknowledged, sets the window to twice the
// bytes that stretch moved per round trip, at most doubling it, within the
// bounds.
void pace_window(Transfer *t, UploadWindow *w) {
  if (w->acked < t->window) return;
  int64_t now = monotonic_us();
  double took =
      static_cast<double>(now - w->stretch_us > 0 ? now - w->stretch_us : 1);
  double next = 2.0 * static_cast<double>(w->acked) *
                static_cast<double>(t->round_trip_us) / took;
  double most = static_cast<double>(t->window) * 2;
  if (most > static_cast<double>(t->window_cap)) most = t->window_cap;
  if (next > most) next = most;
  if (next < kMinUploadWindow) next = kMinUploadWindow;
  t->window = static_cast<size_t>(next);
  w->acked = 0;
  w->stretch_us = now;
}

// Reads the local file behind the window until it holds t->window bytes or the
// file ends, moving the range to the front of the buffer when its end is
// near (at most once per window's worth of data).
Outcome fill_window(Transfer *t, UploadWindow *w) {
  // New data that the channel window cannot take whole would go out in
  // fragments as the window opens: while some is in flight, wait for its
  // acknowledgements instead.
  unsigned long room = libssh2_channel_window_write_ex(
      libssh2_sftp_get_channel(t->sftp), nullptr);
  size_t fresh = 0;
  while (!w->ended && w->tail - w->head < t->window &&
         (w->tail == w->head || fresh + kChunk + kChannelSlack <= room)) {
    if (w->tail + kChunk > sizeof g_window) {
      memmove(g_window, g_window + w->head, w->tail - w->head);
      w->tail -= w->head;
      w->head = 0;
    }
    size_t n;
    Outcome o = read_piece(t, g_window + w->tail, kChunk, &n);
    if (o != Outcome::ok) return o;
    w->tail += n;
    fresh += n;
    if (n == 0) {
      w->ended = true;
      w->stop = local_stop(*t);
    }
  }
  return Outcome::ok;
}

// What was read before a local failure is still sent whole, so the server
// holds the file up to where it could be read, as the message says.
Outcome sftp_upload_chunks(Transfer *t) {
  UploadWindow w{0, 0, false, Outcome::ok, 0, monotonic_us()};
  for (;;) {
    Outcome o = fill_window(t, &w);
    if (o != Outcome::ok) return o;
    if (w.head == w.tail) return w.stop;
    ssize_t acked =
        libssh2_sftp_write(t->handle, g_window + w.head, w.tail - w.head);
    if (acked < 0) return remote_failed(t, acked, Outcome::write_failed);
    add_progress(static_cast<size_t>(acked));
    w.head += static_cast<size_t>(acked);
    w.acked += static_cast<size_t>(acked);
    pace_window(t, &w);
  }
}

// A server that reports a failure when the file is closed has not stored
// it, so a failing close fails an upload that was going well.
Outcome sftp_upload_move(Transfer *t) {
  Outcome o = sftp_upload_chunks(t);
  o = close_local(t, o);
  int rc = libssh2_sftp_close_handle(t->handle);
  if (o == Outcome::ok && rc != 0)
    return remote_failed(t, rc, Outcome::write_failed);
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
// itself came to its end. After a connection failure nothing waits: the
// socket is shut down, so the exchange and the freeing fail at once.
void scp_close(Transfer *t, bool graceful) {
  if (graceful && !t->lost) {
    libssh2_channel_send_eof(t->channel);
    libssh2_channel_wait_eof(t->channel);
    libssh2_channel_wait_closed(t->channel);
  }
  libssh2_channel_free(t->channel);
  t->channel = nullptr;
}

// A refused SCP request, or one that failed with the connection.
bool scp_refused(Transfer *t, Early why) {
  t->lost = open_failed_with_connection(nullptr);
  if (t->lost) connection_broken();
  return fail_open(t, why);
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
  if (t->channel == nullptr) return scp_refused(t, Early::scp_download_refused);
  t->size = static_cast<int64_t>(st.st_size);
  t->window = window_for(session_round_trip_us(), kScpRate, kScpMinWindow,
                         kScpMaxWindow);
  t->file = platform::file_open(t->local, "wb");
  if (t->file != nullptr) return true;
  scp_close(t, false);
  return fail_open(t, Early::local_open);
}

// Keeps the download's window open for the server, so that it is not held
// to the window libssh2 grants by itself, which tops up only when little is
// left.
void keep_receive_window(Transfer *t) {
  unsigned long open =
      libssh2_channel_window_read_ex(t->channel, nullptr, nullptr);
  if (open < t->window / 2)
    libssh2_channel_receive_window_adjust2(
        t->channel, static_cast<uint32_t>(t->window - open), 1, nullptr);
}

// Reads exactly the announced size, in requests of at most kChunk, each
// preceded by a cancellation test; what a waiting request returns after a
// cancellation is dropped unwritten.
Outcome scp_download_chunks(Transfer *t) {
  char *buf = g_window;
  while (t->moved < t->size) {
    keep_receive_window(t);
    int64_t left = t->size - t->moved;
    size_t want = left < static_cast<int64_t>(kChunk)
                      ? static_cast<size_t>(left)
                      : kChunk;
    ssize_t n = scp_read(t, buf, want, true);
    if (n == kReadCancelled) return Outcome::cancelled;
    if (n < 0) return remote_failed(t, n, Outcome::read_failed);
    if (n == 0) return Outcome::short_read;
    Outcome o = store_piece(t, buf, static_cast<size_t>(n));
    if (o != Outcome::ok) return o;
  }
  return Outcome::ok;
}

// After the data the source sends one status byte, zero when it could read
// the whole file; the download acknowledges it the same way. All data has
// arrived by then, so a cancellation no longer stops the transfer.
Outcome scp_read_status(Transfer *t) {
  char status = 1;
  ssize_t n = scp_read(t, &status, 1, false);
  if (n < 0) return remote_failed(t, n, Outcome::read_failed);
  if (n != 1 || status != kStatusOk) return Outcome::read_failed;
  scp_send_all(t, &kStatusOk, 1, false);
  return Outcome::ok;
}

Outcome scp_download_move(Transfer *t) {
  Outcome o = scp_download_chunks(t);
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
  if (t->channel != nullptr) {
    t->window = window_for(session_round_trip_us(), kScpRate, kScpMinPace,
                           kScpMaxWindow);
    return true;
  }
  fclose(t->file);
  if (session == nullptr) return fail_open(t, Early::not_connected);
  return scp_refused(t, Early::scp_upload_refused);
}

// Waits until something arrives from the server, at most until deadline_us,
// and has libssh2 handle it (a window adjustment, usually). False when
// nothing came, or what came was not for libssh2 alone to handle: data on
// the channel, or a channel or socket that closed, which the next write
// reports.
bool scp_await_server(Transfer *t, int64_t deadline_us) {
  int64_t now = monotonic_us();
  if (now >= deadline_us) return false;
  // The socket entry ends the wait once anything arrives; the channel entry
  // has libssh2 read what did.
  LIBSSH2_POLLFD fds[2] = {};
  fds[0].type = LIBSSH2_POLLFD_SOCKET;
  fds[0].fd.socket = static_cast<libssh2_socket_t>(session_socket());
  fds[0].events = LIBSSH2_POLLFD_POLLIN;
  fds[1].type = LIBSSH2_POLLFD_CHANNEL;
  fds[1].fd.channel = t->channel;
  fds[1].events = LIBSSH2_POLLFD_POLLIN;
  long wait_ms = static_cast<long>((deadline_us - now + 999) / 1000);
  return libssh2_poll(fds, 2, wait_ms) > 0 && fds[1].revents == 0 &&
         fds[0].revents == LIBSSH2_POLLFD_POLLIN;
}

// Holds the next write back while more than t->window bytes sent are not
// yet consumed by the server: what its channel window lacks of the largest
// seen. A server may give window back only once much of it is used, so
// when nothing comes back within a few round trips the transfer goes on
// unpaced, held only by the channel window as a blocking write is.
void scp_pace(Transfer *t) {
  int64_t deadline_us =
      monotonic_us() + kScpPaceWaitUs + 4 * session_round_trip_us();
  for (;;) {
    unsigned long open = libssh2_channel_window_write_ex(t->channel, nullptr);
    if (open > t->window_cap) t->window_cap = open;
    if (t->window_cap - open <= t->window) return;
    if (!scp_await_server(t, deadline_us)) {
      t->window = SIZE_MAX;
      return;
    }
  }
}

// Sends the local file in whole channel packets: local reads of at most
// kChunk (each followed by a cancellation test) fill g_window, and every
// write but the last takes exactly kScpPacket bytes from its front. SCP
// never sends more than it announced; what was read before the file failed
// or ended early is still sent.
Outcome scp_upload_chunks(Transfer *t) {
  size_t have = 0;
  bool ended = false;
  Outcome stop = Outcome::ok;
  for (;;) {
    while (!ended && have < kScpPacket) {
      int64_t left = t->size - t->moved;
      size_t want = left < static_cast<int64_t>(kChunk)
                        ? static_cast<size_t>(left)
                        : kChunk;
      size_t n = 0;
      if (want > 0) {
        Outcome o = read_piece(t, g_window + have, want, &n);
        if (o != Outcome::ok) return o;
        if (n == 0) stop = local_stop(*t);
      }
      ended = n == 0;
      have += n;
    }
    if (have == 0) return stop;
    scp_pace(t);
    size_t out = have < kScpPacket ? have : kScpPacket;
    if (!scp_send_all(t, g_window, out, true)) return Outcome::write_failed;
    memmove(g_window, g_window + out, have - out);
    have -= out;
  }
}

// The upload ends its data with a zero status byte; the server answers with
// its own status once it has stored the file. All data has been sent by
// then, so a cancellation no longer stops the transfer.
Outcome scp_finish_upload(Transfer *t) {
  if (!scp_send_all(t, &kStatusOk, 1, false)) return Outcome::write_failed;
  char ack = 1;
  ssize_t n = scp_read(t, &ack, 1, false);
  if (n < 0) return remote_failed(t, n, Outcome::write_failed);
  if (n != 1 || ack != kStatusOk) return Outcome::write_failed;
  return Outcome::ok;
}

Outcome scp_upload_move(Transfer *t) {
  Outcome o = scp_upload_chunks(t);
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
