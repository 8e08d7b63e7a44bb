// Reading the connection configuration: the JSON object's settings, decoded
// and checked, into a ConnectionConfig.
#include "config.h"

#define JSMN_STATIC
#include <jsmn.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "frame.h"
#include "platform/platform.h"

namespace tw {

ConnectionConfig::~ConnectionConfig() {
  platform::secure_zero(password, sizeof password);
  platform::secure_zero(passphrase, sizeof passphrase);
}

namespace {

constexpr int kMaxTokens = 64;

// Appends the UTF-8 form of a code point; false, appending nothing, when it
// does not fit whole before the terminating NUL.
bool put_utf8(unsigned cp, char *out, size_t cap, size_t *n) {
  unsigned char b[4];
  size_t len;
  if (cp < 0x80) {
    b[0] = static_cast<unsigned char>(cp);
    len = 1;
  } else if (cp < 0x800) {
    b[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
    b[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    len = 2;
  } else if (cp < 0x10000) {
    b[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
    b[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    b[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    len = 3;
  } else {
    b[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
    b[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
    b[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
    b[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    len = 4;
  }
  if (*n + len > cap - 1) return false;
  memcpy(out + *n, b, len);
  *n += len;
  return true;
}

// Four hexadecimal digits at s (the tokenizer has checked them), or -1.
long hex4(const char *s, const char *end) {
  if (end - s < 4) return -1;
  long v = 0;
  for (int i = 0; i < 4; ++i) {
    char c = s[i];
    int d = (c >= '0' && c <= '9')   ? c - '0'
            : (c >= 'a' && c <= 'f') ? c - 'a' + 10
            : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                     : -1;
    if (d < 0) return -1;
    v = v * 16 + d;
  }
  return v;
}

// Decodes one \u escape at s (just past the "u"), joining a surrogate pair;
// returns the input consumed. A lone surrogate becomes U+FFFD.
size_t decode_unicode(const char *s, const char *end, unsigned *cp) {
  long hi = hex4(s, end);
  if (hi < 0) {
    *cp = 0xFFFD;
    return 0;
  }
  *cp = static_cast<unsigned>(hi);
  if (hi >= 0xDC00 && hi <= 0xDFFF) *cp = 0xFFFD;
  if (hi < 0xD800 || hi > 0xDBFF) return 4;
  long lo =
      (end - s >= 10 && s[4] == '\\' && s[5] == 'u') ? hex4(s + 6, end) : -1;
  if (lo < 0xDC00 || lo > 0xDFFF) {
    *cp = 0xFFFD;
    return 4;
  }
  *cp = 0x10000 + ((static_cast<unsigned>(hi) - 0xD800) << 10) +
        (static_cast<unsigned>(lo) - 0xDC00);
  return 10;
}

char simple_unescape(char c) {
  switch (c) {
    case 'b':
      return '\b';
    case 'f':
      return '\f';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    default:
      return c;  // '"', '\\' and '/' stand for themselves
  }
}

// Decodes the text of a JSON string into out, cut to cap - 1 bytes. A
// character from an escape that does not fit whole ends the value before it,
// so the value never holds part of a character or bytes of an older value.
// Returns -1 when the decoded text holds a NUL, else 0.
int decode_string(const char *s, const char *end, char *out, size_t cap) {
  size_t n = 0;
  int nul = 0;
  while (s < end && n < cap - 1) {
    if (*s != '\\' || end - s < 2) {
      out[n++] = *s++;
      continue;
    }
    char c = s[1];
    s += 2;
    if (c != 'u') {
      out[n++] = simple_unescape(c);
      continue;
    }
    unsigned cp;
    s += decode_unicode(s, end, &cp);
    if (cp == 0) nul = -1;
    if (!put_utf8(cp, out, cap, &n)) break;
  }
  out[n] = '\0';
  return nul;
}

// Copies the raw text of a token (a bare value, or a nested object or array
// with its brackets), cut to cap - 1 bytes.
void copy_raw(const char *json, const jsmntok_t &t, char *out, size_t cap) {
  size_t len = t.end > t.start ? static_cast<size_t>(t.end - t.start) : 0;
  if (len > cap - 1) len = cap - 1;
  memcpy(out, json + t.start, len);
  out[len] = '\0';
}

bool token_is(const char *json, const jsmntok_t &t, const char *key) {
  size_t len = strlen(key);
  return t.type == JSMN_STRING && t.end - t.start == static_cast<int>(len) &&
         memcmp(json + t.start, key, len) == 0;
}

// The index of the first token after token i and everything nested in it.
int skip(const jsmntok_t *tokens, int count, int i) {
  int j = i + 1;
  while (j < count && tokens[j].start < tokens[i].end) ++j;
  return j;
}

// Looks key up among the members of the top-level object only, so that a
// value or a nested member never stands in for a key; the first occurrence
// wins. Returns 1 when found, 0 when not (out empty), -1 when the decoded
// value holds a NUL.
int json_get(const char *json, const jsmntok_t *tokens, int count,
             const char *key, char *out, size_t cap) {
  out[0] = '\0';
  int i = 1;
  while (i < count && tokens[i].start < tokens[0].end) {
    int value = skip(tokens, count, i);
    if (value >= count || tokens[value].start >= tokens[0].end) return 0;
    if (token_is(json, tokens[i], key)) {
      const jsmntok_t &v = tokens[value];
      if (v.type != JSMN_STRING) {
        copy_raw(json, v, out, cap);
        return 1;
      }
      return decode_string(json + v.start, json + v.end, out, cap) == 0 ? 1
                                                                        : -1;
    }
    i = skip(tokens, count, value);
  }
  return 0;
}

// Decimal conversion as atoi does it (blanks, sign, digits up to the first
// other character), saturating instead of overflowing.
int to_int(const char *s) {
  while (*s == ' ' || (*s >= '\t' && *s <= '\r')) ++s;
  bool negative = *s == '-';
  if (*s == '-' || *s == '+') ++s;
  long long v = 0;
  for (; *s >= '0' && *s <= '9'; ++s) {
    v = v * 10 + (*s - '0');
    if (v > static_cast<long long>(INT_MAX) + 1)
      v = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) v = -v;
  if (v > INT_MAX) v = INT_MAX;
  return static_cast<int>(v);
}

// A pinned fingerprint is either the SHA-1 text of the session description
// (20 hexadecimal pairs joined by colons, either case; kept in lower case)
// or OpenSSH's "SHA256:" with the unpadded base64 of the digest.
bool is_sha1_fingerprint(char *fp) {
  if (strlen(fp) != 59) return false;
  for (int i = 0; i < 59; ++i) {
    char c = fp[i];
    if (i % 3 == 2) {
      if (c != ':') return false;
      continue;
    }
    if (c >= 'A' && c <= 'F')
      fp[i] = static_cast<char>(c - 'A' + 'a');
    else if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
      return false;
  }
  return true;
}

bool is_base64_digit(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         (c >= '0' && c <= '9') || c == '+' || c == '/';
}

bool is_sha256_fingerprint(const char *fp) {
  if (strncmp(fp, "SHA256:", 7) != 0 || strlen(fp) != 7 + 43) return false;
  for (const char *p = fp + 7; *p != '\0'; ++p)
    if (!is_base64_digit(*p)) return false;
  return true;
}

struct Setting {
  const char *key;
  char *out;
  size_t cap;
};

// Looks up every setting; the first value holding a NUL is reported.
int read_settings(const char *json, const jsmntok_t *tokens, int count,
                  ConnectionConfig *cfg) {
  char port[64], timeout[64];
  const Setting settings[] = {
      {"host", cfg->host, sizeof cfg->host},
      {"user", cfg->user, sizeof cfg->user},
      {"password", cfg->password, sizeof cfg->password},
      {"private_key", cfg->private_key, sizeof cfg->private_key},
      {"passphrase", cfg->passphrase, sizeof cfg->passphrase},
      {"port", port, sizeof port},
      {"timeout_ms", timeout, sizeof timeout},
      {"host_fingerprint", cfg->host_fingerprint,
       sizeof cfg->host_fingerprint}};
  const char *bad = nullptr;
  constexpr int kSettings = sizeof settings / sizeof settings[0];
  int found[kSettings];
  for (int i = 0; i < kSettings; ++i) {
    const Setting &s = settings[i];
    found[i] = json_get(json, tokens, count, s.key, s.out, s.cap);
    if (found[i] < 0 && bad == nullptr) bad = s.key;
  }
  if (bad != nullptr) {
    set_error("'%s' must not contain a NUL character", bad);
    return -1;
  }
  cfg->port = found[5] == 1 ? to_int(port) : 22;
  cfg->timeout_ms = found[6] == 1 ? to_int(timeout) : 15000;
  return 0;
}

// Reads an optional boolean setting: the JSON literal true or false, absent
// meaning false. Anything else is refused, so that a typing error such as
// "yes" never silently turns a safety off.
bool read_flag(const char *json, const jsmntok_t *tokens, int count,
               const char *key, bool *out) {
  char raw[8];
  *out = false;
  int found = json_get(json, tokens, count, key, raw, sizeof raw);
  if (found == 1 && strcmp(raw, "true") == 0) *out = true;
  if (found == 0 || (found == 1 && (*out || strcmp(raw, "false") == 0)))
    return true;
  set_error("'%s' must be true or false", key);
  return false;
}

}  // namespace

int parse_config(const char *json, ConnectionConfig *cfg) {
  cfg->host[0] = cfg->user[0] = cfg->password[0] = '\0';
  cfg->private_key[0] = cfg->passphrase[0] = cfg->host_fingerprint[0] = '\0';
  if (json == nullptr || json[0] == '\0') {
    set_error("config_json is required");
    return -1;
  }
  jsmn_parser parser;
  jsmntok_t tokens[kMaxTokens];
  jsmn_init(&parser);
  int count = jsmn_parse(&parser, json, strlen(json), tokens, kMaxTokens);
  if (count <= 0 || tokens[0].type != JSMN_OBJECT) {
    set_error("config_json is not a JSON object");
    return -1;
  }
  if (read_settings(json, tokens, count, cfg) != 0) return -1;
  if (!read_flag(json, tokens, count, "agent", &cfg->agent) ||
      !read_flag(json, tokens, count, "safe_replace", &cfg->safe_replace))
    return -1;
  if (cfg->host[0] == '\0') {
    set_error("'host' is required");
    return -1;
  }
  if (cfg->user[0] == '\0') {
    set_error("'user' is required");
    return -1;
  }
  char *pin = cfg->host_fingerprint;
  if (pin[0] != '\0' && !is_sha1_fingerprint(pin) &&
      !is_sha256_fingerprint(pin)) {
    set_error("'host_fingerprint' is not a SHA-1 or SHA256 fingerprint");
    return -1;
  }
  if (cfg->port < 1 || cfg->port > 65535) cfg->port = 22;
  if (cfg->timeout_ms <= 999) cfg->timeout_ms = 15000;
  return 0;
}

}  // namespace tw
