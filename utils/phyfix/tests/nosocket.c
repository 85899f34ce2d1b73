// SPDX-License-Identifier: ISC
/* Preloaded into phyfix by its tests under qemu-user: every socket() fails
 * as when the process has no descriptor left. */
#include <errno.h>
#include <sys/socket.h>

int socket(int domain, int type, int protocol) {
  (void)domain;
  (void)type;
  (void)protocol;
  errno = EMFILE;
  return -1;
}
