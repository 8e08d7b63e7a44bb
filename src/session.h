// The session: the connection configuration, connect, close and the session
// description.
#pragma once

#include <libssh2.h>
#include <libssh2_sftp.h>

#include <atomic>
#include <cstddef>

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

}  // namespace tw
