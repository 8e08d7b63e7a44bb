// Win32 backend of the platform layer: SRW locks, Winsock 2.2, the C
// runtime's streams with 64-bit positions, and FindFirstFileA/FindNextFileA.
// Paths are narrow texts in the process's ANSI code page, passed unchanged.
//
// winsock2.h includes windows.h; windows.h on its own first would bring the
// old Winsock declarations.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "platform/platform.h"

namespace tw::platform {

static_assert(sizeof(SRWLOCK) <= sizeof(Mutex::opaque),
              "SRWLOCK does not fit the opaque lock");

static SRWLOCK *native(Mutex *m) {
  return reinterpret_cast<SRWLOCK *>(m->opaque);
}

// SRW locks are not recursive, as the contract of Mutex asks, and need no
// clean-up.
void mutex_init(Mutex *m) { InitializeSRWLock(native(m)); }
void mutex_lock(Mutex *m) { AcquireSRWLockExclusive(native(m)); }
void mutex_unlock(Mutex *m) { ReleaseSRWLockExclusive(native(m)); }
void yield_thread() { SwitchToThread(); }
void secure_zero(void *p, size_t n) { SecureZeroMemory(p, n); }

// 100-nanosecond intervals from 1601-01-01 to 1970-01-01.
constexpr int64_t kUnixEpochAsFileTime = 116444736000000000;
constexpr int64_t kFileTimePerSecond = 10000000;

static int64_t file_time_since_unix_epoch(FILETIME ft) {
  ULARGE_INTEGER t;
  t.LowPart = ft.dwLowDateTime;
  t.HighPart = ft.dwHighDateTime;
  return static_cast<int64_t>(t.QuadPart) - kUnixEpochAsFileTime;
}

int64_t wall_clock_ms() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  return file_time_since_unix_epoch(ft) / 10000;
}

int64_t monotonic_us() {
  LARGE_INTEGER count, freq;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&freq);
  // Whole seconds and the rest apart, so that the product cannot overflow.
  int64_t secs = count.QuadPart / freq.QuadPart;
  int64_t rest = count.QuadPart % freq.QuadPart;
  return secs * 1000000 + rest * 1000000 / freq.QuadPart;
}

void net_startup() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
}

// Socket time-outs are a DWORD of milliseconds here, not a timeval.
static void set_timeouts(SOCKET s, int timeout_ms) {
  DWORD ms = static_cast<DWORD>(timeout_ms);
  const char *v = reinterpret_cast<const char *>(&ms);
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, v, sizeof ms);
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, v, sizeof ms);
}

static bool set_blocking(SOCKET s, bool blocking) {
  u_long nonblocking = blocking ? 0 : 1;
  return ioctlsocket(s, FIONBIO, &nonblocking) == 0;
}

// Windows ignores SO_SNDTIMEO for connect, so the connect runs non-blocking
// and select bounds the wait; the socket is blocking again afterwards, as
// libssh2 expects.
static bool connect_within(SOCKET s, const addrinfo *ai, int timeout_ms) {
  if (!set_blocking(s, false)) return false;
  if (connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) != 0) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) return false;
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, &writable);
    FD_SET(s, &failed);
    timeval tv{};
    tv.tv_sec = timeout_ms / 1000;
    tv.tv_usec = (timeout_ms % 1000) * 1000;
    if (select(0, nullptr, &writable, &failed, &tv) != 1 ||
        !FD_ISSET(s, &writable))
      return false;
    int err = 0;
    int len = sizeof err;
    if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&err),
                   &len) != 0 ||
        err != 0)
      return false;
  }
  return set_blocking(s, true);
}

// Tries one resolved address; returns the connected socket or INVALID_SOCKET.
static SOCKET try_address(const addrinfo *ai, int timeout_ms) {
  SOCKET s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
  if (s == INVALID_SOCKET) return s;
  // Child processes must not inherit the connection.
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  set_timeouts(s, timeout_ms);
  if (!connect_within(s, ai, timeout_ms)) {
    closesocket(s);
    return INVALID_SOCKET;
  }
  // Small SSH packets must not wait for delayed acknowledgements.
  BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one),
             sizeof one);
  return s;
}

NetResult net_connect(const char *host, int port, int timeout_ms, Socket *out) {
  *out = kInvalidSocket;
  char service[16];
  snprintf(service, sizeof service, "%d", port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo *list = nullptr;
  if (getaddrinfo(host, service, &hints, &list) != 0 || list == nullptr) {
    if (list != nullptr) freeaddrinfo(list);
    return NetResult::resolve_failed;
  }
  SOCKET s = INVALID_SOCKET;
  for (const addrinfo *ai = list; ai != nullptr && s == INVALID_SOCKET;
       ai = ai->ai_next)
    s = try_address(ai, timeout_ms);
  freeaddrinfo(list);
  if (s == INVALID_SOCKET) return NetResult::connect_failed;
  *out = static_cast<Socket>(s);
  return NetResult::ok;
}

void net_close(Socket s) {
  if (s != kInvalidSocket) closesocket(static_cast<SOCKET>(s));
}

void net_shutdown(Socket s) {
  if (s != kInvalidSocket) shutdown(static_cast<SOCKET>(s), SD_BOTH);
}

bool net_wait(Socket s, bool writable, int timeout_ms) {
  WSAPOLLFD p{};
  p.fd = static_cast<SOCKET>(s);
  p.events = static_cast<SHORT>(POLLRDNORM | (writable ? POLLWRNORM : 0));
  return WSAPoll(&p, 1, timeout_ms) > 0;
}

// The 64-bit position functions give the right size beyond 2 GiB, where
// ftell's long (32 bits here) cannot.
int64_t file_size(FILE *f) {
  if (_fseeki64(f, 0, SEEK_END) != 0) return -1;
  int64_t size = _ftelli64(f);
  rewind(f);
  return size < 0 ? -1 : size;
}

bool file_seek(FILE *f, int64_t offset) {
  return _fseeki64(f, offset, SEEK_SET) == 0;
}

bool file_is_regular(FILE *f) {
  struct _stat64 st {};
  return _fstat64(_fileno(f), &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG;
}

FILE *file_open(const char *path, const char *mode) {
  return fopen(path, mode);
}

void file_remove(const char *path) { remove(path); }

FILE *file_create_new(const char *path) {
  int fd =
      _open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
            _S_IREAD | _S_IWRITE);
  if (fd < 0) return nullptr;
  FILE *f = _fdopen(fd, "wb");
  if (f == nullptr) _close(fd);
  return f;
}

bool file_sync(FILE *f) { return fflush(f) == 0 && _commit(_fileno(f)) == 0; }

// rename() refuses an existing destination here; MoveFileExA replaces it.
bool file_replace(const char *from, const char *to) {
  return MoveFileExA(from, to,
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

// The open enumeration: the find record that FindFirstFileA or FindNextFileA
// filled and that dir_next has not yet handed out.
struct FindState {
  WIN32_FIND_DATAA data;
  bool pending;
};
static_assert(sizeof(FindState) <= sizeof(DirIter::opaque),
              "the find record does not fit the folder iterator");

static FindState *find_state(DirIter *it) {
  return reinterpret_cast<FindState *>(it->opaque);
}

// The search pattern is the folder, a backslash unless the folder already
// ends in a separator, and "*"; a folder too long for the pattern is cut.
bool dir_open(DirIter *it, const char *folder) {
  size_t len = strlen(folder);
  bool has_separator = folder[len - 1] == '\\' || folder[len - 1] == '/';
  char pattern[1024];
  snprintf(pattern, sizeof pattern, "%s%s*", folder, has_separator ? "" : "\\");
  FindState *st = find_state(it);
  HANDLE h = FindFirstFileA(pattern, &st->data);
  it->handle = h == INVALID_HANDLE_VALUE ? nullptr : h;
  st->pending = it->handle != nullptr;
  return st->pending;
}

// Whole seconds since the Unix epoch, rounded down, so that a time before
// 1970 is negative as on POSIX systems.
static int64_t unix_seconds(FILETIME ft) {
  int64_t t = file_time_since_unix_epoch(ft);
  int64_t secs = t / kFileTimePerSecond;
  return t % kFileTimePerSecond < 0 ? secs - 1 : secs;
}

bool dir_next(DirIter *it, DirEntry *e) {
  FindState *st = find_state(it);
  if (!st->pending && !FindNextFileA(it->handle, &st->data)) return false;
  st->pending = false;
  const WIN32_FIND_DATAA &d = st->data;
  memset(e, 0, sizeof *e);
  snprintf(e->name, sizeof e->name, "%s", d.cFileName);
  e->is_dir = (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  e->size = (static_cast<uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
  e->mtime = unix_seconds(d.ftLastWriteTime);
  return true;
}

void dir_close(DirIter *it) {
  if (it->handle != nullptr) FindClose(it->handle);
  it->handle = nullptr;
}

int drive_roots(char roots[26][8]) {
  DWORD mask = GetLogicalDrives();
  int n = 0;
  for (int i = 0; i < 26; ++i)
    if (mask & (1u << i))
      snprintf(roots[n++], sizeof roots[0], "%c:\\", 'A' + i);
  return n;
}

}  // namespace tw::platform
