// SPDX-License-Identifier: ISC
/* The headers as a C program sees them. */
#include <libubox/blobmsg.h>
#include <libubox/uloop.h>
#include <libubus.h>

int probe_c(void) {
  struct blob_buf b;
  int len;

  memset(&b, 0, sizeof(b));
  blob_buf_init(&b, 0);
  void *table = blobmsg_open_table(&b, "t");
  blobmsg_add_u32(&b, "n", 7);
  blobmsg_close_table(&b, table);
  len = (int)blob_len(b.head);
  blob_buf_free(&b);
  return len;
}
