// The exported functions. Each is thin: it creates the locks, clears the
// last-error text where the interface says so, and hands over to the
// subsystem that does the work.
#include "frame.h"
#include "local_fs.h"
#include "log.h"
#include "remote_fs.h"
#include "session.h"
#include "tarnwick_sftp.h"
#include "transfer.h"

namespace {

// The common start of the exports that report a fresh last-error text.
void begin_call() {
  tw::ensure_locks();
  tw::clear_error();
}

}  // namespace

extern "C" {

// ---- Library frame --------------------------------------------------------

const char *TARNWICK_CALL sftp_client_version(void) { return "1.1.1"; }

const char *TARNWICK_CALL sftp_client_last_error(void) {
  return tw::last_error();
}

int TARNWICK_CALL sftp_client_is_connected(void) {
  return tw::g_connected.load() != 0 ? 1 : 0;
}

// ---- Activity log ---------------------------------------------------------

const char *TARNWICK_CALL sftp_client_get_log(void) {
  tw::ensure_locks();
  return tw::log_to_json();
}

int TARNWICK_CALL sftp_client_clear_log(void) {
  tw::ensure_locks();
  tw::log_clear();
  return 0;
}

// ---- Session --------------------------------------------------------------

int TARNWICK_CALL sftp_client_connect(const char *config_json) {
  begin_call();
  return tw::session_connect(config_json);
}

int TARNWICK_CALL sftp_client_disconnect(void) {
  tw::ensure_locks();
  tw::session_disconnect();
  return 0;
}

const char *TARNWICK_CALL sftp_client_session_info(void) {
  tw::ensure_locks();
  return tw::session_describe();
}

// ---- Remote file system ---------------------------------------------------

const char *TARNWICK_CALL sftp_client_list_dir(const char *path) {
  begin_call();
  return tw::remote_list_dir(path);
}

const char *TARNWICK_CALL sftp_client_stat(const char *path) {
  begin_call();
  return tw::remote_stat(path);
}

const char *TARNWICK_CALL sftp_client_realpath(const char *path) {
  begin_call();
  return tw::remote_realpath(path);
}

int TARNWICK_CALL sftp_client_mkdir(const char *path) {
  begin_call();
  return tw::remote_mkdir(path);
}

int TARNWICK_CALL sftp_client_rmdir(const char *path) {
  begin_call();
  return tw::remote_rmdir(path);
}

int TARNWICK_CALL sftp_client_delete(const char *path) {
  begin_call();
  return tw::remote_delete(path);
}

int TARNWICK_CALL sftp_client_rename(const char *from, const char *to) {
  begin_call();
  return tw::remote_rename(from, to);
}

int TARNWICK_CALL sftp_client_chmod(const char *path, int mode) {
  begin_call();
  return tw::remote_chmod(path, mode);
}

// ---- Transfers ------------------------------------------------------------

const char *TARNWICK_CALL sftp_transfer_progress(void) {
  tw::ensure_locks();
  return tw::progress_json();
}

// Creates no locks itself: its log line does, through log_add.
int TARNWICK_CALL sftp_transfer_cancel(void) {
  tw::transfer_cancel();
  return 0;
}

int TARNWICK_CALL sftp_client_download(const char *remote_path,
                                       const char *local_path) {
  begin_call();
  return tw::sftp_download(remote_path, local_path);
}

int TARNWICK_CALL sftp_client_upload(const char *local_path,
                                     const char *remote_path) {
  begin_call();
  return tw::sftp_upload(local_path, remote_path);
}

int TARNWICK_CALL scp_client_download(const char *remote_path,
                                      const char *local_path) {
  begin_call();
  return tw::scp_download(remote_path, local_path);
}

int TARNWICK_CALL scp_client_upload(const char *local_path,
                                    const char *remote_path, int mode) {
  begin_call();
  return tw::scp_upload(local_path, remote_path, mode);
}

// ---- Local file system ----------------------------------------------------

const char *TARNWICK_CALL sftp_client_list_local(const char *path) {
  begin_call();
  return tw::local_list(path);
}

}  // extern "C"
