// SPDX-License-Identifier: ISC
// Arbitrary bytes from a client through the request parser, body decoding
// and response framing, with a handler that takes every body byte and
// answers once the body is complete.
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "../server.h"

namespace uh {

struct config conf = {
    nullptr, "/", "obj",
    100,   // script_timeout
    100,   // network_timeout
    1024,  // max_header_size
    16,    // max_headers
    8,     // max_connections
};

}  // namespace uh

namespace {

int take_body(struct client *cl, const char *, int len) {
  // every third call takes only part of the block
  static int calls;
  (void)cl;
  return (++calls % 3 == 0 && len > 1) ? len / 2 : len;
}

void body_done(struct client *cl) {
  uh::ops.write_body(cl, "HTTP", 4);  // undecided until the next byte
  uh::ops.write_body(cl, "-body", 5);
  uh::ops.finish_request(cl, true);
}

void handle(struct client *cl, char *url, struct path_info *) {
  if (url[1] == 'e') {
    uh::ops.send_error(cl, 500, "Internal Server Error", "%s\n", url);
    return;
  }
  cl->dispatch.data_send = take_body;
  cl->dispatch.data_done = body_done;
}

bool any_url(const char *) { return true; }

struct dispatch_handler handler = {{nullptr, nullptr}, false, any_url, nullptr, handle};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = [] {
    uloop_init();
    uh::ops.add_dispatch(&handler);
    return true;
  }();
  (void)ready;

  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) < 0) return 0;
  if (!uh::client_add(sv[0])) {
    close(sv[0]);
    close(sv[1]);
    return 0;
  }

  // the first byte picks a valid start, so that the rest reaches headers,
  // bodies and pipelined requests, not only the request line
  static const char *const starts[] = {
      "",
      "GET /x HTTP/1.1\r\n",
      "POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n",
      "PUT /x HTTP/1.1\r\nContent-Length: 12\r\n\r\n",
      "HEAD /e HTTP/1.0\r\nConnection: keep-alive\r\n\r\n",
  };
  if (size) {
    const char *start = starts[data[0] % (sizeof(starts) / sizeof(starts[0]))];
    if (write(sv[1], start, strlen(start)) < 0) return 0;
    data++;
    size--;
  }

  size_t off = 0;
  if (!size) shutdown(sv[1], SHUT_WR);
  for (int round = 0; uh::client_count() > 0 && round < 500; round++) {
    if (off < size) {
      ssize_t n = write(sv[1], data + off, size - off);
      if (n > 0) off += static_cast<size_t>(n);
      if (off == size) shutdown(sv[1], SHUT_WR);
    }
    char sink[65536];
    while (read(sv[1], sink, sizeof(sink)) > 0)
      ;
    uloop_run_timeout(0);
  }
  uh::client_close_all();
  close(sv[1]);
  return 0;
}
