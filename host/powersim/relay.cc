// SPDX-License-Identifier: ISC
// The relay: "<relay>.outlets" lists the outlets, "<relay>.outlets.<key>"
// is one outlet with "get" and "set" of transient_state and
// physical_state. physical_state follows transient_state after the
// switching delay; every change is notified to subscribers.
#include <string.h>

#include "powersim.h"

namespace {

sim_object *object_of(ubus_object *obj) {
  for (sim_object &o : g_sim.objects)
    if (&o.obj == obj) return &o;
  return nullptr;
}

enum { KEY_FIELD, VALUE_FIELD, FIELD_COUNT };
const blobmsg_policy field_policy[FIELD_COUNT] = {
    {"key", BLOBMSG_TYPE_STRING},
    {"value", BLOBMSG_TYPE_UNSPEC},
};

void notify_flag(sim_outlet &outlet, const char *key, bool state) {
  blob_buf value{};
  blob_buf_init(&value, 0);
  blobmsg_add_u8(&value, "value", state ? 1 : 0);
  notify_change(outlet.object, key, static_cast<blob_attr *>(blob_data(value.head)));
  blob_buf_free(&value);
}

void settle(uloop_timeout *timer) {
  for (sim_outlet &outlet : g_sim.outlets) {
    if (&outlet.switch_timer != timer) continue;
    if (outlet.physical_state != outlet.transient_state) {
      outlet.physical_state = outlet.transient_state;
      notify_flag(outlet, "physical_state", outlet.physical_state);
    }
  }
}

int list_keys(ubus_context *, ubus_object *, ubus_request_data *req, const char *, blob_attr *) {
  blob_buf reply{};
  blob_buf_init(&reply, 0);
  if (g_sim.config.keys_without_keys != "outlets") {
    void *list = blobmsg_open_array(&reply, "keys");
    for (const sim_outlet &outlet : g_sim.outlets) add_key(&reply, "", outlet.key);
    blobmsg_close_array(&reply, list);
  }
  answer(req, &reply);
  blob_buf_free(&reply);
  return UBUS_STATUS_OK;
}

int outlet_get(ubus_context *, ubus_object *obj, ubus_request_data *req, const char *,
               blob_attr *msg) {
  sim_object *o = object_of(obj);
  blob_attr *tb[FIELD_COUNT];
  blobmsg_parse(field_policy, FIELD_COUNT, tb, blob_data(msg), blob_len(msg));
  if (!o || !tb[KEY_FIELD]) return UBUS_STATUS_INVALID_ARGUMENT;
  const sim_outlet &outlet = g_sim.outlets[o->index];
  const char *key = blobmsg_get_string(tb[KEY_FIELD]);
  blob_buf reply{};
  blob_buf_init(&reply, 0);
  if (strcmp(key, "transient_state") == 0)
    blobmsg_add_u8(&reply, "value", outlet.transient_state);
  else if (strcmp(key, "physical_state") == 0)
    blobmsg_add_u8(&reply, "value", outlet.physical_state);
  answer(req, &reply);
  blob_buf_free(&reply);
  return UBUS_STATUS_OK;
}

int outlet_set(ubus_context *, ubus_object *obj, ubus_request_data *req, const char *,
               blob_attr *msg) {
  sim_object *o = object_of(obj);
  if (!o) return UBUS_STATUS_NOT_FOUND;
  log_set(o->path, msg);
  blob_attr *tb[FIELD_COUNT];
  blobmsg_parse(field_policy, FIELD_COUNT, tb, blob_data(msg), blob_len(msg));
  if (!tb[KEY_FIELD] || !tb[VALUE_FIELD] || blobmsg_type(tb[VALUE_FIELD]) != BLOBMSG_TYPE_BOOL)
    return UBUS_STATUS_INVALID_ARGUMENT;
  if (strcmp(blobmsg_get_string(tb[KEY_FIELD]), "transient_state") != 0)
    return UBUS_STATUS_NOT_SUPPORTED;
  switch_outlet(o->index, blobmsg_get_u8(tb[VALUE_FIELD]) != 0, true);
  blob_buf reply{};
  blob_buf_init(&reply, 0);
  answer(req, &reply);
  blob_buf_free(&reply);
  return UBUS_STATUS_OK;
}

ubus_method list_methods[1];
ubus_method outlet_methods[2];

void set_method(ubus_method *m, const char *name, ubus_handler_t handler) {
  m->name = name;
  m->handler = handler;
}

}  // namespace

void switch_outlet(int index, bool state, bool physical_too) {
  if (index < 0 || index >= static_cast<int>(g_sim.outlets.size())) return;
  sim_outlet &outlet = g_sim.outlets[index];
  if (outlet.transient_state != state) {
    outlet.transient_state = state;
    notify_flag(outlet, "transient_state", state);
  }
  if (!physical_too) return;
  if (g_sim.config.switch_delay_ms > 0)
    uloop_timeout_set(&outlet.switch_timer, g_sim.config.switch_delay_ms);
  else
    settle(&outlet.switch_timer);
}

bool publish_relay() {
  set_method(&list_methods[0], "keys", list_keys);
  set_method(&outlet_methods[0], "get", outlet_get);
  set_method(&outlet_methods[1], "set", outlet_set);

  const sim_config &config = g_sim.config;
  std::string base = config.relay_path + ".outlets";
  for (int i = 0; i < config.outlets; ++i) {
    sim_outlet &outlet = g_sim.outlets.emplace_back();
    outlet.key = make_key(config.keys, "outlet", i);
    outlet.path = base + "." + key_segment(outlet.key);
    outlet.switch_timer.cb = settle;
    for (int on : config.outlets_on)
      if (on == i) outlet.transient_state = outlet.physical_state = true;
  }
  publish(base, object_kind::outlet_list, 0, list_methods, 1);
  for (int i = 0; i < config.outlets; ++i) {
    sim_outlet &outlet = g_sim.outlets[i];
    outlet.object = publish(outlet.path, object_kind::outlet, i, outlet_methods, 2);
  }
  return true;
}
