// SPDX-License-Identifier: ISC
#include "line_reader.h"

#include <string.h>

namespace uartlink {

namespace {

constexpr unsigned char kMarker = 0xFF;

}  // namespace

// The terminal driver (PARMRK, INPCK) marks line conditions in the stream:
//   FF FF     a received 0xFF
//   FF 00 c   byte c received with a framing or parity error
//   FF 00 00  a break
void take_bytes(line_buffer& b, int count, publish_fn publish, void* ctx) {
  unsigned char* buf = reinterpret_cast<unsigned char*>(b.data);
  b.fill += count;
  int line_start = 0;
  int pos = b.scan;

  while (pos < b.fill) {
    unsigned char c = buf[pos];
    if (c == '\r' || c == '\n') {
      buf[pos] = '\0';
      if (line_start < pos) {
        publish(ctx, b.fragment ? kFragmentEvent : kRecvEvent, b.data + line_start);
      }
      b.fragment = false;
      line_start = pos + 1;
      ++pos;
    } else if (c == kMarker) {
      if (pos + 1 >= b.fill) break;  // marker not complete yet: wait for more
      unsigned char next = buf[pos + 1];
      if (next == kMarker) {
        memmove(buf + pos + 1, buf + pos + 2, b.fill - pos - 2);
        --b.fill;
        ++pos;
      } else if (next == 0) {
        buf[pos] = '\0';
        publish(ctx, kFragmentEvent, b.data + line_start);
        b.fragment = true;
        line_start = pos + 2;
        pos += 2;
      } else {
        b.fragment = true;
        ++pos;
      }
    } else {
      ++pos;
    }
  }

  // Compact whenever bytes were consumed, published or not: a line end left
  // behind (the LF of a CR LF split across reads) would otherwise become the
  // first byte of the next line and cut its text to nothing.
  if (line_start > 0) {
    memmove(buf, buf + line_start, b.fill - line_start);
    b.fill -= line_start;
    b.scan = pos - line_start;
  } else if (b.fill == b.capacity) {
    // a full buffer without a line end: drop it, but keep an unfinished
    // marker so the byte completing it is not misread
    bool keep_marker = pos < b.fill;
    b.fill = 0;
    b.scan = 0;
    if (keep_marker) {
      buf[0] = kMarker;
      b.fill = 1;
    }
  } else {
    b.scan = pos;
  }
}

}  // namespace uartlink
