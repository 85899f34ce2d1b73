// SPDX-License-Identifier: ISC
/*
 * ustream: a buffered byte stream. Reads are collected in a chain of read
 * buffers and announced through notify_read; writes that the transport
 * cannot take at once are queued in write buffers and flushed when it can.
 * ustream_fd runs a stream over a descriptor watched by uloop.
 */
#ifndef LIBUBOX_USTREAM_H
#define LIBUBOX_USTREAM_H

#include <stdarg.h>

#include "uloop.h"

struct ustream;
struct ustream_buf;

enum read_blocked_reason {
  READ_BLOCKED_USER = (1 << 0),
  READ_BLOCKED_FULL = (1 << 1),
};

struct ustream_buf_list {
  struct ustream_buf *head;
  struct ustream_buf *data_tail;
  struct ustream_buf *tail;

  int (*alloc)(struct ustream *s, struct ustream_buf_list *l);

  int data_bytes;

  int min_buffers;
  int max_buffers;
  int buffer_len;

  int buffers;
};

struct ustream {
  struct ustream_buf_list r, w;
  struct uloop_timeout state_change;
  struct ustream *next;

  /*
   * notify_read: new data arrived in the read buffers.
   * notify_write: bytes of queued data were written out.
   * notify_state: end of file or a write error (from the loop, once per
   * change).
   */
  void (*notify_read)(struct ustream *s, int bytes_new);
  void (*notify_write)(struct ustream *s, int bytes);
  void (*notify_state)(struct ustream *s);

  /*
   * Transport operations: write as much as possible and return the count
   * (-1 on a fatal error); release transport state; react to a change of
   * read_blocked; poll for pending I/O.
   */
  int (*write)(struct ustream *s, const char *buf, int len, bool more);
  void (*free)(struct ustream *s);
  void (*set_read_blocked)(struct ustream *s);
  bool (*poll)(struct ustream *s);

  /* keep a NUL byte after the data of every read buffer */
  bool string_data;

  bool write_error;
  bool eof, eof_write_done;

  enum read_blocked_reason read_blocked;
};

struct ustream_buf {
  struct ustream_buf *next;

  char *data;
  char *tail;
  char *end;

  char head[];
};

struct ustream_fd {
  struct ustream stream;
  struct uloop_fd fd;
};

/* Call once the callbacks and limits are set. */
void ustream_init_defaults(struct ustream *s);

/* Releases the buffers and the transport state; does not close anything. */
void ustream_free(struct ustream *s);

/* Copies up to buflen bytes of read data out and consumes them. */
int ustream_read(struct ustream *s, char *buf, int buflen);

/* Writes or queues len bytes; returns how many were taken. */
int ustream_write(struct ustream *s, const char *buf, int len, bool more);
int ustream_printf(struct ustream *s, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
int ustream_vprintf(struct ustream *s, const char *format, va_list arg);

/* The first contiguous block of read data, NULL when there is none. */
char *ustream_get_read_buf(struct ustream *s, int *buflen);
void ustream_consume(struct ustream *s, int len);

void ustream_set_read_blocked(struct ustream *s, bool set);

static inline bool ustream_read_blocked(struct ustream *s) {
  return !!(s->read_blocked & READ_BLOCKED_USER);
}

static inline int ustream_pending_data(struct ustream *s, bool write) {
  struct ustream_buf_list *b = write ? &s->w : &s->r;

  return b->data_bytes;
}

static inline bool ustream_read_buf_full(struct ustream *s) {
  struct ustream_buf *buf = s->r.data_tail;

  return buf && buf->data == buf->head && buf->tail == buf->end && s->r.buffers == s->r.max_buffers;
}

/* For transports: room for at least len bytes of new read data. */
char *ustream_reserve(struct ustream *s, int len, int *maxlen);
/* For transports: len bytes were placed where ustream_reserve() pointed. */
void ustream_fill_read(struct ustream *s, int len);

static inline bool ustream_poll(struct ustream *s) {
  if (!s->poll) return false;

  return s->poll(s);
}

/* Flushes queued data; true when nothing is left. */
bool ustream_write_pending(struct ustream *s);

static inline void ustream_state_change(struct ustream *s) {
  uloop_timeout_set(&s->state_change, 0);
}

void ustream_fd_init(struct ustream_fd *s, int fd);

#endif
