/* Returns from main while a download runs: see HostExit in test_transfer. */
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "tarnwick_sftp.h"

static void *download(void *remote) {
  sftp_client_download((const char *)remote, "/dev/null");
  return NULL;
}

int main(int argc, char **argv) {
  pthread_t worker;
  if (argc != 2 || sftp_client_connect(getenv("TW_EXIT_CONFIG")) != 0) return 2;
  if (pthread_create(&worker, NULL, download, argv[1]) != 0) return 3;
  for (;; usleep(1000)) {
    const char *p = sftp_transfer_progress();
    if (strstr(p, "\"finished\":true")) return 4;
    if (strstr(p, "\"active\":true") && !strstr(p, "\"transferred\":0,"))
      return 0;
  }
}
