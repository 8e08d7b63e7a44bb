/*
 * tarnwick-libssh2-sftp-client-transfer: one SSH file-transfer session
 * through plain C functions.
 *
 * The library holds one client: at most one SSH session, one transfer
 * record, one activity log and one last-error text, all process-wide. Any
 * function may be called from any thread, several at once; a transfer
 * typically runs on one thread while another polls its progress.
 *
 * Conventions shared by every function:
 * - Texts are NUL-terminated byte strings. A NULL text counts as empty,
 *   unless a function below gives it a default. Paths pass through as bytes.
 * - A Status is 0 on success and -1 on failure; the reason of a failure is
 *   the text returned by sftp_client_last_error().
 * - A result text lives in a static buffer owned by the library. The same
 *   function always returns the same pointer, and the text stays valid until
 *   the next call, from any thread, of a function that writes the same
 *   buffer (named in each block below). Never free it; copy it to keep it.
 * - JSON results hold no white space. Variable texts in them (names, paths,
 *   log lines) are escaped, and are always UTF-8: every byte that does not
 *   begin a well-formed UTF-8 sequence as RFC 3629 defines it (so also an
 *   overlong form, an encoded UTF-16 surrogate or a value above U+10FFFF) is
 *   replaced by U+FFFD on its own, and the bytes after it are read anew.
 * - The entry record, used by the listings and by sftp_client_stat:
 *   {"name":"...","is_dir":true|false,"size":N,"mtime":N,"mode":"drwxr-xr-x",
 *    "uid":N,"gid":N}
 *   with the size in bytes, mtime in seconds since the Unix epoch and a
 *   ten-character mode text (type letter d, l or -, then rwx three times).
 */
#ifndef TARNWICK_SFTP_H
#define TARNWICK_SFTP_H

#if defined(_WIN32)
#define TARNWICK_CALL __stdcall
#if defined(TARNWICK_BUILDING_LIBRARY)
#define TARNWICK_API __declspec(dllexport)
#else
#define TARNWICK_API __declspec(dllimport)
#endif
#else
#define TARNWICK_CALL
#define TARNWICK_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Library frame ----------------------------------------------------- */

/*
 * The library's version text, "1.1.1". Constant; never fails, takes no lock.
 */
TARNWICK_API const char *TARNWICK_CALL sftp_client_version(void);

/*
 * The message of the most recent failure, or "" when the last call that
 * clears it succeeded. At most 511 bytes. One text for the whole library,
 * not one per thread. Calls that clear it at entry: connect, list_dir, stat,
 * realpath, mkdir, rmdir, delete, rename, chmod, the four transfers and
 * list_local. Valid until it is next cleared or replaced. Never fails.
 */
TARNWICK_API const char *TARNWICK_CALL sftp_client_last_error(void);

/*
 * 1 while a session is open, 0 otherwise. Never waits, even during a
 * transfer. A session whose connection failed (see "Connection failures"
 * under sftp_client_connect) is no longer open.
 */
TARNWICK_API int TARNWICK_CALL sftp_client_is_connected(void);

/* ---- Activity log ------------------------------------------------------ */

/*
 * The activity log, the 128 most recent lines, oldest first, as a JSON
 * array: [{"ts_ms":N,"line":"..."},...], ts_ms being milliseconds since the
 * Unix epoch; "[]" when empty. Lines begin with an upper-case word, such as
 * "MKDIR /tmp/a". The text lives in the buffer shared with
 * sftp_client_list_dir. Never fails; leaves the last-error text alone.
 * Example (one line in fact, wrapped here):
 *   [{"ts_ms":1733750176481,"line":"CONNECTED me@example.org:22 (publickey)
 *   home=/home/me"},{"ts_ms":1733750176530,"line":"LIST /home/me (3 entries)"},
 *   {"ts_ms":1733750177002,"line":"DOWNLOAD notes.txt -> notes.txt (1532
 *   bytes)"},{"ts_ms":1733750177010,"line":"DOWNLOAD OK notes.txt"}]
 */
TARNWICK_API const char *TARNWICK_CALL sftp_client_get_log(void);

/*
 * Empties the activity log. Returns 0.
 */
TARNWICK_API int TARNWICK_CALL sftp_client_clear_log(void);

/* ---- Session ----------------------------------------------------------- */

/*
 * Opens an SSH session with its SFTP subsystem, replacing any open session.
 * config_json is a JSON object:
 *   {"host":"example.org","user":"me","password":"...",
 *    "private_key":"/path/id_ed25519","passphrase":"...",
 *    "port":22,"timeout_ms":15000,"agent":false,
 *    "host_fingerprint":"SHA256:Kx0f0c9rYzM2oWq0m7I1f2p8q3nQ4aS5tU6vW7xY8zA",
 *    "safe_replace":true}
 * host and user are required. One method is tried, never a second: with
 * private_key the key file (with the passphrase, if any); else, with
 * "agent":true, the identities of the user's SSH agent in the agent's
 * order until the server takes one (POSIX: the agent at SSH_AUTH_SOCK;
 * Windows: Pageant or the OpenSSH agent, as libssh2 finds them); else the
 * password (possibly empty). agent and safe_replace take the JSON literals
 * true and false only (absent is false). Where the server takes no
 * "password" method but offers "keyboard-interactive" (FreeBSD's default,
 * many PAM setups), each prompt of each round is answered with the
 * password; a server still asking after 4 rounds has the connection ended,
 * and the login fails as a wrong password does. port
 * outside 1..65535 becomes 22; timeout_ms below 1000 becomes 15000. String
 * values are JSON strings with their escapes decoded; a value too long for
 * its setting ends with the last whole character that fits.
 *
 * Host key: without host_fingerprint every host key is accepted and its
 * SHA-1 fingerprint recorded (see sftp_client_session_info). With it, the
 * server's key must match, or the connect fails right after the handshake,
 * before any credential is sent ("host key mismatch for <host>:<port>", log
 * line "HOSTKEY MISMATCH <host>:<port>"; the description then shows the
 * server's fingerprint). host_fingerprint is either that SHA-1 text (20
 * hexadecimal pairs joined by colons, either case) or OpenSSH's SHA256 form
 * as `ssh-keygen -lf` prints it ("SHA256:" and 43 base64 characters).
 *
 * Safe replacing: with "safe_replace":true (default false, the JSON literal
 * true or false) the four transfers of this session never write the
 * destination in place. The data goes to a new temporary file in the
 * destination's folder, named ".<name>.tarnwick-<8 hex digits>.part", which
 * takes the destination's place only once it is whole: a download's is
 * written to the disk first, then renamed over the local file; an upload's
 * is renamed over the remote file, atomically where the server offers the
 * posix-rename@openssh.com extension (OpenSSH does), else with the plain
 * SFTP rename, which servers speaking SFTP version 3 refuse over an
 * existing file. After a failure or a cancellation the temporary file is
 * deleted and an existing destination is exactly as it was; when the
 * connection itself failed, an upload's temporary file stays on the server
 * under its temporary name, never under the destination's. Progress,
 * messages and log lines name the real paths. What it costs: the new file
 * gets fresh permissions and owner (an upload 0644 or the SCP mode, less the
 * server's umask; a download the process's defaults) instead of keeping the
 * old file's, a link in the destination's place is replaced by the file
 * (other links to the old file keep the old data), and the user needs
 * the right to create files in the folder: where files may be written but
 * not created, the transfer fails at its start. Its own message when the
 * final rename fails: "cannot replace local file '<local>'" or
 * "cannot replace remote file '<remote>'" (the temporary file is deleted).
 *
 * Time-out: timeout_ms bounds every network wait of every call. When a
 * server goes silent, a call returns within timeout_ms plus a second.
 *
 * Connection failures: when a call of any function fails because the
 * connection did (a time-out, the socket closed or failing, a broken
 * stream), that call keeps its own message and result, and the session is
 * closed at once, without waiting on the network: the log gets
 * "CONNECTION LOST <user>@<host>:<port>", sftp_client_is_connected returns
 * 0, later calls say "not connected", and the description stays with
 * "connected":false. An error the server answers with (no such file,
 * permission denied, failure) never closes the session, except during an
 * upload over several channels (see sftp_client_upload).
 *
 * Returns a Status. Messages: "config_json is required",
 * "config_json is not a JSON object", "'host' is required",
 * "'user' is required", "'<key>' must not contain a NUL character",
 * "'host_fingerprint' is not a SHA-1 or SHA256 fingerprint",
 * "'agent' must be true or false", "'safe_replace' must be true or false",
 * "libssh2_init failed", "cannot resolve host '<host>'",
 * "cannot connect to <host>:<port>", "libssh2_session_init failed",
 * "SSH handshake failed (<code>) - is <host>:<port> an SSH server?",
 * "host key mismatch for <host>:<port>",
 * "authentication failed for user '<user>' (password|publickey|agent)",
 * "cannot reach the SSH agent",
 * "server accepted the login but refused the SFTP subsystem".
 * A rejected configuration leaves an open session open; every later failure
 * leaves no session. The password and passphrase are wiped from the
 * library's memory when the call returns and never appear in a log line,
 * message or result.
 *
 * The first connect starts the crypto library (OpenSSL) without its
 * exit-time clean-up, unless the host started it before: a host may then
 * exit, or return from main, while a transfer runs on another thread.
 */
TARNWICK_API int TARNWICK_CALL sftp_client_connect(const char *config_json);

/*
 * Closes the session, if one is open, after any running operation ends.
 * Returns 0, always. Leaves the last-error text alone.
 */
TARNWICK_API int TARNWICK_CALL sftp_client_disconnect(void);

/*
 * Describes the open session, or the last one, as a JSON object:
 *   {"connected":true|false,"host":"...","port":N,"user":"...",
 *    "banner":"SSH-2.0-...","fingerprint":"3f:a0:...","home":"/home/me",
 *    "auth":"password"|"publickey","fingerprint_sha256":"SHA256:...",
 *    "host_key":"ssh-ed25519 AAAA..."}
 * auth is "publickey" for a key file or the agent, "password" for a
 * password, keyboard-interactive included.
 * fingerprint is the SHA-1 of the host key as 20 hexadecimal pairs joined by
 * colons; fingerprint_sha256 is the same key's fingerprint as
 * `ssh-keygen -lf` prints it ("SHA256:" and 43 base64 characters); host_key
 * is the key as a line of OpenSSH's known_hosts file holds it after the host
 * names: its type name, a space and the key in base64. All three are "" when
 * no key was received. Host programs check known_hosts with host_key and pin
 * the key they accept through host_fingerprint (see sftp_client_connect).
 * The text always fits whole: the buffer holds the longest description, an
 * RSA key of 16384 bits with every text at its longest. Answers at once,
 * even during a transfer. The text lives in the buffer shared with
 * sftp_transfer_progress. Never fails.
 * Example (one line in fact, wrapped here):
 *   {"connected":true,"host":"example.org","port":22,"user":"me",
 *    "banner":"SSH-2.0-OpenSSH_9.2p1 Debian-2+deb12u3",
 *    "fingerprint":"e0:2b:82:90:a0:fa:95:ca:76:37:79:9f:0a:31:a8:d4:03:91:7f:03",
 *    "home":"/home/me","auth":"publickey",
 *    "fingerprint_sha256":"SHA256:Kx0f0c9rYzM2oWq0m7I1f2p8q3nQ4aS5tU6vW7xY8zA",
 *    "host_key":"ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIPq7kZ2p0y3bX0dQ6yS0Lm3HqkS1nV8tYw2rC5uJ9eFh"}
 */
TARNWICK_API const char *TARNWICK_CALL sftp_client_session_info(void);

/* ---- Remote file system ------------------------------------------------ */

/*
 * Lists a remote directory (NULL or "" lists ".") as a JSON array of entry
 * records; "." is left out, ".." and dot files are listed. The text lives
 * in the buffer shared with sftp_client_get_log (16 MiB, room for some
 * 130,000 entries of 30-byte names; memory is used only as far as a text
 * fills it). On failure "[]"
 * with "not connected" or "cannot open remote directory '<path>'". Each
 * listing that opened its directory logs "LIST <path> (<n> entries)", n
 * counting every entry read. An incomplete listing still returns a whole
 * array of what fits, and its last-error text begins
 * "listing of '<path>' is incomplete:": "... <k> of <n> entries returned"
 * when entries did not fit the text, or "... reading failed after <n>
 * entries, <k> returned" when reading stopped part-way (also for a name of
 * 1023 bytes or more). A complete listing leaves the last-error text empty.
 * Example, listing "/home/me" (one line in fact, wrapped here):
 *   [{"name":"..","is_dir":true,"size":4096,"mtime":1733749000,
 *     "mode":"drwxr-xr-x","uid":0,"gid":0},
 *    {"name":"notes.txt","is_dir":false,"size":1532,"mtime":1733749100,
 *     "mode":"-rw-r--r--","uid":1000,"gid":1000}]
 */
TARNWICK_API const char *TARNWICK_CALL sftp_client_list_dir(const char *path);

/*
 * Describes one remote path, following links, as one entry record named
 * after the whole path. The text lives in the buffer shared with
 * sftp_client_list_local (16 MiB). On failure "{}" with "not connected",
 * "path is required" or "cannot stat '<path>'".
 * Example, for "/home/me/notes.txt":
 *   {"name":"/home/me/notes.txt","is_dir":false,"size":1532,
 *    "mtime":1733749100,"mode":"-rw-r--r--","uid":1000,"gid":1000}
 */
TARNWICK_API const char *TARNWICK_CALL sftp_client_stat(const char *path);

/*
 * The server's canonical absolute form of path (NULL or "" means "."), as
 * plain text, in a buffer of its own (1024 bytes; a canonical path of 1023
 * bytes or more fails). On failure "" with "not connected" or
 * "cannot resolve '<path>'" ('.' for NULL, '' for ""). Logs nothing.
 * Example: "." in the home directory gives /home/me (plain text, no quotes).
 */
TARNWICK_API const char *TARNWICK_CALL sftp_client_realpath(const char *path);

/*
 * Creates a remote directory with mode 0755. Status; messages
 * "not connected", "path is required", "cannot create directory '<path>'".
 */
TARNWICK_API int TARNWICK_CALL sftp_client_mkdir(const char *path);

/*
 * Removes an empty remote directory. Status; messages "not connected",
 * "path is required", "cannot remove directory '<path>' (is it empty?)".
 */
TARNWICK_API int TARNWICK_CALL sftp_client_rmdir(const char *path);

/*
 * Deletes a remote file. Status; messages "not connected",
 * "path is required", "cannot delete '<path>'".
 */
TARNWICK_API int TARNWICK_CALL sftp_client_delete(const char *path);

/*
 * Renames a remote path. Where the server offers posix-rename@openssh.com
 * (OpenSSH does), an existing destination file is replaced atomically, as
 * rename(2) does: a file uploaded under a temporary name can be renamed into
 * place. Elsewhere the rename asks for overwrite, atomic and native
 * semantics, which servers speaking SFTP version 3 refuse over an existing
 * file. Status; messages "not connected",
 * "both source and destination paths are required",
 * "cannot rename '<from>' to '<to>'".
 */
TARNWICK_API int TARNWICK_CALL sftp_client_rename(const char *from,
                                                  const char *to);

/*
 * Sets the permission bits of a remote path; all 32 bits of mode are sent
 * (octal 0644 is decimal 420). Status; messages "not connected",
 * "path is required", "cannot chmod '<path>'".
 */
TARNWICK_API int TARNWICK_CALL sftp_client_chmod(const char *path, int mode);

/* ---- Transfers --------------------------------------------------------- */

/*
 * The record of the running transfer, or of the last one, as a JSON object:
 *   {"active":B,"direction":"download"|"upload","name":"<base name>",
 *    "transferred":N,"total":N,"percent":12.5,"bytes_per_sec":N,
 *    "elapsed_ms":N,"cancelled":B,"finished":B,"error":"<word>"}
 * error is "" on success, else one of "cancelled", "read failed",
 * "write failed", "local write failed", "local read failed", "short read".
 * Answers at once, even while a transfer waits on the network. The text
 * lives in the buffer shared with sftp_client_session_info. Never fails.
 * percent has one decimal; bytes_per_sec is the average since the start.
 * Example, during a download (one line in fact, wrapped here):
 *   {"active":true,"direction":"download","name":"big.iso",
 *    "transferred":125829120,"total":268435456,"percent":46.9,
 *    "bytes_per_sec":61341696,"elapsed_ms":2051,"cancelled":false,
 *    "finished":false,"error":""}
 * and once it is done:
 *   {"active":false,"direction":"download","name":"big.iso",
 *    "transferred":268435456,"total":268435456,"percent":100.0,
 *    "bytes_per_sec":62500000,"elapsed_ms":4295,"cancelled":false,
 *    "finished":true,"error":""}
 */
TARNWICK_API const char *TARNWICK_CALL sftp_transfer_progress(void);

/*
 * Asks the running transfer to stop at its next chunk (at most 32 KiB
 * later); a cancelled download deletes its local file (with safe_replace,
 * its temporary file: the destination stays as it was). A request made while
 * no transfer runs has no effect on the next one; one made once an upload
 * has read its whole local file (or a download has received all its data)
 * no longer stops it: it succeeds, and its record shows "cancelled":true
 * with an empty error. Returns 0, always.
 */
TARNWICK_API int TARNWICK_CALL sftp_transfer_cancel(void);

/*
 * Copies a remote file to a local file over SFTP, creating or truncating
 * the local file (only once the remote file has opened and shown to be no
 * folder), or with safe_replace writing a temporary file beside it (see
 * sftp_client_connect). Blocks until done; other threads may poll progress
 * and cancel. A cancelled download deletes its local file; after other
 * failures it holds what had arrived. Status; messages "not connected",
 * "both remote and local paths are required",
 * "cannot open remote file '<remote>'",
 * "cannot open remote file '<remote>' (it is a folder)",
 * "cannot write local file '<local>'",
 * "cannot replace local file '<local>'",
 * "remote read failed for '<remote>'", "local write failed (disk full?)"
 * (also when only the final flush of the local file fails),
 * "transfer cancelled".
 */
TARNWICK_API int TARNWICK_CALL sftp_client_download(const char *remote_path,
                                                    const char *local_path);

/*
 * Copies a local regular file to a remote file over SFTP, creating or
 * truncating it with mode 0644, or with safe_replace writing a temporary
 * file beside it and renaming that over it (see sftp_client_connect). A
 * folder, device or other file that is not regular is refused before the
 * server is asked anything. Status; messages
 * "not connected", "both local and remote paths are required",
 * "cannot read local file '<local>'",
 * "cannot create remote file '<remote>' (permission denied?)",
 * "local read failed for '<local>'" (a read error, never taken for the end
 * of the file), "local read failed for '<local>' (file ended at <sent> of
 * <size> bytes)" (the file shrank on the way; a file that grows is sent to
 * its end), "remote write failed for '<remote>'" (also when the server
 * reports a failure as the file is closed),
 * "cannot replace remote file '<remote>'", "transfer cancelled". Without
 * safe_replace a cancelled or failed upload leaves on the server what it
 * had accepted from the start of the file on, without a gap.
 *
 * On a link whose round trip keeps one SFTP channel's window from filling
 * it (from about 8 ms), a file of 8 MiB or more is sent over up to four
 * SFTP channels of the session, each with its own handle on the remote
 * file writing its own part; they are opened as the data moves and closed
 * before the call returns. A server that refuses another channel leaves
 * the upload on the channels it has. The host sees one transfer: one
 * progress record, the same messages and log lines, cancellation tested at
 * least every 32 KiB; a failure or cancellation on any channel ends the
 * whole upload. A failure on several channels, the server's refusal of a
 * write included, also closes the session as a lost connection does (its
 * channels' streams may be cut mid-packet); a cancellation leaves it open,
 * and the data that landed beyond the first gap is cut off.
 * Every wait stays within the connection's "timeout_ms".
 */
TARNWICK_API int TARNWICK_CALL sftp_client_upload(const char *local_path,
                                                  const char *remote_path);

/*
 * Copies a remote file to a local file over SCP: exactly the size the
 * server announces, then the server's status byte, which must report that
 * it could read the whole file. As sftp_client_download, with the messages
 * "SCP download refused for '<remote>' (no scp on the server?)" (also when
 * the server announces no usable file),
 * "SCP download refused for '<remote>' (it is a folder)" (the local file is
 * left alone), "SCP download refused for '<remote>' (the server allows no
 * second channel)" (SCP needs a channel beside the session's SFTP channel,
 * which servers such as tinysshd refuse to open; SFTP still works),
 * "SCP read failed for '<remote>'" (also for a failure status after the
 * data, or none) and
 * "SCP download truncated (<received> of <announced> bytes)". Cancellation
 * is tested before each read request: data that a waiting request returns
 * after the cancellation is written and counted, and the next test stops.
 */
TARNWICK_API int TARNWICK_CALL scp_client_download(const char *remote_path,
                                                   const char *local_path);

/*
 * Copies a local regular file to a remote file over SCP with the permission
 * bits mode & 0777 (0 or negative: 0644). The size measured at the start is
 * announced and exactly that many bytes are sent; the upload succeeds only
 * when the server then confirms that it stored the file. As
 * sftp_client_upload, with the messages
 * "SCP upload refused for '<remote>' (permission denied?)",
 * "SCP upload refused for '<remote>' (the server allows no second channel)"
 * (as for scp_client_download),
 * "SCP write failed for '<remote>'" (also when the server reports a failure
 * after the data, or ends the stream instead) and
 * "local read failed for '<local>' (file ended at <sent> of <size> bytes)"
 * when the file shrank on the way.
 */
TARNWICK_API int TARNWICK_CALL scp_client_upload(const char *local_path,
                                                 const char *remote_path,
                                                 int mode);

/* ---- Local file system ------------------------------------------------- */

/*
 * Lists a local folder as a JSON array of entry records (uid and gid 0,
 * mode "drwxr-xr-x" for folders and "-rw-r--r--" for the rest; "." left
 * out; mtime negative for times before 1970). NULL or "" lists the drives
 * (on POSIX systems the one root "/").
 * The text lives in the buffer shared with sftp_client_stat (16 MiB; entries
 * that do not fit are left out, the array still whole). On failure "[]"
 * with "cannot list local folder '<path>'". Needs no session.
 * Example, listing a folder (one line in fact, wrapped here):
 *   [{"name":"..","is_dir":true,"size":4096,"mtime":1733700000,
 *     "mode":"drwxr-xr-x","uid":0,"gid":0},
 *    {"name":"report.pdf","is_dir":false,"size":48213,"mtime":1733740000,
 *     "mode":"-rw-r--r--","uid":0,"gid":0}]
 * and NULL on POSIX systems:
 *   [{"name":"/","is_dir":true,"size":0,"mtime":0,"mode":"drwxr-xr-x",
 *     "uid":0,"gid":0}]
 */
TARNWICK_API const char *TARNWICK_CALL sftp_client_list_local(const char *path);

#ifdef __cplusplus
}
#endif

#endif /* TARNWICK_SFTP_H */
