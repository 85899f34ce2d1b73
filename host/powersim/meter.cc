// SPDX-License-Identifier: ISC
// The meter: "<meter>.buses" lists the buses (each with its power factor
// in percent), "<meter>.values" lists the measured values, each naming
// its bus by position and saying whether it is the current or the voltage.
// Values can drift; every change is notified to subscribers.
#include <stdlib.h>
#include <string.h>

#include "powersim.h"

namespace {

sim_object *object_of(ubus_object *obj) {
  for (sim_object &o : g_sim.objects)
    if (&o.obj == obj) return &o;
  return nullptr;
}

const blobmsg_policy key_policy[1] = {{"key", BLOBMSG_TYPE_STRING}};

const char *requested_key(blob_attr *msg) {
  blob_attr *tb[1];
  blobmsg_parse(key_policy, 1, tb, blob_data(msg), blob_len(msg));
  return tb[0] ? blobmsg_get_string(tb[0]) : nullptr;
}

void add_number(blob_buf *buf, const char *name, double value, bool integer) {
  if (integer)
    blobmsg_add_u32(buf, name, static_cast<uint32_t>(static_cast<int32_t>(value)));
  else
    blobmsg_add_double(buf, name, value);
}

// The number held by `attr` (double or integer types).
bool read_number(const blob_attr *attr, double *out, bool *integer) {
  auto *a = const_cast<blob_attr *>(attr);
  *integer = true;
  switch (blobmsg_type(attr)) {
    case BLOBMSG_TYPE_DOUBLE:
      *integer = false;
      *out = blobmsg_get_double(a);
      return true;
    case BLOBMSG_TYPE_INT32:
      *out = static_cast<int32_t>(blobmsg_get_u32(a));
      return true;
    case BLOBMSG_TYPE_INT64:
      *out = static_cast<double>(static_cast<int64_t>(blobmsg_get_u64(a)));
      return true;
    default:
      return false;
  }
}

int keys_of(ubus_request_data *req, const char *list_name) {
  blob_buf reply{};
  blob_buf_init(&reply, 0);
  if (g_sim.config.keys_without_keys != list_name) {
    void *list = blobmsg_open_array(&reply, "keys");
    if (strcmp(list_name, "buses") == 0)
      for (const sim_bus &bus : g_sim.buses) add_key(&reply, "", bus.key);
    else
      for (const sim_value &value : g_sim.values) add_key(&reply, "", value.key);
    blobmsg_close_array(&reply, list);
  }
  answer(req, &reply);
  blob_buf_free(&reply);
  return UBUS_STATUS_OK;
}

int bus_keys(ubus_context *, ubus_object *, ubus_request_data *req, const char *, blob_attr *) {
  return keys_of(req, "buses");
}

int value_keys(ubus_context *, ubus_object *, ubus_request_data *req, const char *, blob_attr *) {
  return keys_of(req, "values");
}

int bus_get(ubus_context *, ubus_object *obj, ubus_request_data *req, const char *,
            blob_attr *msg) {
  sim_object *o = object_of(obj);
  const char *key = requested_key(msg);
  if (!o || !key) return UBUS_STATUS_INVALID_ARGUMENT;
  const sim_bus &bus = g_sim.buses[o->index];
  blob_buf reply{};
  blob_buf_init(&reply, 0);
  if (strcmp(key, "power_factor_percent") == 0)
    add_number(&reply, "value", bus.power_factor_percent, bus.integer);
  answer(req, &reply);
  blob_buf_free(&reply);
  return UBUS_STATUS_OK;
}

int value_get(ubus_context *, ubus_object *obj, ubus_request_data *req, const char *,
              blob_attr *msg) {
  sim_object *o = object_of(obj);
  const char *key = requested_key(msg);
  if (!o || !key) return UBUS_STATUS_INVALID_ARGUMENT;
  const sim_value &value = g_sim.values[o->index];
  blob_buf reply{};
  blob_buf_init(&reply, 0);
  if (strcmp(key, "bus") == 0) {
    if (value.bus_type == BLOBMSG_TYPE_INT32)
      blobmsg_add_u32(&reply, "value", static_cast<uint32_t>(value.bus));
    else if (value.bus_type == BLOBMSG_TYPE_STRING)
      blobmsg_add_string(&reply, "value", std::to_string(value.bus).c_str());
  } else if (strcmp(key, "name") == 0) {
    blobmsg_add_string(&reply, "value", value.name.c_str());
  } else if (strcmp(key, "value") == 0) {
    add_number(&reply, "value", value.value, value.integer);
  }
  answer(req, &reply);
  blob_buf_free(&reply);
  return UBUS_STATUS_OK;
}

ubus_method bus_list_methods[1], value_list_methods[1], bus_methods[1], value_methods[1];

void set_method(ubus_method *m, const char *name, ubus_handler_t handler) {
  m->name = name;
  m->handler = handler;
}

void notify_number(sim_object *object, const char *key, double value, bool integer) {
  blob_buf buf{};
  blob_buf_init(&buf, 0);
  add_number(&buf, "value", value, integer);
  notify_change(object, key, static_cast<blob_attr *>(blob_data(buf.head)));
  blob_buf_free(&buf);
}

void drift(uloop_timeout *timer) {
  static int tick;
  double step = (tick++ % 2 == 0 ? 1 : -1) * g_sim.config.drift_step;
  for (sim_value &value : g_sim.values) {
    if (value.name != "current" && value.name != "voltage") continue;
    value.value += value.name == "voltage" ? 10 * step : step;
    notify_number(value.object, "value", value.value, value.integer);
  }
  uloop_timeout_set(timer, g_sim.config.drift_ms);
}

// "BUS:NAME:VALUE"; BUS "missing" leaves out the "bus" field, "string"
// publishes bus 0 as a string.
bool add_extra_value(const std::string &spec, int index) {
  size_t a = spec.find(':'), b = a == std::string::npos ? a : spec.find(':', a + 1);
  if (b == std::string::npos) return false;
  sim_value value;
  std::string bus = spec.substr(0, a);
  if (bus == "missing")
    value.bus_type = BLOBMSG_TYPE_UNSPEC;
  else if (bus == "string")
    value.bus_type = BLOBMSG_TYPE_STRING;
  else
    value.bus = atoi(bus.c_str());
  value.name = spec.substr(a + 1, b - a - 1);
  value.value = atof(spec.c_str() + b + 1);
  value.integer = g_sim.config.integer_values;
  value.key = make_key(g_sim.config.keys, "value", index);
  g_sim.values.push_back(value);
  return true;
}

}  // namespace

bool publish_meter() {
  set_method(&bus_list_methods[0], "keys", bus_keys);
  set_method(&value_list_methods[0], "keys", value_keys);
  set_method(&bus_methods[0], "get", bus_get);
  set_method(&value_methods[0], "get", value_get);

  const sim_config &config = g_sim.config;
  for (int i = 0; i < config.buses; ++i) {
    sim_bus &bus = g_sim.buses.emplace_back();
    bus.key = make_key(config.keys, "bus", i);
    bus.path = config.meter_path + ".buses." + key_segment(bus.key);
    bus.power_factor_percent = config.power_factor;
    bus.integer = config.integer_values;
    for (const char *name : {"current", "voltage"}) {
      sim_value &value = g_sim.values.emplace_back();
      value.key = make_key(config.keys, "value", static_cast<int>(g_sim.values.size()) - 1);
      value.bus = i;
      value.name = name;
      value.value = strcmp(name, "current") == 0 ? config.current : config.voltage;
      value.integer = config.integer_values;
    }
  }
  for (const std::string &spec : config.extra_values) {
    if (!add_extra_value(spec, static_cast<int>(g_sim.values.size()))) {
      fprintf(stderr, "powersim: bad --extra-value %s\n", spec.c_str());
      return false;
    }
  }
  for (sim_value &value : g_sim.values)
    value.path = config.meter_path + ".values." + key_segment(value.key);

  publish(config.meter_path + ".buses", object_kind::bus_list, 0, bus_list_methods, 1);
  for (size_t i = 0; i < g_sim.buses.size(); ++i)
    g_sim.buses[i].object =
        publish(g_sim.buses[i].path, object_kind::bus, static_cast<int>(i), bus_methods, 1);
  publish(config.meter_path + ".values", object_kind::value_list, 0, value_list_methods, 1);
  for (size_t i = 0; i < g_sim.values.size(); ++i)
    g_sim.values[i].object =
        publish(g_sim.values[i].path, object_kind::value, static_cast<int>(i), value_methods, 1);
  return true;
}

void set_bus_value(int bus, const char *name, const blob_attr *attr) {
  double number;
  bool integer;
  if (!read_number(attr, &number, &integer)) integer = false, number = 0;
  if (strcmp(name, "power_factor_percent") == 0) {
    if (bus < 0 || bus >= static_cast<int>(g_sim.buses.size())) return;
    g_sim.buses[bus].power_factor_percent = number;
    notify_change(g_sim.buses[bus].object, name, attr);
    return;
  }
  for (sim_value &value : g_sim.values) {
    if (value.bus != bus || value.name != name) continue;
    value.value = number;
    value.integer = integer;
    notify_change(value.object, "value", attr);
  }
}

void start_drift() {
  if (g_sim.config.drift_ms <= 0) return;
  g_sim.drift_timer.cb = drift;
  uloop_timeout_set(&g_sim.drift_timer, g_sim.config.drift_ms);
}
