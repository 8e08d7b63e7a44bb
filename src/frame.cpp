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

void set_error_v(const char *fmt, va_list ap) {
  char text[kErrorCap];
  vsnprintf(text, sizeof text, fmt, ap);
  Guard guard(g_error_lock);
  memcpy(g_error, text, strlen(text) + 1);
}

void set_error(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  set_error_v(fmt, ap);
  va_end(ap);
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

// The well-formed UTF-8 sequences of RFC 3629: the length of the one that
// lead begins, with the range its second byte must fall in (the rest are
// 80-BF); 0 when lead begins none. The narrow second-byte ranges leave out
// overlong forms, encoded UTF-16 surrogates and values above U+10FFFF.
struct Utf8Lead {
  size_t length;
  unsigned char lo, hi;
};

Utf8Lead utf8_lead(unsigned char lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return {2, 0x80, 0xBF};
  if (lead == 0xE0) return {3, 0xA0, 0xBF};
  if (lead == 0xED) return {3, 0x80, 0x9F};
  if (lead >= 0xE1 && lead <= 0xEF) return {3, 0x80, 0xBF};
  if (lead == 0xF0) return {4, 0x90, 0xBF};
  if (lead >= 0xF1 && lead <= 0xF3) return {4, 0x80, 0xBF};
  if (lead == 0xF4) return {4, 0x80, 0x8F};
  return {0, 0, 0};
}

// True when the n bytes at s form the sequence that lead u announces. The
// check stops at the first byte out of range, so it never reads past a NUL.
bool well_formed(const unsigned char *s, const Utf8Lead &u) {
  if (u.length == 0 || s[1] < u.lo || s[1] > u.hi) return false;
  for (size_t i = 2; i < u.length; ++i)
    if (s[i] < 0x80 || s[i] > 0xBF) return false;
  return true;
}

// Copies one well-formed sequence that fits with the 8-byte reserve, or
// writes U+FFFD for its lead byte alone. Returns the input bytes consumed.
size_t escape_utf8(char *dst, size_t cap, size_t *out, const unsigned char *s) {
  Utf8Lead u = utf8_lead(s[0]);
  if (well_formed(s, u) && *out + u.length + 8 < cap) {
    memcpy(dst + *out, s, u.length);
    *out += u.length;
    return u.length;
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
