// SPDX-License-Identifier: ISC
// Shared between the stream core and its transports, not installed.
#pragma once

extern "C" {
#include <libubox/ustream.h>
}

// Marks a stream whose callback is running on the C stack. ustream_free()
// clears every guard of the stream, so the code that made the call can tell
// that the stream went away underneath it and touch nothing more.
struct ustream_guard {
  struct ustream *s;
  struct ustream_guard *prev;
};

void ustream_guard_enter(struct ustream_guard *g, struct ustream *s);
void ustream_guard_leave(struct ustream_guard *g);

static inline bool ustream_guard_alive(const struct ustream_guard *g) { return g->s != nullptr; }
