// A small JSON reader for sftpc: it turns the library's result texts and the
// --config file into values the commands can print. It accepts any JSON text;
// the library's own texts hold no white space, but a config file may.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace sftpc {

struct Json {
  enum class Kind { null, boolean, number, string, array, object };
  Kind kind = Kind::null;
  bool flag = false;
  std::string text;  // a string's decoded bytes, or a number as written
  std::vector<Json> items;
  std::vector<std::pair<std::string, Json>> members;

  // The member named key, or a null value when this is no object or has none.
  const Json &operator[](const std::string &key) const;
  bool is(Kind k) const { return kind == k; }
  long long integer() const;  // a number as a whole number, 0 otherwise
  double real() const;        // a number as a double, 0 otherwise
};

// Parses one whole JSON text; false (out left null) when it is not one.
bool json_parse(const std::string &text, Json &out);

// The text as a JSON string literal, quotes included.
std::string json_quote(const std::string &text);

}  // namespace sftpc
