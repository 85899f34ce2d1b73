// SPDX-License-Identifier: ISC
// Publishing objects, replying (now or after the configured delay) and
// notifying subscribers.
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include "powersim.h"

namespace {

// A reply held back by the "delay replies" fault.
struct delayed_reply {
  ubus_request_data req{};
  uloop_timeout timer{};
  char *message;  // the reply blob, malloc'd
};

void send_delayed(uloop_timeout *timer) {
  auto *reply = reinterpret_cast<delayed_reply *>(reinterpret_cast<char *>(timer) -
                                                  offsetof(delayed_reply, timer));
  ubus_send_reply(g_sim.ctx, &reply->req, reinterpret_cast<blob_attr *>(reply->message));
  ubus_complete_deferred_request(g_sim.ctx, &reply->req, UBUS_STATUS_OK);
  free(reply->message);
  free(reply);
}

}  // namespace

bool is_removed(const std::string &path) {
  const auto &removed = g_sim.config.removed;
  return std::find(removed.begin(), removed.end(), path) != removed.end();
}

sim_object *publish(const std::string &path, object_kind kind, int index,
                    const ubus_method *methods, int n_methods) {
  if (is_removed(path)) return nullptr;
  sim_object &o = g_sim.objects.emplace_back();
  o.kind = kind;
  o.index = index;
  o.path = path;
  o.type.name = o.path.c_str();
  o.type.methods = methods;
  o.type.n_methods = n_methods;
  o.obj.name = o.path.c_str();
  o.obj.type = &o.type;
  o.obj.methods = methods;
  o.obj.n_methods = n_methods;
  if (ubus_add_object(g_sim.ctx, &o.obj) != 0) {
    fprintf(stderr, "powersim: cannot publish %s\n", path.c_str());
    return nullptr;
  }
  o.added = true;
  return &o;
}

void remove_object(const std::string &path) {
  if (!is_removed(path)) g_sim.config.removed.push_back(path);
  for (sim_object &o : g_sim.objects) {
    if (o.added && o.path == path) {
      ubus_remove_object(g_sim.ctx, &o.obj);
      o.added = false;
    }
  }
}

void answer(ubus_request_data *req, blob_buf *reply) {
  int delay = g_sim.config.reply_delay_ms;
  if (delay <= 0) {
    ubus_send_reply(g_sim.ctx, req, reply->head);
    return;
  }
  auto *later = static_cast<delayed_reply *>(calloc(1, sizeof(delayed_reply)));
  size_t len = blob_pad_len(reply->head);
  later->message = static_cast<char *>(malloc(len));
  memcpy(later->message, reply->head, len);
  ubus_defer_request(g_sim.ctx, req, &later->req);
  later->timer.cb = send_delayed;
  uloop_timeout_set(&later->timer, delay);
}

void notify_change(sim_object *object, const char *key, const blob_attr *value) {
  if (!object || !object->added) return;
  blob_buf msg{};
  blob_buf_init(&msg, 0);
  blobmsg_add_string(&msg, "key", key);
  blobmsg_add_field(&msg, blobmsg_type(value), "value", blobmsg_data(value),
                    blobmsg_data_len(value));
  ubus_notify(g_sim.ctx, &object->obj, "update", msg.head, -1);
  blob_buf_free(&msg);
}
