// The JSON reader behind sftpc_json.h: a recursive descent over the text,
// one function per kind of value.
#include "sftpc_json.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sftpc {
namespace {

struct Reader {
  const std::string &s;
  size_t i = 0;
  int depth = 0;

  void skip_space() {
    while (i < s.size() && std::strchr(" \t\r\n", s[i]) != nullptr) ++i;
  }
  bool eat(char c) {
    skip_space();
    if (i < s.size() && s[i] == c) {
      ++i;
      return true;
    }
    return false;
  }
  bool literal(const char *word) {
    size_t n = std::strlen(word);
    if (s.compare(i, n, word) != 0) return false;
    i += n;
    return true;
  }
  bool value(Json &out);
  bool string(std::string &out);
  bool escape(std::string &out);
  bool number(Json &out);
  bool array(Json &out);
  bool object(Json &out);
};

// Appends one code point as UTF-8.
void put_utf8(std::string &out, unsigned long cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

bool Reader::escape(std::string &out) {
  if (i >= s.size()) return false;
  char c = s[i++];
  const char *from = "\"\\/bfnrt", *to = "\"\\/\b\f\n\r\t";
  if (const char *p = c != '\0' ? std::strchr(from, c) : nullptr) {
    out += to[p - from];
    return true;
  }
  if (c != 'u' || i + 4 > s.size()) return false;
  unsigned long cp = std::strtoul(s.substr(i, 4).c_str(), nullptr, 16);
  i += 4;
  // A high surrogate followed by an escaped low one makes one code point.
  if (cp >= 0xD800 && cp < 0xDC00 && s.compare(i, 2, "\\u") == 0) {
    unsigned long lo = std::strtoul(s.substr(i + 2, 4).c_str(), nullptr, 16);
    if (lo >= 0xDC00 && lo < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
      i += 6;
    }
  }
  put_utf8(out, cp);
  return true;
}

bool Reader::string(std::string &out) {
  if (!eat('"')) return false;
  while (i < s.size()) {
    char c = s[i++];
    if (c == '"') return true;
    if (c != '\\')
      out += c;
    else if (!escape(out))
      return false;
  }
  return false;
}

bool Reader::number(Json &out) {
  size_t start = i;
  while (i < s.size() && std::strchr("+-.eE0123456789", s[i]) != nullptr) ++i;
  if (i == start) return false;
  out.kind = Json::Kind::number;
  out.text = s.substr(start, i - start);
  return true;
}

bool Reader::array(Json &out) {
  out.kind = Json::Kind::array;
  if (eat(']')) return true;
  do {
    out.items.emplace_back();
    if (!value(out.items.back())) return false;
  } while (eat(','));
  return eat(']');
}

bool Reader::object(Json &out) {
  out.kind = Json::Kind::object;
  if (eat('}')) return true;
  do {
    std::string key;
    if (!string(key) || !eat(':')) return false;
    out.members.emplace_back(std::move(key), Json());
    if (!value(out.members.back().second)) return false;
  } while (eat(','));
  return eat('}');
}

bool Reader::value(Json &out) {
  skip_space();
  if (i >= s.size() || ++depth > 64) return false;
  bool ok = false;
  if (eat('{')) {
    ok = object(out);
  } else if (eat('[')) {
    ok = array(out);
  } else if (s[i] == '"') {
    out.kind = Json::Kind::string;
    ok = string(out.text);
  } else if (literal("true")) {
    out.kind = Json::Kind::boolean;
    out.flag = ok = true;
  } else if (literal("false")) {
    out.kind = Json::Kind::boolean;
    ok = true;
  } else if (literal("null")) {
    ok = true;
  } else {
    ok = number(out);
  }
  --depth;
  return ok;
}

}  // namespace

const Json &Json::operator[](const std::string &key) const {
  static const Json none;
  for (const auto &m : members)
    if (m.first == key) return m.second;
  return none;
}

long long Json::integer() const {
  return kind == Kind::number ? std::strtoll(text.c_str(), nullptr, 10) : 0;
}

double Json::real() const {
  return kind == Kind::number ? std::strtod(text.c_str(), nullptr) : 0;
}

bool json_parse(const std::string &text, Json &out) {
  Reader r{text};
  out = Json();
  if (r.value(out)) {
    r.skip_space();
    if (r.i == text.size()) return true;
  }
  out = Json();
  return false;
}

std::string json_quote(const std::string &text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

}  // namespace sftpc
