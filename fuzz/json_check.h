// A small strict JSON reader for the fuzz targets and the soak: it accepts
// exactly RFC 8259 texts whose strings decode to well-formed UTF-8 (RFC 3629),
// and builds a tree of what it read so that callers can check shapes and
// values. White space between tokens is refused unless asked for, because the
// library's results hold none.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace json_check {

// Length of the well-formed UTF-8 sequence at s (at most n bytes), or 0.
inline size_t utf8_sequence(const unsigned char *s, size_t n) {
  unsigned char b = s[0];
  if (b < 0x80) return 1;
  size_t len = b >= 0xC2 && b <= 0xDF   ? 2
               : b >= 0xE0 && b <= 0xEF ? 3
               : b >= 0xF0 && b <= 0xF4 ? 4
                                        : 0;
  if (len == 0 || len > n) return 0;
  // The second byte's range excludes overlong forms, surrogates and values
  // above U+10FFFF.
  unsigned char lo = b == 0xE0 ? 0xA0 : b == 0xF0 ? 0x90 : 0x80;
  unsigned char hi = b == 0xED ? 0x9F : b == 0xF4 ? 0x8F : 0xBF;
  if (s[1] < lo || s[1] > hi) return 0;
  for (size_t i = 2; i < len; ++i)
    if (s[i] < 0x80 || s[i] > 0xBF) return 0;
  return len;
}

inline bool is_utf8(const std::string &s) {
  const auto *p = reinterpret_cast<const unsigned char *>(s.data());
  for (size_t i = 0; i < s.size();) {
    size_t n = utf8_sequence(p + i, s.size() - i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

inline void append_utf8(std::string *out, uint32_t cp) {
  if (cp < 0x80) {
    *out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out += static_cast<char>(0xC0 | (cp >> 6));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out += static_cast<char>(0xE0 | (cp >> 12));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (cp >> 18));
    *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

struct Value {
  enum Type { null, boolean, number, string, array, object } type = null;
  bool flag = false;
  std::string text;  // a string decoded, or a number as written
  std::vector<Value> items;
  std::vector<std::pair<std::string, Value>> members;

  // The member named key, or nullptr (the first one, if repeated).
  const Value *get(const std::string &key) const {
    for (const auto &m : members)
      if (m.first == key) return &m.second;
    return nullptr;
  }
};

class Reader {
 public:
  Reader(const char *s, size_t n, bool allow_space = false)
      : s_(s), n_(n), space_(allow_space) {}

  // Reads the whole text as one value; false with why() set otherwise.
  bool parse(Value *v) {
    if (!value(v, 0)) return false;
    blanks();
    if (i_ != n_) return fail("text after the value");
    return true;
  }

  // Reads the whole text as the body of a string (without its quotes).
  bool string_body(std::string *out) {
    out->clear();
    while (i_ < n_)
      if (!character(out)) return false;
    return true;
  }

  const std::string &why() const { return why_; }
  size_t where() const { return i_; }

 private:
  static constexpr int kMaxDepth = 64;

  bool fail(const char *what) {
    if (why_.empty()) why_ = std::string(what) + " at " + std::to_string(i_);
    return false;
  }
  bool more() const { return i_ < n_; }
  unsigned char peek() const { return static_cast<unsigned char>(s_[i_]); }
  void blanks() {
    while (
        space_ && more() &&
        (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r'))
      ++i_;
  }
  bool literal(const char *word) {
    for (size_t k = 0; word[k] != '\0'; ++k, ++i_)
      if (!more() || s_[i_] != word[k]) return fail("bad literal");
    return true;
  }

  bool value(Value *v, int depth) {
    if (depth > kMaxDepth) return fail("nested too deeply");
    blanks();
    if (!more()) return fail("value expected");
    switch (peek()) {
      case '{':
        return object(v, depth);
      case '[':
        return array(v, depth);
      case '"':
        v->type = Value::string;
        return quoted(&v->text);
      case 't':
        v->type = Value::boolean;
        v->flag = true;
        return literal("true");
      case 'f':
        v->type = Value::boolean;
        return literal("false");
      case 'n':
        return literal("null");
      default:
        v->type = Value::number;
        return number(&v->text);
    }
  }

  bool object(Value *v, int depth) {
    v->type = Value::object;
    ++i_;
    blanks();
    if (more() && peek() == '}') return ++i_, true;
    for (;;) {
      blanks();
      std::pair<std::string, Value> m;
      if (!more() || peek() != '"') return fail("member name expected");
      if (!quoted(&m.first)) return false;
      blanks();
      if (!more() || peek() != ':') return fail("':' expected");
      ++i_;
      if (!value(&m.second, depth + 1)) return false;
      v->members.push_back(std::move(m));
      blanks();
      if (!more()) return fail("object not closed");
      if (peek() == '}') return ++i_, true;
      if (peek() != ',') return fail("',' or '}' expected");
      ++i_;
    }
  }

  bool array(Value *v, int depth) {
    v->type = Value::array;
    ++i_;
    blanks();
    if (more() && peek() == ']') return ++i_, true;
    for (;;) {
      Value item;
      if (!value(&item, depth + 1)) return false;
      v->items.push_back(std::move(item));
      blanks();
      if (!more()) return fail("array not closed");
      if (peek() == ']') return ++i_, true;
      if (peek() != ',') return fail("',' or ']' expected");
      ++i_;
    }
  }

  bool digits() {
    size_t start = i_;
    while (more() && peek() >= '0' && peek() <= '9') ++i_;
    return i_ > start;
  }

  bool number(std::string *out) {
    size_t start = i_;
    if (more() && peek() == '-') ++i_;
    if (more() && peek() == '0')
      ++i_;
    else if (!digits())
      return fail("number expected");
    if (more() && peek() == '.' && (++i_, !digits()))
      return fail("digits expected after '.'");
    if (more() && (peek() == 'e' || peek() == 'E')) {
      ++i_;
      if (more() && (peek() == '+' || peek() == '-')) ++i_;
      if (!digits()) return fail("digits expected in exponent");
    }
    out->assign(s_ + start, i_ - start);
    return true;
  }

  bool quoted(std::string *out) {
    ++i_;
    out->clear();
    while (more() && peek() != '"')
      if (!character(out)) return false;
    if (!more()) return fail("string not closed");
    ++i_;
    return true;
  }

  int hex4() {
    if (n_ - i_ < 4) return -1;
    int v = 0;
    for (int k = 0; k < 4; ++k) {
      char c = s_[i_ + k];
      int d = c >= '0' && c <= '9'   ? c - '0'
              : c >= 'a' && c <= 'f' ? c - 'a' + 10
              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                     : -1;
      if (d < 0) return -1;
      v = v * 16 + d;
    }
    i_ += 4;
    return v;
  }

  // One \u escape (i_ just past the 'u'), joining a surrogate pair; a lone
  // surrogate is refused, as its text would not be well-formed UTF-8.
  bool unicode(std::string *out) {
    int hi = hex4();
    if (hi < 0) return fail("bad \\u escape");
    if (hi >= 0xDC00 && hi <= 0xDFFF) return fail("lone low surrogate");
    if (hi < 0xD800 || hi > 0xDBFF) {
      append_utf8(out, static_cast<uint32_t>(hi));
      return true;
    }
    if (n_ - i_ < 2 || s_[i_] != '\\' || s_[i_ + 1] != 'u')
      return fail("lone high surrogate");
    i_ += 2;
    int lo = hex4();
    if (lo < 0xDC00 || lo > 0xDFFF) return fail("lone high surrogate");
    append_utf8(out, 0x10000 + ((static_cast<uint32_t>(hi) - 0xD800) << 10) +
                         (static_cast<uint32_t>(lo) - 0xDC00));
    return true;
  }

  bool escape(std::string *out) {
    ++i_;
    if (!more()) return fail("escape cut");
    char c = s_[i_++];
    switch (c) {
      case '"':
      case '\\':
      case '/':
        *out += c;
        return true;
      case 'b':
        *out += '\b';
        return true;
      case 'f':
        *out += '\f';
        return true;
      case 'n':
        *out += '\n';
        return true;
      case 'r':
        *out += '\r';
        return true;
      case 't':
        *out += '\t';
        return true;
      case 'u':
        return unicode(out);
      default:
        return fail("bad escape");
    }
  }

  // One character of a string body: an escape, or a whole UTF-8 sequence
  // that is neither a control character nor a quote.
  bool character(std::string *out) {
    unsigned char b = peek();
    if (b == '\\') return escape(out);
    if (b < 0x20) return fail("control character in string");
    if (b == '"') return fail("unescaped quote in string");
    size_t len = utf8_sequence(reinterpret_cast<const unsigned char *>(s_ + i_),
                               n_ - i_);
    if (len == 0) return fail("ill-formed UTF-8");
    out->append(s_ + i_, len);
    i_ += len;
    return true;
  }

  const char *s_;
  size_t n_;
  bool space_;
  size_t i_ = 0;
  std::string why_;
};

// Parses text whole; an empty why means success.
inline std::string parse(const std::string &text, Value *v) {
  Reader r(text.data(), text.size());
  return r.parse(v) ? std::string() : r.why();
}

}  // namespace json_check
