// The activity log: a ring of the 128 most recent timestamped lines.
#pragma once

#include <cstdint>

#include "frame.h"

namespace tw {

constexpr int kLogSlots = 128;
constexpr size_t kLogLineCap = 256;

// Appends one line (cut at 255 bytes). Callable from any thread, with or
// without g_lock held, never with g_prog_lock held.
void log_add(const char *fmt, ...) TW_PRINTF(1, 2);

// Writes the log as a JSON array into g_json and returns it.
const char *log_to_json();
void log_clear();

// The ring's oldest slot and entry count, for tests.
void log_state(int *head, int *count);

}  // namespace tw
