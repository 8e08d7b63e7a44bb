/* The README's C example: connect with the JSON configuration given as the
 * first argument, then print the home directory's listing and the log. */
#include <stdio.h>
#include <tarnwick_sftp.h>

int main(int argc, char **argv) {
  printf("library %s\n", sftp_client_version());
  if (argc < 2) return 0;
  if (sftp_client_connect(argv[1]) != 0) {
    fprintf(stderr, "connect: %s\n", sftp_client_last_error());
    return 1;
  }
  printf("%s\n", sftp_client_list_dir("."));
  sftp_client_disconnect();
  printf("%s\n", sftp_client_get_log());
  return 0;
}
