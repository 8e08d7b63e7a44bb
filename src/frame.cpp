#include "frame.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace tw {

platform::Mutex g_lock;
platform::Mutex g_prog_lock;
platform::Mutex g_log_lock;
platform::Mutex g_desc_lock;

char g_json[kJsonCap];
char g_json2[kJsonCap];
char g_info[kInfoCap];
char g_path[kPathCap];

namespace {

// 0: no locks yet, 1: being created by one thread, 2: ready.
std::atomic<int> g_locks_ready{0};
platform::Mutex g_error_lock;
char g_error[kErrorCap];

}  // namespace

void ensure_locks() {
  if (g_locks_ready.load(std::memory_order_acquire) == 2) return;
  int expected = 0;
  if (g_locks_ready.compare_exchange_strong(expected, 1,
                                            std::memory_order_acq_rel)) {
    platform::mutex_init(&g_lock);
    platform::mutex_init(&g_prog_lock);
    platform::mutex_init(&g_log_lock);
    platform::mutex_init(&g_desc_lock);
    platform::mutex_init(&g_error_lock);
    g_locks_ready.store(2, std::memory_order_release);
    return;
  }
  while (g_locks_ready.load(std::memory_order_acquire) != 2)
    platform::yield_thread();
}

void set_error(const char *fmt, ...) {
  char text[kErrorCap];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  Guard guard(g_error_lock);
  memcpy(g_error, text, strlen(text) + 1);
}

void clear_error() {
  Guard guard(g_error_lock);
  g_error[0] = '\0';
}

const char *last_error() { return g_error; }

int64_t now_ms() { return platform::wall_clock_ms(); }
int64_t monotonic_ms() { return platform::monotonic_ms(); }

int format(char *buf, size_t cap, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, cap, fmt, ap);
  va_end(ap);
  return n;
}

const char *base_name(const char *path) {
  const char *base = path;
  for (const char *p = path; *p != '\0'; ++p)
    if (*p == '/' || *p == '\\') base = p + 1;
  return base;
}

namespace {

// The two-character escape of a byte, or nullptr.
const char *short_escape(unsigned char b) {
  switch (b) {
    case '"':
      return "\\\"";
    case '\\':
      return "\\\\";
    case '\b':
      return "\\b";
    case '\t':
      return "\\t";
    case '\n':
      return "\\n";
    case '\f':
      return "\\f";
    case '\r':
      return "\\r";
    default:
      return nullptr;
  }
}

// Length of the UTF-8 sequence that lead begins, or 0 when lead cannot begin
// one.
size_t utf8_length(unsigned char lead) {
  if (lead >= 0xC0 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF7) return 4;
  return 0;
}

// Copies one well-formed sequence that fits with the 8-byte reserve, or
// writes U+FFFD for its lead byte alone. Returns the input bytes consumed.
size_t escape_utf8(char *dst, size_t cap, size_t *out, const unsigned char *s) {
  size_t n = utf8_length(s[0]);
  bool whole = n > 0;
  for (size_t i = 1; whole && i < n; ++i) whole = s[i] >= 0x80 && s[i] <= 0xBF;
  if (whole && *out + n + 8 < cap) {
    memcpy(dst + *out, s, n);
    *out += n;
    return n;
  }
  memcpy(dst + *out, "\xEF\xBF\xBD", 3);
  *out += 3;
  return 1;
}

}  // namespace

void json_escape(char *dst, size_t cap, const char *src) {
  const auto *s = reinterpret_cast<const unsigned char *>(src);
  size_t out = 0;
  while (*s != 0 && out + 8 < cap) {
    unsigned char b = *s;
    if (const char *esc = short_escape(b)) {
      memcpy(dst + out, esc, 2);
      out += 2;
      ++s;
    } else if (b < 0x20) {
      snprintf(dst + out, 7, "\\u%04x", b);
      out += 6;
      ++s;
    } else if (b < 0x80) {
      dst[out++] = static_cast<char>(b);
      ++s;
    } else {
      s += escape_utf8(dst, cap, &out, s);
    }
  }
  dst[out] = '\0';
}

void json_array_begin(JsonArray *a, char *buf) {
  a->buf = buf;
  a->buf[0] = '[';
  a->buf[1] = '\0';
  a->len = 1;
  a->first = true;
}

bool json_array_add(JsonArray *a, size_t var_len, size_t headroom,
                    const char *fmt, ...) {
  if (a->len + var_len + headroom > kJsonCap - 1) return false;
  if (!a->first) {
    a->buf[a->len++] = ',';
    a->buf[a->len] = '\0';
  }
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(a->buf + a->len, kJsonCap - a->len, fmt, ap);
  va_end(ap);
  if (n > 0) a->len += static_cast<size_t>(n);
  if (a->len > kJsonCap - 1) a->len = kJsonCap - 1;
  a->first = false;
  return true;
}

void json_array_end(JsonArray *a) {
  if (a->len + 2 > kJsonCap - 1) return;
  a->buf[a->len++] = ']';
  a->buf[a->len] = '\0';
}

#define TW_ENTRY_FORMAT                                                   \
  "{\"name\":\"%s\",\"is_dir\":%s,\"size\":%lld,\"mtime\":%lld,\"mode\":" \
  "\"%s\",\"uid\":%d,\"gid\":%d}"

bool json_entry_add(JsonArray *a, const EntryRecord &e) {
  char name[2048];
  json_escape(name, sizeof name, e.name);
  return json_array_add(a, strlen(name), kEntryHeadroom, TW_ENTRY_FORMAT, name,
                        e.is_dir ? "true" : "false",
                        static_cast<long long>(e.size),
                        static_cast<long long>(e.mtime), e.mode, e.uid, e.gid);
}

void json_entry_print(char *buf, size_t cap, const EntryRecord &e) {
  char name[2048];
  json_escape(name, sizeof name, e.name);
  snprintf(buf, cap, TW_ENTRY_FORMAT, name, e.is_dir ? "true" : "false",
           static_cast<long long>(e.size), static_cast<long long>(e.mtime),
           e.mode, e.uid, e.gid);
}

}  // namespace tw
