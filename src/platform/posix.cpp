// POSIX backend of the platform layer: pthreads, BSD sockets, stdio with
// 64-bit offsets, and opendir/readdir.
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

#include "platform/platform.h"

namespace tw::platform {

static_assert(sizeof(pthread_mutex_t) <= sizeof(Mutex::opaque),
              "pthread_mutex_t does not fit the opaque lock");

static pthread_mutex_t *native(Mutex *m) {
  return reinterpret_cast<pthread_mutex_t *>(m->opaque);
}

void mutex_init(Mutex *m) { pthread_mutex_init(native(m), nullptr); }
void mutex_lock(Mutex *m) { pthread_mutex_lock(native(m)); }
void mutex_unlock(Mutex *m) { pthread_mutex_unlock(native(m)); }
void yield_thread() { sched_yield(); }
void secure_zero(void *p, size_t n) { explicit_bzero(p, n); }

static int64_t clock_us(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

int64_t wall_clock_ms() { return clock_us(CLOCK_REALTIME) / 1000; }
int64_t monotonic_us() { return clock_us(CLOCK_MONOTONIC); }

void net_startup() {}

static void set_timeouts(int fd, int timeout_ms) {
  timeval tv{};
  tv.tv_sec = timeout_ms / 1000;
  tv.tv_usec = (timeout_ms % 1000) * 1000;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// Tries one resolved address; returns the connected socket or -1.
static int try_address(const addrinfo *ai, int timeout_ms) {
  int fd =
      socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
  if (fd < 0) return -1;
  set_timeouts(fd, timeout_ms);
  if (connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
    close(fd);
    return -1;
  }
  // Small SSH packets must not wait for delayed acknowledgements.
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

NetResult net_connect(const char *host, int port, int timeout_ms, Socket *out) {
  *out = kInvalidSocket;
  char service[16];
  snprintf(service, sizeof service, "%d", port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *list = nullptr;
  if (getaddrinfo(host, service, &hints, &list) != 0 || list == nullptr) {
    if (list != nullptr) freeaddrinfo(list);
    return NetResult::resolve_failed;
  }
  int fd = -1;
  for (const addrinfo *ai = list; ai != nullptr && fd < 0; ai = ai->ai_next)
    fd = try_address(ai, timeout_ms);
  freeaddrinfo(list);
  if (fd < 0) return NetResult::connect_failed;
  *out = fd;
  return NetResult::ok;
}

void net_close(Socket s) {
  if (s != kInvalidSocket) close(static_cast<int>(s));
}

void net_shutdown(Socket s) {
  if (s != kInvalidSocket) shutdown(static_cast<int>(s), SHUT_RDWR);
}

bool net_wait(Socket s, bool writable, int timeout_ms) {
  struct pollfd p {};
  p.fd = static_cast<int>(s);
  p.events = static_cast<short>(POLLIN | (writable ? POLLOUT : 0));
  return poll(&p, 1, timeout_ms) > 0;
}

int64_t file_size(FILE *f) {
  if (fseeko(f, 0, SEEK_END) != 0) return -1;
  off_t size = ftello(f);
  rewind(f);
  return size < 0 ? -1 : static_cast<int64_t>(size);
}

bool file_seek(FILE *f, int64_t offset) {
  return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool file_is_regular(FILE *f) {
  struct stat st {};
  return fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode);
}

FILE *file_open(const char *path, const char *mode) {
  return fopen(path, mode);
}

void file_remove(const char *path) { remove(path); }

FILE *file_create_new(const char *path) {
  int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  FILE *f = fdopen(fd, "wb");
  if (f == nullptr) close(fd);
  return f;
}

bool file_sync(FILE *f) { return fflush(f) == 0 && fsync(fileno(f)) == 0; }

bool file_replace(const char *from, const char *to) {
  return rename(from, to) == 0;
}

bool dir_open(DirIter *it, const char *folder) {
  DIR *d = opendir(folder);
  it->handle = d;
  return d != nullptr;
}

// Fills the entry from stat of its name within the open folder, or from lstat
// when a link cannot be followed, so that a dangling link is still listed.
// Looking the name up relative to the folder's descriptor works for folders
// of any path length. An entry that vanished since readdir keeps the type
// readdir gave and zero size and time.
static void describe(DIR *d, const dirent *de, DirEntry *e) {
  int fd = dirfd(d);
  struct stat st {};
  if (fstatat(fd, de->d_name, &st, 0) != 0 &&
      fstatat(fd, de->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    e->is_dir = de->d_type == DT_DIR;
    return;
  }
  e->is_dir = S_ISDIR(st.st_mode);
  e->size = static_cast<uint64_t>(st.st_size);
  e->mtime = static_cast<int64_t>(st.st_mtime);
}

bool dir_next(DirIter *it, DirEntry *e) {
  auto *d = static_cast<DIR *>(it->handle);
  dirent *de = readdir(d);
  if (de == nullptr) return false;
  memset(e, 0, sizeof *e);
  snprintf(e->name, sizeof e->name, "%s", de->d_name);
  describe(d, de, e);
  return true;
}

void dir_close(DirIter *it) {
  if (it->handle != nullptr) closedir(static_cast<DIR *>(it->handle));
  it->handle = nullptr;
}

int drive_roots(char roots[26][8]) {
  snprintf(roots[0], sizeof roots[0], "/");
  return 1;
}

}  // namespace tw::platform
