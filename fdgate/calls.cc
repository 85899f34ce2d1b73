// The life of each bus call beyond its HTTP request, and of the bus
// connection beyond a restart of the bus daemon.
//
// A call ends only by its final status: the descriptor that comes with it
// must be closed by us, and the bus library keeps it open when the call is
// no longer pending. So a call whose client went away stays pending,
// abandoned, and closes what still arrives. The daemon sends nothing when
// the method's server vanishes, so every call has a timer: the client gets
// its 504 when the script timeout passes, and an abandoned call is dropped
// once the method's object is gone.
//
// When the daemon goes away, the calls of the old connection can never end:
// they are dropped and their clients answered as for a method that vanished;
// new requests get "Object inaccessible" until a retry timer has connected
// again.
#include <stdlib.h>
#include <unistd.h>

#include "fdgate.h"

namespace fdgate {
namespace {

constexpr int kDefaultWaitMs = 60000;  // when the server sets no script timeout
constexpr int kAliveChecks = 10;       // an abandoned call outlives its method's silence this often
constexpr int kReconnectMs = 1000;

LIST_HEAD(calls);
struct uloop_timeout reconnect_timer;
bool bus_lost;

ubus_fd_call *call_of(struct ubus_request *req) { return container_of(req, ubus_fd_call, req); }

int wait_ms() { return conf->script_timeout > 0 ? conf->script_timeout : kDefaultWaitMs; }

void release(ubus_fd_call *call) {
  uloop_timeout_cancel(&call->timer);
  list_del_init(&call->list);
  free(call);
}

// Whether the object the call went to is still on the bus. The lookup is a
// synchronous call: the call may end (or the bus go) meanwhile, which the
// flags record instead of freeing the record under our feet.
bool method_alive(ubus_fd_call *call) {
  uint32_t id = 0;
  call->checking = true;
  int ret = ubus_lookup_id(state->ctx, conf->ubus_fd_object, &id);
  call->checking = false;
  return ret == UBUS_STATUS_OK && id == call->req.peer;
}

void call_timeout(struct uloop_timeout *t) {
  ubus_fd_call *call = container_of(t, ubus_fd_call, timer);
  auto *cl = static_cast<struct client *>(call->req.priv);

  if (cl) {
    // the script timeout passed and the method is still silent
    ubus_fd_dispatch *d = dispatch_of(cl);
    d->req = nullptr;
    call_abandon(&call->req);
    if (d->response.fd.fd >= 0) return;  // its stream ends the request
    if (d->response_started)
      ops->finish_request(cl, true);
    else
      ops->send_error(cl, 504, "Gateway Timeout",
                      "The ubus-fd method took too long to produce a response\n");
    return;
  }

  bool alive = !bus_lost && ++call->checks <= kAliveChecks && method_alive(call);
  if (call->ended) {
    free(call);  // ended during the check, already off every list
    return;
  }
  if (alive) {
    uloop_timeout_set(t, wait_ms());
    return;
  }
  // nothing can answer any more (or it waited long enough)
  ubus_abort_request(state->ctx, &call->req);
  release(call);
}

void reconnect(struct uloop_timeout *t) {
  if (ubus_reconnect(state->ctx, conf->ubus_socket) != UBUS_STATUS_OK) {
    uloop_timeout_set(t, kReconnectMs);
    return;
  }
  bus_lost = false;
  ubus_fd_post_init();
}

}  // namespace

struct ubus_request *call_new() {
  static_assert(offsetof(ubus_fd_call, req) == 0, "a call frees as its request record");
  auto *call = static_cast<ubus_fd_call *>(calloc(1, sizeof(ubus_fd_call)));
  if (!call) return nullptr;
  INIT_LIST_HEAD(&call->list);
  call->timer.cb = call_timeout;
  return &call->req;
}

void call_started(struct client *cl, struct ubus_request *req) {
  ubus_fd_call *call = call_of(req);
  int64_t wait = cl->timeout.pending ? uloop_timeout_remaining64(&cl->timeout) : wait_ms();

  list_add_tail(&call->list, &calls);
  uloop_timeout_set(&call->timer, wait > 0 ? static_cast<int>(wait) : 0);
}

void call_abandon(struct ubus_request *req) {
  req->priv = nullptr;
  uloop_timeout_set(&call_of(req)->timer, wait_ms());
}

void call_ended(struct ubus_request *req) {
  ubus_fd_call *call = call_of(req);
  if (call->checking) {
    call->ended = true;  // the check in progress frees it
    uloop_timeout_cancel(&call->timer);
    list_del_init(&call->list);
    return;
  }
  release(call);
}

bool bus_away() { return bus_lost; }

void bus_connection_lost(struct ubus_context *ctx) {
  bus_lost = true;

  struct list_head gone;
  INIT_LIST_HEAD(&gone);
  list_splice_init(&calls, &gone);
  while (!list_empty(&gone)) {
    ubus_fd_call *call = list_first_entry(&gone, ubus_fd_call, list);
    auto *cl = static_cast<struct client *>(call->req.priv);

    ubus_abort_request(ctx, &call->req);
    call_ended(&call->req);
    if (!cl) continue;
    ubus_fd_dispatch *d = dispatch_of(cl);
    d->req = nullptr;
    if (d->response.fd.fd < 0) end_response(cl, d);
  }

  reconnect_timer.cb = reconnect;
  uloop_timeout_set(&reconnect_timer, kReconnectMs);
}

}  // namespace fdgate
