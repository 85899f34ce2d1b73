// SPDX-License-Identifier: ISC
// The simulated power switch: relay and meter object trees on ubus, the
// way the firmware's relay and meter servers publish them.
//
// State lives in one `sim_state` (g_sim). Other parts of the simulator (a
// new object, a method for another client) include this header, read or
// change the outlets and buses, and call the notify helpers so that
// subscribers see every change.
#pragma once

#include <stdint.h>

#include <deque>
#include <string>
#include <vector>

extern "C" {
#include <libubox/blobmsg.h>
#include <libubox/uloop.h>
#include <libubus.h>
}

// How the items of a "keys" list are typed.
enum class key_type { string, int32, int64, int16, boolean, dbl, mixed };

// One key of a "keys" list, as a typed blobmsg value.
struct sim_key {
  int type = BLOBMSG_TYPE_STRING;
  std::string text;
  int64_t integer = 0;
  double real = 0;
};

// A ubus object of the simulator; `kind` and `index` tell the handlers
// which part of the state it shows.
enum class object_kind { outlet_list, outlet, bus_list, bus, value_list, value, control, other };

struct sim_object {
  ubus_object obj{};
  ubus_object_type type{};
  object_kind kind = object_kind::other;
  int index = 0;
  std::string path;
  bool added = false;
};

struct sim_outlet {
  sim_key key;
  std::string path;
  bool transient_state = false;
  bool physical_state = false;
  uloop_timeout switch_timer{};  // physical_state follows after the delay
  sim_object *object = nullptr;
};

// One measured value of a bus ("current" or "voltage"), or an odd value
// object added for tests (name and bus as given on the command line).
struct sim_value {
  sim_key key;
  std::string path;
  std::string name;
  int bus = 0;                        // when bus_type is int32
  int bus_type = BLOBMSG_TYPE_INT32;  // BLOBMSG_TYPE_UNSPEC: no "bus" field
  double value = 0;
  bool integer = false;  // published as a 32-bit integer
  sim_object *object = nullptr;
};

struct sim_bus {
  sim_key key;
  std::string path;
  double power_factor_percent = 50;
  bool integer = false;
  sim_object *object = nullptr;
};

struct sim_config {
  const char *socket = nullptr;
  std::string relay_path = "relay";
  std::string meter_path = "meter";
  int outlets = 2;
  int buses = 1;
  key_type keys = key_type::string;
  double current = 2.0;
  double voltage = 230.0;
  double power_factor = 50;
  bool integer_values = false;
  std::vector<int> outlets_on;
  int switch_delay_ms = 0;
  int drift_ms = 0;
  double drift_step = 0.1;
  std::string log_path;
  std::vector<std::string> removed;       // objects never published
  std::vector<std::string> extra_values;  // "BUS:NAME:VALUE"
  std::string keys_without_keys;          // "outlets", "buses" or "values"
  int reply_delay_ms = 0;
  std::string http_object;  // "request" object, if any
};

struct sim_state {
  sim_config config;
  ubus_context *ctx = nullptr;
  std::deque<sim_outlet> outlets;
  std::deque<sim_bus> buses;
  std::deque<sim_value> values;
  std::deque<sim_object> objects;
  std::vector<std::string> set_log;  // one JSON object per "set"
  uloop_timeout drift_timer{};
};

extern sim_state g_sim;

// keys.cc
sim_key make_key(key_type type, const char *list, int index);
void add_key(blob_buf *buf, const char *name, const sim_key &key);
// The path segment of a key, escaped as object paths need it.
std::string key_segment(const sim_key &key);
bool parse_key_type(const char *text, key_type *out);

// objects.cc: publishing and replying
sim_object *publish(const std::string &path, object_kind kind, int index,
                    const ubus_method *methods, int n_methods);
bool is_removed(const std::string &path);
void remove_object(const std::string &path);
// Sends `reply` now, or after the configured reply delay.
void answer(ubus_request_data *req, blob_buf *reply);
void notify_change(sim_object *object, const char *key, const blob_attr *value);

// relay.cc
bool publish_relay();
void switch_outlet(int index, bool state, bool physical_too);

// meter.cc
bool publish_meter();
void set_bus_value(int bus, const char *name, const blob_attr *value);
void start_drift();

// control.cc: the "powersim" object (switching, values, log, faults)
bool publish_control();
void log_set(const std::string &path, blob_attr *msg);

// web.cc: the "request" object with the status page and outlet switch
bool publish_web(const std::string &path);
