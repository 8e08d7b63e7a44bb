// SCP data movement: the download reads the announced size and the status
// byte behind it; the upload sends whole channel packets, paced by what the
// server has consumed.
#include <cstring>

#include "session.h"
#include "transfer_frame.h"

namespace tw::xfer {

namespace {

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

// Clears the session's last error before an SCP request, so that after a
// refusal it tells what this request met.
void scp_request_begins(LIBSSH2_SESSION *session) {
  libssh2_session_set_last_error(session, LIBSSH2_ERROR_NONE, nullptr);
}

// Whether the server refused to open the SCP request's channel, as one that
// serves one channel per connection (tinysshd) refuses a channel beside the
// SFTP one. Read first after a refusal, while the last error is the
// request's own.
bool channel_refused() {
  LIBSSH2_SESSION *session = g_session.load();
  return session != nullptr &&
         libssh2_session_last_errno(session) == LIBSSH2_ERROR_CHANNEL_FAILURE;
}

// A refused SCP request, or one that failed with the connection. SCP
// refuses a folder as it refuses a missing file; a stat over the SFTP
// session tells the two apart (after the channel test, since the stat
// replaces libssh2's last error).
bool scp_refused(Transfer *t, Early why) {
  t->lost = open_failed_with_connection(nullptr);
  if (t->lost) connection_broken();
  if (!t->lost && channel_refused())
    why = Early::scp_no_channel;
  else if (!t->lost && why == Early::scp_download_refused &&
           remote_is_folder(t->remote))
    why = Early::scp_download_folder;
  return fail_open(t, why);
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
// preceded by a cancellation test; what a request returns is written and
// counted even when cancellation was asked for while it waited, and the
// next test stops the download.
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
    Outcome o = write_piece(t, buf, static_cast<size_t>(n));
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

}  // namespace

// libssh2 can return a channel on which no file was announced (a server
// without scp): the size then keeps the negative mark set before the
// request, and the download is refused like any other refusal.
bool scp_download_open(Transfer *t) {
  LIBSSH2_SESSION *session = g_session.load();
  if (session == nullptr) return fail_open(t, Early::not_connected);
  libssh2_struct_stat st;
  memset(&st, 0, sizeof st);
  st.st_size = -1;
  scp_request_begins(session);
  t->channel = libssh2_scp_recv2(session, t->remote, &st);
  if (t->channel != nullptr && st.st_size < 0) scp_close(t, false);
  if (t->channel == nullptr) return scp_refused(t, Early::scp_download_refused);
  t->size = static_cast<int64_t>(st.st_size);
  t->window = window_for(session_round_trip_us(), kScpRate, kScpMinWindow,
                         kScpMaxWindow);
  if (open_local_destination(t)) return true;
  scp_close(t, false);
  return fail_open(t, Early::local_open);
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
  if (session != nullptr) {
    scp_request_begins(session);
    t->channel =
        libssh2_scp_send64(session, remote_target(*t), t->mode, t->size, 0, 0);
  }
  if (t->channel != nullptr) {
    t->window = window_for(session_round_trip_us(), kScpRate, kScpMinPace,
                           kScpMaxWindow);
    return true;
  }
  fclose(t->file);
  if (session == nullptr) return fail_open(t, Early::not_connected);
  return scp_refused(t, Early::scp_upload_refused);
}

Outcome scp_upload_move(Transfer *t) {
  Outcome o = scp_upload_chunks(t);
  if (o == Outcome::ok) o = scp_finish_upload(t);
  o = close_local(t, o);
  scp_close(t, o == Outcome::ok);
  return o;
}

}  // namespace tw::xfer
