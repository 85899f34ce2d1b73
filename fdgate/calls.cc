// SPDX-License-Identifier: ISC
// The life of each bus call beyond its HTTP request, and of the bus
// connection beyond a restart of the bus daemon.
//
// A call ends only by its final status: the descriptor that comes with it
// must be closed by us, and the bus library keeps it open when the call is
// no longer pending. So a call whose client went away stays pending,
// abandoned, and closes what still arrives. The daemon sends nothing when
// the method's server vanishes, so every call has a timer: the client gets
// its 504 when the script timeout passes. Abandoned calls are checked
// together, one lookup of the object for all of them per script timeout:
// a call whose object is gone, or was registered again under another id,
// can never be answered and is dropped. Their number is bounded by the
// server's connection limit; past it the oldest is given up.
//
// When the daemon goes away, the calls of the old connection can never end:
// they are dropped and their clients answered as for a method that vanished;
// new requests get "Object inaccessible" until a retry timer has connected
// again. Whether the plug-in is connected is its own flag: after a failed
// reconnect the context's fields may still look connected.
#include <stdlib.h>
#include <unistd.h>

#include "fdgate.h"

namespace fdgate {
namespace {

constexpr int kDefaultWaitMs = 60000;  // when the server sets no script timeout
constexpr int kAliveChecks = 10;       // an abandoned call outlives its method's silence this often
constexpr int kDefaultAbandoned = 100;  // when the server sets no connection limit
constexpr int kReconnectMs = 1000;

LIST_HEAD(waiting);    // calls whose client still waits
LIST_HEAD(abandoned);  // oldest first
int n_abandoned;
struct uloop_timeout check_timer;
struct uloop_timeout reconnect_timer;
bool bus_lost;

ubus_fd_call *call_of(struct ubus_request *req) { return container_of(req, ubus_fd_call, req); }

void release(ubus_fd_call *call) {
  uloop_timeout_cancel(&call->timer);
  if (call->abandoned) n_abandoned--;
  list_del_init(&call->list);
  free(call);
}

// Gives the call up: the bus library forgets it (a descriptor that still
// comes for it stays open in the process: the price of the bound).
void give_up(ubus_fd_call *call) {
  ubus_abort_request(state->ctx, &call->req);
  release(call);
}

void call_timeout(struct uloop_timeout *t) {
  ubus_fd_call *call = container_of(t, ubus_fd_call, timer);
  auto *cl = static_cast<struct client *>(call->req.priv);

  // the script timeout passed and the method is still silent
  ubus_fd_dispatch *d = dispatch_of(cl);
  d->req = nullptr;
  call_abandon(&call->req);
  if (d->response.fd.fd >= 0 || (d->relay && d->relay->file >= 0)) return;  // its relay ends it
  if (d->relay->response_started)
    ops->finish_request(cl, true);
  else
    ops->send_error(cl, 504, "Gateway Timeout",
                    "The ubus-fd method took too long to produce a response\n");
}

// One lookup for every abandoned call. It is a synchronous call: calls may
// end (or the bus go) while it runs, so the list is walked only after it.
void check_abandoned(struct uloop_timeout *t) {
  uint32_t id = 0;

  if (bus_lost || list_empty(&abandoned)) return;
  int ret = ubus_lookup_id(state->ctx, conf->ubus_fd_object, &id);
  if (bus_lost) return;

  ubus_fd_call *call, *next;
  list_for_each_entry_safe(call, next, &abandoned, list) {
    bool alive = ret == UBUS_STATUS_OK && id == call->req.peer && ++call->checks <= kAliveChecks;
    if (!alive) give_up(call);  // nothing can answer any more (or it waited long enough)
  }
  if (!list_empty(&abandoned)) uloop_timeout_set(t, script_timeout_ms());
}

void reconnect(struct uloop_timeout *t) {
  if (ubus_reconnect(state->ctx, conf->ubus_socket) != UBUS_STATUS_OK) {
    // A reconnect that failed after connecting closed its socket but may
    // leave the number behind; the next attempt would close it again, by
    // then perhaps a client's connection. Nothing of ours is open there.
    state->ctx->sock.fd = -1;
    uloop_timeout_set(t, kReconnectMs);
    return;
  }
  bus_lost = false;
  object_reconnected();
  ubus_fd_post_init();
}

}  // namespace

int script_timeout_ms() { return conf->script_timeout > 0 ? conf->script_timeout : kDefaultWaitMs; }

int abandoned_limit() {
  return conf->max_connections > 0 ? conf->max_connections : kDefaultAbandoned;
}

int abandoned_calls() { return n_abandoned; }

struct ubus_request *call_new() {
  static_assert(offsetof(ubus_fd_call, req) == 0, "a call frees as its request record");
  auto *call = static_cast<ubus_fd_call *>(calloc(1, sizeof(ubus_fd_call)));
  if (!call) return nullptr;
  INIT_LIST_HEAD(&call->list);
  call->timer.cb = call_timeout;
  return &call->req;
}

void call_discard(struct ubus_request *req) { free(call_of(req)); }

void call_started(struct client *cl, struct ubus_request *req) {
  ubus_fd_call *call = call_of(req);
  int64_t wait =
      cl->timeout.pending ? uloop_timeout_remaining64(&cl->timeout) : script_timeout_ms();

  list_add_tail(&call->list, &waiting);
  uloop_timeout_set(&call->timer, wait > 0 ? static_cast<int>(wait) : 0);
}

void call_abandon(struct ubus_request *req) {
  ubus_fd_call *call = call_of(req);

  req->priv = nullptr;
  call->abandoned = true;
  uloop_timeout_cancel(&call->timer);
  list_move_tail(&call->list, &abandoned);
  n_abandoned++;
  if (n_abandoned > abandoned_limit()) give_up(list_first_entry(&abandoned, ubus_fd_call, list));
  if (!check_timer.pending) {
    check_timer.cb = check_abandoned;
    uloop_timeout_set(&check_timer, script_timeout_ms());
  }
}

void call_ended(struct ubus_request *req) { release(call_of(req)); }

bool bus_away() { return bus_lost; }

void bus_connection_lost(struct ubus_context *ctx) {
  bus_lost = true;
  uloop_fd_delete(&ctx->sock);
  uloop_timeout_cancel(&check_timer);

  // abandoned calls first: ending a waiting one runs the server's code
  while (!list_empty(&abandoned)) give_up(list_first_entry(&abandoned, ubus_fd_call, list));

  struct list_head gone;
  INIT_LIST_HEAD(&gone);
  list_splice_init(&waiting, &gone);
  while (!list_empty(&gone)) {
    ubus_fd_call *call = list_first_entry(&gone, ubus_fd_call, list);
    auto *cl = static_cast<struct client *>(call->req.priv);

    ubus_abort_request(ctx, &call->req);
    release(call);
    ubus_fd_dispatch *d = dispatch_of(cl);
    d->req = nullptr;
    if (d->response.fd.fd < 0 && !(d->relay && d->relay->file >= 0)) end_response(cl, d);
  }

  reconnect_timer.cb = reconnect;
  uloop_timeout_set(&reconnect_timer, kReconnectMs);
}

}  // namespace fdgate
