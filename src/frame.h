// The library frame: the locks, the last-error text, the clock, the result
// buffers and the JSON text conventions that every report follows.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

#if defined(__GNUC__)
#define TW_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define TW_PRINTF(fmt, args)
#endif

namespace tw {

// Capacities, each including the terminating NUL.
constexpr size_t kErrorCap = 512;
// The listing texts hold 100,000 entries of ordinary names. They are static
// and untouched until written, so the system backs only the part a listing
// filled.
constexpr size_t kJsonCap = 16 * 1024 * 1024;
// The session description with an RSA key of 16384 bits and every text
// escaped at its longest.
constexpr size_t kInfoCap = 16384;
constexpr size_t kPathCap = 1024;

// The session lock, the progress lock and the log lock. Order: g_lock before
// either of the others; g_prog_lock and g_log_lock are never held together.
extern platform::Mutex g_lock;
extern platform::Mutex g_prog_lock;
extern platform::Mutex g_log_lock;
// Guards the session description, so that a description read while a connect
// runs shows one state whole. Innermost: nothing is taken while it is held.
extern platform::Mutex g_desc_lock;

// Result buffers. Each export that writes one always returns the same pointer;
// the text is valid until the next call that writes the same buffer.
extern char g_json[kJsonCap];   // list_dir, get_log
extern char g_json2[kJsonCap];  // stat, list_local
extern char g_info[kInfoCap];   // session_info, transfer_progress
extern char g_path[kPathCap];   // realpath

// Creates the locks once; safe when two first calls race.
void ensure_locks();

// The last-error text: one for the library, replaced whole under a lock of
// its own so that two writers never leave a torn text.
void set_error(const char *fmt, ...) TW_PRINTF(1, 2);
void set_error_v(const char *fmt, va_list ap) TW_PRINTF(1, 0);
void clear_error();
const char *last_error();

int64_t now_ms();        // wall clock, milliseconds since the Unix epoch
int64_t monotonic_ms();  // for durations
int64_t monotonic_us();

// Holds a lock for the lifetime of a scope.
class Guard {
 public:
  explicit Guard(platform::Mutex &m) : m_(m) { platform::mutex_lock(&m_); }
  ~Guard() { platform::mutex_unlock(&m_); }
  Guard(const Guard &) = delete;
  Guard &operator=(const Guard &) = delete;

 private:
  platform::Mutex &m_;
};

// Bounded printf into buf: a longer text is cut at cap - 1 bytes and always
// terminated. Returns the length of the complete text.
int format(char *buf, size_t cap, const char *fmt, ...) TW_PRINTF(3, 4);

// The part of a path after its last '/' or '\\'.
const char *base_name(const char *path);

// Writes the escaped form of src (the content of a JSON string, without
// quotes) into dst, never writing at or beyond cap. Each byte that begins no
// well-formed UTF-8 sequence (RFC 3629) becomes U+FFFD, so the output is
// always UTF-8. Output is cut between whole escapes, keeping 8 bytes in
// reserve.
void json_escape(char *dst, size_t cap, const char *src);

// An array built element by element into a kJsonCap buffer. An element is
// printed only when the text so far, its escaped variable text and the
// headroom stay within kJsonCap - 1, so the array always closes whole.
struct JsonArray {
  char *buf;
  size_t len;
  bool first;
};
constexpr size_t kEntryHeadroom = 160;
constexpr size_t kLogHeadroom = 64;

void json_array_begin(JsonArray *a, char *buf);
// Returns false, printing nothing, when the element does not fit.
bool json_array_add(JsonArray *a, size_t var_len, size_t headroom,
                    const char *fmt, ...) TW_PRINTF(4, 5);
void json_array_end(JsonArray *a);

// One file or folder as the entry record shared by the remote and local
// listings and the remote stat.
struct EntryRecord {
  const char *name;  // raw bytes; escaped when printed
  bool is_dir;
  int64_t size;
  int64_t mtime;
  const char *mode;  // ten characters
  int32_t uid;
  int32_t gid;
};
// Appends the record to an array; false when it did not fit.
bool json_entry_add(JsonArray *a, const EntryRecord &e);
// Prints the record alone into buf.
void json_entry_print(char *buf, size_t cap, const EntryRecord &e);

}  // namespace tw
