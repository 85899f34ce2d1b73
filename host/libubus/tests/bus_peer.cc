// SPDX-License-Identifier: ISC
// bus_peer: a bus client the tests start as a separate process.
//
//   bus_peer <socket> serve <path>        publish a test object (methods below)
//   bus_peer <socket> watch <path>...     subscribe and print notifications
//
// Every line it prints is flushed at once; "ready" means set up.
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

extern "C" {
#include <libubus.h>
}

namespace {

struct ubus_context* ctx;
struct blob_buf reply;

void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vprintf(fmt, ap);
  va_end(ap);
  putchar('\n');
  fflush(stdout);
}

std::string read_all(int fd) {
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n <= 0) break;
    out.append(buf, size_t(n));
  }
  return out;
}

uint32_t fnv1a(const char* p, size_t n) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < n; i++) h = (h ^ uint8_t(p[i])) * 16777619u;
  return h;
}

// ---- served object ----

enum {
  ARG_CODE,
  ARG_MS,
  ARG_DATA,
  ARG_SIZE,
  ARG_TYPE,
  ARG_COUNT,
  ARG_TIMEOUT,
  ARG_PATH,
  ARG_METHOD,
  __ARG_MAX
};
const struct blobmsg_policy args_policy[__ARG_MAX] = {
    {"code", BLOBMSG_TYPE_INT32},    {"ms", BLOBMSG_TYPE_INT32},    {"data", BLOBMSG_TYPE_STRING},
    {"size", BLOBMSG_TYPE_INT32},    {"type", BLOBMSG_TYPE_STRING}, {"count", BLOBMSG_TYPE_INT32},
    {"timeout", BLOBMSG_TYPE_INT32}, {"path", BLOBMSG_TYPE_STRING}, {"method", BLOBMSG_TYPE_STRING},
};

struct blob_attr* args[__ARG_MAX];

void parse_args(struct blob_attr* msg) {
  blobmsg_parse(args_policy, __ARG_MAX, args, blob_data(msg), unsigned(blob_len(msg)));
}

int32_t int_arg(int i, int32_t dflt) { return args[i] ? int32_t(blobmsg_get_u32(args[i])) : dflt; }

struct ubus_object test_object;

int m_echo(struct ubus_context* c, struct ubus_object*, struct ubus_request_data* req, const char*,
           struct blob_attr* msg) {
  ubus_send_reply(c, req, msg);
  return 0;
}

int m_status(struct ubus_context*, struct ubus_object*, struct ubus_request_data*, const char*,
             struct blob_attr* msg) {
  parse_args(msg);
  return int_arg(ARG_CODE, 0);
}

enum { TYPED_N, TYPED_S, __TYPED_MAX };
const struct blobmsg_policy typed_policy[__TYPED_MAX] = {
    {"n", BLOBMSG_TYPE_INT32},
    {"s", BLOBMSG_TYPE_STRING},
};

int m_typed(struct ubus_context* c, struct ubus_object*, struct ubus_request_data* req, const char*,
            struct blob_attr* msg) {
  struct blob_attr* tb[__TYPED_MAX];
  blobmsg_parse(typed_policy, __TYPED_MAX, tb, blob_data(msg), unsigned(blob_len(msg)));
  blob_buf_init(&reply, 0);
  if (tb[TYPED_N]) blobmsg_add_u32(&reply, "n", blobmsg_get_u32(tb[TYPED_N]));
  if (tb[TYPED_S]) blobmsg_add_string(&reply, "s", blobmsg_get_string(tb[TYPED_S]));
  ubus_send_reply(c, req, reply.head);
  return 0;
}

struct Deferred {
  struct uloop_timeout timer;
  struct ubus_request_data req;
};

void deferred_done(struct uloop_timeout* t) {
  auto* d = container_of(t, Deferred, timer);
  blob_buf_init(&reply, 0);
  blobmsg_add_u8(&reply, "deferred", 1);
  ubus_send_reply(ctx, &d->req, reply.head);
  ubus_complete_deferred_request(ctx, &d->req, 0);
  delete d;
}

int m_defer(struct ubus_context* c, struct ubus_object*, struct ubus_request_data* req, const char*,
            struct blob_attr* msg) {
  parse_args(msg);
  auto* d = new Deferred{};
  ubus_defer_request(c, req, &d->req);
  d->timer.cb = deferred_done;
  uloop_timeout_set(&d->timer, int_arg(ARG_MS, 10));
  return 0;
}

int m_hang(struct ubus_context* c, struct ubus_object*, struct ubus_request_data* req, const char*,
           struct blob_attr*) {
  static struct ubus_request_data never;
  ubus_defer_request(c, req, &never);
  say("hanging");
  return 0;
}

int m_exit(struct ubus_context*, struct ubus_object*, struct ubus_request_data*, const char*,
           struct blob_attr*) {
  _exit(0);
}

// Reads the caller's descriptor to its end; replies with length and hash.
int m_fd_in(struct ubus_context* c, struct ubus_object*, struct ubus_request_data* req, const char*,
            struct blob_attr*) {
  int fd = ubus_request_get_caller_fd(req);
  if (fd < 0) return UBUS_STATUS_INVALID_ARGUMENT;
  std::string data = read_all(fd);
  close(fd);
  blob_buf_init(&reply, 0);
  blobmsg_add_string(&reply, "data", data.size() <= 4096 ? data.c_str() : "");
  blobmsg_add_u32(&reply, "len", uint32_t(data.size()));
  blobmsg_add_u32(&reply, "hash", fnv1a(data.data(), data.size()));
  ubus_send_reply(c, req, reply.head);
  return 0;
}

// Answers with a descriptor whose contents are "data".
int m_fd_out(struct ubus_context* c, struct ubus_object*, struct ubus_request_data* req,
             const char*, struct blob_attr* msg) {
  parse_args(msg);
  int p[2];
  if (pipe(p) < 0) return UBUS_STATUS_SYSTEM_ERROR;
  const char* data = args[ARG_DATA] ? blobmsg_get_string(args[ARG_DATA]) : "";
  if (write(p[1], data, strlen(data)) < 0) return UBUS_STATUS_SYSTEM_ERROR;
  close(p[1]);
  ubus_request_set_fd(c, req, p[0]);
  return 0;
}

// Replies with "size" bytes of a fixed pattern plus their hash.
int m_big(struct ubus_context* c, struct ubus_object*, struct ubus_request_data* req, const char*,
          struct blob_attr* msg) {
  parse_args(msg);
  std::string data(size_t(int_arg(ARG_SIZE, 0)), '\0');
  for (size_t i = 0; i < data.size(); i++) data[i] = char('a' + (i * 7 + i / 251) % 26);
  blob_buf_init(&reply, 0);
  blobmsg_add_string(&reply, "data", data.c_str());
  blobmsg_add_u32(&reply, "hash", fnv1a(data.data(), data.size()));
  ubus_send_reply(c, req, reply.head);
  return 0;
}

// Hash of the "data" string it was given.
int m_hash(struct ubus_context* c, struct ubus_object*, struct ubus_request_data* req, const char*,
           struct blob_attr* msg) {
  parse_args(msg);
  if (!args[ARG_DATA]) return UBUS_STATUS_INVALID_ARGUMENT;
  const char* s = blobmsg_get_string(args[ARG_DATA]);
  size_t n = blobmsg_data_len(args[ARG_DATA]) - 1;
  blob_buf_init(&reply, 0);
  blobmsg_add_u32(&reply, "len", uint32_t(n));
  blobmsg_add_u32(&reply, "hash", fnv1a(s, n));
  ubus_send_reply(c, req, reply.head);
  return 0;
}

// Notifies the subscribers "count" times with {"seq": i}; replies with the
// status of the last notification.
int m_notify(struct ubus_context* c, struct ubus_object* obj, struct ubus_request_data* req,
             const char*, struct blob_attr* msg) {
  parse_args(msg);
  const char* type = args[ARG_TYPE] ? blobmsg_get_string(args[ARG_TYPE]) : "change";
  int count = int_arg(ARG_COUNT, 1), timeout = int_arg(ARG_TIMEOUT, -1), ret = 0;
  struct blob_buf b = {};
  for (int i = 0; i < count; i++) {
    blob_buf_init(&b, 0);
    blobmsg_add_u32(&b, "seq", uint32_t(i));
    ret = ubus_notify(c, obj, type, b.head, timeout);
  }
  blob_buf_free(&b);
  blob_buf_init(&reply, 0);
  blobmsg_add_u32(&reply, "status", uint32_t(ret));
  ubus_send_reply(c, req, reply.head);
  return 0;
}

void relay_data(struct ubus_request* r, int, struct blob_attr* msg) {
  auto* out = static_cast<struct blob_buf*>(r->priv);
  blobmsg_add_field(out, BLOBMSG_TYPE_TABLE, "reply", blob_data(msg), unsigned(blob_len(msg)));
}

// Calls "method" of "path" synchronously and answers with its status and reply.
int m_call(struct ubus_context* c, struct ubus_object*, struct ubus_request_data* req, const char*,
           struct blob_attr* msg) {
  parse_args(msg);
  if (!args[ARG_PATH] || !args[ARG_METHOD]) return UBUS_STATUS_INVALID_ARGUMENT;
  uint32_t id;
  int ret = ubus_lookup_id(c, blobmsg_get_string(args[ARG_PATH]), &id);
  struct blob_buf out = {};
  blob_buf_init(&out, 0);
  if (!ret) {
    struct blob_buf empty = {};
    blob_buf_init(&empty, 0);
    blobmsg_add_string(&empty, "from", "peer");
    ret = ubus_invoke(c, id, blobmsg_get_string(args[ARG_METHOD]), empty.head, relay_data, &out,
                      3000);
    blob_buf_free(&empty);
  }
  blobmsg_add_u32(&out, "status", uint32_t(ret));
  ubus_send_reply(c, req, out.head);
  blob_buf_free(&out);
  return 0;
}

// The same, asynchronously: the incoming request is deferred until the
// outgoing one completes.
struct AsyncCall {
  struct ubus_request out;
  struct ubus_request_data in;
  struct blob_buf reply;
};

void async_data(struct ubus_request* r, int, struct blob_attr* msg) {
  auto* a = container_of(r, AsyncCall, out);
  blobmsg_add_field(&a->reply, BLOBMSG_TYPE_TABLE, "reply", blob_data(msg),
                    unsigned(blob_len(msg)));
}

void async_done(struct ubus_request* r, int ret) {
  auto* a = container_of(r, AsyncCall, out);
  blobmsg_add_u32(&a->reply, "status", uint32_t(ret));
  ubus_send_reply(ctx, &a->in, a->reply.head);
  ubus_complete_deferred_request(ctx, &a->in, 0);
  blob_buf_free(&a->reply);
  delete a;
}

int m_call_async(struct ubus_context* c, struct ubus_object*, struct ubus_request_data* req,
                 const char*, struct blob_attr* msg) {
  parse_args(msg);
  if (!args[ARG_PATH] || !args[ARG_METHOD]) return UBUS_STATUS_INVALID_ARGUMENT;
  uint32_t id;
  int ret = ubus_lookup_id(c, blobmsg_get_string(args[ARG_PATH]), &id);
  if (ret) return ret;
  auto* a = new AsyncCall{};
  blob_buf_init(&a->reply, 0);
  struct blob_buf arg = {};
  blob_buf_init(&arg, 0);
  blobmsg_add_string(&arg, "from", "peer-async");
  ret = ubus_invoke_async(c, id, blobmsg_get_string(args[ARG_METHOD]), arg.head, &a->out);
  blob_buf_free(&arg);
  if (ret) {
    blob_buf_free(&a->reply);
    delete a;
    return ret;
  }
  a->out.data_cb = async_data;
  a->out.complete_cb = async_done;
  ubus_defer_request(c, req, &a->in);
  ubus_complete_request_async(c, &a->out);
  return 0;
}

const struct ubus_method test_methods[] = {
    UBUS_METHOD_NOARG("echo", m_echo),
    UBUS_METHOD_NOARG("status", m_status),
    UBUS_METHOD("typed", m_typed, typed_policy),
    UBUS_METHOD_NOARG("defer", m_defer),
    UBUS_METHOD_NOARG("hang", m_hang),
    UBUS_METHOD_NOARG("exit", m_exit),
    UBUS_METHOD_NOARG("fd_in", m_fd_in),
    UBUS_METHOD_NOARG("fd_out", m_fd_out),
    UBUS_METHOD_NOARG("big", m_big),
    UBUS_METHOD_NOARG("hash", m_hash),
    UBUS_METHOD_NOARG("notify", m_notify),
    UBUS_METHOD_NOARG("call", m_call),
    UBUS_METHOD_NOARG("call_async", m_call_async),
};

struct ubus_object_type test_type = UBUS_OBJECT_TYPE("bus_test", test_methods);

void subscribers_changed(struct ubus_context*, struct ubus_object* obj) {
  say("subscribers %d", obj->has_subscribers ? 1 : 0);
}

int serve(const char* path) {
  test_object.name = path;
  test_object.type = &test_type;
  test_object.methods = test_methods;
  test_object.n_methods = ARRAY_SIZE(test_methods);
  test_object.subscribe_cb = subscribers_changed;
  int ret = ubus_add_object(ctx, &test_object);
  if (ret) {
    say("add_object failed: %s", ubus_strerror(ret));
    return 1;
  }
  say("ready %08x", test_object.id);
  uloop_run();
  return 0;
}

// ---- subscriber ----

struct ubus_subscriber watcher;

int watch_cb(struct ubus_context*, struct ubus_object*, struct ubus_request_data*,
             const char* method, struct blob_attr* msg) {
  static const struct blobmsg_policy seq_policy = {"seq", BLOBMSG_TYPE_INT32};
  struct blob_attr* seq;
  blobmsg_parse(&seq_policy, 1, &seq, blob_data(msg), unsigned(blob_len(msg)));
  say("notify %s %d", method, seq ? int(blobmsg_get_u32(seq)) : -1);
  return 0;
}

void watch_removed(struct ubus_context*, struct ubus_subscriber*, uint32_t id) {
  say("removed %08x", id);
}

int watch(int n, char** paths) {
  watcher.cb = watch_cb;
  watcher.remove_cb = watch_removed;
  int ret = ubus_register_subscriber(ctx, &watcher);
  for (int i = 0; i < n && !ret; i++) {
    uint32_t id;
    ret = ubus_lookup_id(ctx, paths[i], &id);
    if (!ret) ret = ubus_subscribe(ctx, &watcher, id);
  }
  if (ret) {
    say("watch failed: %s", ubus_strerror(ret));
    return 1;
  }
  say("ready");
  uloop_run();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: %s <socket> serve <path> | watch <path>...\n", argv[0]);
    return 2;
  }
  uloop_init();
  ctx = ubus_connect(argv[1]);
  if (!ctx) {
    say("connect failed");
    return 1;
  }
  ubus_add_uloop(ctx);
  int ret = 2;
  if (!strcmp(argv[2], "serve")) ret = serve(argv[3]);
  if (!strcmp(argv[2], "watch")) ret = watch(argc - 3, argv + 3);
  ubus_free(ctx);
  blob_buf_free(&reply);
  uloop_done();
  return ret;
}
