// SPDX-License-Identifier: ISC
// Line reader of the serial bridge: bytes from the terminal driver in,
// published lines out. Free of descriptors and of the bus so it can be
// driven directly by tests and the fuzzer.
#pragma once

#include <stddef.h>

namespace uartlink {

constexpr int kReceiveCapacity = 1024;

// Event names of received text.
constexpr const char kRecvEvent[] = "orv.serial.recv";
constexpr const char kFragmentEvent[] = "orv.serial.recv_fragment";

// Called for each published piece of text; `line` is NUL-terminated inside
// the reader's buffer and valid only during the call.
using publish_fn = void (*)(void* ctx, const char* event, const char* line);

struct line_buffer {
  char data[kReceiveCapacity];
  int capacity = kReceiveCapacity;
  int scan = 0;           // first byte not yet examined
  int fill = 0;           // bytes held
  bool fragment = false;  // current text follows a line-error marker
};

// Where the next read may put bytes, and how many.
inline char* free_space(line_buffer& b) { return b.data + b.fill; }
inline int free_room(const line_buffer& b) { return b.capacity - b.fill; }

// Takes `count` bytes just read into free_space() and publishes every line
// they complete.
void take_bytes(line_buffer& b, int count, publish_fn publish, void* ctx);

}  // namespace uartlink
