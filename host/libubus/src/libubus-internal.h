// SPDX-License-Identifier: ISC
// Pieces shared by the library's translation units; nothing here is exported.
#pragma once

extern "C" {
#include "libubus.h"
}

#pragma GCC visibility push(hidden)
namespace ubus_internal {

// Largest message (its root attribute, header included) the daemon and the
// library accept; a peer that sends a larger one loses its connection. A
// setting of the bus package's own build, not of its installed headers.
constexpr size_t kMaxMsgLen = 1048576;

// The message attributes of the message being processed, by enum ubus_msg_attr.
using AttrTable = struct blob_attr* [UBUS_ATTR_MAX];

// Splits a received message body (the root attribute) into its attributes.
void parse_msg(struct blob_attr* msg, size_t len, AttrTable& out);

// Sends one message; a descriptor >= 0 travels with it and is closed once
// it went out. On failure the descriptor stays with the caller. 0 or -1.
int send_msg(struct ubus_context* ctx, uint16_t seq, struct blob_attr* msg, int cmd, uint32_t peer,
             int fd);

// Sends msg as a new request and prepares req to collect its replies.
int start_request(struct ubus_context* ctx, struct ubus_request* req, struct blob_attr* msg,
                  int cmd, uint32_t peer);

// Ends req with a status and runs its completion callback.
void set_req_status(struct ubus_request* req, int ret);

// Handles an object message (invoke, unsubscribe, notify) for this context.
void process_obj_msg(struct ubus_context* ctx, struct ubus_msghdr_buf* buf, int fd);

// Handles a reply (data or status) to one of the notify requests.
void process_notify_msg(struct ubus_request* req, int id, int type, struct blob_attr* msg,
                        const AttrTable& attrs);

// The local object with this id, or null.
struct ubus_object* find_object(struct ubus_context* ctx, uint32_t id);

// Re-registers all local objects after a reconnect.
void refresh_objects(struct ubus_context* ctx);

// Status carried by a status message, or UBUS_STATUS_INVALID_ARGUMENT.
int get_status(const AttrTable& attrs);

// The shared message buffer of this library; every builder sends before
// anything can call back into user code.
extern struct blob_buf msg_buf;

}  // namespace ubus_internal
#pragma GCC visibility pop
