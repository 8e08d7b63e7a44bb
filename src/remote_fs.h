// The remote file system: listings and single-entry status as entry records,
// and the path operations, each over the SFTP session under g_lock.
#pragma once

#include <libssh2_sftp.h>

#include <cstdint>

namespace tw {

// Fills out with the ten-character permission text of an SFTP permissions
// word and a NUL: "d" for a directory, "l" when both bits of 0120000 are set,
// "-" otherwise, then rwx three times. Set-id and sticky bits are not shown.
void mode_string(uint32_t permissions, char out[11]);

// A directory as a JSON array of entry records in g_json; "[]" on failure.
// A listing that stopped early or did not fit leaves the array of what fits
// and says so in the last-error text.
const char *remote_list_dir(const char *path);

// One path, following links, as an entry record in g_json2; "{}" on failure.
const char *remote_stat(const char *path);

// The server's canonical form of path in g_path; "" on failure.
const char *remote_realpath(const char *path);

// The changing operations: 0 on success (one log line), -1 with the
// last-error text set.
int remote_mkdir(const char *path);
int remote_rmdir(const char *path);
int remote_delete(const char *path);
int remote_rename(const char *from, const char *to);
int remote_chmod(const char *path, int mode);

// Renames from to to, replacing an existing to atomically where the server
// offers posix-rename@openssh.com; elsewhere an SFTP rename asking for
// overwrite, atomic and native semantics, which servers of SFTP version 3
// refuse when to exists. g_lock is held; returns libssh2's result, 0 on
// success.
int rename_replacing(LIBSSH2_SFTP *sftp, const char *from, const char *to);

}  // namespace tw
