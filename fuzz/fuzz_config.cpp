// Fuzzes the configuration text through tw::parse_config: tokenizing, the
// lookup of each setting among the top-level members, and the decoding of
// string values.
//
// Two kinds of input. A first byte other than 0x01: the rest is the text as
// a host passes it; whatever it holds, the parse either fails with a message
// or yields terminated settings with host and user set, the port in 1..65535
// and the timeout at least 1000. A first byte 0x01: the rest describes
// settings, which the target writes as a JSON object in varied ways (escapes,
// decoy members, nested look-alikes, repeated keys) and then checks that the
// parse gives back exactly the values written, or the expected error.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "frame.h"
#include "json_check.h"
#include "session.h"

namespace {

[[noreturn]] void fail(const char *what, const std::string &detail) {
  fprintf(stderr, "config: %s: %s\n", what, detail.c_str());
  abort();
}

struct Input {
  const uint8_t *p;
  size_t left;
  unsigned byte() {
    if (left == 0) return 0;
    --left;
    return *p++;
  }
};

// The settings in the order the parser looks them up, with their capacities.
struct Key {
  const char *name;
  size_t cap;
};
const Key kKeys[] = {{"host", 256},       {"user", 256},
                     {"password", 512},   {"private_key", 1024},
                     {"passphrase", 512}, {"port", 64},
                     {"timeout_ms", 64}};
constexpr int kKeyCount = 7;

char *field(tw::ConnectionConfig *c, int k) {
  char *const fields[] = {c->host, c->user, c->password, c->private_key,
                          c->passphrase};
  return k < 5 ? fields[k] : nullptr;
}

void check_terminated(tw::ConnectionConfig *c) {
  for (int k = 0; k < 5; ++k)
    if (strnlen(field(c, k), kKeys[k].cap) == kKeys[k].cap)
      fail("setting not terminated", kKeys[k].name);
}

// Writes one code point as JSON string text, in a form the input picks.
void write_char(std::string *json, uint32_t cp, unsigned how) {
  char esc[16];
  if (cp == '"' || cp == '\\' || cp < 0x20 || (how & 1)) {
    if (cp >= 0x10000) {
      uint32_t v = cp - 0x10000;
      snprintf(esc, sizeof esc, "\\u%04X\\u%04x", 0xD800 + (v >> 10),
               0xDC00 + (v & 0x3FF));
    } else {
      snprintf(esc, sizeof esc, (how & 2) ? "\\u%04x" : "\\u%04X", cp);
    }
    *json += esc;
  } else if (cp == '/' && (how & 2)) {
    *json += "\\/";
  } else {
    json_check::append_utf8(json, cp);
  }
}

// A string value from the input: its JSON text and its decoded bytes.
void make_string(Input *in, std::string *json, std::string *want) {
  size_t n = in->byte() % 40 * (in->byte() % 16 + 1);
  *json += '"';
  for (size_t i = 0; i < n && in->left > 0; ++i) {
    unsigned sel = in->byte();
    uint32_t cp = sel < 160 ? 0x20 + sel % 0x5F
                            : (in->byte() << 12 | in->byte() << 4) % 0x110000;
    if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
    write_char(json, cp, sel);
    json_check::append_utf8(want, cp);
  }
  *json += '"';
}

// A member that must not be taken for a setting: a nested object or array
// holding setting names, or a string value equal to one.
void make_decoy(Input *in, std::string *json) {
  const char *name = kKeys[in->byte() % kKeyCount].name;
  switch (in->byte() % 3) {
    case 0:
      *json += "\"x\":{\"" + std::string(name) + "\":\"decoy\"}";
      break;
    case 1:
      *json += "\"y\":[\"" + std::string(name) + "\",1]";
      break;
    default:
      *json += "\"z\":\"" + std::string(name) + "\"";
  }
}

struct Plan {
  bool given[kKeyCount] = {};
  std::string want[kKeyCount];
  long number[2] = {};  // port and timeout_ms as written
  // Where the first NUL of each value is, or npos.
  size_t nul[kKeyCount] = {std::string::npos, std::string::npos,
                           std::string::npos, std::string::npos,
                           std::string::npos, std::string::npos,
                           std::string::npos};
};

// Writes the object the input describes into json, recording what the
// parse should return.
void make_object(Input *in, std::string *json, Plan *plan) {
  *json = "{";
  bool first = true;
  while (in->left > 0) {
    if (!first) *json += ",";
    first = false;
    unsigned op = in->byte();
    if (op % 4 == 0) {
      make_decoy(in, json);
      continue;
    }
    int k = static_cast<int>(in->byte() % kKeyCount);
    bool repeat = plan->given[k];
    *json += "\"" + std::string(kKeys[k].name) + "\":";
    if (k >= 5) {
      long v = static_cast<long>(in->byte() << 8 | in->byte()) * 3 - 1000;
      *json += (op & 8) ? "\"" + std::to_string(v) + "\"" : std::to_string(v);
      if (!repeat) plan->number[k - 5] = v;
    } else if (op & 16 && !repeat) {
      *json += "\"a\\u0000b\"";
      plan->nul[k] = 1;
    } else {
      std::string want;
      make_string(in, json, &want);
      if (!repeat) plan->nul[k] = want.find('\0');
      if (!repeat) plan->want[k] = want.substr(0, plan->nul[k]);
    }
    plan->given[k] = true;
  }
  *json += "}";
}

// The message the parse must give, or "" when it must succeed. A NUL that
// lies beyond what the setting holds may go unseen: *either is set then.
std::string expected_error(const Plan &plan, bool *either) {
  *either = false;
  for (int k = 0; k < kKeyCount; ++k) {
    if (plan.nul[k] == std::string::npos) continue;
    std::string message =
        "'" + std::string(kKeys[k].name) + "' must not contain a NUL character";
    if (plan.nul[k] < kKeys[k].cap - 1) return message;
    *either = true;
  }
  if (!plan.given[0] || plan.want[0].empty()) return "'host' is required";
  if (!plan.given[1] || plan.want[1].empty()) return "'user' is required";
  return "";
}

void check_planned(const Plan &plan, tw::ConnectionConfig *c,
                   const std::string &json) {
  for (int k = 0; k < 5; ++k) {
    const std::string &want = plan.want[k];
    std::string got = field(c, k);
    // A value longer than the setting holds is cut, never altered.
    bool fits = want.size() < kKeys[k].cap;
    if (fits ? got != want : want.compare(0, got.size(), got) != 0)
      fail(kKeys[k].name, json);
  }
  long port = plan.given[5] ? plan.number[0] : 22;
  long timeout = plan.given[6] ? plan.number[1] : 15000;
  if (c->port != (port >= 1 && port <= 65535 ? port : 22)) fail("port", json);
  if (c->timeout_ms != (timeout >= 1000 ? timeout : 15000))
    fail("timeout_ms", json);
}

void run_planned(Input in) {
  Plan plan;
  std::string json;
  make_object(&in, &json, &plan);
  // jsmn takes at most 64 tokens; a larger object is refused whole.
  if (json.size() > 6000) return;
  tw::ConnectionConfig cfg;
  memset(static_cast<void *>(&cfg), 0xAA, sizeof cfg);
  int rc = tw::parse_config(json.c_str(), &cfg);
  std::string error = tw::last_error();
  bool either;
  std::string want = expected_error(plan, &either);
  if (rc != 0 && error == "config_json is not a JSON object") return;
  if (either && error.find("must not contain a NUL") != std::string::npos)
    return;
  if (rc != 0 && error != want) fail(("wrong error: " + error).c_str(), json);
  if (rc == 0 && !want.empty()) fail(("accepted: " + want).c_str(), json);
  if (rc == 0) check_planned(plan, &cfg, json);
}

void run_raw(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  tw::ConnectionConfig cfg;
  memset(static_cast<void *>(&cfg), 0xAA, sizeof cfg);
  int rc = tw::parse_config(text.c_str(), &cfg);
  check_terminated(&cfg);
  if (rc != 0) {
    if (tw::last_error()[0] == '\0') fail("failed without a message", text);
    return;
  }
  if (cfg.host[0] == '\0' || cfg.user[0] == '\0')
    fail("host or user empty", text);
  if (cfg.port < 1 || cfg.port > 65535) fail("port out of range", text);
  if (cfg.timeout_ms < 1000) fail("timeout below 1000", text);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  tw::ensure_locks();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0 || size > 16384) return 0;
  tw::clear_error();
  if (data[0] == 0x01)
    run_planned(Input{data + 1, size - 1});
  else
    run_raw(data, size);
  return 0;
}
