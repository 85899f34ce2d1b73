// SPDX-License-Identifier: ISC
// ustream over a descriptor: edge-triggered uloop watching, reads until the
// descriptor runs dry or the read buffers are full, writes what the
// descriptor takes and waits for writability for the rest.
#include "ustream-internal.h"

#include <errno.h>
#include <unistd.h>

namespace {

struct ustream_fd *to_fd(struct ustream *s) {
  return container_of(s, struct ustream_fd, stream);
}

void set_uloop(struct ustream *s, bool write) {
  struct ustream_fd *sf = to_fd(s);
  unsigned int flags = ULOOP_EDGE_TRIGGER;

  if (!s->read_blocked && !s->eof) flags |= ULOOP_READ;
  if (write || (s->w.data_bytes && !s->write_error)) flags |= ULOOP_WRITE;

  uloop_fd_add(&sf->fd, flags);
}

// Returns false when the stream was freed by one of its callbacks.
bool read_pending(struct ustream_fd *sf, bool *more) {
  struct ustream *s = &sf->stream;

  for (;;) {
    int buflen;

    if (s->read_blocked) return true;

    char *buf = ustream_reserve(s, 1, &buflen);
    if (!buf) return true;

    ssize_t len = read(sf->fd.fd, buf, buflen);
    if (len < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOTCONN) return true;
      len = 0;  // a failed read ends the stream like end of file
    }

    if (!len) {
      if (!s->eof) ustream_state_change(s);
      s->eof = true;
      set_uloop(s, false);
      return true;
    }

    ustream_guard guard;
    ustream_guard_enter(&guard, s);
    ustream_fill_read(s, (int)len);
    ustream_guard_leave(&guard);
    if (!ustream_guard_alive(&guard)) return false;
    *more = true;
  }
}

bool fd_poll(struct ustream_fd *sf, unsigned int events) {
  struct ustream *s = &sf->stream;
  bool more = false;
  ustream_guard guard;

  ustream_guard_enter(&guard, s);
  if (events & ULOOP_READ) {
    if (!read_pending(sf, &more)) goto out;
  }

  if (events & ULOOP_WRITE) {
    bool done = ustream_write_pending(s);
    if (!ustream_guard_alive(&guard)) goto out;
    if (done) set_uloop(s, false);
  }

  if (sf->fd.error && !s->write_error) {
    ustream_state_change(s);
    s->write_error = true;
    set_uloop(s, false);
  }
out:
  ustream_guard_leave(&guard);
  return more;
}

void uloop_cb(struct uloop_fd *fd, unsigned int events) {
  fd_poll(container_of(fd, struct ustream_fd, fd), events);
}

bool stream_poll(struct ustream *s) { return fd_poll(to_fd(s), ULOOP_READ | ULOOP_WRITE); }

void stream_set_read_blocked(struct ustream *s) { set_uloop(s, false); }

void stream_free(struct ustream *s) { uloop_fd_delete(&to_fd(s)->fd); }

int stream_write(struct ustream *s, const char *buf, int buflen, bool more) {
  struct ustream_fd *sf = to_fd(s);
  int written = 0;

  (void)more;
  if (!buflen) return 0;

  while (buflen) {
    ssize_t len = write(sf->fd.fd, buf, buflen);

    if (len < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOTCONN) break;
      return -1;
    }
    written += len;
    buf += len;
    buflen -= len;
  }

  if (buflen) set_uloop(s, true);
  return written;
}

}  // namespace

void ustream_fd_init(struct ustream_fd *sf, int fd) {
  struct ustream *s = &sf->stream;

  ustream_init_defaults(s);

  sf->fd.fd = fd;
  sf->fd.cb = uloop_cb;
  s->set_read_blocked = stream_set_read_blocked;
  s->write = stream_write;
  s->free = stream_free;
  s->poll = stream_poll;
  set_uloop(s, false);
}
