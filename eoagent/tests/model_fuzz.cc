// SPDX-License-Identifier: ISC
// The device model against a bus that answers with fuzz bytes: every reply
// to "keys" and "get", every notification, and the outcome of each lookup
// and registration come from the input, through the same callbacks the bus
// library calls (the reply handler of a call, the subscriber's handler).
//
// Input, read front to back (0 once it runs out):
//   lookup:     1 byte, 0xff fails the lookup
//   call:       1 byte n, then n % 3 replies, each a 2-byte little-endian
//               length and that many bytes of message payload
//   register:   1 byte, 0xff fails the registration
// The relay "relay" and the meter "meter" are opened first; then, while
// input remains, operations of 1 byte each:
//   % 4 == 0    notification: 2-byte subscriber choice, a reply-like payload
//   % 4 == 1    outlet write: 1-byte index (signed), 1-byte value
//   % 4 == 2    both enumerations
//   % 4 == 3    notification without a message
// Checked besides the sanitizers: every call carries the credential block,
// listeners and visitors see only indexes that exist, every change of an
// outlet reaches the listener, and closing removes every subscriber that
// was registered, once.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <utility>
#include <vector>

extern "C" {
#include <libubox/blobmsg.h>
#include <libubus.h>
#include <ubusmsg.h>
}

#include "device.h"

namespace {

struct Input {
  const uint8_t *data;
  size_t size;

  uint8_t byte() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
  uint16_t word() { return static_cast<uint16_t>(byte() | byte() << 8); }
  // The next length-prefixed piece, clipped to what is left.
  void chunk(const uint8_t **out, size_t *len) {
    size_t want = word();
    *len = std::min(want, size);
    *out = data;
    data += *len;
    size -= *len;
  }
};

Input in;
std::vector<ubus_subscriber *> subscribers;  // registered, oldest first
uint32_t next_id;
int outlet_count, bus_count;
// (physical, transient) of each outlet as the listener last heard it
std::vector<std::pair<bool, bool>> heard;

[[noreturn]] void fail() { __builtin_trap(); }

// A bus-library message around `len` bytes: an attribute of the data type
// whose payload the model has to judge for itself.
blob_attr *wrap(blob_buf *buf, const uint8_t *data, size_t len) {
  blob_buf_init(buf, 0);
  return blob_put(buf, UBUS_ATTR_DATA, data, static_cast<unsigned int>(len));
}

// The message is ours, so well formed: one of its fields is "cred".
bool carries_credentials(blob_attr *msg) {
  if (!msg) return false;
  blob_attr *cur;
  size_t rem;
  blob_for_each_attr(cur, msg, rem) {
    if (blob_is_extended(cur) && blobmsg_type(cur) == BLOBMSG_TYPE_STRING &&
        strcmp(blobmsg_name(cur), "cred") == 0)
      return true;
  }
  return false;
}

void check_outlet_index(int index) {
  if (index < 0 || index >= outlet_count) fail();
}

void outlet_changed(void *, int index, bool physical, bool transient, const char *reason) {
  check_outlet_index(index);
  if (!reason) fail();
  heard[index] = {physical, transient};
}

void bus_changed(void *, int index, float) {
  if (index < 0 || index >= bus_count) fail();
}

struct Visit {
  int next;
  bool first;  // the first enumeration: what the listener starts from
};

// Later enumerations must agree with what the listener was told: no state
// changes without a word to it.
void visit_outlet(void *data, int index, bool physical, bool transient, const char *reason) {
  auto *v = static_cast<Visit *>(data);
  if (index != v->next++ || !reason || strcmp(reason, "unknown") != 0) fail();
  if (v->first)
    heard.emplace_back(physical, transient);
  else if (heard[index] != std::make_pair(physical, transient))
    fail();
}

void visit_bus(void *data, int index, float, float nameplate, float) {
  auto *v = static_cast<Visit *>(data);
  if (index != v->next++ || nameplate != 1200.0f) fail();
}

void notify(ubus_context *ctx, bool with_message) {
  size_t choice = in.word();
  const uint8_t *payload = nullptr;
  size_t len = 0;
  if (with_message) in.chunk(&payload, &len);
  if (subscribers.empty()) return;
  ubus_subscriber *sub = subscribers[choice % subscribers.size()];
  blob_buf buf{};
  blob_attr *msg = with_message ? wrap(&buf, payload, len) : nullptr;
  ubus_request_data req{};
  req.object = sub->obj.id;
  req.fd = req.req_fd = -1;
  if (sub->cb) sub->cb(ctx, &sub->obj, &req, "notify", msg);
  blob_buf_free(&buf);
}

}  // namespace

// ---------------------------------------------------- the bus, from input

extern "C" {

const char *ubus_strerror(int) { return "fuzzed status"; }

int ubus_lookup_id(ubus_context *, const char *path, uint32_t *id) {
  if (!path) fail();
  if (in.byte() == 0xff) return UBUS_STATUS_NOT_FOUND;
  *id = ++next_id;
  return 0;
}

int ubus_invoke_fd(ubus_context *ctx, uint32_t, const char *method, blob_attr *msg,
                   ubus_data_handler_t cb, void *priv, int, int fd) {
  if (fd != -1 || !method) fail();
  if (strcmp(method, "keys") != 0 && strcmp(method, "get") != 0 && strcmp(method, "set") != 0)
    fail();
  if (!carries_credentials(msg)) fail();
  int replies = in.byte() % 3;
  for (int i = 0; i < replies; ++i) {
    const uint8_t *payload;
    size_t len;
    in.chunk(&payload, &len);
    blob_buf buf{};
    blob_attr *data = wrap(&buf, payload, len);
    ubus_request req{};
    req.ctx = ctx;
    req.priv = priv;
    req.fd = -1;
    if (cb) cb(&req, UBUS_MSG_DATA, data);
    blob_buf_free(&buf);
  }
  return 0;
}

int ubus_register_subscriber(ubus_context *, ubus_subscriber *sub) {
  if (sub->obj.id != 0) fail();  // registered twice
  if (in.byte() == 0xff) return UBUS_STATUS_UNKNOWN_ERROR;
  sub->obj.id = ++next_id;
  subscribers.push_back(sub);
  return 0;
}

int ubus_subscribe(ubus_context *, ubus_subscriber *sub, uint32_t) {
  if (std::find(subscribers.begin(), subscribers.end(), sub) == subscribers.end()) fail();
  return 0;
}

int ubus_remove_object(ubus_context *, ubus_object *obj) {
  auto it = std::find_if(subscribers.begin(), subscribers.end(),
                         [obj](ubus_subscriber *sub) { return &sub->obj == obj; });
  if (it == subscribers.end()) fail();  // never registered, or removed before
  subscribers.erase(it);
  return 0;
}

int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  in = Input{data, size};
  subscribers.clear();
  next_id = 0;
  outlet_count = bus_count = 0;

  ubus_context ctx{};
  device_ops ops{};
  relay_handle *relay = open_relay(&ctx, "relay", &ops);
  size_t relay_subscribers = subscribers.size();
  meter_handle *meter = open_meter(&ctx, "meter", &ops);
  if (!relay && relay_subscribers != 0) fail();  // a failed open leaves nothing behind
  if (!meter && subscribers.size() != relay_subscribers) fail();
  ops.outlet_state_changed = outlet_changed;
  ops.bus_power_changed = bus_changed;
  heard.clear();
  Visit visit{0, true};
  if (relay) outlet_count = enumerate_outlets(relay, visit_outlet, &visit);
  if (visit.next != outlet_count) fail();
  visit = Visit{0, false};
  if (meter) bus_count = enumerate_buses(meter, visit_bus, &visit);
  if (visit.next != bus_count) fail();

  while (in.size > 0) {
    switch (in.byte() % 4) {
      case 0:
        notify(&ctx, true);
        break;
      case 1: {
        int index = static_cast<int8_t>(in.byte());
        bool value = in.byte() & 1;
        if (relay)
          set_outlet_transient(relay, index & 1 ? "192.0.2.7" : nullptr, index, value, "x");
        break;
      }
      case 2:
        visit = Visit{0, false};
        if (relay && enumerate_outlets(relay, visit_outlet, &visit) != outlet_count) fail();
        visit = Visit{0, false};
        if (meter && enumerate_buses(meter, visit_bus, &visit) != bus_count) fail();
        break;
      default:
        notify(&ctx, false);
    }
  }

  close_meter(meter);
  close_relay(relay);
  if (!subscribers.empty()) fail();  // a subscriber outlived its record
  return 0;
}

}  // extern "C"
