// SPDX-License-Identifier: ISC
// Buffer management of ustream. Each list keeps its buffers in order:
// those from head to data_tail hold data, those after data_tail are empty
// and ready for reuse.
#include "ustream-internal.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

constexpr int kPrintfStackLen = 256;
constexpr int kWriteGatherLen = 16384;

ustream_guard *guards;

void init_buf(struct ustream_buf *buf, int len) {
  buf->next = nullptr;
  buf->data = buf->tail = buf->head;
  buf->end = buf->head + len;
  *buf->head = 0;
}

void add_buf(struct ustream_buf_list *l, struct ustream_buf *buf) {
  if (!l->tail)
    l->head = buf;
  else
    l->tail->next = buf;

  buf->next = nullptr;
  l->tail = buf;
  l->buffers++;
}

int alloc_default(struct ustream *s, struct ustream_buf_list *l) {
  // one spare byte for the NUL of string_data streams
  size_t size = sizeof(struct ustream_buf) + l->buffer_len + 1;
  struct ustream_buf *buf = static_cast<struct ustream_buf *>(malloc(size));

  (void)s;
  if (!buf) return -1;
  init_buf(buf, l->buffer_len);
  add_buf(l, buf);
  return 0;
}

bool can_alloc(const struct ustream_buf_list *l) {
  if (l->max_buffers <= 0) return true;
  return l->buffers < l->max_buffers;
}

// Drops a buffer whose data is used up; keeps min_buffers of them around.
void free_buf(struct ustream_buf_list *l, struct ustream_buf *buf) {
  if (buf == l->head) l->head = buf->next;
  if (buf == l->data_tail) l->data_tail = nullptr;
  if (buf == l->tail) l->tail = nullptr;
  // the list may end up with its head gone but tail left behind
  if (!l->head) l->tail = nullptr;

  if (--l->buffers >= l->min_buffers) {
    free(buf);
    return;
  }
  init_buf(buf, buf->end - buf->head);
  add_buf(l, buf);
}

void free_buffers(struct ustream_buf_list *l) {
  struct ustream_buf *buf = l->head;

  while (buf) {
    struct ustream_buf *next = buf->next;
    free(buf);
    buf = next;
  }
  l->head = l->data_tail = l->tail = nullptr;
  l->buffers = 0;
  l->data_bytes = 0;
}

// Points data_tail at a buffer with room for len more bytes, reusing empty
// buffers, compacting a partly consumed one, or allocating a new one.
bool prepare_buf(struct ustream *s, struct ustream_buf_list *l, int len) {
  struct ustream_buf *buf = l->data_tail ? l->data_tail : l->head;

  while (buf) {
    if (buf->data == buf->tail) buf->data = buf->tail = buf->head;
    if (buf->end - buf->tail >= len) {
      l->data_tail = buf;
      return true;
    }
    if (buf->data != buf->head && buf->end - buf->head - (buf->tail - buf->data) >= len) {
      int used = buf->tail - buf->data;
      memmove(buf->head, buf->data, used);
      buf->data = buf->head;
      buf->tail = buf->head + used;
      l->data_tail = buf;
      return true;
    }
    buf = buf->next;
  }

  if (!can_alloc(l) || l->alloc(s, l) < 0) return false;
  l->data_tail = l->tail;
  return true;
}

// Removes len bytes from the front of the list's data.
void drop_front(struct ustream_buf_list *l, int len) {
  struct ustream_buf *buf = l->head;

  if (len > l->data_bytes) len = l->data_bytes;
  l->data_bytes -= len;

  while (len > 0 && buf) {
    struct ustream_buf *next = buf->next;
    int buf_len = buf->tail - buf->data;

    if (len < buf_len) {
      buf->data += len;
      break;
    }
    len -= buf_len;
    free_buf(l, buf);
    buf = next;
  }
}

// The next block of queued write data: the head buffer itself, or small
// consecutive buffers copied together so that one write takes them all.
int next_write_block(struct ustream_buf_list *l, char *gather, int gather_len, const char **block) {
  struct ustream_buf *buf = l->head;
  int first = buf->tail - buf->data;

  if (!buf->next || first >= gather_len / 2) {
    *block = buf->data;
    return first;
  }

  int len = 0;
  for (; buf && len < gather_len; buf = buf->next) {
    int n = buf->tail - buf->data;
    if (n > gather_len - len) n = gather_len - len;
    memcpy(gather + len, buf->data, n);
    len += n;
    if (buf == l->data_tail) break;
  }
  *block = gather;
  return len;
}

void set_read_blocked(struct ustream *s, int val) {
  bool changed = !!s->read_blocked != !!val;

  s->read_blocked = (enum read_blocked_reason)val;
  if (changed && s->set_read_blocked) s->set_read_blocked(s);
}

void write_error(struct ustream *s) {
  if (!s->write_error) ustream_state_change(s);
  s->write_error = true;
}

void state_change_cb(struct uloop_timeout *t) {
  struct ustream *s = container_of(t, struct ustream, state_change);

  // queued data can never go out now
  if (s->write_error) free_buffers(&s->w);
  if (s->eof && !s->w.data_bytes) s->eof_write_done = true;
  if (s->notify_state) s->notify_state(s);
}

int write_buffered(struct ustream *s, const char *data, int len, int wr) {
  struct ustream_buf_list *l = &s->w;

  while (len > 0) {
    if (!prepare_buf(s, l, 1)) break;

    struct ustream_buf *buf = l->data_tail;
    int maxlen = buf->end - buf->tail;
    if (maxlen > len) maxlen = len;

    memcpy(buf->tail, data, maxlen);
    buf->tail += maxlen;
    data += maxlen;
    len -= maxlen;
    wr += maxlen;
    l->data_bytes += maxlen;
  }
  return wr;
}

}  // namespace

void ustream_guard_enter(struct ustream_guard *g, struct ustream *s) {
  g->s = s;
  g->prev = guards;
  guards = g;
}

void ustream_guard_leave(struct ustream_guard *g) { guards = g->prev; }

void ustream_init_defaults(struct ustream *s) {
#define DEFAULT_SET(field, value)    \
  do {                               \
    if (!(field)) (field) = (value); \
  } while (0)
  DEFAULT_SET(s->r.alloc, alloc_default);
  DEFAULT_SET(s->w.alloc, alloc_default);
  DEFAULT_SET(s->r.min_buffers, 1);
  DEFAULT_SET(s->r.max_buffers, 1);
  DEFAULT_SET(s->r.buffer_len, 4096);
  DEFAULT_SET(s->w.min_buffers, 2);
  DEFAULT_SET(s->w.max_buffers, -1);
  DEFAULT_SET(s->w.buffer_len, 256);
#undef DEFAULT_SET

  s->state_change.cb = state_change_cb;
  s->write_error = false;
  s->eof = false;
  s->eof_write_done = false;
  s->read_blocked = (enum read_blocked_reason)0;

  s->r.buffers = s->w.buffers = 0;
  s->r.data_bytes = s->w.data_bytes = 0;
  s->r.head = s->r.data_tail = s->r.tail = nullptr;
  s->w.head = s->w.data_tail = s->w.tail = nullptr;
}

void ustream_free(struct ustream *s) {
  for (ustream_guard *g = guards; g; g = g->prev) {
    if (g->s == s) g->s = nullptr;
  }

  if (s->free) s->free(s);

  uloop_timeout_cancel(&s->state_change);
  free_buffers(&s->r);
  free_buffers(&s->w);
}

char *ustream_reserve(struct ustream *s, int len, int *maxlen) {
  if (!prepare_buf(s, &s->r, len)) {
    set_read_blocked(s, s->read_blocked | READ_BLOCKED_FULL);
    *maxlen = 0;
    return nullptr;
  }

  struct ustream_buf *buf = s->r.data_tail;
  *maxlen = buf->end - buf->tail;
  return buf->tail;
}

void ustream_fill_read(struct ustream *s, int len) {
  struct ustream_buf *buf = s->r.data_tail;
  int filled = 0;

  while (len > 0 && buf) {
    int maxlen = buf->end - buf->tail;
    if (maxlen > len) maxlen = len;

    buf->tail += maxlen;
    if (s->string_data) *buf->tail = 0;
    s->r.data_tail = buf;
    filled += maxlen;
    len -= maxlen;
    buf = buf->next;
  }

  s->r.data_bytes += filled;
  if (filled && s->notify_read) s->notify_read(s, filled);
}

char *ustream_get_read_buf(struct ustream *s, int *buflen) {
  char *data = nullptr;
  int len = 0;

  if (s->r.head) {
    len = s->r.head->tail - s->r.head->data;
    if (len > 0) data = s->r.head->data;
  }

  if (buflen) *buflen = len;
  return data;
}

void ustream_consume(struct ustream *s, int len) {
  if (len <= 0) return;

  drop_front(&s->r, len);
  set_read_blocked(s, s->read_blocked & ~READ_BLOCKED_FULL);
}

int ustream_read(struct ustream *s, char *buf, int buflen) {
  int copied = 0;

  while (copied < buflen) {
    int len;
    char *data = ustream_get_read_buf(s, &len);

    if (!data) break;
    if (len > buflen - copied) len = buflen - copied;
    memcpy(buf + copied, data, len);
    ustream_consume(s, len);
    copied += len;
  }
  return copied;
}

void ustream_set_read_blocked(struct ustream *s, bool set) {
  int val = s->read_blocked & ~READ_BLOCKED_USER;

  if (set) val |= READ_BLOCKED_USER;
  set_read_blocked(s, val);
}

bool ustream_write_pending(struct ustream *s) {
  struct ustream_buf_list *l = &s->w;
  char gather[kWriteGatherLen];
  int wr = 0;

  if (s->write_error) return false;

  while (l->head && l->data_bytes) {
    const char *block;
    int block_len = next_write_block(l, gather, sizeof(gather), &block);

    if (block_len <= 0) {
      free_buf(l, l->head);
      continue;
    }

    int len = s->write(s, block, block_len, block_len < l->data_bytes);
    if (len < 0) {
      write_error(s);
      break;
    }
    if (len == 0) break;

    wr += len;
    drop_front(l, len);
    if (len < block_len) break;
  }

  if (wr) {
    ustream_guard guard;

    ustream_guard_enter(&guard, s);
    if (s->notify_write) s->notify_write(s, wr);
    ustream_guard_leave(&guard);
    // freed by the callback: nothing is pending any more
    if (!ustream_guard_alive(&guard)) return true;
  }

  if (s->eof && wr && !l->data_bytes) ustream_state_change(s);

  return !l->data_bytes;
}

int ustream_write(struct ustream *s, const char *data, int len, bool more) {
  struct ustream_buf_list *l = &s->w;
  int wr = 0;

  if (s->write_error || len <= 0) return 0;

  if (!l->data_bytes) {
    wr = s->write(s, data, len, more);
    if (wr == len) return wr;
    if (wr < 0) {
      write_error(s);
      return wr;
    }
    data += wr;
    len -= wr;
  }

  return write_buffered(s, data, len, wr);
}

int ustream_vprintf(struct ustream *s, const char *format, va_list arg) {
  char stack_buf[kPrintfStackLen];
  va_list probe;

  if (s->write_error) return 0;

  va_copy(probe, arg);
  int len = vsnprintf(stack_buf, sizeof(stack_buf), format, probe);
  va_end(probe);
  if (len < 0) return -1;
  if (len < kPrintfStackLen) return ustream_write(s, stack_buf, len, false);

  char *heap_buf = static_cast<char *>(malloc((size_t)len + 1));
  if (!heap_buf) return -1;
  vsnprintf(heap_buf, (size_t)len + 1, format, arg);
  int wr = ustream_write(s, heap_buf, len, false);
  free(heap_buf);
  return wr;
}

int ustream_printf(struct ustream *s, const char *format, ...) {
  va_list ap;

  va_start(ap, format);
  int ret = ustream_vprintf(s, format, ap);
  va_end(ap);
  return ret;
}
