// SPDX-License-Identifier: ISC
// The "request" method that the HTTP server's ubus-fd plug-in calls: one
// object answering HTTP requests with a response descriptor, data replies,
// completion statuses and a two-way tunnel, chosen by the request's path.
//
//   /echo            the request body back
//   /stream?size=N   N bytes of request_pattern()
//   /five            "hello"; ?status=N: the call's status (default 0)
//   /none            a descriptor closed without output (502 in the client);
//                    ?status=N as for /five
//   /slow?ms=N       after N ms, a descriptor closed without output
//   /hold            no answer at all until the caller goes away
//   /drip?text=T&every=MS&count=N   T at once, then "." every MS ms, N
//                    times, then the end; without every: the descriptor
//                    stays open and silent until its reader goes away
//   /file?size=N     a regular file (the loop cannot watch it) of N pattern bytes;
//                    ?status=N as for /five
//   /filled?size=N   a pipe enlarged to hold N pattern bytes (at most 64 MiB),
//                    filled and its write end closed before the answer
//   /status0         status 0, no descriptor
//   /fail            status NOT_FOUND, no descriptor (so is any unknown path)
//   /data?text=T[&mode=M]   one data reply, then status 0 without descriptor
//   /data/empty      an empty data reply, then an empty descriptor
//   /data/bad        a malformed data reply, then {"data": "ok"}
//   /data/hold?text=T   one data reply, then no answer at all
//   /tunnel          status -1 with a descriptor: "HTTP/1.1 101 ..." and then
//                    every body byte echoed until the body ends
//   /outlets         the status page from the hooks
//   /switch?outlet=N&state=on|off   switches through the hooks
//
// A second method "last" returns {"message": <the last request message>,
// "had_fd": <whether it came with a descriptor>, "served": <requests so far>,
// "pumps": <responses still being written>}.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

extern "C" {
#include <libubus.h>
}

namespace request_method {

struct hooks {
  // HTML (or text) of the outlet status page; null gives a short notice
  std::string (*status_page)(void *priv) = nullptr;
  // switches an outlet; returns a ubus status
  int (*switch_outlet)(void *priv, int outlet, bool on) = nullptr;
  void *priv = nullptr;
};

// Byte i of every generated body: a cycle whose length is no power of two,
// so lost, doubled or reordered blocks show.
inline uint8_t pattern_byte(uint64_t i) { return static_cast<uint8_t>(i % 251); }
// The first n bytes of the pattern.
inline std::string pattern(size_t n) {
  std::string out(n, '\0');
  for (size_t i = 0; i < n; i++) out[i] = static_cast<char>(pattern_byte(i));
  return out;
}

// Publishes the object at `path` on ctx (which must be on the event loop).
// The object lives for the rest of the process.
bool add_request_object(struct ubus_context *ctx, const char *path, const hooks &h);

// Requests answered so far, and responses still being written.
int requests_served();
int pumps_active();

}  // namespace request_method
