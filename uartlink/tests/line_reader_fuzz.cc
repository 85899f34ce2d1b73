// SPDX-License-Identifier: ISC
// Feeds arbitrary byte streams, cut into arbitrary reads, to the line reader.
#include "line_reader.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

using namespace uartlink;

namespace {

struct Check {
  const line_buffer* buf;
};

void check_event(void* ctx, const char* event, const char* line) {
  auto* check = static_cast<Check*>(ctx);
  if (strcmp(event, kRecvEvent) != 0 && strcmp(event, kFragmentEvent) != 0) abort();
  // published text lies inside the buffer and ends inside it
  const char* begin = check->buf->data;
  if (line < begin || line >= begin + kReceiveCapacity) abort();
  if (strnlen(line, begin + kReceiveCapacity - line) ==
      static_cast<size_t>(begin + kReceiveCapacity - line))
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  line_buffer b;
  Check check{&b};
  size_t off = 0;
  while (off < size) {
    // first byte of each step chooses the read size
    size_t want = data[off++] % 64 + 1;
    int n = static_cast<int>(want < size - off ? want : size - off);
    if (n > free_room(b)) n = free_room(b);
    if (n <= 0) break;
    memcpy(free_space(b), data + off, n);
    take_bytes(b, n, check_event, &check);
    off += n;
    if (b.fill < 0 || b.fill > b.capacity || b.scan < 0 || b.scan > b.fill) abort();
    if (free_room(b) == 0) abort();  // the reader always leaves room to read
  }
  return 0;
}
