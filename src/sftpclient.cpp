// The exported functions. Each is thin: it creates the locks, clears the
// last-error text where the interface says so, and hands over to the
// subsystem that does the work.
#include "frame.h"
#include "log.h"
#include "session.h"
#include "tarnwick_sftp.h"

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

// ---- Remote file system ---------------------------------------------------

// ---- Transfers ------------------------------------------------------------

// ---- Local file system ----------------------------------------------------

}  // extern "C"
