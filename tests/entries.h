// A strict reader of the entry-record JSON that the listings and stat write:
// exactly seven members in their fixed order, no white space, strings with
// JSON escapes. Anything else is a parse failure, so a test that parses a
// result also checks that it is well-formed JSON of the documented shape.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tw_test {

struct Entry {
  std::string name;  // decoded: escapes resolved, \uXXXX as UTF-8
  bool is_dir = false;
  long long size = 0;
  long long mtime = 0;
  std::string mode;
  long long uid = 0;
  long long gid = 0;
};

class EntryReader {
 public:
  explicit EntryReader(const std::string &text) : s_(text) {}

  bool array(std::vector<Entry> *out) {
    if (!lit("[")) return false;
    if (lit("]")) return at_end();
    do {
      Entry e;
      if (!object(&e)) return false;
      out->push_back(e);
    } while (lit(","));
    return lit("]") && at_end();
  }

  bool single(Entry *e) { return object(e) && at_end(); }

 private:
  bool at_end() const { return i_ == s_.size(); }

  bool lit(const char *t) {
    std::string w(t);
    if (s_.compare(i_, w.size(), w) != 0) return false;
    i_ += w.size();
    return true;
  }

  bool object(Entry *e) {
    return lit("{\"name\":") && str(&e->name) && lit(",\"is_dir\":") &&
           boolean(&e->is_dir) && lit(",\"size\":") && num(&e->size) &&
           lit(",\"mtime\":") && num(&e->mtime) && lit(",\"mode\":") &&
           str(&e->mode) && lit(",\"uid\":") && num(&e->uid) &&
           lit(",\"gid\":") && num(&e->gid) && lit("}");
  }

  bool boolean(bool *b) {
    if (lit("true")) return *b = true, true;
    if (lit("false")) return *b = false, true;
    return false;
  }

  bool num(long long *v) {
    size_t start = i_;
    if (i_ < s_.size() && s_[i_] == '-') ++i_;
    size_t digits = i_;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
    if (i_ == digits) return false;
    *v = std::stoll(s_.substr(start, i_ - start));
    return true;
  }

  static void utf8(unsigned cp, std::string *out) {
    if (cp < 0x80) {
      *out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      *out += static_cast<char>(0xC0 | (cp >> 6));
      *out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      *out += static_cast<char>(0xE0 | (cp >> 12));
      *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      *out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  bool escape(std::string *out) {
    static const std::map<char, char> kShort = {
        {'"', '"'},  {'\\', '\\'}, {'/', '/'},  {'b', '\b'},
        {'f', '\f'}, {'n', '\n'},  {'r', '\r'}, {'t', '\t'}};
    if (i_ >= s_.size()) return false;
    char c = s_[i_++];
    auto it = kShort.find(c);
    if (it != kShort.end()) return *out += it->second, true;
    if (c != 'u' || i_ + 4 > s_.size()) return false;
    unsigned cp = std::stoul(s_.substr(i_, 4), nullptr, 16);
    i_ += 4;
    utf8(cp, out);
    return true;
  }

  bool str(std::string *out) {
    if (!lit("\"")) return false;
    while (i_ < s_.size() && s_[i_] != '"') {
      unsigned char c = static_cast<unsigned char>(s_[i_++]);
      if (c < 0x20) return false;
      if (c != '\\')
        *out += static_cast<char>(c);
      else if (!escape(out))
        return false;
    }
    return lit("\"");
  }

  const std::string &s_;
  size_t i_ = 0;
};

inline std::vector<Entry> parse_array(const std::string &text) {
  std::vector<Entry> out;
  EXPECT_TRUE(EntryReader(text).array(&out))
      << "not an array of entry records: " << text.substr(0, 300);
  return out;
}

inline Entry parse_single(const std::string &text) {
  Entry e;
  EXPECT_TRUE(EntryReader(text).single(&e))
      << "not an entry record: " << text.substr(0, 300);
  return e;
}

inline std::map<std::string, Entry> by_name(const std::vector<Entry> &v) {
  std::map<std::string, Entry> m;
  for (const Entry &e : v) m[e.name] = e;
  return m;
}

}  // namespace tw_test
