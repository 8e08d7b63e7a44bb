#include "session.h"

namespace tw {

std::atomic<int> g_connected{0};
std::atomic<LIBSSH2_SESSION *> g_session{nullptr};
std::atomic<LIBSSH2_SFTP *> g_sftp{nullptr};

bool require_sftp() {
  if (g_connected.load() != 0 && g_sftp.load() != nullptr) return true;
  set_error("not connected");
  return false;
}

bool require_ssh() {
  if (g_connected.load() != 0 && g_session.load() != nullptr) return true;
  set_error("not connected");
  return false;
}

}  // namespace tw
