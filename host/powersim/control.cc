// SPDX-License-Identifier: ISC
// The "powersim" object that tests and the demo use to drive the switch
// ("switch", "set_value", "fault"), and to read what reached it ("log",
// "state"), or to send notifications of any shape ("notify"). Also the log of every "set" with its
// decoded credential block, kept in memory and appended to the --log file as one JSON line each.
#include <json-c/json.h>
#include <stdio.h>
#include <string.h>

#include "powersim.h"

namespace {

json_object *to_json(blob_attr *attr);

json_object *fields_to_json(const void *data, size_t len, bool array) {
  json_object *out = array ? json_object_new_array() : json_object_new_object();
  const char *pos = static_cast<const char *>(data);
  while (len >= sizeof(blob_attr)) {
    auto *attr = reinterpret_cast<blob_attr *>(const_cast<char *>(pos));
    size_t padded = blob_pad_len(attr);
    if (blob_raw_len(attr) < sizeof(blob_attr) || padded > len) break;
    if (blob_is_extended(attr) && blobmsg_check_attr(attr, false)) {
      if (array)
        json_object_array_add(out, to_json(attr));
      else
        json_object_object_add(out, blobmsg_name(attr), to_json(attr));
    }
    pos += padded;
    len -= padded;
  }
  return out;
}

json_object *to_json(blob_attr *attr) {
  switch (blobmsg_type(attr)) {
    case BLOBMSG_TYPE_TABLE:
      return fields_to_json(blobmsg_data(attr), blobmsg_data_len(attr), false);
    case BLOBMSG_TYPE_ARRAY:
      return fields_to_json(blobmsg_data(attr), blobmsg_data_len(attr), true);
    case BLOBMSG_TYPE_STRING:
      return json_object_new_string(blobmsg_get_string(attr));
    case BLOBMSG_TYPE_INT64:
      return json_object_new_int64(static_cast<int64_t>(blobmsg_get_u64(attr)));
    case BLOBMSG_TYPE_INT32:
      return json_object_new_int(static_cast<int32_t>(blobmsg_get_u32(attr)));
    case BLOBMSG_TYPE_INT16:
      return json_object_new_int(blobmsg_get_u16(attr));
    case BLOBMSG_TYPE_BOOL:
      return json_object_new_boolean(blobmsg_get_u8(attr));
    case BLOBMSG_TYPE_DOUBLE:
      return json_object_new_double(blobmsg_get_double(attr));
    default:
      return nullptr;
  }
}

// The credential block travels as a string whose bytes are encoded fields
// followed by one zero byte.
json_object *decode_cred(blob_attr *cred) {
  if (blobmsg_type(cred) != BLOBMSG_TYPE_STRING) return json_object_new_string("not a string");
  size_t len = blobmsg_data_len(cred);
  const char *bytes = static_cast<const char *>(blobmsg_data(cred));
  if (len == 0 || bytes[len - 1] != 0) return json_object_new_string("no trailing zero");
  return fields_to_json(bytes, len - 1, false);
}

enum { OUTLET, STATE, PHYSICAL, BUS, NAME, VALUE, REMOVE, KEYS_WITHOUT_KEYS, DELAY, FIELD_COUNT };
const blobmsg_policy control_policy[FIELD_COUNT] = {
    {"outlet", BLOBMSG_TYPE_INT32},   {"state", BLOBMSG_TYPE_BOOL},
    {"physical", BLOBMSG_TYPE_BOOL},  {"bus", BLOBMSG_TYPE_INT32},
    {"name", BLOBMSG_TYPE_STRING},    {"value", BLOBMSG_TYPE_UNSPEC},
    {"remove", BLOBMSG_TYPE_STRING},  {"keys_without_keys", BLOBMSG_TYPE_STRING},
    {"delay_ms", BLOBMSG_TYPE_INT32},
};

void parse(blob_attr *msg, blob_attr **tb) {
  blobmsg_parse(control_policy, FIELD_COUNT, tb, blob_data(msg), blob_len(msg));
}

int reply_empty(ubus_request_data *req) {
  blob_buf reply{};
  blob_buf_init(&reply, 0);
  ubus_send_reply(g_sim.ctx, req, reply.head);
  blob_buf_free(&reply);
  return UBUS_STATUS_OK;
}

// {"outlet": n (0-based), "state": bool, "physical": bool (default true)}
int control_switch(ubus_context *, ubus_object *, ubus_request_data *req, const char *,
                   blob_attr *msg) {
  blob_attr *tb[FIELD_COUNT];
  parse(msg, tb);
  if (!tb[OUTLET] || !tb[STATE]) return UBUS_STATUS_INVALID_ARGUMENT;
  int outlet = static_cast<int32_t>(blobmsg_get_u32(tb[OUTLET]));
  if (outlet < 0 || outlet >= static_cast<int>(g_sim.outlets.size())) return UBUS_STATUS_NOT_FOUND;
  bool physical = !tb[PHYSICAL] || blobmsg_get_u8(tb[PHYSICAL]);
  switch_outlet(outlet, blobmsg_get_u8(tb[STATE]) != 0, physical);
  return reply_empty(req);
}

// {"bus": n, "name": "current"|"voltage"|"power_factor_percent", "value": any}
int control_set_value(ubus_context *, ubus_object *, ubus_request_data *req, const char *,
                      blob_attr *msg) {
  blob_attr *tb[FIELD_COUNT];
  parse(msg, tb);
  if (!tb[BUS] || !tb[NAME] || !tb[VALUE]) return UBUS_STATUS_INVALID_ARGUMENT;
  set_bus_value(static_cast<int32_t>(blobmsg_get_u32(tb[BUS])), blobmsg_get_string(tb[NAME]),
                tb[VALUE]);
  return reply_empty(req);
}

// {"remove": path, "keys_without_keys": list, "delay_ms": n}
int control_fault(ubus_context *, ubus_object *, ubus_request_data *req, const char *,
                  blob_attr *msg) {
  blob_attr *tb[FIELD_COUNT];
  parse(msg, tb);
  if (tb[REMOVE]) remove_object(blobmsg_get_string(tb[REMOVE]));
  if (tb[KEYS_WITHOUT_KEYS])
    g_sim.config.keys_without_keys = blobmsg_get_string(tb[KEYS_WITHOUT_KEYS]);
  if (tb[DELAY]) g_sim.config.reply_delay_ms = static_cast<int32_t>(blobmsg_get_u32(tb[DELAY]));
  return reply_empty(req);
}

// {"sets": [ {"object": path, "message": {...}}, ... ]}
int control_log(ubus_context *, ubus_object *, ubus_request_data *req, const char *, blob_attr *) {
  blob_buf reply{};
  blob_buf_init(&reply, 0);
  void *list = blobmsg_open_array(&reply, "sets");
  for (const std::string &line : g_sim.set_log) blobmsg_add_string(&reply, "", line.c_str());
  blobmsg_close_array(&reply, list);
  ubus_send_reply(g_sim.ctx, req, reply.head);
  blob_buf_free(&reply);
  return UBUS_STATUS_OK;
}

int control_state(ubus_context *, ubus_object *, ubus_request_data *req, const char *,
                  blob_attr *) {
  blob_buf reply{};
  blob_buf_init(&reply, 0);
  void *outlets = blobmsg_open_array(&reply, "outlets");
  for (const sim_outlet &outlet : g_sim.outlets) {
    void *t = blobmsg_open_table(&reply, "");
    blobmsg_add_string(&reply, "path", outlet.path.c_str());
    blobmsg_add_u8(&reply, "transient_state", outlet.transient_state);
    blobmsg_add_u8(&reply, "physical_state", outlet.physical_state);
    blobmsg_close_table(&reply, t);
  }
  blobmsg_close_array(&reply, outlets);
  void *buses = blobmsg_open_array(&reply, "buses");
  for (size_t i = 0; i < g_sim.buses.size(); ++i) {
    void *t = blobmsg_open_table(&reply, "");
    blobmsg_add_string(&reply, "path", g_sim.buses[i].path.c_str());
    blobmsg_add_double(&reply, "power_factor_percent", g_sim.buses[i].power_factor_percent);
    for (const sim_value &value : g_sim.values)
      if (value.bus == static_cast<int>(i) && (value.name == "current" || value.name == "voltage"))
        blobmsg_add_double(&reply, value.name.c_str(), value.value);
    blobmsg_close_table(&reply, t);
  }
  blobmsg_close_array(&reply, buses);
  ubus_send_reply(g_sim.ctx, req, reply.head);
  blob_buf_free(&reply);
  return UBUS_STATUS_OK;
}

// {"path": object, "fields": {...}}: sends `fields` as a notification of
// that object, as it is, for subscribers that must cope with odd shapes.
int control_notify(ubus_context *, ubus_object *, ubus_request_data *req, const char *,
                   blob_attr *msg) {
  static const blobmsg_policy policy[2] = {{"path", BLOBMSG_TYPE_STRING},
                                           {"fields", BLOBMSG_TYPE_TABLE}};
  blob_attr *tb[2];
  blobmsg_parse(policy, 2, tb, blob_data(msg), blob_len(msg));
  if (!tb[0] || !tb[1]) return UBUS_STATUS_INVALID_ARGUMENT;
  for (sim_object &o : g_sim.objects) {
    if (!o.added || o.path != blobmsg_get_string(tb[0])) continue;
    blob_buf fields{};
    blob_buf_init(&fields, 0);
    blob_put_raw(&fields, blobmsg_data(tb[1]), blobmsg_data_len(tb[1]));
    ubus_notify(g_sim.ctx, &o.obj, "update", fields.head, -1);
    blob_buf_free(&fields);
    return reply_empty(req);
  }
  return UBUS_STATUS_NOT_FOUND;
}

ubus_method control_methods[6];

}  // namespace

void log_set(const std::string &path, blob_attr *msg) {
  json_object *entry = json_object_new_object();
  json_object_object_add(entry, "object", json_object_new_string(path.c_str()));
  json_object *message = fields_to_json(blob_data(msg), blob_len(msg), false);
  static const blobmsg_policy cred_policy[1] = {{"cred", BLOBMSG_TYPE_UNSPEC}};
  blob_attr *cred[1];
  blobmsg_parse(cred_policy, 1, cred, blob_data(msg), blob_len(msg));
  if (cred[0]) json_object_object_add(message, "cred", decode_cred(cred[0]));
  json_object_object_add(entry, "message", message);
  std::string line = json_object_to_json_string_ext(entry, JSON_C_TO_STRING_PLAIN);
  json_object_put(entry);
  g_sim.set_log.push_back(line);
  if (!g_sim.config.log_path.empty()) {
    if (FILE *f = fopen(g_sim.config.log_path.c_str(), "a")) {
      fprintf(f, "%s\n", line.c_str());
      fclose(f);
    }
  }
}

bool publish_control() {
  const struct {
    const char *name;
    ubus_handler_t handler;
  } methods[] = {{"switch", control_switch}, {"set_value", control_set_value},
                 {"fault", control_fault},   {"log", control_log},
                 {"state", control_state},   {"notify", control_notify}};
  int n = 0;
  for (const auto &m : methods) {
    control_methods[n].name = m.name;
    control_methods[n].handler = m.handler;
    ++n;
  }
  return publish("powersim", object_kind::control, 0, control_methods, n) != nullptr;
}
