// The session: connect, close and the session description.
#pragma once

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <atomic>
#include <cstddef>

#include "config.h"
#include "frame.h"

namespace tw {

// The one session. Written under g_lock; the connected flag and the handles
// are also read without it, for the "not connected" test of each operation,
// which then uses the handle again under g_lock.
extern std::atomic<int> g_connected;
extern std::atomic<LIBSSH2_SESSION *> g_session;
extern std::atomic<LIBSSH2_SFTP *> g_sftp;

// The "not connected" tests: false, with the message set, when there is no
// session or no handle of the kind the operation needs.
bool require_sftp();
bool require_ssh();

// Opens a session, replacing any open one; 0, or -1 with the reason set.
int session_connect(const char *config_json);
// Closes what exists of the session; g_lock must be held.
void close_session();
void session_disconnect();

// True when a failed libssh2 call failed because the connection did (a
// time-out, the socket closed or failing, a broken stream), not because the
// server answered with an error. sftp is the SFTP session the call used, or
// nullptr for a call on the SSH session or an SCP channel: the end of the
// SFTP channel is the end of the SFTP session, that of an SCP channel is not.
bool connection_failed(int rc, LIBSSH2_SFTP *sftp);
// The same for a libssh2 call that returned no handle.
bool open_failed_with_connection(LIBSSH2_SFTP *sftp);
// Ends the connection at once, so that freeing the handles and the session
// afterwards never waits on the network. g_lock is held.
void connection_broken();
// Closes the session after its connection failed, without the goodbye
// exchange, and logs "CONNECTION LOST". Calls of other threads then find it
// closed. The description stays. g_lock is held.
void session_lost();
// The session description as JSON in g_info.
const char *session_describe();

// The round trip of a cheap request of the open session, in microseconds,
// measured when it connected. g_lock is held.
int64_t session_round_trip_us();
// The safe_replace setting of the open session. g_lock is held.
bool session_safe_replace();
// The open session's socket. g_lock is held.
platform::Socket session_socket();

// For tests and benchmarks that compare algorithms: a comma-separated list
// that replaces the cipher (or MAC) preference of later connects, both
// directions; nullptr or "" restores the default.
void set_cipher_preference(const char *list);
void set_mac_preference(const char *list);
// The cipher and MAC the open session uses from client to server, or "".
const char *session_cipher();
const char *session_mac();

}  // namespace tw
