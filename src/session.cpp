#include "session.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config.h"
#include "log.h"

namespace tw {

std::atomic<int> g_connected{0};
std::atomic<LIBSSH2_SESSION *> g_session{nullptr};
std::atomic<LIBSSH2_SFTP *> g_sftp{nullptr};

bool require_sftp() {
  if (g_connected.load() != 0 && g_sftp.load() != nullptr) return true;
  set_error("not connected");
  return false;
}

bool require_ssh() {
  if (g_connected.load() != 0 && g_session.load() != nullptr) return true;
  set_error("not connected");
  return false;
}

// ---- Connect and close -----------------------------------------------------

namespace {

// What describes the session, the open one or the last one. Written under
// g_lock and g_desc_lock, read under either.
struct SessionDesc {
  char host[256];
  char user[256];
  int port;
  char banner[256];
  char fingerprint[128];
  char auth[32];
  char home[1024];
  // OpenSSH's forms of the host key: "SHA256:" and 43 base64 digits, and
  // "<type> <base64 key>" as a known_hosts line holds it. The largest key in
  // use, RSA of 16384 bits, takes 2772 characters.
  char fingerprint_sha256[64];
  char host_key[3072];
};

SessionDesc g_desc = {"", "", 22, "", "", "", "", "", ""};
platform::Socket g_sock = platform::kInvalidSocket;
std::atomic<bool> g_net_started{false};
bool g_ssh_inited = false;  // guarded by g_lock
// The round trip of the home directory request of the open session, in
// microseconds: a cheap request, so close to the network's own. Guarded by
// g_lock.
int64_t g_round_trip_us = 0;
// The safe_replace setting of the open session. Guarded by g_lock.
bool g_safe_replace = false;

// The stage at which a connect stopped.
enum class Stage {
  ok,
  ssh_init,
  resolve,
  tcp_connect,
  session_init,
  handshake,
  host_key,
  auth,
  agent,       // the agent cannot be reached
  agent_auth,  // the server took none of the agent's identities
  sftp,
};

// Makes a description (and the connected flag with it) visible at once.
void publish(const SessionDesc &d, int connected) {
  Guard guard(g_desc_lock);
  if (&d != &g_desc) g_desc = d;
  g_connected.store(connected);
}

// The base64 of n bytes, unpadded as OpenSSH prints a SHA256 fingerprint,
// or padded as a known_hosts line holds a key. Input that does not fit whole
// gives the empty text: a cut key would name another key.
void base64(const unsigned char *in, size_t n, char *out, size_t cap,
            bool pad = false) {
  static const char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  size_t o = 0;
  out[0] = '\0';
  if ((n + 2) / 3 * 4 >= cap) return;
  for (size_t i = 0; i < n; i += 3) {
    uint32_t v = static_cast<uint32_t>(in[i]) << 16;
    if (i + 1 < n) v |= static_cast<uint32_t>(in[i + 1]) << 8;
    if (i + 2 < n) v |= in[i + 2];
    size_t digits = n - i >= 3 ? 4 : n - i + 1;
    for (size_t d = 0; d < 4; ++d)
      if (d < digits)
        out[o++] = kDigits[(v >> (18 - 6 * d)) & 63];
      else if (pad)
        out[o++] = '=';
  }
  out[o] = '\0';
}

// The host key as a known_hosts line holds it: the key's own type name (the
// first string of its blob), a space, and the blob in base64.
void write_host_key(LIBSSH2_SESSION *s, SessionDesc *d) {
  d->host_key[0] = '\0';
  size_t len = 0;
  int type = 0;
  const char *key = libssh2_session_hostkey(s, &len, &type);
  const auto *blob = reinterpret_cast<const unsigned char *>(key);
  if (key == nullptr || len < 4) return;
  uint32_t name_len = (uint32_t{blob[0]} << 24) | (uint32_t{blob[1]} << 16) |
                      (uint32_t{blob[2]} << 8) | blob[3];
  if (name_len == 0 || name_len > 64 || name_len + 4 > len) return;
  int n = snprintf(d->host_key, sizeof d->host_key, "%.*s ",
                   static_cast<int>(name_len), key + 4);
  base64(blob, len, d->host_key + n, sizeof d->host_key - n, true);
  if (d->host_key[n] == '\0') d->host_key[0] = '\0';
}

// Records the host key's fingerprints (SHA-1 and SHA256) and the key itself.
void write_fingerprint(LIBSSH2_SESSION *s, SessionDesc *d) {
  d->fingerprint[0] = '\0';
  d->fingerprint_sha256[0] = '\0';
  write_host_key(s, d);
  const char *hash = libssh2_hostkey_hash(s, LIBSSH2_HOSTKEY_HASH_SHA1);
  if (hash == nullptr) return;
  size_t n = 0;
  for (int i = 0; i < 20 && n < sizeof d->fingerprint; ++i) {
    int w = snprintf(d->fingerprint + n, sizeof d->fingerprint - n, "%s%02x",
                     i == 0 ? "" : ":", static_cast<unsigned char>(hash[i]));
    if (w > 0) n += static_cast<size_t>(w);
  }
  const char *sha256 = libssh2_hostkey_hash(s, LIBSSH2_HOSTKEY_HASH_SHA256);
  if (sha256 == nullptr) return;
  memcpy(d->fingerprint_sha256, "SHA256:", 7);
  base64(reinterpret_cast<const unsigned char *>(sha256), 32,
         d->fingerprint_sha256 + 7, sizeof d->fingerprint_sha256 - 7);
}

// True when no key is pinned or the server's key is the pinned one.
bool host_key_matches(const SessionDesc &d, const char *pin) {
  if (pin[0] == '\0') return true;
  if (strncmp(pin, "SHA256:", 7) != 0) return strcmp(pin, d.fingerprint) == 0;
  return d.fingerprint_sha256[0] != '\0' &&
         strcmp(pin, d.fingerprint_sha256) == 0;
}

// ---- Authentication -------------------------------------------------------

// A keyboard-interactive login answers every prompt of every round with the
// password. Past this many rounds the server is taken to be asking for
// something else, and the connection is given up.
constexpr int kMaxKbdintRounds = 4;

// The password and the round count of the running keyboard-interactive
// login; libssh2's callback has no context of its own. Guarded by g_lock.
const char *g_kbdint_password = nullptr;
int g_kbdint_rounds = 0;

// The answers of one round. libssh2 frees each answer through the session's
// free hook, which recognises these and wipes them instead, so the password
// neither goes to the heap nor stays behind. Guarded by g_lock.
constexpr int kMaxAnswers = 16;
char g_answers[kMaxAnswers][sizeof ConnectionConfig::password];

bool is_answer(const void *p) {
  auto at = reinterpret_cast<uintptr_t>(p);
  auto base = reinterpret_cast<uintptr_t>(g_answers);
  return at >= base && at < base + sizeof g_answers;
}

void *session_alloc(size_t n, void **) { return malloc(n); }
void *session_realloc(void *p, size_t n, void **) { return realloc(p, n); }
void session_free(void *p, void **) {
  if (is_answer(p))
    platform::secure_zero(p, sizeof g_answers[0]);
  else
    free(p);
}

void answer_prompts(const char *, int, const char *, int, int num_prompts,
                    const LIBSSH2_USERAUTH_KBDINT_PROMPT *,
                    LIBSSH2_USERAUTH_KBDINT_RESPONSE *responses, void **) {
  if (++g_kbdint_rounds > kMaxKbdintRounds) {
    // libssh2 sends whatever the callback leaves; ending the connection is
    // the one way to stop a server that keeps asking.
    connection_broken();
    return;
  }
  size_t len = strlen(g_kbdint_password);
  for (int i = 0; i < num_prompts && i < kMaxAnswers; ++i) {
    memcpy(g_answers[i], g_kbdint_password, len + 1);
    responses[i].text = g_answers[i];
    responses[i].length = static_cast<unsigned int>(len);
  }
}

// Whether a comma-separated list holds name (defined below).
bool list_has(const char *list, const char *name);

// Logs in with the password, or, where the server takes no password but
// offers keyboard-interactive, by answering its prompts with it.
int password_login(LIBSSH2_SESSION *s, const ConnectionConfig &cfg) {
  unsigned user_len = static_cast<unsigned>(strlen(cfg.user));
  const char *methods = libssh2_userauth_list(s, cfg.user, user_len);
  if (methods == nullptr && libssh2_userauth_authenticated(s)) return 0;
  if (methods != nullptr && !list_has(methods, "password") &&
      list_has(methods, "keyboard-interactive")) {
    g_kbdint_password = cfg.password;
    g_kbdint_rounds = 0;
    int rc = libssh2_userauth_keyboard_interactive_ex(s, cfg.user, user_len,
                                                      answer_prompts);
    g_kbdint_password = nullptr;
    return rc;
  }
  return libssh2_userauth_password_ex(
      s, cfg.user, user_len, cfg.password,
      static_cast<unsigned>(strlen(cfg.password)), nullptr);
}

// Tries the agent's identities in its order until the server takes one.
Stage agent_login(LIBSSH2_SESSION *s, const char *user) {
  LIBSSH2_AGENT *agent = libssh2_agent_init(s);
  if (agent == nullptr) return Stage::agent;
  Stage stage = Stage::agent;
  if (libssh2_agent_connect(agent) == 0 &&
      libssh2_agent_list_identities(agent) == 0) {
    stage = Stage::agent_auth;
    libssh2_agent_publickey *id = nullptr;
    while (libssh2_agent_get_identity(agent, &id, id) == 0)
      if (libssh2_agent_userauth(agent, user, id) == 0) {
        stage = Stage::ok;
        break;
      }
    libssh2_agent_disconnect(agent);
  }
  libssh2_agent_free(agent);
  return stage;
}

// Authenticates once, by one method: the key file when one is given, else
// the agent when asked for, else the password.
Stage authenticate(LIBSSH2_SESSION *s, const ConnectionConfig &cfg,
                   SessionDesc *d) {
  bool by_key = cfg.private_key[0] != '\0' || cfg.agent;
  snprintf(d->auth, sizeof d->auth, "%s", by_key ? "publickey" : "password");
  if (cfg.private_key[0] == '\0' && cfg.agent) return agent_login(s, cfg.user);
  int rc;
  if (by_key)
    rc = libssh2_userauth_publickey_fromfile_ex(
        s, cfg.user, static_cast<unsigned>(strlen(cfg.user)), nullptr,
        cfg.private_key, cfg.passphrase[0] != '\0' ? cfg.passphrase : nullptr);
  else
    rc = password_login(s, cfg);
  return rc == 0 ? Stage::ok : Stage::auth;
}

// The server's canonical form of ".", or "/" when it gives none.
void resolve_home(LIBSSH2_SFTP *sftp, SessionDesc *d) {
  char buf[1024];
  int64_t t0 = monotonic_us();
  int n = libssh2_sftp_symlink_ex(sftp, ".", 1, buf, sizeof buf - 1,
                                  LIBSSH2_SFTP_REALPATH);
  g_round_trip_us = monotonic_us() - t0;
  if (n <= 0 || n >= static_cast<int>(sizeof buf)) {
    snprintf(d->home, sizeof d->home, "/");
    return;
  }
  buf[n] = '\0';
  snprintf(d->home, sizeof d->home, "%s", buf);
}

// ---- Algorithm preference ---------------------------------------------------

// The AEAD ciphers come first: OpenSSL runs AES-GCM on whole packets several
// times faster than libssh2's portable ChaCha20, which in turn beats the
// CTR and CBC modes with a separate MAC. The rest follow in libssh2's order.
const char *const kPreferredCiphers[] = {"aes128-gcm@openssh.com",
                                         "aes256-gcm@openssh.com",
                                         "chacha20-poly1305@openssh.com"};

// Set by tests and benchmarks under g_lock; read by connects under it.
char g_cipher_override[512];
char g_mac_override[512];

bool list_has(const char *list, const char *name) {
  size_t n = strlen(name);
  for (const char *p = list; *p != '\0';) {
    const char *end = strchr(p, ',');
    size_t len = end ? static_cast<size_t>(end - p) : strlen(p);
    if (len == n && memcmp(p, name, n) == 0) return true;
    p += end ? len + 1 : len;
  }
  return false;
}

// Appends name to a comma-separated list once; a name that does not fit
// whole is left out.
void list_add(char *list, size_t cap, const char *name) {
  if (list_has(list, name)) return;
  size_t len = strlen(list);
  size_t need = strlen(name) + (len > 0 ? 1 : 0);
  if (len + need >= cap) return;
  snprintf(list + len, cap - len, "%s%s", len > 0 ? "," : "", name);
}

void default_ciphers(LIBSSH2_SESSION *s, char *list, size_t cap) {
  const char **algs = nullptr;
  int n = libssh2_session_supported_algs(s, LIBSSH2_METHOD_CRYPT_CS, &algs);
  for (const char *name : kPreferredCiphers)
    for (int i = 0; i < n; ++i)
      if (strcmp(algs[i], name) == 0) list_add(list, cap, name);
  for (int i = 0; i < n; ++i) list_add(list, cap, algs[i]);
  if (n > 0) libssh2_free(s, static_cast<void *>(algs));
}

void set_pref(LIBSSH2_SESSION *s, int cs, int sc, const char *list) {
  if (list[0] == '\0') return;
  libssh2_session_method_pref(s, cs, list);
  libssh2_session_method_pref(s, sc, list);
}

// Sets the algorithm preference of a new session, before its handshake.
void prefer_algorithms(LIBSSH2_SESSION *s) {
  char ciphers[1024] = "";
  if (g_cipher_override[0] != '\0')
    snprintf(ciphers, sizeof ciphers, "%s", g_cipher_override);
  else
    default_ciphers(s, ciphers, sizeof ciphers);
  set_pref(s, LIBSSH2_METHOD_CRYPT_CS, LIBSSH2_METHOD_CRYPT_SC, ciphers);
  set_pref(s, LIBSSH2_METHOD_MAC_CS, LIBSSH2_METHOD_MAC_SC, g_mac_override);
}

const char *method_of(int type) {
  ensure_locks();
  Guard guard(g_lock);
  LIBSSH2_SESSION *s = g_session.load();
  const char *name = s != nullptr ? libssh2_session_methods(s, type) : nullptr;
  return name != nullptr ? name : "";
}

// Starts the socket layer and the SSH library once per process; a failed
// libssh2_init is tried again by the next connect. g_lock is held.
//
// The crypto library is started first, without its exit-time clean-up: a
// host may return from main while a transfer runs on another thread, and
// that clean-up would free the random generator's state under the
// transfer, which crashes the exiting process. Nothing is left to clean up
// that the end of the process does not release anyway. The first start of
// the crypto library in the process decides, so this one must come before
// libssh2's.
bool start_libraries() {
  if (!g_net_started.exchange(true)) platform::net_startup();
  if (g_ssh_inited) return true;
#ifdef OPENSSL_INIT_NO_ATEXIT
  OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
#endif
  if (libssh2_init(0) != 0) return false;
  g_ssh_inited = true;
  return true;
}

// Runs the SSH part of a connect over the connected socket: handshake,
// authentication, SFTP start and home directory. g_lock is held.
Stage open_ssh(const ConnectionConfig &cfg, SessionDesc *d, int *code) {
  LIBSSH2_SESSION *s = libssh2_session_init_ex(session_alloc, session_free,
                                               session_realloc, nullptr);
  if (s == nullptr) return Stage::session_init;
  g_session.store(s);
  libssh2_session_set_blocking(s, 1);
  libssh2_session_set_timeout(s, cfg.timeout_ms);
  prefer_algorithms(s);
  *code = libssh2_session_handshake(s, static_cast<libssh2_socket_t>(g_sock));
  if (*code != 0) return Stage::handshake;
  const char *banner = libssh2_session_banner_get(s);
  snprintf(d->banner, sizeof d->banner, "%s", banner ? banner : "");
  write_fingerprint(s, d);
  // A pinned key is checked before any credential is sent to the server.
  if (!host_key_matches(*d, cfg.host_fingerprint)) return Stage::host_key;
  Stage auth = authenticate(s, cfg, d);
  if (auth != Stage::ok) return auth;
  LIBSSH2_SFTP *sftp = libssh2_sftp_init(s);
  if (sftp == nullptr) return Stage::sftp;
  g_sftp.store(sftp);
  resolve_home(sftp, d);
  return Stage::ok;
}

// Frees whatever exists of the session. A graceful close says goodbye to the
// server; after a connection failure the socket has been shut down first,
// so that every call here fails at once instead of waiting.
void close_with(bool graceful) {
  if (LIBSSH2_SFTP *sftp = g_sftp.exchange(nullptr))
    libssh2_sftp_shutdown(sftp);
  if (LIBSSH2_SESSION *s = g_session.exchange(nullptr)) {
    if (graceful)
      libssh2_session_disconnect_ex(s, SSH_DISCONNECT_BY_APPLICATION, "bye",
                                    "");
    libssh2_session_free(s);
  }
  platform::net_close(g_sock);
  g_sock = platform::kInvalidSocket;
  publish(g_desc, 0);
}

// Closes what a failed connect opened: with a goodbye when the server said
// no, at once when the connection itself failed (a server that went silent
// would make the goodbye wait out another time-out).
void close_failed_connect() {
  LIBSSH2_SESSION *s = g_session.load();
  bool dead =
      s != nullptr && connection_failed(libssh2_session_last_errno(s), nullptr);
  if (dead) connection_broken();
  close_with(!dead);
}

// The whole connect under g_lock. d starts as the current description and
// ends as the one to publish.
Stage open_session(const ConnectionConfig &cfg, SessionDesc *d, int *code) {
  if (g_connected.load() != 0) close_session();
  if (!start_libraries()) return Stage::ssh_init;
  platform::NetResult net =
      platform::net_connect(cfg.host, cfg.port, cfg.timeout_ms, &g_sock);
  if (net == platform::NetResult::resolve_failed) return Stage::resolve;
  if (net == platform::NetResult::connect_failed) return Stage::tcp_connect;
  Stage stage = open_ssh(cfg, d, code);
  if (stage != Stage::ok) {
    close_failed_connect();
    return stage;
  }
  snprintf(d->host, sizeof d->host, "%s", cfg.host);
  snprintf(d->user, sizeof d->user, "%s", cfg.user);
  d->port = cfg.port;
  g_safe_replace = cfg.safe_replace;
  return Stage::ok;
}

// Sets the message of a failed stage (after g_lock is released).
void report(Stage stage, const ConnectionConfig &cfg, const SessionDesc &d,
            int code) {
  switch (stage) {
    case Stage::ok:
      break;
    case Stage::ssh_init:
      set_error("libssh2_init failed");
      break;
    case Stage::resolve:
      set_error("cannot resolve host '%s'", cfg.host);
      break;
    case Stage::tcp_connect:
      set_error("cannot connect to %s:%d", cfg.host, cfg.port);
      break;
    case Stage::session_init:
      set_error("libssh2_session_init failed");
      break;
    case Stage::handshake:
      set_error("SSH handshake failed (%d) - is %s:%d an SSH server?", code,
                cfg.host, cfg.port);
      break;
    case Stage::host_key:
      set_error("host key mismatch for %s:%d", cfg.host, cfg.port);
      log_add("HOSTKEY MISMATCH %s:%d", cfg.host, cfg.port);
      break;
    case Stage::auth:
      set_error("authentication failed for user '%s' (%s)", cfg.user, d.auth);
      log_add("AUTH FAILED %s@%s:%d", cfg.user, cfg.host, cfg.port);
      break;
    case Stage::agent:
      set_error("cannot reach the SSH agent");
      break;
    case Stage::agent_auth:
      set_error("authentication failed for user '%s' (agent)", cfg.user);
      log_add("AUTH FAILED %s@%s:%d", cfg.user, cfg.host, cfg.port);
      break;
    case Stage::sftp:
      set_error("server accepted the login but refused the SFTP subsystem");
      break;
  }
}

}  // namespace

void close_session() { close_with(true); }

bool connection_failed(int rc, LIBSSH2_SFTP *sftp) {
  switch (rc) {
    case LIBSSH2_ERROR_SFTP_PROTOCOL:
      // A status the server sent is an answer; an answer that makes no
      // sense (libssh2 then records no status) leaves the stream unusable.
      return sftp != nullptr && libssh2_sftp_last_error(sftp) == LIBSSH2_FX_OK;
    case LIBSSH2_ERROR_CHANNEL_CLOSED:
    case LIBSSH2_ERROR_CHANNEL_EOF_SENT:
    case LIBSSH2_ERROR_CHANNEL_PACKET_EXCEEDED:
      return sftp != nullptr;
    case LIBSSH2_ERROR_SOCKET_NONE:
    case LIBSSH2_ERROR_BANNER_RECV:
    case LIBSSH2_ERROR_BANNER_SEND:
    case LIBSSH2_ERROR_INVALID_MAC:
    case LIBSSH2_ERROR_KEX_FAILURE:
    case LIBSSH2_ERROR_SOCKET_SEND:
    case LIBSSH2_ERROR_KEY_EXCHANGE_FAILURE:
    case LIBSSH2_ERROR_TIMEOUT:
    case LIBSSH2_ERROR_DECRYPT:
    case LIBSSH2_ERROR_SOCKET_DISCONNECT:
    case LIBSSH2_ERROR_PROTO:
    case LIBSSH2_ERROR_ZLIB:
    case LIBSSH2_ERROR_SOCKET_TIMEOUT:
    case LIBSSH2_ERROR_COMPRESS:
    case LIBSSH2_ERROR_SOCKET_RECV:
    case LIBSSH2_ERROR_ENCRYPT:
    case LIBSSH2_ERROR_BAD_SOCKET:
    case LIBSSH2_ERROR_MAC_FAILURE:
      return true;
    default:
      return false;
  }
}

bool open_failed_with_connection(LIBSSH2_SFTP *sftp) {
  LIBSSH2_SESSION *s = g_session.load();
  return s != nullptr && connection_failed(libssh2_session_last_errno(s), sftp);
}

void connection_broken() { platform::net_shutdown(g_sock); }

void session_lost() {
  if (g_connected.load() != 0)
    log_add("CONNECTION LOST %s@%s:%d", g_desc.user, g_desc.host, g_desc.port);
  connection_broken();
  close_with(false);
}

int session_connect(const char *config_json) {
  ConnectionConfig cfg;
  if (parse_config(config_json, &cfg) != 0) return -1;
  SessionDesc d;
  Stage stage;
  int code = 0;
  {
    Guard guard(g_lock);
    d = g_desc;
    stage = open_session(cfg, &d, &code);
    publish(d, stage == Stage::ok ? 1 : 0);
  }
  if (stage != Stage::ok) {
    report(stage, cfg, d, code);
    return -1;
  }
  log_add("CONNECTED %s@%s:%d (%s) home=%s", d.user, d.host, d.port, d.auth,
          d.home);
  return 0;
}

void session_disconnect() {
  Guard guard(g_lock);
  if (g_connected.load() != 0)
    log_add("DISCONNECT %s@%s:%d", g_desc.user, g_desc.host, g_desc.port);
  close_session();
}

// Working texts big enough for any stored value escaped whole: json_escape
// writes at most six characters per byte and keeps eight spare.
constexpr size_t escaped_cap(size_t stored) { return (stored - 1) * 6 + 9; }
constexpr char kDescTemplate[] =
    "{\"connected\":%s,\"host\":\"%s\",\"port\":%d,\"user\":\"%s\","
    "\"banner\":\"%s\",\"fingerprint\":\"%s\",\"home\":\"%s\","
    "\"auth\":\"%s\",\"fingerprint_sha256\":\"%s\",\"host_key\":\"%s\"}";
// The longest description fits whole: every member at its longest, all
// texts escaped at six characters a byte.
static_assert(sizeof kDescTemplate + 5 + 11 + 3 * escaped_cap(256) +
                      escaped_cap(1024) + sizeof(SessionDesc{}.fingerprint) +
                      sizeof(SessionDesc{}.auth) +
                      sizeof(SessionDesc{}.fingerprint_sha256) +
                      sizeof(SessionDesc{}.host_key) <=
                  kInfoCap,
              "g_info must hold the longest description");

const char *session_describe() {
  SessionDesc d;
  int connected;
  {
    Guard guard(g_desc_lock);
    d = g_desc;
    connected = g_connected.load();
  }
  char host[escaped_cap(sizeof d.host)], user[escaped_cap(sizeof d.user)];
  char banner[escaped_cap(sizeof d.banner)], home[escaped_cap(sizeof d.home)];
  json_escape(host, sizeof host, d.host);
  json_escape(user, sizeof user, d.user);
  json_escape(banner, sizeof banner, d.banner);
  json_escape(home, sizeof home, d.home);
  format(g_info, kInfoCap, kDescTemplate, connected ? "true" : "false", host,
         d.port, user, banner, d.fingerprint, home, d.auth,
         d.fingerprint_sha256, d.host_key);
  return g_info;
}

void set_cipher_preference(const char *list) {
  ensure_locks();
  Guard guard(g_lock);
  snprintf(g_cipher_override, sizeof g_cipher_override, "%s",
           list != nullptr ? list : "");
}

void set_mac_preference(const char *list) {
  ensure_locks();
  Guard guard(g_lock);
  snprintf(g_mac_override, sizeof g_mac_override, "%s",
           list != nullptr ? list : "");
}

const char *session_cipher() { return method_of(LIBSSH2_METHOD_CRYPT_CS); }
const char *session_mac() { return method_of(LIBSSH2_METHOD_MAC_CS); }

int64_t session_round_trip_us() { return g_round_trip_us; }

bool session_safe_replace() { return g_safe_replace; }

platform::Socket session_socket() { return g_sock; }

}  // namespace tw
