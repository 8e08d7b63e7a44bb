// known_hosts as OpenSSH keeps it: one line per key, "[marker] names type
// base64 [comment]", the names plain, as patterns, or hashed as
// "|1|base64(salt)|base64(HMAC-SHA1(salt, name))".
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "sftpc.h"
#include "sftpc_ssh.h"

namespace sftpc {
namespace {

const char kDigits[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64_encode(const unsigned char *in, size_t n, bool pad) {
  std::string out;
  for (size_t i = 0; i < n; i += 3) {
    unsigned v = in[i] << 16;
    if (i + 1 < n) v |= in[i + 1] << 8;
    if (i + 2 < n) v |= in[i + 2];
    size_t digits = n - i >= 3 ? 4 : n - i + 1;
    for (size_t d = 0; d < 4; ++d)
      if (d < digits)
        out += kDigits[(v >> (18 - 6 * d)) & 63];
      else if (pad)
        out += '=';
  }
  return out;
}

}  // namespace

bool base64_decode(const std::string &in, std::string &out) {
  out.clear();
  unsigned bits = 0, count = 0;
  for (char c : in) {
    if (c == '=') break;
    const char *at = c != '\0' ? std::strchr(kDigits, c) : nullptr;
    if (at == nullptr) return false;
    bits = (bits << 6) | static_cast<unsigned>(at - kDigits);
    if ((count += 6) >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return !out.empty();
}

namespace {

std::string hmac_sha1(const std::string &key, const std::string &data) {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char *>(data.data()), data.size(), md,
       &len);
  return std::string(reinterpret_cast<char *>(md), len);
}

// True when one name of a line (hashed or a pattern) is the host's name.
bool hashed_matches(const std::string &entry, const std::string &name) {
  size_t bar = entry.find('|', 3);
  if (entry.rfind("|1|", 0) != 0 || bar == std::string::npos) return false;
  std::string salt;
  if (!base64_decode(entry.substr(3, bar - 3), salt)) return false;
  return hash_host_name(
             name,
             base64_encode(reinterpret_cast<const unsigned char *>(salt.data()),
                           salt.size(), true)) == entry;
}

bool names_match(const std::string &names, const std::string &name) {
  if (names[0] == '|') return hashed_matches(names, name);
  return match_pattern_list(name, names);
}

// Reads the keys of one file that name the host.
void scan_file(const std::string &file, const std::string &name,
               std::vector<KnownKey> &out) {
  std::ifstream in(file);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    std::istringstream words(line);
    std::string first, names, type, blob;
    if (!(words >> first) || first[0] == '#') continue;
    bool revoked = first == "@revoked";
    if (first[0] == '@' && !revoked) continue;  // @cert-authority
    if (revoked)
      words >> names;
    else
      names = first;
    if (!(words >> type >> blob) || !names_match(names, name)) continue;
    out.push_back({type + " " + blob, file, number, revoked});
  }
}

}  // namespace

std::string known_host_name(const std::string &host, long long port) {
  if (port == 0 || port == 22) return host;
  return "[" + host + "]:" + std::to_string(port);
}

std::vector<KnownKey> find_known_keys(const std::vector<std::string> &files,
                                      const std::string &name) {
  std::vector<KnownKey> out;
  for (const std::string &f : files) scan_file(f, name, out);
  return out;
}

std::string hash_host_name(const std::string &name,
                           const std::string &salt_b64) {
  std::string salt;
  if (salt_b64.empty()) {
    unsigned char fresh[20];
    if (RAND_bytes(fresh, sizeof fresh) != 1)
      throw std::runtime_error("no random bytes for a hashed name");
    salt.assign(reinterpret_cast<char *>(fresh), sizeof fresh);
  } else if (!base64_decode(salt_b64, salt)) {
    return "";
  }
  std::string mac = hmac_sha1(salt, name);
  auto b64 = [](const std::string &s) {
    return base64_encode(reinterpret_cast<const unsigned char *>(s.data()),
                         s.size(), true);
  };
  return "|1|" + b64(salt) + "|" + b64(mac);
}

bool add_known_host(const std::string &file, const std::string &name,
                    const std::string &key, bool hashed, std::string &error) {
  size_t slash = file.rfind('/');
  if (slash != std::string::npos && slash > 0)
    mkdir(file.substr(0, slash).c_str(), 0700);  // ssh makes ~/.ssh so
  // A last line without its newline must not swallow the new one.
  std::ifstream old(file, std::ios::binary | std::ios::ate);
  bool needs_newline = false;
  if (old && old.tellg() > 0) {
    old.seekg(-1, std::ios::end);
    needs_newline = old.get() != '\n';
  }
  std::ofstream out(file, std::ios::app);
  out << (needs_newline ? "\n" : "")
      << (hashed ? hash_host_name(name, "") : name) << " " << key << "\n";
  out.flush();
  if (out) return true;
  error = std::strerror(errno);
  return false;
}

std::string key_fingerprint(const std::string &key) {
  size_t space = key.find(' ');
  std::string blob;
  if (space == std::string::npos || !base64_decode(key.substr(space + 1), blob))
    return "";
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned len = 0;
  EVP_Digest(blob.data(), blob.size(), md, &len, EVP_sha256(), nullptr);
  return "SHA256:" + base64_encode(md, len, false);
}

std::string key_type_label(const std::string &key) {
  std::string type = key.substr(0, key.find(' '));
  const char *const kLabels[][2] = {
      {"ssh-ed25519", "ED25519"}, {"ssh-rsa", "RSA"},
      {"ssh-dss", "DSA"},         {"ecdsa-sha2-", "ECDSA"},
      {"sk-ecdsa-", "ECDSA-SK"},  {"sk-ssh-ed25519", "ED25519-SK"}};
  for (const auto &l : kLabels)
    if (type.rfind(l[0], 0) == 0) return l[1];
  return type;
}

}  // namespace sftpc
