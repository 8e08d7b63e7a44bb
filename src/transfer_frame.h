// The frame that the four transfers share: what one transfer holds, how it
// ends, and the pieces that both protocols use to move data. Only the
// transfer units include it: transfer.cpp (the progress record and the
// frame), transfer_sftp.cpp and transfer_scp.cpp (the data movement).
#pragma once

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <cstdio>

#include "transfer.h"

namespace tw::xfer {

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
  replace_failed,      // the whole temporary file could not take the
                       // destination's place
};

// Why a transfer stopped before it began to move data. Nothing of the
// progress record or the cancellation flag has been touched then.
enum class Early {
  none,
  not_connected,
  remote_open,
  remote_folder,  // the remote path of a download is a folder
  local_open,
  remote_create,
  scp_download_refused,
  scp_download_folder,
  scp_upload_refused,
  scp_no_channel,  // the server would not open a channel beside the SFTP one
};

// Room for a destination path with the temporary name beside it.
constexpr size_t kTempPathCap = 4096;

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
  bool safe;              // the session's safe_replace setting
  // With safe_replace, the temporary file that the data goes to instead of
  // the destination (local for downloads, remote for uploads); else "".
  char temp[kTempPathCap];
};

inline bool is_upload(const Transfer &t) {
  return t.kind == Kind::sftp_upload || t.kind == Kind::scp_upload;
}
inline bool is_scp(const Transfer &t) {
  return t.kind == Kind::scp_download || t.kind == Kind::scp_upload;
}
inline bool cancel_requested() { return g_cancel_req.load() != 0; }

// The paths that are opened: the temporary file in place of the
// destination when there is one. Messages, records and log lines name the
// real paths, t.remote and t.local, only.
inline const char *remote_target(const Transfer &t) {
  return t.temp[0] != '\0' && is_upload(t) ? t.temp : t.remote;
}

// Records why opening failed; always false, for the caller to return.
inline bool fail_open(Transfer *t, Early why) {
  t->early = why;
  return false;
}

// The window of the running transfer. Transfers are serialised by g_lock,
// so one static buffer serves all of them: a download reads into its first
// kWindow bytes, an upload slides a range of at most kWindow bytes along it.
constexpr size_t kWindow = 2u << 20;
extern char g_window[2 * kWindow];

// The bandwidth-delay product of round_trip_us at rate, within the bounds.
size_t window_for(int64_t round_trip_us, int64_t rate, size_t least,
                  size_t most);

// Opens the local destination of a download: the file itself, created or
// truncated, or with safe_replace a new temporary file beside it. False,
// with nothing created, when it cannot.
bool open_local_destination(Transfer *t);
// True when the remote path names a folder, by a stat over the SFTP
// session.
bool remote_is_folder(const char *path);

// Records a failed remote call: when the connection failed, the session is
// marked broken so that closing the handle or channel does not wait, and it
// is closed at the end. Returns the outcome for the caller to return.
Outcome remote_failed(Transfer *t, ssize_t rc, Outcome o);
// Counts n acknowledged bytes in the record, in steps of at most kChunk.
void add_progress(size_t n);
// Writes one piece of a download to the local file, unless cancellation was
// requested: then the piece is dropped.
Outcome store_piece(Transfer *t, const char *p, size_t n);
// Writes one piece of a download to the local file and counts it, whatever
// the cancellation flag says.
Outcome write_piece(Transfer *t, const char *p, size_t n);
// Why the local file of an upload yielded nothing: a read error, an end
// before the size measured at the start (a file that shrank), or its end.
Outcome local_stop(const Transfer &t);
// Reads the next piece of an upload's local file, at most want bytes, and
// tests cancellation after it. Sets *n to the bytes read, 0 when the file
// gave nothing more (local_stop tells why); cancelled ends the upload.
Outcome read_piece(Transfer *t, char *buf, size_t want, size_t *n);
// Closes the local file. Buffered data of a download is written only now,
// so a failing close (a full disk) fails a download that was going well.
Outcome close_local(Transfer *t, Outcome o);

// The most an SFTP upload keeps in flight on the channel of sftp: the
// window the server gives it (the whole one, or what is open now, whichever
// is larger) less room for the packet headers, at most kWindow.
size_t channel_window_cap(LIBSSH2_SFTP *sftp);

// Each protocol's two steps. open() runs under g_lock, leaves nothing open
// when it fails and records why in t->early; move() runs the data and
// closes both ends, returning how the transfer ended.
bool sftp_download_open(Transfer *t);
Outcome sftp_download_move(Transfer *t);
bool sftp_upload_open(Transfer *t);
Outcome sftp_upload_move(Transfer *t);
bool scp_download_open(Transfer *t);
Outcome scp_download_move(Transfer *t);
bool scp_upload_open(Transfer *t);
Outcome scp_upload_move(Transfer *t);

}  // namespace tw::xfer
