// Fuzzes the entry record and the listing builder (json_array_begin,
// json_entry_add, json_array_end) with random names and attributes, as the
// remote and local listings use them: the array must always be one valid
// JSON text, holding exactly the records that were reported as added, each
// with the attributes given, within the 512 KiB result buffer.
//
// Input: a sequence of records, each 27 bytes of attributes followed by the
// name: flags (bit 0: is_dir), repeat count, size (8 bytes), mtime (8),
// permissions (4), uid (2, sign-extended), gid (1, sign-extended), name
// length (2), then that many name bytes (cut at a NUL, as the C string).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "frame.h"
#include "json_check.h"
#include "remote_fs.h"

namespace {

struct Input {
  const uint8_t *p;
  size_t left;
  uint64_t take(size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n && left > 0; ++i, ++p, --left) v = v << 8 | *p;
    return v;
  }
};

struct Expected {
  std::string name;
  tw::EntryRecord rec;
  char mode[11];
};

[[noreturn]] void fail(const char *what, const std::string &detail) {
  fprintf(stderr, "entries: %s: %s\n", what, detail.c_str());
  abort();
}

// Reads one record's attributes and name from the input.
void read_record(Input *in, Expected *e, int *repeat) {
  int flags = static_cast<int>(in->take(1));
  *repeat = 1 + static_cast<int>(in->take(1));
  e->rec.is_dir = (flags & 1) != 0;
  e->rec.size = static_cast<int64_t>(in->take(8));
  e->rec.mtime = static_cast<int64_t>(in->take(8));
  tw::mode_string(static_cast<uint32_t>(in->take(4)), e->mode);
  e->rec.uid = static_cast<int16_t>(in->take(2));
  e->rec.gid = static_cast<int8_t>(in->take(1));
  size_t n = static_cast<size_t>(in->take(2)) % 1200;
  if (n > in->left) n = in->left;
  e->name.assign(reinterpret_cast<const char *>(in->p), n);
  e->name = e->name.c_str();
  in->p += n;
  in->left -= n;
  e->rec.mode = e->mode;
}

std::string number(int64_t v) { return std::to_string(v); }

// Compares one parsed element with the record it came from.
void check_element(const json_check::Value &v, const Expected &e) {
  static const char *const kKeys[] = {"name", "is_dir", "size", "mtime",
                                      "mode", "uid",    "gid"};
  if (v.type != json_check::Value::object || v.members.size() != 7)
    fail("element is not a seven-member object", e.name);
  for (int i = 0; i < 7; ++i)
    if (v.members[i].first != kKeys[i]) fail("member out of order", kKeys[i]);
  const json_check::Value &name = v.members[0].second;
  if (name.type != json_check::Value::string) fail("name not a string", "");
  if (json_check::is_utf8(e.name) && e.name.size() * 6 + 9 <= 2048 &&
      name.text != e.name)
    fail("well-formed name changed", name.text);
  const json_check::Value &dir = v.members[1].second;
  if (dir.type != json_check::Value::boolean || dir.flag != e.rec.is_dir)
    fail("is_dir wrong", e.name);
  if (v.members[2].second.text != number(e.rec.size) ||
      v.members[3].second.text != number(e.rec.mtime) ||
      v.members[4].second.text != e.mode ||
      v.members[5].second.text != number(e.rec.uid) ||
      v.members[6].second.text != number(e.rec.gid))
    fail("attribute wrong", e.name);
}

char *g_buf;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  // The array buffer sits at the end of a heap block of exactly kJsonCap
  // bytes, so that AddressSanitizer reports any write beyond it.
  if (g_buf == nullptr) g_buf = static_cast<char *>(malloc(tw::kJsonCap));
  Input in{data, size};
  std::vector<Expected> added;
  tw::JsonArray a;
  tw::json_array_begin(&a, g_buf);
  while (in.left > 0) {
    Expected e;
    int repeat;
    read_record(&in, &e, &repeat);
    e.rec.name = e.name.c_str();
    for (int i = 0; i < repeat; ++i)
      if (tw::json_entry_add(&a, e.rec)) added.push_back(e);
  }
  tw::json_array_end(&a);

  size_t len = strnlen(g_buf, tw::kJsonCap);
  if (len == tw::kJsonCap) fail("array not terminated", "");
  if (len != a.len) fail("length out of step with the text", "");
  json_check::Value v;
  std::string why = json_check::parse(std::string(g_buf, len), &v);
  if (!why.empty()) fail("array is not valid JSON", why);
  if (v.type != json_check::Value::array || v.items.size() != added.size())
    fail("array does not hold the added records", std::to_string(added.size()));
  for (size_t i = 0; i < added.size(); ++i) check_element(v.items[i], added[i]);

  // A single record, as the remote stat prints it, is the same object.
  if (!added.empty()) {
    Expected &first = added[0];
    first.rec.name = first.name.c_str();
    first.rec.mode = first.mode;
    tw::json_entry_print(g_buf, tw::kJsonCap, first.rec);
    json_check::Value one;
    why = json_check::parse(g_buf, &one);
    if (!why.empty()) fail("record is not valid JSON", why);
    check_element(one, first);
  }
  return 0;
}
