// SPDX-License-Identifier: ISC
// Objects, method calls, subscriptions, notifications and events.
#include <string.h>
#include <unistd.h>

#include "libubus-internal.h"

using namespace ubus_internal;

namespace {

int subscriber_cb(struct ubus_context* ctx, struct ubus_object* obj, struct ubus_request_data* req,
                  const char* method, struct blob_attr* msg) {
  auto* s = container_of(obj, struct ubus_subscriber, obj);
  return s->cb ? s->cb(ctx, obj, req, method, msg) : 0;
}

int event_cb(struct ubus_context* ctx, struct ubus_object* obj, struct ubus_request_data* req,
             const char* method, struct blob_attr* msg) {
  (void)req;
  auto* ev = container_of(obj, struct ubus_event_handler, obj);
  if (ev->cb) ev->cb(ctx, ev, method, msg);
  return 0;
}

// A method without a name takes every call: the notification type or the
// event name arrives as the method.
const struct ubus_method watch_method = {nullptr, subscriber_cb, 0, 0, nullptr, 0};
const struct ubus_method event_method = {nullptr, event_cb, 0, 0, nullptr, 0};

bool int_type(int type) {
  return type == BLOBMSG_TYPE_INT8 || type == BLOBMSG_TYPE_INT16 || type == BLOBMSG_TYPE_INT32 ||
         type == BLOBMSG_TYPE_INT64;
}

// Arguments named in the method's policy must have the policy's type and
// be well formed; others pass untouched for the handler to judge.
bool arguments_fit(const struct ubus_method* m, struct blob_attr* data) {
  struct blob_attr* cur;
  size_t rem = blob_len(data);
  __blob_for_each_attr(cur, blob_data(data), rem) {
    if (!blob_is_extended(cur) || !blobmsg_check_attr(cur, true)) return false;
    const char* name = blobmsg_name(cur);
    for (int i = 0; i < m->n_policy; i++) {
      const struct blobmsg_policy& p = m->policy[i];
      if (m->mask && !(m->mask & (1ul << i))) continue;
      if (!p.name || strcmp(p.name, name) != 0 || p.type == BLOBMSG_TYPE_UNSPEC) continue;
      int type = blobmsg_type(cur);
      if (int(p.type) == BLOBMSG_CAST_INT64 ? !int_type(type) : type != int(p.type)) return false;
    }
  }
  return rem == 0;
}

void process_invoke(struct ubus_context* ctx, const struct ubus_msghdr& hdr, uint32_t objid,
                    struct ubus_object* obj, const AttrTable& attrs, int fd) {
  struct ubus_request_data req;
  memset(&req, 0, sizeof(req));
  req.object = objid;
  req.peer = hdr.peer;
  req.seq = hdr.seq;
  req.fd = -1;
  req.req_fd = fd;
  bool no_reply = attrs[UBUS_ATTR_NO_REPLY] && blob_get_int8(attrs[UBUS_ATTR_NO_REPLY]);

  int ret = UBUS_STATUS_NOT_FOUND;
  if (obj && !attrs[UBUS_ATTR_METHOD]) {
    ret = UBUS_STATUS_INVALID_ARGUMENT;
  } else if (obj) {
    const char* name = static_cast<const char*>(blob_data(attrs[UBUS_ATTR_METHOD]));
    const struct ubus_method* m = nullptr;
    for (int i = 0; i < obj->n_methods && !m; i++) {
      if (!obj->methods[i].name || !strcmp(obj->methods[i].name, name)) m = &obj->methods[i];
    }
    if (!m)
      ret = UBUS_STATUS_METHOD_NOT_FOUND;
    else if (!attrs[UBUS_ATTR_DATA] || !arguments_fit(m, attrs[UBUS_ATTR_DATA]))
      ret = UBUS_STATUS_INVALID_ARGUMENT;
    else
      ret = m->handler(ctx, obj, &req, name, attrs[UBUS_ATTR_DATA]);
  }
  if (req.req_fd >= 0) close(req.req_fd);  // the handler did not take it
  if (req.deferred || no_reply) return;
  ubus_complete_deferred_request(ctx, &req, ret);
}

void add_object_cb(struct ubus_request* req, int type, struct blob_attr* msg) {
  (void)type;
  auto* obj = static_cast<struct ubus_object*>(req->priv);
  AttrTable attrs;
  parse_msg(msg, blob_raw_len(msg), attrs);
  if (!attrs[UBUS_ATTR_OBJID]) return;
  obj->id = blob_get_u32(attrs[UBUS_ATTR_OBJID]);
  if (attrs[UBUS_ATTR_OBJTYPE] && obj->type) obj->type->id = blob_get_u32(attrs[UBUS_ATTR_OBJTYPE]);
  list_add_tail(&obj->list, &req->ctx->objects);
}

bool push_signature(const struct ubus_object_type* type) {
  void* sig = blob_nest_start(&msg_buf, UBUS_ATTR_SIGNATURE);
  if (!sig) return false;
  for (int i = 0; i < type->n_methods; i++) {
    const struct ubus_method* m = &type->methods[i];
    if (!m->name) return false;
    void* tbl = blobmsg_open_table(&msg_buf, m->name);
    for (int j = 0; j < m->n_policy; j++) {
      if (m->mask && !(m->mask & (1ul << j))) continue;
      blobmsg_add_u32(&msg_buf, m->policy[j].name, m->policy[j].type);
    }
    blobmsg_close_table(&msg_buf, tbl);
  }
  blob_nest_end(&msg_buf, sig);
  return true;
}

void lookup_id_cb(struct ubus_request* req, int type, struct blob_attr* msg) {
  (void)type;
  auto* id = static_cast<uint32_t*>(req->priv);
  AttrTable attrs;
  parse_msg(msg, blob_raw_len(msg), attrs);
  if (!*id && attrs[UBUS_ATTR_OBJID]) *id = blob_get_u32(attrs[UBUS_ATTR_OBJID]);
}

struct LookupRequest {
  struct ubus_request req;
  ubus_lookup_handler_t cb;
};

void lookup_cb(struct ubus_request* req, int type, struct blob_attr* msg) {
  (void)type;
  auto* lookup = container_of(req, LookupRequest, req);
  AttrTable attrs;
  parse_msg(msg, blob_raw_len(msg), attrs);
  if (!attrs[UBUS_ATTR_OBJID] || !attrs[UBUS_ATTR_OBJPATH]) return;
  struct ubus_object_data data;
  data.id = blob_get_u32(attrs[UBUS_ATTR_OBJID]);
  data.type_id = attrs[UBUS_ATTR_OBJTYPE] ? blob_get_u32(attrs[UBUS_ATTR_OBJTYPE]) : 0;
  data.path = static_cast<const char*>(blob_data(attrs[UBUS_ATTR_OBJPATH]));
  data.signature = attrs[UBUS_ATTR_SIGNATURE];
  if (lookup->cb) lookup->cb(req->ctx, &data, req->priv);
}

// Sends msg_buf to the daemon as one `cmd` request and waits for its end;
// raw replies go to raw_cb with req->priv set to priv.
int daemon_request(struct ubus_context* ctx, struct ubus_request* req, int cmd,
                   ubus_data_handler_t raw_cb, void* priv) {
  memset(req, 0, sizeof(*req));
  req->fd = -1;
  req->raw_data_cb = raw_cb;
  req->priv = priv;
  if (start_request(ctx, req, msg_buf.head, cmd, 0) < 0) return UBUS_STATUS_CONNECTION_FAILED;
  return ubus_complete_request(ctx, req, 0);
}

int subscription_request(struct ubus_context* ctx, struct ubus_object* obj, uint32_t id, int type) {
  blob_buf_init(&msg_buf, 0);
  blob_put_int32(&msg_buf, UBUS_ATTR_OBJID, obj->id);
  blob_put_int32(&msg_buf, UBUS_ATTR_TARGET, id);
  struct ubus_request req;
  return daemon_request(ctx, &req, type, nullptr, nullptr);
}

void notify_complete_cb(struct ubus_request* req, int ret) {
  auto* nreq = container_of(req, struct ubus_notify_request, req);
  if (nreq->complete_cb) nreq->complete_cb(nreq, 0, ret);
}

int notify_start(struct ubus_context* ctx, struct ubus_object* obj, const char* type,
                 struct blob_attr* msg, struct ubus_notify_request* req, bool reply) {
  memset(req, 0, sizeof(*req));
  req->req.fd = -1;
  blob_buf_init(&msg_buf, 0);
  blob_put_int32(&msg_buf, UBUS_ATTR_OBJID, obj->id);
  blob_put_string(&msg_buf, UBUS_ATTR_METHOD, type);
  if (!reply) blob_put_int8(&msg_buf, UBUS_ATTR_NO_REPLY, 1);
  if (msg) blob_put(&msg_buf, UBUS_ATTR_DATA, blob_data(msg), unsigned(blob_len(msg)));
  if (start_request(ctx, &req->req, msg_buf.head, UBUS_MSG_NOTIFY, obj->id) < 0)
    return UBUS_STATUS_CONNECTION_FAILED;
  // the daemon's list of subscribers comes first, as id 0
  req->req.notify = true;
  req->pending = 1;
  req->id[0] = obj->id;
  req->req.complete_cb = notify_complete_cb;
  return 0;
}

}  // namespace

#pragma GCC visibility push(hidden)
namespace ubus_internal {

struct ubus_object* find_object(struct ubus_context* ctx, uint32_t id) {
  struct ubus_object* obj;
  list_for_each_entry(obj, &ctx->objects, list) {
    if (obj->id == id) return obj;
  }
  return nullptr;
}

void process_obj_msg(struct ubus_context* ctx, struct ubus_msghdr_buf* buf, int fd) {
  AttrTable attrs;
  parse_msg(buf->data, blob_raw_len(buf->data), attrs);
  uint32_t objid = attrs[UBUS_ATTR_OBJID] ? blob_get_u32(attrs[UBUS_ATTR_OBJID]) : 0;
  struct ubus_object* obj = find_object(ctx, objid);

  switch (buf->hdr.type) {
    case UBUS_MSG_INVOKE:
      process_invoke(ctx, buf->hdr, objid, obj, attrs, fd);
      return;
    case UBUS_MSG_UNSUBSCRIBE:
      // a target of this subscriber went away
      if (obj && attrs[UBUS_ATTR_TARGET] && obj->methods == &watch_method) {
        auto* s = container_of(obj, struct ubus_subscriber, obj);
        if (s->remove_cb) s->remove_cb(ctx, s, blob_get_u32(attrs[UBUS_ATTR_TARGET]));
      }
      break;
    case UBUS_MSG_NOTIFY:
      // the object's subscriber list became empty or non-empty
      if (obj && attrs[UBUS_ATTR_ACTIVE]) {
        obj->has_subscribers = blob_get_int8(attrs[UBUS_ATTR_ACTIVE]);
        if (obj->subscribe_cb) obj->subscribe_cb(ctx, obj);
      }
      break;
    default:
      break;
  }
  if (fd >= 0) close(fd);
}

void process_notify_msg(struct ubus_request* req, int id, int type, struct blob_attr* msg,
                        const AttrTable& attrs) {
  (void)msg;
  auto* nreq = container_of(req, struct ubus_notify_request, req);
  struct ubus_context* ctx = req->ctx;
  if (type != UBUS_MSG_STATUS) {
    if (nreq->data_cb && attrs[UBUS_ATTR_DATA]) nreq->data_cb(nreq, type, attrs[UBUS_ATTR_DATA]);
    return;
  }
  if (id == 0) {
    nreq->pending &= ~1u;
    if (attrs[UBUS_ATTR_STATUS]) {
      set_req_status(req, get_status(attrs));  // the daemon refused
      return;
    }
    if (attrs[UBUS_ATTR_SUBSCRIBERS]) {
      struct blob_attr* cur;
      size_t rem = blob_len(attrs[UBUS_ATTR_SUBSCRIBERS]);
      int idx = 1;
      __blob_for_each_attr(cur, blob_data(attrs[UBUS_ATTR_SUBSCRIBERS]), rem) {
        if (idx > UBUS_MAX_NOTIFY_PEERS) break;
        if (!blob_check_type(blob_data(cur), unsigned(blob_len(cur)), BLOB_ATTR_INT32)) continue;
        nreq->id[idx] = blob_get_u32(cur);
        nreq->pending |= 1u << idx;
        idx++;
      }
    }
  } else {
    nreq->pending &= ~(1u << id);
    if (nreq->status_cb) {
      nreq->status_cb(nreq, id, get_status(attrs));
      struct ubus_request* cur;
      bool alive = false;
      list_for_each_entry(cur, &ctx->requests, list) alive = alive || cur == req;
      if (!alive) return;
    }
  }
  if (!nreq->pending) set_req_status(req, 0);
}

void refresh_objects(struct ubus_context* ctx) {
  struct list_head old;
  INIT_LIST_HEAD(&old);
  list_splice_init(&ctx->objects, &old);
  struct ubus_object* obj;
  list_for_each_entry(obj, &old, list) {
    if (obj->type) obj->type->id = 0;  // the new daemon knows no types yet
  }
  while (!list_empty(&old)) {
    obj = list_first_entry(&old, struct ubus_object, list);
    list_del_init(&obj->list);
    obj->id = 0;
    ubus_add_object(ctx, obj);
  }
}

}  // namespace ubus_internal
#pragma GCC visibility pop

int ubus_send_reply(struct ubus_context* ctx, struct ubus_request_data* req,
                    struct blob_attr* msg) {
  blob_buf_init(&msg_buf, 0);
  blob_put_int32(&msg_buf, UBUS_ATTR_OBJID, req->object);
  if (msg)
    blob_put(&msg_buf, UBUS_ATTR_DATA, blob_data(msg), unsigned(blob_len(msg)));
  else
    blob_put(&msg_buf, UBUS_ATTR_DATA, "", 0);
  if (send_msg(ctx, req->seq, msg_buf.head, UBUS_MSG_DATA, req->peer, -1) < 0)
    return UBUS_STATUS_NO_DATA;
  return 0;
}

void ubus_complete_deferred_request(struct ubus_context* ctx, struct ubus_request_data* req,
                                    int ret) {
  blob_buf_init(&msg_buf, 0);
  blob_put_int32(&msg_buf, UBUS_ATTR_STATUS, ret);
  blob_put_int32(&msg_buf, UBUS_ATTR_OBJID, req->object);
  int fd = req->fd;
  req->fd = -1;
  if (send_msg(ctx, req->seq, msg_buf.head, UBUS_MSG_STATUS, req->peer, fd) < 0 && fd >= 0)
    close(fd);  // nobody else holds it any more
}

int ubus_add_object(struct ubus_context* ctx, struct ubus_object* obj) {
  struct ubus_object* cur;
  list_for_each_entry(cur, &ctx->objects, list) {
    if (cur == obj) return UBUS_STATUS_INVALID_ARGUMENT;  // already published
  }
  blob_buf_init(&msg_buf, 0);
  if (obj->name && obj->type) {
    blob_put_string(&msg_buf, UBUS_ATTR_OBJPATH, obj->name);
    if (obj->type->id)
      blob_put_int32(&msg_buf, UBUS_ATTR_OBJTYPE, obj->type->id);
    else if (!push_signature(obj->type))
      return UBUS_STATUS_INVALID_ARGUMENT;
  }
  obj->id = 0;
  struct ubus_request req;
  int ret = daemon_request(ctx, &req, UBUS_MSG_ADD_OBJECT, add_object_cb, obj);
  if (ret) return ret;
  if (!obj->id) return UBUS_STATUS_NO_DATA;
  return 0;
}

int ubus_remove_object(struct ubus_context* ctx, struct ubus_object* obj) {
  if (!obj->id || !find_object(ctx, obj->id)) return UBUS_STATUS_INVALID_ARGUMENT;
  blob_buf_init(&msg_buf, 0);
  blob_put_int32(&msg_buf, UBUS_ATTR_OBJID, obj->id);
  struct ubus_request req;
  int ret = daemon_request(ctx, &req, UBUS_MSG_REMOVE_OBJECT, nullptr, nullptr);
  // gone from here whatever the daemon said: the caller may free it now
  list_del_init(&obj->list);
  obj->id = 0;
  obj->has_subscribers = false;
  return ret;
}

int ubus_register_subscriber(struct ubus_context* ctx, struct ubus_subscriber* s) {
  s->obj.methods = &watch_method;
  s->obj.n_methods = 1;
  return ubus_add_object(ctx, &s->obj);
}

int ubus_subscribe(struct ubus_context* ctx, struct ubus_subscriber* obj, uint32_t id) {
  return subscription_request(ctx, &obj->obj, id, UBUS_MSG_SUBSCRIBE);
}

int ubus_unsubscribe(struct ubus_context* ctx, struct ubus_subscriber* obj, uint32_t id) {
  return subscription_request(ctx, &obj->obj, id, UBUS_MSG_UNSUBSCRIBE);
}

int ubus_lookup(struct ubus_context* ctx, const char* path, ubus_lookup_handler_t cb, void* priv) {
  blob_buf_init(&msg_buf, 0);
  if (path) blob_put_string(&msg_buf, UBUS_ATTR_OBJPATH, path);
  LookupRequest lookup;
  memset(&lookup, 0, sizeof(lookup));
  lookup.cb = cb;
  return daemon_request(ctx, &lookup.req, UBUS_MSG_LOOKUP, lookup_cb, priv);
}

int ubus_lookup_id(struct ubus_context* ctx, const char* path, uint32_t* id) {
  if (!path || !id) return UBUS_STATUS_INVALID_ARGUMENT;
  *id = 0;
  blob_buf_init(&msg_buf, 0);
  blob_put_string(&msg_buf, UBUS_ATTR_OBJPATH, path);
  struct ubus_request req;
  int ret = daemon_request(ctx, &req, UBUS_MSG_LOOKUP, lookup_id_cb, id);
  if (!ret && !*id) ret = UBUS_STATUS_NOT_FOUND;
  return ret;
}

int ubus_invoke_async_fd(struct ubus_context* ctx, uint32_t obj, const char* method,
                         struct blob_attr* msg, struct ubus_request* req, int fd) {
  blob_buf_init(&msg_buf, 0);
  blob_put_int32(&msg_buf, UBUS_ATTR_OBJID, obj);
  blob_put_string(&msg_buf, UBUS_ATTR_METHOD, method);
  if (msg)
    blob_put(&msg_buf, UBUS_ATTR_DATA, blob_data(msg), unsigned(blob_len(msg)));
  else
    blob_put(&msg_buf, UBUS_ATTR_DATA, "", 0);
  memset(req, 0, sizeof(*req));
  req->fd = fd;
  int ret = start_request(ctx, req, msg_buf.head, UBUS_MSG_INVOKE, obj);
  req->fd = -1;
  return ret < 0 ? UBUS_STATUS_CONNECTION_FAILED : 0;
}

int ubus_invoke_fd(struct ubus_context* ctx, uint32_t obj, const char* method,
                   struct blob_attr* msg, ubus_data_handler_t cb, void* priv, int timeout, int fd) {
  struct ubus_request req;
  int ret = ubus_invoke_async_fd(ctx, obj, method, msg, &req, fd);
  if (ret) return ret;
  req.data_cb = cb;
  req.priv = priv;
  return ubus_complete_request(ctx, &req, timeout);
}

int ubus_notify_async(struct ubus_context* ctx, struct ubus_object* obj, const char* type,
                      struct blob_attr* msg, struct ubus_notify_request* req) {
  return notify_start(ctx, obj, type, msg, req, true);
}

int ubus_notify(struct ubus_context* ctx, struct ubus_object* obj, const char* type,
                struct blob_attr* msg, int timeout) {
  struct ubus_notify_request req;
  int ret = notify_start(ctx, obj, type, msg, &req, timeout >= 0);
  if (ret) return ret;
  if (timeout < 0) {
    ubus_abort_request(ctx, &req.req);
    return 0;
  }
  return ubus_complete_request(ctx, &req.req, timeout);
}

int ubus_send_event(struct ubus_context* ctx, const char* id, struct blob_attr* data) {
  struct blob_buf b;
  memset(&b, 0, sizeof(b));
  blob_buf_init(&b, 0);
  blobmsg_add_string(&b, "id", id);
  if (data)
    blobmsg_add_field(&b, BLOBMSG_TYPE_TABLE, "data", blob_data(data), unsigned(blob_len(data)));
  else
    blobmsg_add_field(&b, BLOBMSG_TYPE_TABLE, "data", "", 0);
  int ret = ubus_invoke(ctx, UBUS_SYSTEM_OBJECT_EVENT, "send", b.head, nullptr, nullptr, 0);
  blob_buf_free(&b);
  return ret;
}

int ubus_register_event_handler(struct ubus_context* ctx, struct ubus_event_handler* ev,
                                const char* pattern) {
  struct ubus_object* obj = &ev->obj;
  if (!obj->id) {
    obj->methods = &event_method;
    obj->n_methods = 1;
    if (!!obj->name ^ !!obj->type) return UBUS_STATUS_INVALID_ARGUMENT;
    int ret = ubus_add_object(ctx, obj);
    if (ret) return ret;
  }
  struct blob_buf b;
  memset(&b, 0, sizeof(b));
  blob_buf_init(&b, 0);
  blobmsg_add_u32(&b, "object", obj->id);
  if (pattern) blobmsg_add_string(&b, "pattern", pattern);
  int ret = ubus_invoke(ctx, UBUS_SYSTEM_OBJECT_EVENT, "register", b.head, nullptr, nullptr, 0);
  blob_buf_free(&b);
  return ret;
}
