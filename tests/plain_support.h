// What every test and bench program shares that needs neither Google Test
// nor the operating system's headers, so that the Windows test program and
// the soak can use it too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tw_test {

// A text as a JSON string literal, with its quotes.
inline std::string quote(const std::string &s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// Bytes that differ at every offset and between seeds, so that a shifted,
// repeated or foreign chunk never compares equal.
inline std::string pattern(size_t n, uint32_t seed = 1) {
  std::string s(n, '\0');
  uint32_t x = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    s[i] = static_cast<char>(x);
  }
  return s;
}

}  // namespace tw_test
