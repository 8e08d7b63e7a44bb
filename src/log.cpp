#include "log.h"

#include <cstdio>
#include <cstring>

namespace tw {

namespace {

struct LogEntry {
  int64_t ts_ms;
  char line[kLogLineCap];
};

// Guarded by g_log_lock. Entries, oldest first, are in slots g_log_head ..
// g_log_head + g_log_count - 1, modulo kLogSlots.
LogEntry g_log[kLogSlots];
int g_log_head = 0;
int g_log_count = 0;

}  // namespace

void log_add(const char *fmt, ...) {
  // Formatting happens before the lock, so a slow format delays nobody.
  char line[kLogLineCap];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  ensure_locks();
  Guard guard(g_log_lock);
  int slot;
  if (g_log_count == kLogSlots) {
    slot = g_log_head;
    g_log_head = (g_log_head + 1) % kLogSlots;
  } else {
    slot = (g_log_head + g_log_count) % kLogSlots;
    ++g_log_count;
  }
  g_log[slot].ts_ms = now_ms();
  memcpy(g_log[slot].line, line, sizeof line);
}

const char *log_to_json() {
  Guard guard(g_log_lock);
  JsonArray a;
  json_array_begin(&a, g_json);
  for (int i = 0; i < g_log_count; ++i) {
    const LogEntry &e = g_log[(g_log_head + i) % kLogSlots];
    char line[512];
    json_escape(line, sizeof line, e.line);
    if (!json_array_add(&a, strlen(line), kLogHeadroom,
                        "{\"ts_ms\":%lld,\"line\":\"%s\"}",
                        static_cast<long long>(e.ts_ms), line))
      break;
  }
  json_array_end(&a);
  return g_json;
}

void log_clear() {
  Guard guard(g_log_lock);
  g_log_head = 0;
  g_log_count = 0;
}

void log_state(int *head, int *count) {
  Guard guard(g_log_lock);
  *head = g_log_head;
  *count = g_log_count;
}

}  // namespace tw
