// SPDX-License-Identifier: ISC
// Connection, socket I/O and request bookkeeping of the bus client.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "libubus-internal.h"

#pragma GCC visibility push(hidden)
namespace ubus_internal {
struct blob_buf msg_buf;
}  // namespace ubus_internal
#pragma GCC visibility pop

using namespace ubus_internal;

namespace {

constexpr size_t kHead = sizeof(struct ubus_msghdr) + sizeof(struct blob_attr);
constexpr uint32_t kBufChunk = UBUS_MSG_CHUNK_SIZE;
constexpr int kMaxFdsPerRead = 8;
constexpr int kShrinkAfter = 8;  // small messages in a row before a big buffer goes

// What each message attribute must look like; others are taken as they come.
constexpr struct blob_attr_info kMsgPolicy[UBUS_ATTR_MAX] = {
    {BLOB_ATTR_UNSPEC, 0, 0, nullptr},  // UNSPEC
    {BLOB_ATTR_INT32, 0, 0, nullptr},   // STATUS
    {BLOB_ATTR_STRING, 0, 0, nullptr},  // OBJPATH
    {BLOB_ATTR_INT32, 0, 0, nullptr},   // OBJID
    {BLOB_ATTR_STRING, 0, 0, nullptr},  // METHOD
    {BLOB_ATTR_INT32, 0, 0, nullptr},   // OBJTYPE
    {BLOB_ATTR_NESTED, 0, 0, nullptr},  // SIGNATURE
    {BLOB_ATTR_NESTED, 0, 0, nullptr},  // DATA
    {BLOB_ATTR_INT32, 0, 0, nullptr},   // TARGET
    {BLOB_ATTR_INT8, 0, 0, nullptr},    // ACTIVE
    {BLOB_ATTR_INT8, 0, 0, nullptr},    // NO_REPLY
    {BLOB_ATTR_NESTED, 0, 0, nullptr},  // SUBSCRIBERS
    {BLOB_ATTR_STRING, 0, 0, nullptr},  // USER
    {BLOB_ATTR_STRING, 0, 0, nullptr},  // GROUP
};

constexpr const char* kStatusText[__UBUS_STATUS_LAST] = {
    "Success",
    "Invalid command",
    "Invalid argument",
    "Method not found",
    "Not found",
    "No response",
    "Permission denied",
    "Request timed out",
    "Operation not supported",
    "Unknown error",
    "Connection failed",
    "Out of memory",
    "Parsing message data failed",
    "System error",
};

// An object message that arrived while a synchronous call was running.
struct PendingMsg {
  struct list_head list;
  int fd;
  struct ubus_msghdr hdr;
  // the message's root attribute follows
  struct blob_attr* data() {
    return reinterpret_cast<struct blob_attr*>(this + 1);
  }
};

int64_t now_ms() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Waits for events on fd; false on time-out. EINTR restarts the wait.
bool wait_fd(int fd, short events, int timeout_ms) {
  struct pollfd p = {fd, events, 0};
  int64_t deadline = timeout_ms < 0 ? 0 : now_ms() + timeout_ms;
  for (;;) {
    int wait = timeout_ms < 0 ? -1 : int(deadline - now_ms());
    if (timeout_ms >= 0 && wait < 0) wait = 0;
    int n = poll(&p, 1, wait);
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno != EINTR) return true;  // let the caller's read or write report it
  }
}

void close_fd(int fd) {
  if (fd >= 0) close(fd);
}

enum class ReadResult { kDone, kEmpty, kFailed };

// Reads exactly len bytes. A descriptor that comes along lands in *fd (one
// per message; extras are closed). With may_be_empty, returns kEmpty when
// not a single byte is waiting; once a message has begun, waits for the rest.
ReadResult read_exact(int sock, void* buf, size_t len, int* fd, bool may_be_empty) {
  size_t have = 0;
  while (have < len) {
    struct iovec iov = {static_cast<char*>(buf) + have, len - have};
    alignas(struct cmsghdr) char ctl[CMSG_SPACE(sizeof(int) * kMaxFdsPerRead)];
    struct msghdr mh;
    memset(&mh, 0, sizeof(mh));
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    mh.msg_control = ctl;
    mh.msg_controllen = sizeof(ctl);
    ssize_t n = recvmsg(sock, &mh, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (n >= 0) {
      for (struct cmsghdr* cm = CMSG_FIRSTHDR(&mh); cm; cm = CMSG_NXTHDR(&mh, cm)) {
        if (cm->cmsg_level != SOL_SOCKET || cm->cmsg_type != SCM_RIGHTS) continue;
        size_t count = (cm->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; i++) {
          int got;
          memcpy(&got, CMSG_DATA(cm) + i * sizeof(int), sizeof(int));
          if (*fd < 0)
            *fd = got;
          else
            close(got);
        }
      }
    }
    if (n == 0) return ReadResult::kFailed;
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return ReadResult::kFailed;
      if (have == 0 && may_be_empty) return ReadResult::kEmpty;
      wait_fd(sock, POLLIN, -1);
      continue;
    }
    have += size_t(n);
  }
  return ReadResult::kDone;
}

// Reads the next message into ctx->msgbuf. False when there is none (or
// the connection broke, which sets sock.eof).
bool get_next_msg(struct ubus_context* ctx, int* fd) {
  *fd = -1;
  union {
    struct {
      struct ubus_msghdr hdr;
      struct blob_attr attr;
    } s;
    char raw[kHead];
  } head;
  ReadResult r = read_exact(ctx->sock.fd, head.raw, kHead, fd, true);
  if (r == ReadResult::kEmpty) return false;
  size_t raw_len = r == ReadResult::kDone ? blob_raw_len(&head.s.attr) : 0;
  if (r == ReadResult::kFailed || head.s.hdr.version != 0 || raw_len < sizeof(struct blob_attr) ||
      raw_len > kMaxMsgLen) {
    close_fd(*fd);
    *fd = -1;
    ctx->sock.eof = true;
    return false;
  }

  if (raw_len > ctx->msgbuf_data_len || !ctx->msgbuf.data) {
    size_t size = raw_len < kBufChunk ? kBufChunk : raw_len;
    void* p = realloc(ctx->msgbuf.data, size);
    if (!p) {
      close_fd(*fd);
      *fd = -1;
      ctx->sock.eof = true;
      return false;
    }
    ctx->msgbuf.data = static_cast<struct blob_attr*>(p);
    ctx->msgbuf_data_len = uint32_t(size);
    ctx->msgbuf_reduction_counter = 0;
  } else if (ctx->msgbuf_data_len > kBufChunk && raw_len <= kBufChunk) {
    // give a large buffer back once messages are small again
    if (++ctx->msgbuf_reduction_counter > kShrinkAfter) {
      void* p = realloc(ctx->msgbuf.data, kBufChunk);
      if (p) {
        ctx->msgbuf.data = static_cast<struct blob_attr*>(p);
        ctx->msgbuf_data_len = kBufChunk;
      }
      ctx->msgbuf_reduction_counter = 0;
    }
  }

  memcpy(ctx->msgbuf.data, &head.s.attr, sizeof(struct blob_attr));
  if (raw_len > sizeof(struct blob_attr) &&
      read_exact(ctx->sock.fd, reinterpret_cast<char*>(ctx->msgbuf.data) + sizeof(struct blob_attr),
                 raw_len - sizeof(struct blob_attr), fd, false) != ReadResult::kDone) {
    close_fd(*fd);
    *fd = -1;
    ctx->sock.eof = true;
    return false;
  }
  ctx->msgbuf.hdr = head.s.hdr;
  ctx->msgbuf.hdr.seq = ntohs(head.s.hdr.seq);
  ctx->msgbuf.hdr.peer = ntohl(head.s.hdr.peer);
  return true;
}

bool request_alive(struct ubus_context* ctx, struct ubus_request* req) {
  struct ubus_request* cur;
  list_for_each_entry(cur, &ctx->requests, list) {
    if (cur == req) return true;
  }
  return false;
}

int find_notify_id(struct ubus_notify_request* n, uint32_t objid) {
  for (int i = 0; i <= UBUS_MAX_NOTIFY_PEERS; i++) {
    if ((n->pending & (1u << i)) && n->id[i] == objid) return i;
  }
  return -1;
}

struct ubus_request* find_request(struct ubus_context* ctx, uint16_t seq, uint32_t peer, int* id) {
  struct ubus_request* req;
  list_for_each_entry(req, &ctx->requests, list) {
    if (req->seq != seq) continue;
    if (req->notify) {
      *id = find_notify_id(container_of(req, struct ubus_notify_request, req), peer);
      if (*id < 0) continue;
    } else if (req->peer != peer) {
      continue;
    }
    return req;
  }
  return nullptr;
}

void process_req_msg(struct ubus_context* ctx, struct ubus_msghdr_buf* buf, int fd) {
  AttrTable attrs;
  parse_msg(buf->data, blob_raw_len(buf->data), attrs);
  int id = -1;
  struct ubus_request* req = find_request(ctx, buf->hdr.seq, buf->hdr.peer, &id);
  if (!req) {
    // A descriptor with the final status of a request that is no longer
    // pending (aborted, or never ours) is left open: whoever gives up on
    // a request that may still return one has to wait for it instead.
    if (buf->hdr.type != UBUS_MSG_STATUS) close_fd(fd);
    return;
  }
  if (req->notify) {
    close_fd(fd);
    process_notify_msg(req, id, buf->hdr.type, buf->data, attrs);
    return;
  }
  if (buf->hdr.type == UBUS_MSG_STATUS) {
    if (fd >= 0) {
      if (req->fd_cb)
        req->fd_cb(req, fd);
      else
        close(fd);
      if (!request_alive(ctx, req)) return;  // released from the callback
    }
    set_req_status(req, get_status(attrs));
    return;
  }
  close_fd(fd);
  if (req->raw_data_cb) {
    req->raw_data_cb(req, buf->hdr.type, buf->data);
    if (!request_alive(ctx, req)) return;
  }
  if (req->data_cb && attrs[UBUS_ATTR_DATA])
    req->data_cb(req, buf->hdr.type, attrs[UBUS_ATTR_DATA]);
}

void queue_msg(struct ubus_context* ctx, struct ubus_msghdr_buf* buf, int fd) {
  size_t len = blob_raw_len(buf->data);
  auto* m = static_cast<PendingMsg*>(malloc(sizeof(PendingMsg) + len));
  if (!m) {
    close_fd(fd);
    return;
  }
  m->fd = fd;
  m->hdr = buf->hdr;
  memcpy(m->data(), buf->data, len);
  list_add_tail(&m->list, &ctx->pending);
  if (ctx->sock.registered) uloop_timeout_set(&ctx->pending_timer, 0);
}

void process_pending(struct ubus_context* ctx) {
  while (!ctx->stack_depth && !list_empty(&ctx->pending)) {
    PendingMsg* m = list_first_entry(&ctx->pending, PendingMsg, list);
    list_del(&m->list);
    struct ubus_msghdr_buf buf = {m->hdr, m->data()};
    ctx->stack_depth++;
    process_obj_msg(ctx, &buf, m->fd);
    ctx->stack_depth--;
    free(m);
  }
}

void pending_timer_cb(struct uloop_timeout* t) {
  process_pending(container_of(t, struct ubus_context, pending_timer));
}

void process_msg(struct ubus_context* ctx, int fd) {
  // Callbacks may run synchronous calls that read into ctx->msgbuf; the
  // message being handled keeps its own buffer meanwhile.
  struct ubus_msghdr_buf buf = ctx->msgbuf;
  uint32_t cap = ctx->msgbuf_data_len;
  ctx->msgbuf.data = nullptr;
  ctx->msgbuf_data_len = 0;

  switch (buf.hdr.type) {
    case UBUS_MSG_STATUS:
    case UBUS_MSG_DATA:
      process_req_msg(ctx, &buf, fd);
      break;
    case UBUS_MSG_INVOKE:
    case UBUS_MSG_UNSUBSCRIBE:
    case UBUS_MSG_NOTIFY:
      if (ctx->stack_depth) {
        queue_msg(ctx, &buf, fd);
        break;
      }
      ctx->stack_depth++;
      process_obj_msg(ctx, &buf, fd);
      ctx->stack_depth--;
      break;
    default:
      close_fd(fd);
      break;
  }

  if (!ctx->msgbuf.data) {
    ctx->msgbuf.data = buf.data;
    ctx->msgbuf_data_len = cap;
  } else {
    free(buf.data);
  }
}

// The event loop may already have dropped the socket (it does on a hang-up)
// by the time the loss is seen, so the default simply ends the loop.
void default_connection_lost(struct ubus_context* ctx) {
  (void)ctx;
  uloop_end();
}

// Older releases of the library, still on many devices, leave pending
// requests alone when the connection is lost; EO_UBUS_LEGACY_LOSS=1 asks
// for that behaviour so that callers can be tried against both.
bool legacy_loss() {
  const char* v = getenv("EO_UBUS_LEGACY_LOSS");
  return v && *v && strcmp(v, "0") != 0;
}

// Every request still waiting for its status ends with TIMEOUT, its
// completion callback included. Callbacks may abort or complete others:
// each is taken off the list before its callback runs.
void complete_all_requests(struct ubus_context* ctx) {
  struct list_head waiting;
  INIT_LIST_HEAD(&waiting);
  list_splice_init(&ctx->requests, &waiting);
  while (!list_empty(&waiting)) {
    struct ubus_request* req = list_first_entry(&waiting, struct ubus_request, list);
    set_req_status(req, UBUS_STATUS_TIMEOUT);
  }
}

// The daemon is gone: pending requests end with TIMEOUT (not with the older
// library), then the owner hears about it (by default the event loop ends).
// A synchronous wait ends with CONNECTION_FAILED either way.
void connection_failed(struct ubus_context* ctx) {
  if (ctx->sock.registered) uloop_fd_delete(&ctx->sock);
  if (!legacy_loss()) complete_all_requests(ctx);
  if (ctx->connection_lost) ctx->connection_lost(ctx);
}

void handle_data(struct uloop_fd* u, unsigned int events) {
  (void)events;
  struct ubus_context* ctx = container_of(u, struct ubus_context, sock);
  if (u->fd < 0) return;
  if (!ctx->stack_depth) process_pending(ctx);
  int fd;
  while (get_next_msg(ctx, &fd)) {
    process_msg(ctx, fd);
    if (ctx->cancel_poll || (uloop_cancelled && !ctx->stack_depth)) break;
  }
  if (u->eof) connection_failed(ctx);
}

void free_pending(struct ubus_context* ctx) {
  while (!list_empty(&ctx->pending)) {
    PendingMsg* m = list_first_entry(&ctx->pending, PendingMsg, list);
    list_del(&m->list);
    close_fd(m->fd);
    free(m);
  }
}

int open_socket(const char* path) {
  struct sockaddr_un sa;
  memset(&sa, 0, sizeof(sa));
  sa.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof(sa.sun_path)) return -1;
  strcpy(sa.sun_path, path);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<struct sockaddr*>(&sa), sizeof(sa)) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Reads the daemon's greeting, which carries our client id.
bool read_hello(int fd, uint32_t* local_id) {
  union {
    struct {
      struct ubus_msghdr hdr;
      struct blob_attr attr;
    } s;
    char raw[kHead];
  } head;
  size_t have = 0;
  while (have < kHead) {
    ssize_t n = recv(fd, head.raw + have, kHead - have, 0);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return false;
    }
    have += size_t(n);
  }
  size_t raw_len = blob_raw_len(&head.s.attr);
  if (head.s.hdr.version != 0 || head.s.hdr.type != UBUS_MSG_HELLO ||
      raw_len < sizeof(struct blob_attr) || raw_len > kBufChunk)
    return false;
  char rest[256];
  for (size_t left = raw_len - sizeof(struct blob_attr); left > 0;) {
    ssize_t n = recv(fd, rest, left < sizeof(rest) ? left : sizeof(rest), 0);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return false;
    }
    left -= size_t(n);
  }
  *local_id = ntohl(head.s.hdr.peer);
  return true;
}

}  // namespace

#pragma GCC visibility push(hidden)
namespace ubus_internal {

void parse_msg(struct blob_attr* msg, size_t len, AttrTable& out) {
  blob_parse_untrusted(msg, len, out, kMsgPolicy, UBUS_ATTR_MAX);
}

int get_status(const AttrTable& attrs) {
  if (!attrs[UBUS_ATTR_STATUS]) return UBUS_STATUS_INVALID_ARGUMENT;
  return blob_get_int32(attrs[UBUS_ATTR_STATUS]);
}

int send_msg(struct ubus_context* ctx, uint16_t seq, struct blob_attr* msg, int cmd, uint32_t peer,
             int fd) {
  uint32_t empty_root = htonl(sizeof(struct blob_attr));
  if (ctx->sock.fd < 0 || ctx->sock.eof) return -1;
  if (!msg) msg = reinterpret_cast<struct blob_attr*>(&empty_root);

  struct ubus_msghdr hdr;
  hdr.version = 0;
  hdr.type = uint8_t(cmd);
  hdr.seq = htons(seq);
  hdr.peer = htonl(peer);
  const size_t body = blob_raw_len(msg);
  const size_t total = sizeof(hdr) + body;

  size_t sent = 0;
  while (sent < total) {
    struct iovec iov[2];
    int n_iov = 0;
    if (sent < sizeof(hdr)) {
      iov[n_iov++] = {reinterpret_cast<char*>(&hdr) + sent, sizeof(hdr) - sent};
      iov[n_iov++] = {msg, body};
    } else {
      iov[n_iov++] = {reinterpret_cast<char*>(msg) + (sent - sizeof(hdr)), total - sent};
    }
    struct msghdr mh;
    memset(&mh, 0, sizeof(mh));
    mh.msg_iov = iov;
    mh.msg_iovlen = size_t(n_iov);
    alignas(struct cmsghdr) char ctl[CMSG_SPACE(sizeof(int))];
    if (fd >= 0 && sent == 0) {
      memset(ctl, 0, sizeof(ctl));
      mh.msg_control = ctl;
      mh.msg_controllen = sizeof(ctl);
      struct cmsghdr* cm = CMSG_FIRSTHDR(&mh);
      cm->cmsg_level = SOL_SOCKET;
      cm->cmsg_type = SCM_RIGHTS;
      cm->cmsg_len = CMSG_LEN(sizeof(int));
      memcpy(CMSG_DATA(cm), &fd, sizeof(int));
    }
    ssize_t n = sendmsg(ctx->sock.fd, &mh, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        wait_fd(ctx->sock.fd, POLLOUT, -1);
        continue;
      }
      // only marked here: the owner hears of the loss from the read path
      ctx->sock.eof = true;
      return -1;
    }
    sent += size_t(n);
  }
  close_fd(fd);
  return 0;
}

int start_request(struct ubus_context* ctx, struct ubus_request* req, struct blob_attr* msg,
                  int cmd, uint32_t peer) {
  INIT_LIST_HEAD(&req->list);
  INIT_LIST_HEAD(&req->pending);
  req->ctx = ctx;
  req->peer = peer;
  req->seq = ++ctx->request_seq;
  return send_msg(ctx, req->seq, msg, cmd, peer, req->fd);
}

void set_req_status(struct ubus_request* req, int ret) {
  list_del_init(&req->list);
  req->status_msg = true;
  req->status_code = ret;
  if (req->complete_cb) req->complete_cb(req, ret);
}

}  // namespace ubus_internal
#pragma GCC visibility pop

const char* ubus_strerror(int error) {
  static char unknown[32];
  if (error >= 0 && error < __UBUS_STATUS_LAST) return kStatusText[error];
  snprintf(unknown, sizeof(unknown), "Unknown error: %d", error);
  return unknown;
}

void ubus_complete_request_async(struct ubus_context* ctx, struct ubus_request* req) {
  if (!req->list.next || !list_empty(&req->list) || req->status_msg) return;
  list_add(&req->list, &ctx->requests);
}

void ubus_abort_request(struct ubus_context* ctx, struct ubus_request* req) {
  (void)ctx;
  if (!req->list.next || list_empty(&req->list)) return;
  req->cancelled = true;
  list_del_init(&req->list);
}

int ubus_complete_request(struct ubus_context* ctx, struct ubus_request* req, int timeout) {
  ubus_complete_handler_t complete_cb = req->complete_cb;
  int64_t deadline = timeout > 0 ? now_ms() + timeout : 0;

  req->complete_cb = nullptr;
  ubus_complete_request_async(ctx, req);
  ctx->stack_depth++;
  while (!req->status_msg) {
    if (ctx->sock.eof || ctx->sock.fd < 0) {
      set_req_status(req, UBUS_STATUS_CONNECTION_FAILED);
      break;
    }
    int wait = -1;
    if (deadline) {
      int64_t left = deadline - now_ms();
      if (left <= 0) {
        set_req_status(req, UBUS_STATUS_TIMEOUT);
        break;
      }
      wait = int(left);
    }
    if (wait_fd(ctx->sock.fd, POLLIN, wait)) handle_data(&ctx->sock, ULOOP_READ);
    // a loss seen meanwhile ends the wait, also when it completed this
    // request with TIMEOUT on its way
    if (ctx->sock.eof && (!req->status_msg || req->status_code == UBUS_STATUS_TIMEOUT)) {
      set_req_status(req, UBUS_STATUS_CONNECTION_FAILED);
      break;
    }
  }
  ctx->stack_depth--;

  int status = req->status_code;
  req->complete_cb = complete_cb;
  if (complete_cb) complete_cb(req, status);
  if (!ctx->stack_depth && !list_empty(&ctx->pending) && ctx->sock.registered)
    uloop_timeout_set(&ctx->pending_timer, 0);
  return status;
}

int ubus_reconnect(struct ubus_context* ctx, const char* path) {
  if (!path) path = UBUS_UNIX_SOCKET;
  if (ctx->sock.registered) uloop_fd_delete(&ctx->sock);
  if (ctx->sock.fd >= 0) close(ctx->sock.fd);
  ctx->sock.fd = -1;
  ctx->sock.eof = false;
  ctx->sock.error = false;

  int fd = open_socket(path);
  if (fd < 0) return UBUS_STATUS_CONNECTION_FAILED;
  ctx->sock.fd = fd;
  uint32_t id;
  if (!read_hello(fd, &id) || fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) < 0) {
    // The number stays in sock.fd, closed, with eof and error clear: after
    // a failed reconnect only the result says the context is not connected.
    close(fd);
    return UBUS_STATUS_CONNECTION_FAILED;
  }
  ctx->local_id = id;
  free_pending(ctx);
  if (!list_empty(&ctx->objects)) refresh_objects(ctx);
  return UBUS_STATUS_OK;
}

int ubus_connect_ctx(struct ubus_context* ctx, const char* path) {
  memset(ctx, 0, sizeof(*ctx));
  ctx->sock.fd = -1;
  ctx->sock.cb = handle_data;
  ctx->connection_lost = default_connection_lost;
  ctx->pending_timer.cb = pending_timer_cb;
  INIT_LIST_HEAD(&ctx->requests);
  INIT_LIST_HEAD(&ctx->objects);
  INIT_LIST_HEAD(&ctx->pending);

  ctx->msgbuf.data = static_cast<struct blob_attr*>(calloc(1, kBufChunk));
  if (!ctx->msgbuf.data) return UBUS_STATUS_NO_MEMORY;
  ctx->msgbuf_data_len = kBufChunk;

  int ret = ubus_reconnect(ctx, path);
  if (ret) {
    free(ctx->msgbuf.data);
    ctx->msgbuf.data = nullptr;
  }
  return ret;
}

struct ubus_context* ubus_connect(const char* path) {
  auto* ctx = static_cast<struct ubus_context*>(calloc(1, sizeof(struct ubus_context)));
  if (!ctx) return nullptr;
  if (ubus_connect_ctx(ctx, path)) {
    free(ctx);
    return nullptr;
  }
  return ctx;
}

void ubus_shutdown(struct ubus_context* ctx) {
  if (!ctx) return;
  if (ctx->sock.registered) uloop_fd_delete(&ctx->sock);
  if (ctx->sock.fd >= 0) close(ctx->sock.fd);
  ctx->sock.fd = -1;
  uloop_timeout_cancel(&ctx->pending_timer);
  free_pending(ctx);
  free(ctx->msgbuf.data);
  ctx->msgbuf.data = nullptr;
  ctx->msgbuf_data_len = 0;
}

void ubus_free(struct ubus_context* ctx) {
  if (!ctx) return;
  ubus_shutdown(ctx);
  free(ctx);
}

namespace {

void auto_reconnect_cb(struct uloop_timeout* timer) {
  auto* conn = container_of(timer, struct ubus_auto_conn, timer);
  if (ubus_reconnect(&conn->ctx, conn->path) == UBUS_STATUS_OK)
    ubus_add_uloop(&conn->ctx);
  else
    uloop_timeout_set(timer, 1000);
}

void auto_connection_lost(struct ubus_context* ctx) {
  auto* conn = container_of(ctx, struct ubus_auto_conn, ctx);
  conn->timer.cb = auto_reconnect_cb;
  uloop_timeout_set(&conn->timer, 1000);
}

void auto_connect_cb(struct uloop_timeout* timer) {
  auto* conn = container_of(timer, struct ubus_auto_conn, timer);
  if (ubus_connect_ctx(&conn->ctx, conn->path) != UBUS_STATUS_OK) {
    uloop_timeout_set(timer, 1000);
    fprintf(stderr, "failed to connect to ubus\n");
    return;
  }
  conn->ctx.connection_lost = auto_connection_lost;
  if (conn->cb) conn->cb(&conn->ctx);
  ubus_add_uloop(&conn->ctx);
}

}  // namespace

void ubus_auto_connect(struct ubus_auto_conn* conn) {
  conn->timer.cb = auto_connect_cb;
  auto_connect_cb(&conn->timer);
}
