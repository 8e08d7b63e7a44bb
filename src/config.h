// The connection configuration: the settings of one connect call, read from
// the JSON object text that the host passes.
#pragma once

namespace tw {

// The settings of one connect call. The secrets are wiped when it goes out
// of scope.
struct ConnectionConfig {
  char host[256];
  char user[256];
  char password[512];
  char private_key[1024];
  char passphrase[512];
  // The pinned host key, "" when none: 59 characters of the SHA-1 form in
  // lower case, or "SHA256:" and 43 characters of unpadded base64.
  char host_fingerprint[128];
  int port;
  int timeout_ms;
  // Transfers write a temporary file and rename it over the destination
  // once it is whole, instead of writing the destination in place.
  bool safe_replace;
  bool agent;  // log in with the identities of the user's SSH agent
  ~ConnectionConfig();
};

// Reads the configuration text; 0, or -1 with the reason set.
int parse_config(const char *json, ConnectionConfig *cfg);

}  // namespace tw
