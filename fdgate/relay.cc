// SPDX-License-Identifier: ISC
// After the call is sent: the response from the method's descriptor and its
// data replies go to the client, the request body goes into the pipe, and
// a completion with status -1 turns the connection into a raw tunnel.
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <initializer_list>

#include "fdgate.h"

using namespace fdgate;

namespace {

enum { REPLY_DATA, REPLY_MODE, __REPLY_MAX };

constexpr int kResponseBufferLen = 16384;
// Blocks of a file read in one loop round while the client takes them at
// once: others get their turn before the next ones.
constexpr int kFileBlocksPerRound = 4;

const struct blobmsg_policy reply_policy[__REPLY_MAX] = {
    {"data", BLOBMSG_TYPE_STRING},  // REPLY_DATA
    {"mode", BLOBMSG_TYPE_INT32},   // REPLY_MODE
};

ubus_fd_dispatch *response_owner(struct ustream *s) {
  return container_of(s, ubus_fd_dispatch, response.stream);
}

ubus_fd_dispatch *body_owner(struct ustream *s) {
  return container_of(s, ubus_fd_dispatch, body.stream);
}

void close_stream(struct ustream_fd *sf) {
  if (sf->fd.fd < 0) return;
  ustream_free(&sf->stream);
  close(sf->fd.fd);
  sf->fd.fd = -1;
}

bool reading_file(ubus_fd_dispatch *d) { return d->relay && d->relay->file >= 0; }

// The response descriptor, stream or file, is closed and its timer stopped.
void close_response(ubus_fd_dispatch *d) {
  close_stream(&d->response);
  if (!d->relay) return;
  uloop_timeout_cancel(&d->relay->timer);
  if (d->relay->file >= 0) close(d->relay->file);
  d->relay->file = -1;
}

// The method's descriptor said nothing for the script timeout. Before any
// response byte the client gets its 504; after some, the connection is cut
// (not finished) so that the client sees an incomplete response.
void response_silent(struct uloop_timeout *t) {
  struct client *cl = container_of(t, ubus_fd_relay, timer)->cl;
  ubus_fd_dispatch *d = dispatch_of(cl);

  close_response(d);
  if (!d->relay->response_started) {
    ops->send_error(cl, 504, "Gateway Timeout",
                    "The ubus-fd method took too long to produce a response\n");
    return;
  }
  shutdown(cl->sfd.fd.fd, SHUT_WR);  // whatever the server still writes fails
  ops->finish_request(cl, false);
}

// The method's silence is bounded again from now; a tunnel's is not.
void await_response(ubus_fd_dispatch *d) {
  if (d->relay->tunnel) return;
  d->relay->timer.cb = response_silent;
  uloop_timeout_set(&d->relay->timer, script_timeout_ms());
}

// Response bytes to the client; the response has started.
void relay_out(struct client *cl, ubus_fd_dispatch *d, const char *data, int len) {
  ops->write_body(cl, data, len);
  d->relay->response_started = true;
}

// A method usually writes its whole response and closes its end of the
// pipe before it answers: such a response goes to the client now, without
// a stream and the event loop rounds it takes. True when the descriptor
// reached its end (it is closed then; the completion ends the response).
// False leaves the descriptor to the stream: it is no pipe (whether the
// loop can watch anything else is the stream set-up's to find out), its
// writer is still there, or the client's queue is full.
bool read_at_once(struct client *cl, ubus_fd_dispatch *d, int fd) {
  struct stat st;
  struct pollfd p = {fd, POLLIN, 0};

  // no writer left (POLLHUP): no read of this pipe can block
  if (fstat(fd, &st) < 0 || !S_ISFIFO(st.st_mode) || poll(&p, 1, 0) != 1 || !(p.revents & POLLHUP))
    return false;

  char buf[kResponseBufferLen];
  for (;;) {
    ssize_t len = read(fd, buf, sizeof(buf));
    if (len < 0) return false;  // the stream sees the error
    if (len > 0) relay_out(cl, d, buf, static_cast<int>(len));
    // a pipe read stops short only when the pipe is empty: the end
    if (len < static_cast<ssize_t>(sizeof(buf))) break;
    if (ustream_pending_data(cl->us, true)) return false;
  }
  close(fd);
  d->relay->response_ended = true;
  return true;
}

void read_file(struct client *cl, ubus_fd_dispatch *d);

// The server wrote out everything queued for the client.
void response_writable(struct client *cl) {
  ubus_fd_dispatch *d = dispatch_of(cl);

  cl->dispatch.write_cb = nullptr;
  if (d->response.fd.fd >= 0) {
    ustream_set_read_blocked(&d->response.stream, false);
    await_response(d);
  } else if (reading_file(d)) {
    read_file(cl, d);
  }
}

void next_file_blocks(struct uloop_timeout *t) {
  struct client *cl = container_of(t, ubus_fd_relay, timer)->cl;
  read_file(cl, dispatch_of(cl));
}

// The file reached its end. The call's status decides how the request ends
// (as for a pipe read to its end at once); without a call left to bring
// one, the response ends as when its descriptor ended.
void file_ended(struct client *cl, ubus_fd_dispatch *d) {
  ubus_fd_relay *w = d->relay;

  close_response(d);
  if (w->stream_rest)
    end_response(cl, d);
  else if (w->completed)
    ops->finish_request(cl, w->status == 0);
  else if (!d->req)
    end_response(cl, d);
}

// A descriptor the event loop cannot watch (a regular file, say) is read
// in blocks while the client takes them, never ahead of it: a client that
// does not read holds one block of the server's memory, not the file.
void read_file(struct client *cl, ubus_fd_dispatch *d) {
  char buf[kResponseBufferLen];

  for (int block = 0; block < kFileBlocksPerRound; block++) {
    if (ustream_pending_data(cl->us, true)) {
      cl->dispatch.write_cb = response_writable;
      return;
    }
    ssize_t len = read(d->relay->file, buf, sizeof(buf));
    if (len <= 0) {
      file_ended(cl, d);
      return;
    }
    relay_out(cl, d, buf, static_cast<int>(len));
  }
  d->relay->timer.cb = next_file_blocks;
  uloop_timeout_set(&d->relay->timer, 0);
}

// The loop reports a pipe's hang-up as soon as its writer is gone, and the
// stream ends there, although the client's pace may have left bytes in the
// pipe. They are read as from a file, as the client takes them: with no
// writer left, no read of the pipe can block. False when nothing is left.
bool read_stream_rest(struct client *cl, ubus_fd_dispatch *d, struct ustream *s) {
  int fd = d->response.fd.fd;
  struct pollfd p = {fd, POLLIN, 0};

  if (s->eof || fd < 0 || poll(&p, 1, 0) != 1 || !(p.revents & POLLIN) || !(p.revents & POLLHUP))
    return false;
  ustream_free(s);
  d->response.fd.fd = -1;
  uloop_timeout_cancel(&d->relay->timer);  // its silence is over
  d->relay->file = fd;
  d->relay->stream_rest = true;
  read_file(cl, d);
  return true;
}

// A completion with a bus time-out and nothing else: a client library
// that completes every call when the connection drops reports it just
// before the loss; the next loop round tells which it was.
void completion_settled(struct uloop_timeout *t) {
  struct client *cl = container_of(t, ubus_fd_relay, timer)->cl;

  if (bus_away())
    end_response(cl, dispatch_of(cl));  // as for a method that vanished
  else
    ops->finish_request(cl, false);
}

}  // namespace

extern "C" {

void ubus_fd_fd_cb(struct ubus_request *req, int fd) {
  auto *cl = static_cast<struct client *>(req->priv);
  if (!cl) {
    close(fd);  // abandoned: nobody reads this response
    return;
  }
  ubus_fd_dispatch *d = dispatch_of(cl);

  if (read_at_once(cl, d, fd)) return;

  // larger reads than the library's default: fewer wake-ups per byte
  d->response.stream.r.buffer_len = kResponseBufferLen;

  // the stream set-up reports nothing: whether the loop took the
  // descriptor tells whether the stream can work
  ustream_fd_init(&d->response, fd);
  if (!d->response.fd.registered) {
    ustream_free(&d->response.stream);
    d->response.fd.fd = -1;
    // reads that cannot be watched must not fail for want of data
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0 && (flags & O_NONBLOCK)) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    d->relay->file = fd;
    read_file(cl, d);
    return;
  }

  d->response.stream.notify_read = ubus_fd_response_read;
  d->response.stream.notify_state = ubus_fd_response_state;
  await_response(d);
}

void ubus_fd_response_read(struct ustream *s, int) {
  ubus_fd_dispatch *d = response_owner(s);
  struct client *cl = client_of(d);
  char *data;
  int len;

  while ((data = ustream_get_read_buf(s, &len)) != nullptr) {
    relay_out(cl, d, data, len);
    ustream_consume(s, len);
  }

  // the client did not take it all: read on once the server wrote it out;
  // meanwhile the method's silence is the client's doing
  if (ustream_pending_data(cl->us, true)) {
    ustream_set_read_blocked(s, true);
    cl->dispatch.write_cb = response_writable;
    uloop_timeout_cancel(&d->relay->timer);
  } else {
    await_response(d);
  }
}

}  // extern "C"

void fdgate::end_response(struct client *cl, ubus_fd_dispatch *d) {
  if (d->relay->response_started)
    ops->finish_request(cl, true);
  else if (cl->timeout.pending)
    ops->send_error(cl, 502, "Bad Gateway", "The ubus-fd method did not produce any response\n");
  else
    ops->send_error(cl, 504, "Gateway Timeout",
                    "The ubus-fd method took too long to produce a response\n");
}

extern "C" {

void ubus_fd_response_state(struct ustream *s) {
  ubus_fd_dispatch *d = response_owner(s);

  if (read_stream_rest(client_of(d), d, s)) return;
  close_response(d);
  end_response(client_of(d), d);
}

void ubus_fd_data_cb(struct ubus_request *req, int, struct blob_attr *msg) {
  auto *cl = static_cast<struct client *>(req->priv);
  struct blob_attr *tb[__REPLY_MAX];

  if (!msg || !cl) return;
  if (blobmsg_parse(reply_policy, __REPLY_MAX, tb, blob_data(msg), blob_len(msg))) return;

  uint8_t nodelay = (!tb[REPLY_MODE] || !blobmsg_get_u32(tb[REPLY_MODE])) ? 1 : 0;
  if (nodelay != cl->nodelay) {
    int value = nodelay;
    setsockopt(cl->sfd.fd.fd, IPPROTO_TCP, TCP_NODELAY, &value, sizeof(value));
    cl->nodelay = nodelay;
  }

  if (tb[REPLY_DATA]) {
    const char *text = blobmsg_get_string(tb[REPLY_DATA]);
    if (text[0]) ops->write_body(cl, text, static_cast<int>(strlen(text)));
    dispatch_of(cl)->relay->response_started = true;
  }
}

void ubus_fd_complete_cb(struct ubus_request *req, int status) {
  auto *cl = static_cast<struct client *>(req->priv);
  if (!cl) {
    call_ended(req);
    return;
  }
  ubus_fd_dispatch *d = dispatch_of(cl);
  ubus_fd_relay *w = d->relay;
  bool read_at_once = w->response_ended;

  d->req = nullptr;
  // a call whose object is gone leaves no id to reuse
  if (status == UBUS_STATUS_NOT_FOUND || status == UBUS_STATUS_METHOD_NOT_FOUND) forget_object();

  if (reading_file(d)) {
    w->completed = true;  // the file's end ends the request
    w->status = status;
  } else if (d->response.fd.fd == -1 && !read_at_once) {
    if (status == UBUS_STATUS_TIMEOUT) {
      w->timer.cb = completion_settled;
      uloop_timeout_set(&w->timer, 0);
    } else {
      ops->finish_request(cl, status == 0);
    }
  } else if (status == -1) {
    uloop_timeout_cancel(&w->timer);  // a tunnel may stay silent
    w->tunnel = true;
    cl->state = CLIENT_STATE_DATA;
    cl->request.transfer_chunked = 0;
    cl->request.content_length = INT_MAX;
    uloop_timeout_cancel(&cl->timeout);

    int unread = ustream_pending_data(cl->us, false);
    if (unread && cl->us->notify_read) cl->us->notify_read(cl->us, unread);
  }
  // as the stream's end would, one loop round later (unless the tunnel's
  // first bytes already ended the request)
  if (read_at_once && d->relay) end_response(cl, d);

  call_ended(req);
}

int ubus_fd_data_send(struct client *cl, const char *data, int len) {
  ubus_fd_dispatch *d = dispatch_of(cl);

  if (d->relay->tunnel) cl->request.content_length = INT_MAX;

  // no pipe, or it was closed: nobody wants these bytes
  if (d->body.fd.fd < 0) return len;

  struct ustream *s = &d->body.stream;
  int written = ustream_write(s, data, len, false);
  if (written < 0 || s->write_error) {
    close_stream(&d->body);
    return 0;
  }

  if (!ustream_write_pending(s)) {
    s->notify_write = ubus_fd_body_writable;
    cl->dispatch.data_blocked = true;
  }
  return written;
}

void ubus_fd_body_writable(struct ustream *s, int) {
  struct client *cl = client_of(body_owner(s));

  s->notify_write = nullptr;
  cl->dispatch.data_blocked = false;
  ops->resume_read(cl);
}

void ubus_fd_data_done(struct client *cl) {
  ubus_fd_dispatch *d = dispatch_of(cl);

  if (d->body.fd.fd < 0) return;

  if (ustream_write_pending(&d->body.stream))
    close_stream(&d->body);  // the method sees end of file
  else
    d->body.stream.notify_write = ubus_fd_body_flushed;
}

void ubus_fd_body_flushed(struct ustream *s, int) {
  struct client *cl = client_of(body_owner(s));

  s->notify_write = nullptr;
  ops->resume_read(cl);
  ubus_fd_data_done(cl);
}

void ubus_fd_free(struct client *cl) {
  ubus_fd_dispatch *d = dispatch_of(cl);

  if (d->req) {
    // still pending, so that a descriptor it returns later is closed
    call_abandon(d->req);
    d->req = nullptr;
  }
  close_response(d);
  close_stream(&d->body);
  free(d->relay);
  d->relay = nullptr;
}

void ubus_fd_close_fds(struct client *cl) {
  ubus_fd_dispatch *d = dispatch_of(cl);

  close(state->ctx->sock.fd);
  state->ctx->sock.fd = -1;

  for (int *fd : {&d->response.fd.fd, &d->body.fd.fd, d->relay ? &d->relay->file : nullptr}) {
    if (fd && *fd >= 0) {
      close(*fd);
      *fd = -1;
    }
  }
}

}  // extern "C"
