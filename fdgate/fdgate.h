// SPDX-License-Identifier: ISC
// fdgate: HTTP requests under a URL prefix become calls of one ubus method;
// the request body streams to the method through a pipe and the response
// comes back from the descriptor the method returns.
#pragma once

#include <stddef.h>

extern "C" {
#include <libubox/blobmsg.h>
#include <libubox/ustream.h>
#include <libubus.h>

#include "plugin.h"
#include "uhttpd.h"
}

// The plug-in state: the bus connection, then two words kept for later use.
struct ubus_fd_state {
  struct ubus_context *ctx;
  void *reserved[2];
};

// The part of a request's relay state that does not fit the client's
// handler-private area (two streams fill it): the timer that bounds the
// method's silence, the pace at which a descriptor the event loop cannot
// watch (a regular file) is read, and the flags.
struct ubus_fd_relay {
  struct uloop_timeout timer;
  struct client *cl;
  int file;    // read in blocks as the client takes them; -1 when none
  int status;  // the call's status, once it came while the file is read
  bool completed;
  bool tunnel;
  bool response_started;
  bool response_ended;  // read to its end at once; the completion ends it
  bool stream_rest;     // `file` is what a stream left in a pipe: ends as the stream
};

// Per-request state, kept in the client's handler-private area.
struct ubus_fd_dispatch {
  struct ustream_fd response;   // the descriptor the method returned
  struct ustream_fd body;       // write end of the request-body pipe
  struct ubus_request *req;     // in flight; null once completed or aborted
  struct ubus_fd_relay *relay;  // owned; freed with the request
};

static_assert(sizeof(ubus_fd_dispatch) <= sizeof(((struct dispatch *)nullptr)->priv),
              "the per-request state must fit the client's handler-private area");

// One bus call: the request record that the dispatch's `req` points to, and
// what bounds the wait for its status. The call outlives its HTTP request
// when the client goes first (abandoned: the record's priv is null then).
struct ubus_fd_call {
  struct ubus_request req;     // first: the record frees as the call
  struct uloop_timeout timer;  // the script timeout while its client waits
  struct list_head list;       // in the plug-in's waiting or abandoned calls
  int checks;                  // abandoned: times its method was found still there
  bool abandoned;
};

namespace fdgate {

extern const struct uhttpd_ops *ops;
extern struct config *conf;
extern struct ubus_fd_state *state;

inline ubus_fd_dispatch *dispatch_of(struct client *cl) {
  return reinterpret_cast<ubus_fd_dispatch *>(cl->dispatch.priv);
}

inline struct client *client_of(ubus_fd_dispatch *d) {
  return reinterpret_cast<struct client *>(reinterpret_cast<char *>(d) -
                                           offsetof(struct client, dispatch.priv));
}

// The server's script timeout in milliseconds (a default when it sets none).
int script_timeout_ms();

// A zeroed request record inside a new call, or null.
struct ubus_request *call_new();
// A call that was never sent.
void call_discard(struct ubus_request *req);
// The call was sent for cl: it waits at most the script timeout.
void call_started(struct client *cl, struct ubus_request *req);
// The client no longer waits: what still arrives is closed, and the call is
// dropped once its method is gone.
void call_abandon(struct ubus_request *req);
// The call's status came (or it was aborted): the record goes.
void call_ended(struct ubus_request *req);

// The response is over without its descriptor's help: the client gets what
// an ended response gives (finish, 502 or 504).
void end_response(struct client *cl, ubus_fd_dispatch *d);

// The bus daemon went away and the retry timer has not reconnected yet.
bool bus_away();
// The bus library's connection-lost handler for the plug-in's connection.
void bus_connection_lost(struct ubus_context *ctx);

// The configured object's id, kept between requests (0 on success, else
// the bus status of the lookup), and its removal from that store.
int lookup_object(uint32_t *id);
void forget_object();
// A new connection: nothing learnt on the old one holds.
void object_reconnected();

// Abandoned calls waiting for their status, and how many may.
int abandoned_calls();
int abandoned_limit();

}  // namespace fdgate

// The plug-in is built with hidden symbols: the server's process holds
// every plug-in in one namespace, so only what the server and the plug-in
// interface name is exported.
#define FDGATE_EXPORT __attribute__((visibility("default")))

extern "C" {

FDGATE_EXPORT extern struct uhttpd_plugin uhttpd_plugin;
extern struct dispatch_handler ubus_fd_handler;
FDGATE_EXPORT extern const char *http_version_strings[3];

int ubus_fd_plugin_init(const struct uhttpd_ops *ops, struct config *conf);
void ubus_fd_post_init(void);
FDGATE_EXPORT struct ubus_fd_state *uh_ubus_fd_init(void);
bool ubus_fd_check_url(const char *url);
void ubus_fd_handle_request(struct client *cl, char *url, struct path_info *pi);

void ubus_fd_fd_cb(struct ubus_request *req, int fd);
void ubus_fd_data_cb(struct ubus_request *req, int type, struct blob_attr *msg);
void ubus_fd_complete_cb(struct ubus_request *req, int status);
void ubus_fd_response_read(struct ustream *s, int bytes);
void ubus_fd_response_state(struct ustream *s);
void ubus_fd_body_writable(struct ustream *s, int bytes);
void ubus_fd_body_flushed(struct ustream *s, int bytes);
int ubus_fd_data_send(struct client *cl, const char *data, int len);
void ubus_fd_data_done(struct client *cl);
void ubus_fd_close_fds(struct client *cl);
void ubus_fd_free(struct client *cl);
}
