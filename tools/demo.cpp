// A small host program: prints the library's version and its activity log.
#include <cstdio>

#include "tarnwick_sftp.h"

int main() {
  std::printf("version %s\n", sftp_client_version());
  std::printf("log %s\n", sftp_client_get_log());
  return 0;
}
