// SPDX-License-Identifier: ISC
// The relay and meter objects over ubus: discovery with "keys", initial
// values with "get", live updates through subscriptions, outlet writes
// with "set". Every call carries the agent's credential block.
#include "device.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string_view>

extern "C" {
#include <libubox/blobmsg.h>
#include <libubus.h>
}

namespace {

constexpr int call_timeout_ms = 3000;
// Value objects may name buses the bus list lacks, up to this many buses.
constexpr int max_added_bus_count = 256;
constexpr size_t list_path_size = 256;
constexpr const char *unknown_reason = "unknown";
// What every bus is rated for, and how exactly the meter measures it.
constexpr float bus_nameplate_watts = 1200.0f;
constexpr float bus_accuracy = 0.01f;  // 1 %

// A blob_buf released when it goes out of scope.
struct scoped_blob_buf {
  blob_buf buf{};
  scoped_blob_buf() { blob_buf_init(&buf, 0); }
  ~scoped_blob_buf() { blob_buf_free(&buf); }
  scoped_blob_buf(const scoped_blob_buf &) = delete;
  scoped_blob_buf &operator=(const scoped_blob_buf &) = delete;
  blob_attr *first() const {
    return blob_len(buf.head) >= sizeof(blob_attr) ? static_cast<blob_attr *>(blob_data(buf.head))
                                                   : nullptr;
  }
};

// Walks the attributes packed in [data, data + len), stopping at the first
// one whose header or padded length does not fit.
struct attr_walk {
  const char *pos;
  size_t remaining;

  attr_walk(const void *data, size_t len) : pos(static_cast<const char *>(data)), remaining(len) {}
  blob_attr *next() {
    if (remaining < sizeof(blob_attr)) return nullptr;
    auto *attr = reinterpret_cast<blob_attr *>(const_cast<char *>(pos));
    size_t padded = blob_pad_len(attr);
    if (blob_raw_len(attr) < sizeof(blob_attr) || padded > remaining) return nullptr;
    pos += padded;
    remaining -= padded;
    return attr;
  }
};

bool valid_blobmsg(const blob_attr *attr, bool named) {
  return blob_is_extended(attr) && blobmsg_check_attr(const_cast<blob_attr *>(attr), named);
}

// The first byte of a value, read as a boolean.
bool first_byte_set(const blob_attr *attr) {
  return blobmsg_data_len(attr) > 0 && *static_cast<const uint8_t *>(blobmsg_data(attr)) != 0;
}

double blob_double(const blob_attr *attr) {
  uint64_t bits = blobmsg_get_u64(const_cast<blob_attr *>(attr));
  double value;
  memcpy(&value, &bits, sizeof value);
  return value;
}

bool has_type_and_size(const blob_attr *attr, int type, size_t size) {
  return blobmsg_type(attr) == type && blobmsg_data_len(attr) >= size;
}

// A double narrowed to float, or a 32-bit integer; false for anything else.
bool read_measurement(const blob_attr *attr, float *out) {
  if (has_type_and_size(attr, BLOBMSG_TYPE_DOUBLE, 8)) {
    *out = static_cast<float>(blob_double(attr));
    return true;
  }
  if (has_type_and_size(attr, BLOBMSG_TYPE_INT32, 4)) {
    *out = static_cast<float>(static_cast<int32_t>(blobmsg_get_u32(const_cast<blob_attr *>(attr))));
    return true;
  }
  return false;
}

// Power factor as published in percent: double, unsigned 32-bit, else 0.
float read_power_factor(const blob_attr *attr) {
  float percent = 0;
  if (has_type_and_size(attr, BLOBMSG_TYPE_DOUBLE, 8))
    percent = static_cast<float>(blob_double(attr));
  else if (has_type_and_size(attr, BLOBMSG_TYPE_INT32, 4))
    percent = static_cast<float>(blobmsg_get_u32(const_cast<blob_attr *>(attr)));
  return percent / 100;
}

constexpr bool passes_unescaped(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ',' ||
         c == '-' || c == '@' || c == '_';
}

// Appends `text` escaped; returns false when it does not fit (with its zero).
bool append_escaped(char *out, size_t size, size_t *len, std::string_view text) {
  static constexpr char hex[] = "0123456789ABCDEF";
  for (unsigned char c : text) {
    size_t need = passes_unescaped(c) ? 1 : 3;
    if (*len + need >= size) return false;
    if (need == 1) {
      out[(*len)++] = static_cast<char>(c);
    } else {
      out[(*len)++] = '=';
      out[(*len)++] = hex[c >> 4];
      out[(*len)++] = hex[c & 15];
    }
  }
  out[*len] = 0;
  return true;
}

// Number of child elements of a list, up to the first malformed one.
int count_elements(const blob_attr *list) {
  attr_walk walk(blobmsg_data(list), blobmsg_data_len(list));
  int count = 0;
  while (walk.next()) ++count;
  return count;
}

// "<base><infix><encoded key>" on the heap, or null.
char *item_path(const char *base, const char *infix, const blob_attr *key) {
  size_t base_len = strlen(base), infix_len = strlen(infix);
  size_t size = base_len + key_segment_size(key) + infix_len + 1;
  char *path = static_cast<char *>(malloc(size));
  if (!path) return nullptr;
  memcpy(path, base, base_len);
  memcpy(path + base_len, infix, infix_len);
  if (encode_key_segment(path + base_len + infix_len, size - base_len - infix_len, key) < 0) {
    free(path);
    return nullptr;
  }
  return path;
}

struct reply_filter {
  const char *wanted;
  blob_buf *out;
  bool found;
};

// One reply handler for all calls: copies the wanted top-level field.
void on_reply(ubus_request *req, int, blob_attr *msg) {
  auto *filter = static_cast<reply_filter *>(req->priv);
  if (!msg || !filter->wanted) return;
  attr_walk walk(blob_data(msg), blob_len(msg));
  while (blob_attr *attr = walk.next()) {
    if (!valid_blobmsg(attr, true) || strcmp(blobmsg_name(attr), filter->wanted) != 0) continue;
    filter->found = true;
    if (filter->out)
      blobmsg_add_field(filter->out, blobmsg_type(attr), blobmsg_name(attr), blobmsg_data(attr),
                        blobmsg_data_len(attr));
  }
}

void start_message(blob_buf *msg, const object_handle *handle) {
  blobmsg_add_field(msg, BLOBMSG_TYPE_STRING, "cred", handle->cred,
                    static_cast<unsigned int>(handle->cred_len));
}

bool invoke(object_handle *handle, const char *method, blob_buf *msg, reply_filter *filter) {
  handle->status = ubus_invoke_fd(handle->ctx, handle->id, method, msg->head, on_reply, filter,
                                  call_timeout_ms, -1);
  return filter->found;
}

// One line for a read that failed while the relay or meter was being
// opened: the object, the call and the bus status.
void report_read(const char *path, const char *call, const char *key, int status) {
  if (!report_failed_reads) return;
  fprintf(stderr, "%s: %s%s%s failed: %s (%d)\n", path, call, key ? " of " : "", key ? key : "",
          ubus_strerror(status), status);
}

// Looks `path` up, reporting a failure.
object_handle *lookup_reported(ubus_context *ctx, const char *path) {
  int status = 0;
  object_handle *handle = lookup_object(ctx, nullptr, path, &status);
  if (!handle) report_read(path, "lookup", nullptr, status ? status : UBUS_STATUS_NO_MEMORY);
  return handle;
}

// A "get" of `key` from the object at `path`, reporting a failed call;
// a reply without "value" is not a failure here.
bool get_reported(object_handle *handle, const char *path, const char *key, blob_buf *out) {
  bool found = object_get(handle, key, out);
  if (handle->status != UBUS_STATUS_OK) report_read(path, "get", key, handle->status);
  return found;
}

// The first two attributes of a notification: the changed key (a string)
// and its new value.
bool split_notification(blob_attr *msg, const char **key, blob_attr **value) {
  if (!msg) return false;
  attr_walk walk(blob_data(msg), blob_len(msg));
  blob_attr *first = walk.next();
  blob_attr *second = first ? walk.next() : nullptr;
  if (!second || !valid_blobmsg(first, false) || !valid_blobmsg(second, false)) return false;
  if (blobmsg_type(first) != BLOBMSG_TYPE_STRING) return false;
  *key = blobmsg_get_string(first);
  *value = second;
  return true;
}

ubus_subscriber *subscriber_of(ubus_object *obj) { return container_of(obj, ubus_subscriber, obj); }

bool registered(const ubus_subscriber &sub) { return sub.obj.id != 0; }

void on_target_removed(ubus_context *, ubus_subscriber *, uint32_t) {
  if (device_object_removed) device_object_removed();
}

// Registers the subscriber once, then subscribes it to `id`.
void watch_object(ubus_context *ctx, ubus_subscriber *sub, ubus_handler_t cb, uint32_t id) {
  if (!registered(*sub)) {
    sub->cb = cb;
    sub->remove_cb = on_target_removed;
    if (ubus_register_subscriber(ctx, sub) != 0) return;
  }
  ubus_subscribe(ctx, sub, id);
}

}  // namespace

// ---------------------------------------------------------------- models

struct outlet_record {
  ubus_subscriber subscriber;
  relay_handle *relay;
  char *path;
  int index;
  bool transient_state;
  bool physical_state;
};

struct relay_handle {
  ubus_context *ctx;
  int count;
  outlet_record *outlets;
  device_ops *ops;
};

enum class bus_slot { current, voltage, power_factor };

struct bus_record {
  float current;
  float voltage;
  float power_factor;
  ubus_subscriber subscribers[3];  // current, voltage, power factor
  meter_handle *meter;
  int index;
};

// Bus records are allocated one by one: their subscribers are linked into
// the ubus context, so growing the list must never move them.
struct meter_handle {
  ubus_context *ctx;
  int count;
  bus_record **buses;
  device_ops *ops;
};

extern "C" {

bool report_failed_reads = true;
void (*device_object_removed)(void) = nullptr;

size_t key_segment_size(const blob_attr *key) {
  if (!valid_blobmsg(key, false)) return 0;
  switch (blobmsg_type(key)) {
    case BLOBMSG_TYPE_STRING: {
      size_t len = strlen(blobmsg_get_string(const_cast<blob_attr *>(key)));
      return len ? 3 * len : 1;
    }
    case BLOBMSG_TYPE_INT64:
    case BLOBMSG_TYPE_INT32:
    case BLOBMSG_TYPE_INT16:
    case BLOBMSG_TYPE_DOUBLE:
      return 96;
    case BLOBMSG_TYPE_BOOL:
      return 2;
    default:
      return 0;
  }
}

int encode_key_segment(char *out, size_t size, const blob_attr *key) {
  if (size == 0) return -1;
  out[0] = 0;
  size_t len = 0;
  if (!valid_blobmsg(key, false)) return 0;
  auto *attr = const_cast<blob_attr *>(key);
  char number[32];
  switch (blobmsg_type(key)) {
    case BLOBMSG_TYPE_STRING: {
      std::string_view text = blobmsg_get_string(attr);
      if (!text.empty()) return append_escaped(out, size, &len, text) ? static_cast<int>(len) : -1;
      if (size < 2) return -1;
      memcpy(out, "=", 2);
      return 1;
    }
    case BLOBMSG_TYPE_INT64:
      snprintf(number, sizeof number, "%llu",
               static_cast<unsigned long long>(blobmsg_get_u64(attr)));
      break;
    case BLOBMSG_TYPE_INT32:
      snprintf(number, sizeof number, "%d", static_cast<int32_t>(blobmsg_get_u32(attr)));
      break;
    case BLOBMSG_TYPE_INT16:
      snprintf(number, sizeof number, "%d", static_cast<int>(blobmsg_get_u16(attr)));
      break;
    case BLOBMSG_TYPE_BOOL:
      if (size < 3) return -1;
      memcpy(out, blobmsg_get_u8(attr) ? "#t" : "#f", 3);
      return 2;
    case BLOBMSG_TYPE_DOUBLE:
      snprintf(number, sizeof number, "%.17g", blob_double(attr));
      break;
    default:
      return 0;
  }
  if (size < 2) return -1;
  out[len++] = '#';
  out[len] = 0;
  return append_escaped(out, size, &len, number) ? static_cast<int>(len) : -1;
}

object_handle *lookup_object(ubus_context *ctx, const char *requester_address, const char *path,
                             int *status) {
  uint32_t id;
  int found = ubus_lookup_id(ctx, path, &id);
  if (status) *status = found;
  if (found != 0) return nullptr;

  scoped_blob_buf cred;
  blobmsg_add_string(&cred.buf, "agent", "snmp");
  blobmsg_add_u8(&cred.buf, "is_admin", 1);
  if (requester_address) blobmsg_add_string(&cred.buf, "ip_address", requester_address);
  blobmsg_add_u8(&cred.buf, "outlet_access", 1);

  size_t len = blob_len(cred.buf.head);
  auto *handle = static_cast<object_handle *>(calloc(1, sizeof(object_handle)));
  char *copy = static_cast<char *>(malloc(len + 1));
  if (!handle || !copy) {
    free(handle);
    free(copy);
    return nullptr;
  }
  memcpy(copy, blob_data(cred.buf.head), len);
  copy[len] = 0;
  handle->ctx = ctx;
  handle->cred = copy;
  handle->cred_len = len + 1;
  handle->id = id;
  return handle;
}

void free_object_handle(object_handle *handle) {
  if (!handle) return;
  free(handle->cred);
  free(handle);
}

bool object_keys(object_handle *handle, blob_buf *out) {
  scoped_blob_buf msg;
  start_message(&msg.buf, handle);
  void *args = blobmsg_open_array(&msg.buf, "args");
  blobmsg_close_array(&msg.buf, args);
  reply_filter filter{"keys", out, false};
  return invoke(handle, "keys", &msg.buf, &filter);
}

bool object_get(object_handle *handle, const char *key, blob_buf *out) {
  scoped_blob_buf msg;
  start_message(&msg.buf, handle);
  blobmsg_add_string(&msg.buf, "key", key);
  blobmsg_add_u8(&msg.buf, "attr", 0);
  reply_filter filter{"value", out, false};
  return invoke(handle, "get", &msg.buf, &filter);
}

void object_set(object_handle *handle, const char *key, blob_buf *message) {
  start_message(message, handle);
  blobmsg_add_string(message, "key", key);
  reply_filter filter{nullptr, nullptr, false};
  invoke(handle, "set", message, &filter);
}

}  // extern "C"

// ----------------------------------------------------------------- relay

namespace {

// Reads one boolean key of an outlet; a key that is not found reads false.
bool read_outlet_flag(object_handle *handle, const char *path, const char *key) {
  scoped_blob_buf value;
  if (!get_reported(handle, path, key, &value.buf)) return false;
  blob_attr *attr = value.first();
  return attr && first_byte_set(attr);
}

int outlet_notified(ubus_context *, ubus_object *obj, ubus_request_data *, const char *,
                    blob_attr *msg) {
  auto *rec = container_of(subscriber_of(obj), outlet_record, subscriber);
  const char *key;
  blob_attr *value;
  if (!split_notification(msg, &key, &value)) return 0;

  bool *cached;
  if (strcmp(key, "transient_state") == 0)
    cached = &rec->transient_state;
  else if (strcmp(key, "physical_state") == 0)
    cached = &rec->physical_state;
  else
    return 0;
  bool state = first_byte_set(value);
  if (state == *cached) return 0;
  *cached = state;

  device_ops *ops = rec->relay->ops;
  if (ops->outlet_state_changed)
    ops->outlet_state_changed(ops->outlet_listener, rec->index, rec->physical_state,
                              rec->transient_state, unknown_reason);
  return 0;
}

// Frees the first `upto` outlet records; `unsubscribe` also takes their
// subscribers off the bus (only while the connection is up).
void release_outlets(relay_handle *relay, int upto, bool unsubscribe) {
  for (int i = 0; i < upto; ++i) {
    outlet_record &rec = relay->outlets[i];
    free(rec.path);
    if (unsubscribe && registered(rec.subscriber))
      ubus_remove_object(relay->ctx, &rec.subscriber.obj);
  }
  free(relay->outlets);
}

// Sets up outlet `i` from its key; false when the outlet cannot be reached.
bool open_outlet(relay_handle *relay, const char *relay_path, int i, const blob_attr *key) {
  char *path = item_path(relay_path, ".outlets.", key);
  if (!path) return false;
  object_handle *handle = lookup_reported(relay->ctx, path);
  if (!handle) {
    free(path);
    return false;
  }
  outlet_record &rec = relay->outlets[i];
  rec.index = i;
  rec.relay = relay;
  rec.path = path;
  watch_object(relay->ctx, &rec.subscriber, outlet_notified, handle->id);
  rec.transient_state = read_outlet_flag(handle, path, "transient_state");
  rec.physical_state = read_outlet_flag(handle, path, "physical_state");
  free_object_handle(handle);
  return true;
}

}  // namespace

extern "C" {

relay_handle *open_relay(ubus_context *ctx, const char *relay_path, device_ops *ops) {
  auto *relay = static_cast<relay_handle *>(calloc(1, sizeof(relay_handle)));
  if (!relay) return nullptr;
  relay->ctx = ctx;
  relay->ops = ops;

  char list_path[list_path_size];
  snprintf(list_path, sizeof list_path, "%s.%s", relay_path, "outlets");
  object_handle *list = lookup_reported(ctx, list_path);
  if (!list) {
    free(relay);
    return nullptr;
  }
  scoped_blob_buf keys;
  bool has_keys = object_keys(list, &keys.buf);
  if (list->status != UBUS_STATUS_OK) report_read(list_path, "keys", nullptr, list->status);
  free_object_handle(list);

  blob_attr *key_list = has_keys ? keys.first() : nullptr;
  int count = key_list ? count_elements(key_list) : 0;
  if (count > 0) {
    relay->outlets = static_cast<outlet_record *>(calloc(count, sizeof(outlet_record)));
    if (!relay->outlets) {
      free(relay);
      return nullptr;
    }
    attr_walk walk(blobmsg_data(key_list), blobmsg_data_len(key_list));
    for (int i = 0; i < count; ++i) {
      if (!open_outlet(relay, relay_path, i, walk.next())) {
        release_outlets(relay, i, true);
        free(relay);
        return nullptr;
      }
    }
  }
  relay->count = count;
  if (count == 0 && report_failed_reads) fprintf(stderr, "%s: no outlets\n", list_path);

  ops->relay = relay;
  ops->reachable_relay = relay;
  ops->enumerate_outlets = enumerate_outlets;
  ops->set_outlet_transient = set_outlet_transient;
  return relay;
}

void close_relay(relay_handle *relay) {
  if (!relay) return;
  release_outlets(relay, relay->count, true);
  free(relay);
}

void discard_relay(relay_handle *relay) {
  if (!relay) return;
  release_outlets(relay, relay->count, false);
  free(relay);
}

int enumerate_outlets(void *relay_data, outlet_visitor visit, void *data) {
  auto *relay = static_cast<relay_handle *>(relay_data);
  for (int i = 0; i < relay->count; ++i) {
    const outlet_record &rec = relay->outlets[i];
    visit(data, i, rec.physical_state, rec.transient_state, unknown_reason);
  }
  return relay->count;
}

int set_outlet_transient(void *relay_data, const char *requester_address, int index, bool value,
                         const char *) {
  auto *relay = static_cast<relay_handle *>(relay_data);
  if (index < 0 || index >= relay->count) return UBUS_STATUS_NOT_FOUND;
  int status = 0;
  object_handle *handle =
      lookup_object(relay->ctx, requester_address, relay->outlets[index].path, &status);
  if (!handle) return status ? status : UBUS_STATUS_NO_MEMORY;
  scoped_blob_buf msg;
  blobmsg_add_u8(&msg.buf, "value", value ? 1 : 0);
  object_set(handle, "transient_state", &msg.buf);
  status = handle->status;
  free_object_handle(handle);
  return status;
}

}  // extern "C"

// ----------------------------------------------------------------- meter

namespace {

float bus_power(const bus_record &bus) { return bus.current * bus.voltage * bus.power_factor; }

template <bus_slot slot>
int bus_notified(ubus_context *, ubus_object *obj, ubus_request_data *, const char *,
                 blob_attr *msg) {
  constexpr int n = static_cast<int>(slot);
  // the subscriber is element n of the record's array
  auto *bus = container_of(subscriber_of(obj) - n, bus_record, subscribers[0]);
  const char *key;
  blob_attr *value;
  if (!split_notification(msg, &key, &value)) return 0;
  if (slot == bus_slot::power_factor) {
    if (strcmp(key, "power_factor_percent") != 0) return 0;
    bus->power_factor = read_power_factor(value);
  } else {
    if (strcmp(key, "value") != 0) return 0;
    float reading;
    if (!read_measurement(value, &reading)) return 0;
    (slot == bus_slot::current ? bus->current : bus->voltage) = reading;
  }
  // the bus rows follow the meter
  device_ops *ops = bus->meter->ops;
  if (ops->bus_power_changed)
    ops->bus_power_changed(ops->bus_listener, bus->index, bus_power(*bus));
  return 0;
}

constexpr ubus_handler_t bus_handlers[3] = {bus_notified<bus_slot::current>,
                                            bus_notified<bus_slot::voltage>,
                                            bus_notified<bus_slot::power_factor>};

void release_buses(meter_handle *meter, bool unsubscribe) {
  for (int i = 0; i < meter->count; ++i) {
    bus_record *bus = meter->buses[i];
    if (!bus) continue;
    for (ubus_subscriber &sub : bus->subscribers)
      if (unsubscribe && registered(sub)) ubus_remove_object(meter->ctx, &sub.obj);
    free(bus);
  }
  free(meter->buses);
  meter->buses = nullptr;
  meter->count = 0;
}

// Makes buses 0 .. count-1 exist (zero values, no subscriber yet).
bool grow_buses(meter_handle *meter, int count) {
  if (count <= meter->count) return true;
  auto *grown = static_cast<bus_record **>(realloc(meter->buses, count * sizeof(bus_record *)));
  if (!grown) return false;
  meter->buses = grown;
  for (int i = meter->count; i < count; ++i) {
    grown[i] = static_cast<bus_record *>(calloc(1, sizeof(bus_record)));
    if (!grown[i]) {
      meter->count = i;
      return false;
    }
    grown[i]->meter = meter;
    grown[i]->index = i;
  }
  meter->count = count;
  return true;
}

// Reads the power factor of bus `i` and subscribes to it.
bool open_bus(meter_handle *meter, const char *meter_path, int i, const blob_attr *key) {
  char *path = item_path(meter_path, ".buses.", key);
  if (!path) return false;
  object_handle *handle = lookup_reported(meter->ctx, path);
  if (!handle) {
    free(path);
    return false;
  }
  scoped_blob_buf value;
  bool found = get_reported(handle, path, "power_factor_percent", &value.buf);
  free(path);
  blob_attr *attr = found ? value.first() : nullptr;
  if (attr) {
    bus_record *bus = meter->buses[i];
    bus->power_factor = read_power_factor(attr);
    int slot = static_cast<int>(bus_slot::power_factor);
    watch_object(meter->ctx, &bus->subscribers[slot], bus_handlers[slot], handle->id);
  }
  free_object_handle(handle);
  return attr != nullptr;
}

// Reads one value object; false only when it cannot be reached. Values of
// an unexpected shape are skipped.
bool open_value(meter_handle *meter, const char *meter_path, const blob_attr *key) {
  char *path = item_path(meter_path, ".values.", key);
  if (!path) return false;
  object_handle *handle = lookup_reported(meter->ctx, path);
  if (!handle) {
    free(path);
    return false;
  }

  bool ok = true;
  do {
    scoped_blob_buf bus_field, name_field, value_field;
    blob_attr *attr;
    if (!get_reported(handle, path, "bus", &bus_field.buf) || !(attr = bus_field.first()) ||
        !has_type_and_size(attr, BLOBMSG_TYPE_INT32, 4))
      break;
    int b = static_cast<int32_t>(blobmsg_get_u32(attr));
    // a bus beyond the list may be added, but not without bound: each one
    // costs a record, and the number comes from another program
    if (b < 0 || (b >= meter->count && b >= max_added_bus_count)) break;
    if (!grow_buses(meter, b + 1)) {
      ok = false;
      break;
    }
    if (!get_reported(handle, path, "name", &name_field.buf) || !(attr = name_field.first()) ||
        blobmsg_type(attr) != BLOBMSG_TYPE_STRING)
      break;
    bus_slot slot;
    if (strcmp(blobmsg_get_string(attr), "current") == 0)
      slot = bus_slot::current;
    else if (strcmp(blobmsg_get_string(attr), "voltage") == 0)
      slot = bus_slot::voltage;
    else
      break;
    float reading;
    if (!get_reported(handle, path, "value", &value_field.buf) || !(attr = value_field.first()) ||
        !read_measurement(attr, &reading))
      break;
    bus_record *bus = meter->buses[b];
    (slot == bus_slot::current ? bus->current : bus->voltage) = reading;
    int n = static_cast<int>(slot);
    watch_object(meter->ctx, &bus->subscribers[n], bus_handlers[n], handle->id);
  } while (false);
  free_object_handle(handle);
  free(path);
  return ok;
}

// Fetches the "keys" list of `<meter_path>.<list>` into `out`.
blob_attr *list_keys(ubus_context *ctx, const char *meter_path, const char *list,
                     scoped_blob_buf *out, bool *reached) {
  char list_path[list_path_size];
  snprintf(list_path, sizeof list_path, "%s.%s", meter_path, list);
  object_handle *handle = lookup_reported(ctx, list_path);
  *reached = handle != nullptr;
  if (!handle) return nullptr;
  bool found = object_keys(handle, &out->buf);
  if (handle->status != UBUS_STATUS_OK) report_read(list_path, "keys", nullptr, handle->status);
  free_object_handle(handle);
  return found ? out->first() : nullptr;
}

bool fill_meter(meter_handle *meter, const char *meter_path) {
  bool reached;
  scoped_blob_buf bus_keys;
  blob_attr *buses = list_keys(meter->ctx, meter_path, "buses", &bus_keys, &reached);
  if (!reached) return false;
  if (buses && !grow_buses(meter, count_elements(buses))) return false;
  if (buses) {
    attr_walk walk(blobmsg_data(buses), blobmsg_data_len(buses));
    for (int i = 0; i < meter->count; ++i)
      if (!open_bus(meter, meter_path, i, walk.next())) return false;
  }

  scoped_blob_buf value_keys;
  blob_attr *values = list_keys(meter->ctx, meter_path, "values", &value_keys, &reached);
  if (!values) return false;
  attr_walk walk(blobmsg_data(values), blobmsg_data_len(values));
  while (blob_attr *key = walk.next())
    if (!open_value(meter, meter_path, key)) return false;
  return true;
}

}  // namespace

extern "C" {

meter_handle *open_meter(ubus_context *ctx, const char *meter_path, device_ops *ops) {
  auto *meter = static_cast<meter_handle *>(calloc(1, sizeof(meter_handle)));
  if (!meter) return nullptr;
  meter->ctx = ctx;
  meter->ops = ops;
  if (!fill_meter(meter, meter_path)) {
    release_buses(meter, true);
    free(meter);
    return nullptr;
  }
  ops->meter = meter;
  ops->enumerate_buses = enumerate_buses;
  return meter;
}

void close_meter(meter_handle *meter) {
  if (!meter) return;
  release_buses(meter, true);
  free(meter);
}

void discard_meter(meter_handle *meter) {
  if (!meter) return;
  release_buses(meter, false);
  free(meter);
}

int enumerate_buses(void *meter_data, bus_visitor visit, void *data) {
  auto *meter = static_cast<meter_handle *>(meter_data);
  for (int i = 0; i < meter->count; ++i)
    visit(data, i, bus_power(*meter->buses[i]), bus_nameplate_watts, bus_accuracy);
  return meter->count;
}

}  // extern "C"
