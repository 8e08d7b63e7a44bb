// An SFTP upload over up to four channels of the one session. Each channel
// ("lane") has its own window at the server, its own SFTP session and its
// own handle on the remote file, and writes one part of the file. The first
// lane is the upload's own handle, which starts with the whole file; each
// lane that opens later, and each lane that has sent its part, takes the
// upper half of the largest part still unread. The host sees one transfer:
// progress counts acknowledged bytes in steps of at most 32 KiB, and every
// local read of at most 32 KiB tests cancellation.
//
// The lanes run in libssh2's non-blocking mode from one loop, which calls
// each lane in turn and waits on the socket when none moved, never longer
// in all than the session's time-out since the last lane moved.
#include "transfer_sftp_multi.h"

#include <atomic>
#include <cstdint>
#include <cstring>

#include "platform/platform.h"
#include "session.h"

namespace tw {

namespace {
std::atomic<int> g_forced_lanes{0};
}  // namespace

void set_upload_lanes(int n) {
  g_forced_lanes.store(n < 0 ? 0 : n > 4 ? 4 : n);
}

namespace xfer {

namespace {

constexpr int kMaxLanes = 4;
constexpr int64_t kToTheEnd = INT64_MAX;
// One round trip of at least this keeps one window from filling the link.
constexpr int64_t kRoundTripPerLaneUs = 8000;
// The smallest part that a lane of its own is worth, chosen and forced.
constexpr int64_t kMinPart = 4ll << 20;
constexpr int64_t kMinForcedPart = 256ll << 10;
// The longest single wait on the socket: data that another lane's call took
// off the socket for this one is found on the next pass at the latest.
constexpr int kLongestWaitMs = 10;

// The buffers of the lanes after the first, which uses g_window. Each holds
// twice the most a lane keeps in flight, so that moving its range to the
// front happens at most once per window's worth of data.
char g_lane_window[kMaxLanes - 1][2 * kWindow];

enum class LaneState { unused, starting, opening, moving, refused };

struct Lane {
  LaneState state;
  LIBSSH2_SFTP *sftp;  // the first lane's is the transfer's own
  LIBSSH2_SFTP_HANDLE *handle;
  char *buf;
  size_t head, tail;   // read from the file, not yet acknowledged
  size_t cap;          // the most kept in flight
  int64_t next;        // the file offset of buf[tail]
  int64_t end;         // the end of its part, or kToTheEnd
  bool has_part;       // reading a part that is not yet read whole
  unsigned long room;  // its channel window after its last write
};

struct Lanes {
  Transfer *t;
  LIBSSH2_SESSION *session;
  Lane lane[kMaxLanes];
  int wanted;
  int64_t min_part;
  int64_t file_pos;    // where the local stream stands
  bool reading;        // false once the local file ended or failed
  Outcome local;       // how the local file ended, when it did
  int64_t moved_us;    // when a lane last moved
  int64_t timeout_us;  // the session's time-out, 0 for none
  bool counting;       // acknowledgements go to the record
};

bool in_flight(const Lane &l) { return l.head != l.tail; }
bool ready(const Lane &l) { return l.state == LaneState::moving; }

// The bytes of a lane's part still to be read; a part to the end runs to the
// measured size, as far as the others can tell.
int64_t unread(const Lanes &s, const Lane &l) {
  if (!ready(l) || !l.has_part) return 0;
  int64_t end = l.end == kToTheEnd ? s.t->size : l.end;
  return end > l.next ? end - l.next : 0;
}

// Records a failed call of a lane and ends the connection, whatever the
// failure. In non-blocking mode libssh2 drops a handle's writes in flight
// when one of them fails, a packet it had begun to send included; the SFTP
// stream of that channel may then be cut mid-packet, and nothing sent on it
// afterwards would be understood. The upload fails with its message, and
// the session is closed as after a lost connection.
Outcome lane_failed(Lanes *s, const Lane &, ssize_t) {
  s->t->lost = true;
  connection_broken();
  return Outcome::write_failed;
}

// The most a lane keeps in flight.
size_t lane_cap(LIBSSH2_SFTP *sftp) {
  size_t cap = channel_window_cap(sftp);
  return cap < kChunk ? kChunk : cap;
}

// Gives an idle lane, whose data has all been acknowledged, the upper half
// of the largest part still unread, from a point that keeps chunks whole.
// The handle's offset may move only now, with nothing of it in flight.
void take_part(Lanes *s, Lane *l) {
  Lane *donor = nullptr;
  for (Lane &d : s->lane)
    if (unread(*s, d) >= 2 * s->min_part &&
        (donor == nullptr || unread(*s, d) > unread(*s, *donor)))
      donor = &d;
  if (donor == nullptr) return;
  int64_t half = unread(*s, *donor) / 2;
  int64_t at = donor->next + half - half % static_cast<int64_t>(kChunk);
  l->next = at;
  l->end = donor->end;
  l->has_part = true;
  l->head = l->tail = 0;
  donor->end = at;
  libssh2_sftp_seek64(l->handle, static_cast<libssh2_uint64_t>(at));
}

// The local file gave nothing more at the lane's offset. The true end of
// the file ends the lane's part; a read error, or an end before the part's
// end or the measured size (a file that shrank), stops all reading, and the
// upload fails once what was read has landed.
void local_end(Lanes *s, Lane *l) {
  l->has_part = false;
  Outcome o = Outcome::ok;
  if (ferror(s->t->file))
    o = Outcome::local_read_failed;
  else if (l->end != kToTheEnd || l->next < s->t->size)
    o = Outcome::local_ended;
  if (o == Outcome::ok) return;
  s->reading = false;
  s->local = o;
}

// Reads the lane's part behind its range until it holds l->cap bytes or the
// part ends.
Outcome fill_lane(Lanes *s, Lane *l) {
  while (s->reading && l->has_part && l->tail - l->head < l->cap) {
    int64_t left = l->end - l->next;
    if (left <= 0) {
      l->has_part = false;
      break;
    }
    if (l->tail + kChunk > 2 * kWindow) {
      memmove(l->buf, l->buf + l->head, l->tail - l->head);
      l->tail -= l->head;
      l->head = 0;
    }
    if (s->file_pos != l->next && !platform::file_seek(s->t->file, l->next))
      return Outcome::local_read_failed;
    size_t want = left < static_cast<int64_t>(kChunk)
                      ? static_cast<size_t>(left)
                      : kChunk;
    size_t n;
    Outcome o = read_piece(s->t, l->buf + l->tail, want, &n);
    if (o != Outcome::ok) return o;
    s->file_pos = l->next + static_cast<int64_t>(n);
    if (n == 0) {
      local_end(s, l);
      break;
    }
    l->tail += n;
    l->next += static_cast<int64_t>(n);
  }
  return Outcome::ok;
}

unsigned long window_of(const Lane &l) {
  return libssh2_channel_window_write(libssh2_sftp_get_channel(l.sftp));
}

// Offers the lane's range to libssh2, which sends what it has not sent and
// returns what the server has acknowledged since. That counts in the record
// while the upload runs; once it stops, the record stays as it stopped.
Outcome write_lane(Lanes *s, Lane *l, bool *moved) {
  if (!in_flight(*l)) return Outcome::ok;
  ssize_t rc =
      libssh2_sftp_write(l->handle, l->buf + l->head, l->tail - l->head);
  l->room = window_of(*l);
  if (rc == LIBSSH2_ERROR_EAGAIN || rc == 0) return Outcome::ok;
  if (rc < 0) {
    // libssh2 drops the handle's writes in flight with the failure, so
    // nothing of this lane is left to drain.
    l->head = l->tail;
    return lane_failed(s, *l, rc);
  }
  if (s->counting) add_progress(static_cast<size_t>(rc));
  l->head += static_cast<size_t>(rc);
  *moved = true;
  return Outcome::ok;
}

// One step of opening the next lane: its SFTP session, then its handle on
// the upload's remote file (neither created nor truncated again). A server
// that refuses either leaves the upload with the lanes it has.
void open_step(Lanes *s, Lane *l, bool *moved) {
  if (l->state == LaneState::unused) l->state = LaneState::starting;
  if (l->state == LaneState::starting) {
    l->sftp = libssh2_sftp_init(s->session);
    if (l->sftp == nullptr) {
      if (libssh2_session_last_errno(s->session) != LIBSSH2_ERROR_EAGAIN)
        l->state = LaneState::refused;
      return;
    }
    l->state = LaneState::opening;
    *moved = true;
  }
  // The file the upload's own handle created: the temporary one under
  // safe_replace, which only that handle creates.
  const char *path = remote_target(*s->t);
  l->handle =
      libssh2_sftp_open_ex(l->sftp, path, static_cast<unsigned>(strlen(path)),
                           LIBSSH2_FXF_WRITE, 0, LIBSSH2_SFTP_OPENFILE);
  if (l->handle == nullptr) {
    if (libssh2_session_last_errno(s->session) != LIBSSH2_ERROR_EAGAIN)
      l->state = LaneState::refused;
    return;
  }
  l->state = LaneState::moving;
  l->cap = lane_cap(l->sftp);
  *moved = true;
}

// True when some part is large enough to be shared with another lane.
bool part_to_share(const Lanes &s) {
  for (const Lane &l : s.lane)
    if (unread(s, l) >= 2 * s.min_part) return true;
  return false;
}

// Opens the lanes still wanted, one step each. libssh2 starts one SFTP
// session at a time, but a lane may open its handle while the next starts.
// After a refusal no more are asked for, nor when nothing is left to share.
void open_lanes(Lanes *s, bool *moved) {
  for (int i = 1; i < s->wanted; ++i) {
    Lane &l = s->lane[i];
    if (l.state == LaneState::refused) return;
    if (l.state == LaneState::moving) continue;
    if (l.state == LaneState::unused && !part_to_share(*s)) return;
    open_step(s, &l, moved);
    if (l.state == LaneState::starting || l.state == LaneState::refused) return;
  }
}

// True when another lane's call took something off the socket for this
// one: data queued inside libssh2, or a window adjustment since its write.
bool news_for(const Lane &l) {
  if (!ready(l) || l.sftp == nullptr) return false;
  if (libssh2_poll_channel_read(libssh2_sftp_get_channel(l.sftp), 0) > 0)
    return true;
  return in_flight(l) && window_of(l) > l.room;
}

// Waits until the socket has something for a lane, within the time-out
// since the last lane moved; no wait when something came for a lane
// already.
Outcome wait_socket(Lanes *s) {
  for (const Lane &l : s->lane)
    if (news_for(l)) return Outcome::ok;
  int64_t waited = platform::monotonic_us() - s->moved_us;
  if (s->timeout_us > 0 && waited >= s->timeout_us)
    return lane_failed(s, s->lane[0], LIBSSH2_ERROR_TIMEOUT);
  int wait_ms = kLongestWaitMs;
  if (s->timeout_us > 0 && (s->timeout_us - waited) / 1000 + 1 < wait_ms)
    wait_ms = static_cast<int>((s->timeout_us - waited) / 1000 + 1);
  bool out = (libssh2_session_block_directions(s->session) &
              LIBSSH2_SESSION_BLOCK_OUTBOUND) != 0;
  platform::net_wait(session_socket(), out, wait_ms);
  return Outcome::ok;
}

// One pass over the lanes: reading, writing, opening the next lane, and
// handing parts to lanes that have none.
Outcome pass(Lanes *s, bool *moved) {
  if (cancel_requested()) return Outcome::cancelled;
  for (Lane &l : s->lane) {
    if (!ready(l)) continue;
    if (!l.has_part && !in_flight(l) && s->reading) take_part(s, &l);
    Outcome o = fill_lane(s, &l);
    if (o == Outcome::ok) o = write_lane(s, &l, moved);
    if (o != Outcome::ok) return o;
  }
  open_lanes(s, moved);
  return Outcome::ok;
}

// True when every byte read has been acknowledged and nothing more will be
// read.
bool all_landed(const Lanes &s) {
  for (const Lane &l : s.lane)
    if (in_flight(l) || (s.reading && ready(l) && l.has_part)) return false;
  return true;
}

bool any_in_flight(const Lanes &s) {
  for (const Lane &l : s.lane)
    if (in_flight(l)) return true;
  return false;
}

// After a cancellation or a failure, reads nothing more but lets libssh2
// finish what it holds: until then a packet of one lane may be half sent,
// and no other call could send a packet of its own. A lane that failed has
// dropped its writes.
Outcome drain(Lanes *s, Outcome o) {
  s->reading = false;
  s->counting = false;
  s->moved_us = platform::monotonic_us();
  while (!s->t->lost && any_in_flight(*s)) {
    bool moved = false;
    for (Lane &l : s->lane) {
      if (!ready(l) || !in_flight(l)) continue;
      write_lane(s, &l, &moved);
    }
    if (moved)
      s->moved_us = platform::monotonic_us();
    else if (wait_socket(s) != Outcome::ok)
      break;
  }
  return o;
}

Outcome run_lanes(Lanes *s) {
  for (;;) {
    bool moved = false;
    Outcome o = pass(s, &moved);
    if (o != Outcome::ok) return drain(s, o);
    if (all_landed(*s)) return s->local;
    if (moved) {
      s->moved_us = platform::monotonic_us();
      continue;
    }
    o = wait_socket(s);
    if (o != Outcome::ok) return o;
  }
}

// The end of the data that has landed without a gap from the start of the
// file: a lane's part is whole up to its first byte not acknowledged.
int64_t landed_prefix(const Lanes &s) {
  int64_t prefix = INT64_MAX;
  for (const Lane &l : s.lane) {
    if (!ready(l) || (!l.has_part && !in_flight(l))) continue;
    int64_t acked = l.next - static_cast<int64_t>(l.tail - l.head);
    if (acked < prefix) prefix = acked;
  }
  return prefix;
}

// An upload that stopped leaves the remote file as one channel would: the
// data up to the first gap, and nothing beyond it.
void cut_to_prefix(const Lanes &s) {
  int64_t prefix = landed_prefix(s);
  if (s.t->lost || prefix == INT64_MAX) return;
  LIBSSH2_SFTP_ATTRIBUTES attrs{};
  attrs.flags = LIBSSH2_SFTP_ATTR_SIZE;
  attrs.filesize = static_cast<libssh2_uint64_t>(prefix);
  libssh2_sftp_fsetstat(s.t->handle, &attrs);
}

// One step of closing an extra lane: its handle, then its SFTP session.
// False while libssh2 has more to do for it. A failing close of a handle
// fails an upload that was going well, as for the first lane.
bool close_step(Lanes *s, Lane *l, Outcome *o) {
  if (l->handle != nullptr) {
    int rc = libssh2_sftp_close_handle(l->handle);
    if (rc == LIBSSH2_ERROR_EAGAIN) return false;
    l->handle = nullptr;
    if (*o == Outcome::ok && rc != 0) *o = lane_failed(s, *l, rc);
  }
  if (l->sftp != nullptr) {
    if (libssh2_sftp_shutdown(l->sftp) == LIBSSH2_ERROR_EAGAIN) return false;
    l->sftp = nullptr;
  }
  return true;
}

// Closes the extra lanes side by side, so that their round trips overlap.
// A lane caught half open is first opened to its end, blocking, before any
// other call, as its packet may be half sent; so libssh2 frees all it
// began. Ends in blocking mode.
Outcome close_lanes(Lanes *s, Outcome o) {
  libssh2_session_set_blocking(s->session, 1);
  for (Lane &l : s->lane) {
    bool ignored;
    if (l.state == LaneState::starting || l.state == LaneState::opening)
      open_step(s, &l, &ignored);
  }
  libssh2_session_set_blocking(s->session, 0);
  s->moved_us = platform::monotonic_us();
  for (int open = kMaxLanes;;) {
    int left = 0;
    for (int i = 1; i < kMaxLanes; ++i)
      left += close_step(s, &s->lane[i], &o) ? 0 : 1;
    if (left == 0) break;
    if (left < open) s->moved_us = platform::monotonic_us();
    open = left;
    Outcome w = wait_socket(s);
    if (o == Outcome::ok) o = w;
  }
  libssh2_session_set_blocking(s->session, 1);
  if (o != Outcome::ok) cut_to_prefix(*s);
  return o;
}

}  // namespace

int upload_lanes(const Transfer &t) {
  int forced = g_forced_lanes.load();
  if (forced > 0) return forced;
  int64_t lanes = 1 + t.round_trip_us / kRoundTripPerLaneUs;
  if (lanes > t.size / kMinPart) lanes = t.size / kMinPart;
  if (lanes > kMaxLanes) lanes = kMaxLanes;
  return lanes < 1 ? 1 : static_cast<int>(lanes);
}

Outcome sftp_upload_lanes(Transfer *t, int lanes) {
  static Lanes s;  // the transfer holds g_lock
  s = Lanes{};
  s.t = t;
  s.session = g_session.load();
  s.wanted = lanes > kMaxLanes ? kMaxLanes : lanes;
  s.min_part = g_forced_lanes.load() > 0 ? kMinForcedPart : kMinPart;
  s.reading = true;
  s.counting = true;
  s.local = Outcome::ok;
  s.moved_us = platform::monotonic_us();
  s.timeout_us = libssh2_session_get_timeout(s.session) * 1000ll;
  s.lane[0] = Lane{LaneState::moving, t->sftp, t->handle, g_window, 0, 0,
                   lane_cap(t->sftp), 0,       kToTheEnd, true,     0};
  for (int i = 1; i < kMaxLanes; ++i) s.lane[i].buf = g_lane_window[i - 1];
  libssh2_session_set_blocking(s.session, 0);
  Outcome o = run_lanes(&s);
  return close_lanes(&s, o);
}

}  // namespace xfer
}  // namespace tw
