// Fuzzes tw::json_escape, the one escaper of every variable text in the
// library's JSON results, at capacities from 512 bytes up. The output must
// stay within the capacity, be a valid JSON string body whose text is
// well-formed UTF-8, and keep well-formed input unchanged up to where it is
// cut. The cut keeps 8 bytes in reserve: a character that would eat into
// them is written as U+FFFD, the last thing written.
//
// Input: two bytes that pick the capacity (512 to 4607), then the source
// text (cut at its first NUL, as the C string the library receives).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "frame.h"
#include "json_check.h"

namespace {

[[noreturn]] void fail(const char *what, const std::string &detail) {
  fprintf(stderr, "json_escape: %s: %s\n", what, detail.c_str());
  abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 2) return 0;
  size_t cap = 512 + ((data[0] << 8 | data[1]) % 4096);
  std::string src(reinterpret_cast<const char *>(data + 2), size - 2);
  src = src.c_str();  // the library sees the text up to the first NUL

  // The output buffer is exactly cap bytes on the heap, so that
  // AddressSanitizer reports any write at or beyond cap; the filler shows bytes
  // never written.
  char *dst = static_cast<char *>(malloc(cap));
  memset(dst, 0xAA, cap);
  tw::json_escape(dst, cap, src.c_str());
  size_t len = strnlen(dst, cap);
  if (len == cap) fail("output not terminated within the capacity", "");
  std::string out(dst, len);
  free(dst);

  json_check::Reader reader(out.data(), out.size());
  std::string decoded;
  if (!reader.string_body(&decoded))
    fail("not a valid JSON string body of UTF-8", reader.why());
  if (!json_check::is_utf8(src)) return 0;
  // Well-formed input comes back whole when even six bytes for each input
  // byte fit, and otherwise as a prefix of itself, perhaps followed by the
  // one U+FFFD of a character that did not fit before the reserve.
  if (src.compare(0, decoded.size(), decoded) != 0) {
    const std::string r = "\xEF\xBF\xBD";
    size_t before = out.size() - r.size();
    bool at_cut =
        out.size() >= r.size() && out.compare(before, 3, r) == 0 &&
        before + 8 < cap && cap <= before + 12 &&
        src.compare(0, decoded.size() - 3, decoded, 0, decoded.size() - 3) == 0;
    if (!at_cut) fail("well-formed input changed", out);
  }
  if (6 * src.size() + 9 <= cap && decoded != src)
    fail("well-formed input cut although it fits", out);
  return 0;
}
