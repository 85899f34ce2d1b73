// SPDX-License-Identifier: ISC
// A plug-in for the server's own tests: responses of a given size written
// at once, finished at once or later, and a response that goes silent
// between two writes. Requests under /pace/:
//   /pace/big?bytes=N&keep=0|1&finish=MS  N bytes at once, finished MS later
//   /pace/gap?bytes=N&silence=MS          N bytes, silence, "end\n", finished
#include <stdlib.h>
#include <string.h>

#include <new>

#include "plugin.h"

namespace {

const struct uhttpd_ops* ops;

struct Pace {
  struct uloop_timeout timer;
  struct client* cl;
  bool keep;
  bool tail;  // write "end\n" before finishing
};

Pace* pace_of(struct client* cl) { return reinterpret_cast<Pace*>(cl->dispatch.priv); }

long param(const char* url, const char* name, long missing) {
  const char* q = strchr(url, '?');
  size_t len = strlen(name);
  for (const char* p = q; p; p = strchr(p + 1, '&')) {
    if (!strncmp(p + 1, name, len) && p[1 + len] == '=') return strtol(p + 2 + len, nullptr, 10);
  }
  return missing;
}

void write_bytes(struct client* cl, long bytes) {
  static char block[65536];
  memset(block, 'x', sizeof(block));
  while (bytes > 0) {
    int n = bytes < long(sizeof(block)) ? int(bytes) : int(sizeof(block));
    ops->write_body(cl, block, n);
    bytes -= n;
  }
}

void finish_cb(struct uloop_timeout* t) {
  Pace* p = reinterpret_cast<Pace*>(t);
  if (p->tail) ops->write_body(p->cl, "end\n", 4);
  ops->finish_request(p->cl, p->keep);
}

void pace_free(struct client* cl) { uloop_timeout_cancel(&pace_of(cl)->timer); }

bool pace_check_url(const char* url) { return !strncmp(url, "/pace/", 6); }

void pace_handle_request(struct client* cl, char* url, struct path_info*) {
  Pace* p = new (cl->dispatch.priv) Pace{};
  p->cl = cl;
  p->timer.cb = finish_cb;
  cl->dispatch.free = pace_free;
  long bytes = param(url, "bytes", 0);
  long later;
  if (!strncmp(url, "/pace/gap", 9)) {
    p->keep = true;
    p->tail = true;
    later = param(url, "silence", 0);
  } else {
    p->keep = param(url, "keep", 1) != 0;
    later = param(url, "finish", 0);
  }
  write_bytes(cl, bytes);
  uloop_timeout_set(&p->timer, int(later));
}

struct dispatch_handler pace_handler = {
    {nullptr, nullptr}, false, pace_check_url, nullptr, pace_handle_request,
};

int pace_init(const struct uhttpd_ops* server_ops, struct config*) {
  ops = server_ops;
  ops->add_dispatch(&pace_handler);
  return 0;
}

}  // namespace

extern "C" {
__attribute__((visibility("default"))) struct uhttpd_plugin uhttpd_plugin = {
    {nullptr, nullptr},
    pace_init,
    nullptr,
};
}
