// Transfers: the progress record with its cancellation flag, and the four
// whole-file copies over SFTP and SCP that report through it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "frame.h"

namespace tw {

// Every transfer moves data through one buffer of this size, and tests the
// cancellation flag once per chunk.
constexpr size_t kChunk = 32768;

// The record of the running transfer or of the last one. Guarded by
// g_prog_lock; polled from other threads while the transfer holds g_lock.
struct TransferProgress {
  int32_t active;     // 1 from progress_begin until progress_finish
  int32_t finished;   // 1 after progress_finish
  int32_t cancelled;  // the cancellation flag as progress_finish saw it
  int32_t upload;     // 1 for uploads, 0 for downloads
  char name[1024];    // base name of the source path, cut to 1023 bytes
  int64_t transferred;
  int64_t total;          // expected size, 0 when unknown
  int64_t start_ms;       // wall clock at progress_begin
  int64_t elapsed_ms;     // frozen at the last progress_add or at the end
  int64_t start_mono_ms;  // monotonic clock at progress_begin
  char error[512];        // "" or one error word
};

// Raised by sftp_transfer_cancel, lowered by each transfer just after its
// progress_begin, and read once per chunk by the running transfer.
extern std::atomic<int> g_cancel_req;

// The three steps every transfer takes. begin and add run while the caller
// holds g_lock; finish runs exactly once after each begin, after the caller
// has closed both ends and released g_lock.
void progress_begin(const char *source, int64_t total, bool upload);
void progress_add(int64_t n);
void progress_finish(const char *error_word);

// Prints one snapshot of the record as the progress JSON object, with the
// elapsed time given, into buf (cut at cap - 1 bytes, always terminated).
void progress_print(const TransferProgress &p, int64_t elapsed_ms, char *buf,
                    size_t cap);
// A copy of the record taken under g_prog_lock, with its elapsed time: the
// running time while active, else the frozen figure.
TransferProgress progress_snapshot(int64_t *elapsed_ms);
// The current record as JSON in g_info. Holds g_prog_lock only to copy it.
const char *progress_json();
// Raises the cancellation flag and logs the request. No lock but the log's.
void transfer_cancel();

// The four transfers. Each runs the whole operation after the export has
// created the locks and cleared the last-error text; 0 on success, -1 with
// the reason set on every other outcome, a cancellation included.
int sftp_download(const char *remote_path, const char *local_path);
int sftp_upload(const char *local_path, const char *remote_path);
int scp_download(const char *remote_path, const char *local_path);
int scp_upload(const char *local_path, const char *remote_path, int mode);

}  // namespace tw
