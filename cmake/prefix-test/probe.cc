// SPDX-License-Identifier: ISC
// Says which files the bus and loop functions came from, and uses both
// libraries a little, from C++ and from C.
#include <dlfcn.h>
#include <stdio.h>

extern "C" {
#include <libubox/blobmsg.h>
#include <libubox/uloop.h>
#include <libubus.h>

int probe_c(void);
}

int main() {
  Dl_info ubox_info, ubus_info;
  if (!dladdr(reinterpret_cast<void *>(&blob_buf_init), &ubox_info) ||
      !dladdr(reinterpret_cast<void *>(&ubus_strerror), &ubus_info))
    return 1;

  struct blob_buf b = {};
  blob_buf_init(&b, 0);
  blobmsg_add_string(&b, "key", "value");
  unsigned len = blob_len(b.head);
  blob_buf_free(&b);

  printf("libubox %s\nlibubus %s\n", ubox_info.dli_fname, ubus_info.dli_fname);
  printf("%s / %u / %d\n", ubus_strerror(UBUS_STATUS_NOT_FOUND), len, probe_c());
  return 0;
}
