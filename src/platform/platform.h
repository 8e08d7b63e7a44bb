// The only interface to the operating system. One backend implements it per
// platform (posix.cpp, win32.cpp); nothing else includes OS headers
// other than the C and C++ standard ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace tw::platform {

// A non-recursive mutual-exclusion lock. The storage is opaque so that this
// header needs no OS header; each backend checks that its lock fits.
struct Mutex {
  alignas(16) unsigned char opaque[64];
};

void mutex_init(Mutex *m);
void mutex_lock(Mutex *m);
void mutex_unlock(Mutex *m);
void yield_thread();

// Overwrites a secret in a way the compiler may not drop.
void secure_zero(void *p, size_t n);

// Milliseconds since the Unix epoch by the wall clock (follows changes of the
// system time), and microseconds of a clock that never goes back.
int64_t wall_clock_ms();
int64_t monotonic_us();

// A connected TCP socket, in the form libssh2 takes it (libssh2_socket_t).
using Socket = intptr_t;
constexpr Socket kInvalidSocket = -1;

enum class NetResult { ok, resolve_failed, connect_failed };

// Starts the socket layer for the process; called once before the first
// connection.
void net_startup();
// Resolves host and tries every address in turn, with send and receive
// time-outs of timeout_ms set before the blocking connect. On success the
// socket has TCP_NODELAY set.
NetResult net_connect(const char *host, int port, int timeout_ms, Socket *out);
void net_close(Socket s);
// Ends both directions of a connection at once, without closing the socket:
// every later send or receive on it fails at once instead of waiting for a
// peer that stopped answering.
void net_shutdown(Socket s);
// Waits until the socket can be read (or, with writable, also written) or
// timeout_ms has passed; false on a time-out or an error.
bool net_wait(Socket s, bool writable, int timeout_ms);

// Local files are stdio streams; these are the parts stdio leaves to the OS.
// file_size gives the size of an open stream and rewinds it, or -1.
int64_t file_size(FILE *f);
// Moves the stream to a 64-bit position from the start; false on failure.
bool file_seek(FILE *f, int64_t offset);
bool file_is_regular(FILE *f);
// Opens without newline translation ("rb"/"wb" behave so everywhere).
FILE *file_open(const char *path, const char *mode);
void file_remove(const char *path);
// Creates a file for writing that must not exist yet (a link of that name
// counts as existing); nullptr when it exists or cannot be created.
FILE *file_create_new(const char *path);
// Writes the stream's buffers and has the system write the file to its
// disk; false when either fails.
bool file_sync(FILE *f);
// Renames a file, replacing an existing file of the new name in one step.
bool file_replace(const char *from, const char *to);

// One entry of a local folder.
struct DirEntry {
  char name[1024];
  bool is_dir;
  uint64_t size;
  int64_t mtime;  // seconds since the Unix epoch, negative before 1970
};

// Enumeration of a local folder; dir_open fails when there is nothing to
// enumerate (missing, not a folder, unreadable). Some systems hand over the
// first entry as the enumeration opens; the backend keeps it in the opaque
// storage until dir_next asks for it.
struct DirIter {
  void *handle;
  alignas(8) unsigned char opaque[336];
};
bool dir_open(DirIter *it, const char *folder);
bool dir_next(DirIter *it, DirEntry *entry);
void dir_close(DirIter *it);

// The roots of the local file systems (drive letters on Windows, "/" on
// POSIX), each at most 7 bytes. Returns how many were written.
int drive_roots(char roots[26][8]);

}  // namespace tw::platform
