// SFTP data movement: a download reads ahead through libssh2's pipelined
// reads, an upload keeps a window of writes in flight that follows the link.
#include <cstring>

#include "session.h"
#include "transfer_frame.h"
#include "transfer_sftp_multi.h"

namespace tw::xfer {

namespace {

// An SFTP transfer keeps in flight what the link needs, about its
// bandwidth-delay product, judged by the round trip of its open request;
// more only queues up in the server, where OpenSSH's sshd copies its
// growing buffers and slows to a crawl. A download reads a quarter of that
// product at a rate it could reach at a time (libssh2 asks for four reads
// ahead), so a cancelled download has little to drain on a fast link. An
// upload starts small and sets its window after each window's worth of
// acknowledgements to twice what it moved per round trip: the window
// doubles while the link is the limit and shrinks when the server is. It
// keeps at most the server's channel window in flight, less room for the
// packet headers: sshd grants more as it takes data in, so the whole
// window can be used (three quarters of it cost a fifth of the rate). Past
// one window per round trip, the upload takes more channels
// (transfer_sftp_multi.cpp).
constexpr int64_t kDownloadRate = 512;  // bytes per microsecond
constexpr size_t kMinRead = 128u << 10;
constexpr size_t kMinUploadWindow = 256u << 10;
constexpr size_t kChannelSlack = 16u << 10;

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
  const char *path = remote_target(*t);
  LIBSSH2_SFTP_HANDLE *h =
      libssh2_sftp_open_ex(t->sftp, path, static_cast<unsigned>(strlen(path)),
                           flags, mode, LIBSSH2_SFTP_OPENFILE);
  // Creating or opening a file can take the server much longer than the
  // network takes; the session's cheapest request bounds the estimate.
  *round_trip_us = monotonic_us() - t0;
  if (session_round_trip_us() > 0 && session_round_trip_us() < *round_trip_us)
    *round_trip_us = session_round_trip_us();
  if (h == nullptr) t->lost = open_failed_with_connection(t->sftp);
  return h;
}

// OpenSSH's server opens a folder for reading as it would a file, and
// fails only the first read: the open handle's attributes tell a folder
// before anything local is touched.
bool handle_is_folder(LIBSSH2_SFTP_HANDLE *h) {
  LIBSSH2_SFTP_ATTRIBUTES attrs{};
  return libssh2_sftp_fstat_ex(h, &attrs, 0) == 0 &&
         (attrs.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS) != 0 &&
         LIBSSH2_SFTP_S_ISDIR(attrs.permissions);
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

// The channel is idle now, so the window open is close to the whole one
// (OpenSSH opens channels with none and grants it afterwards).
size_t upload_window_cap(LIBSSH2_SFTP *sftp) {
  size_t cap = channel_window_cap(sftp);
  return cap < kMinUploadWindow ? kMinUploadWindow : cap;
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

}  // namespace

size_t channel_window_cap(LIBSSH2_SFTP *sftp) {
  constexpr size_t kHeaderRoom = 64u << 10;
  unsigned long initial = 0;
  unsigned long open =
      libssh2_channel_window_write_ex(libssh2_sftp_get_channel(sftp), &initial);
  size_t window = open > initial ? open : initial;
  size_t cap = window > 2 * kHeaderRoom ? window - kHeaderRoom : window / 2;
  return cap > kWindow ? kWindow : cap;
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
  Early why = Early::remote_folder;
  if (!handle_is_folder(t->handle)) {
    if (open_local_destination(t)) return true;
    why = Early::local_open;
  }
  libssh2_sftp_close_handle(t->handle);
  return fail_open(t, why);
}

Outcome sftp_download_move(Transfer *t) {
  Outcome o = sftp_download_chunks(t);
  o = close_local(t, o);
  libssh2_sftp_close_handle(t->handle);
  return o;
}

bool sftp_upload_open(Transfer *t) {
  t->sftp = g_sftp.load();
  int64_t round_trip_us = 0;
  // A temporary file must be a new one: an old file of that name is never
  // written, let alone renamed over the destination.
  unsigned long excl = t->temp[0] != '\0' ? LIBSSH2_FXF_EXCL : 0;
  if (t->sftp != nullptr)
    t->handle = sftp_open(
        t, LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_TRUNC | excl,
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

// A server that reports a failure when the file is closed has not stored
// it, so a failing close fails an upload that was going well.
Outcome sftp_upload_move(Transfer *t) {
  int lanes = upload_lanes(*t);
  Outcome o = lanes > 1 ? sftp_upload_lanes(t, lanes) : sftp_upload_chunks(t);
  o = close_local(t, o);
  int rc = libssh2_sftp_close_handle(t->handle);
  if (o == Outcome::ok && rc != 0)
    return remote_failed(t, rc, Outcome::write_failed);
  return o;
}

}  // namespace tw::xfer
