// SPDX-License-Identifier: ISC
// The subagent's model of the power switch: the relay object (outlets) and
// the meter object (buses), read and written over ubus, and the table of
// handles and callbacks through which the MIB side reaches it.
#pragma once

#include <stddef.h>
#include <stdint.h>

struct ubus_context;
struct blob_attr;

extern "C" {

// Visitors of the two enumerations; indexes are 0-based positions.
typedef void (*outlet_visitor)(void *data, int index, bool physical_state, bool transient_state,
                               const char *reason);
typedef void (*bus_visitor)(void *data, int index, float power, float nameplate_power,
                            float accuracy);

// Twelve word-sized slots shared by the device model and the MIB side; the
// process owns it and zeroes it before anything fills it in.
struct device_ops {
  void *relay;                                                              // 0
  int (*enumerate_outlets)(void *relay, outlet_visitor visit, void *data);  // 1
  void *reachable_relay;  // 2: the relay while the bus is up, else null
  // Returns the bus status of the "set" (0 when the relay took it).
  int (*set_outlet_transient)(void *relay, const char *requester_address, int index, bool value,
                              const char *source);  // 3
  void *outlet_listener;                            // 4
  void (*outlet_state_changed)(void *data, int index, bool physical_state, bool transient_state,
                               const char *reason);                    // 5
  void *meter;                                                         // 6
  int (*enumerate_buses)(void *meter, bus_visitor visit, void *data);  // 7
  void *bus_listener;                                                  // 8
  void (*bus_power_changed)(void *data, int index, float power);       // 9
  void *mib_context;                                                   // 10
  void (*free_mib_context)(void *mib_context);                         // 11
};
static_assert(sizeof(device_ops) == 12 * sizeof(void *), "device_ops is twelve words");

// A looked-up object and the credential block sent with every call to it.
struct object_handle {
  ubus_context *ctx;
  char *cred;
  size_t cred_len;
  uint32_t id;
  int status;  // bus status of the last call made through the handle
};

// Key segments of object paths.
size_t key_segment_size(const blob_attr *key);
// Writes the segment and a terminating zero into `out` (room for `size`
// bytes); returns the segment length, or -1 when it does not fit.
int encode_key_segment(char *out, size_t size, const blob_attr *key);

// Null when the path does not resolve; `status` (may be null) gets the
// lookup's bus status.
object_handle *lookup_object(ubus_context *ctx, const char *requester_address, const char *path,
                             int *status = nullptr);
void free_object_handle(object_handle *handle);
// Copies the reply field "keys" / "value" into `out`; true when it was found.
bool object_keys(object_handle *handle, struct blob_buf *out);
bool object_get(object_handle *handle, const char *key, struct blob_buf *out);
// `message` already holds "value"; "cred" and "key" are appended.
void object_set(object_handle *handle, const char *key, struct blob_buf *message);

struct relay_handle;
struct meter_handle;

relay_handle *open_relay(ubus_context *ctx, const char *relay_path, device_ops *ops);
// Unsubscribes from the relay's objects and frees the handle.
void close_relay(relay_handle *relay);
// Frees the handle without a word on the bus: for a connection that is gone.
void discard_relay(relay_handle *relay);
meter_handle *open_meter(ubus_context *ctx, const char *meter_path, device_ops *ops);
void close_meter(meter_handle *meter);
void discard_meter(meter_handle *meter);

// Called (when set) from within the bus library when an object the relay
// or meter handles subscribe to leaves the bus: the handles are stale and
// must be opened again, later, outside the callback.
extern void (*device_object_removed)(void);

// Whether reads that fail while opening the relay or meter are logged, one
// line each on standard error (on by default).
extern bool report_failed_reads;

int enumerate_outlets(void *relay, outlet_visitor visit, void *data);
int set_outlet_transient(void *relay, const char *requester_address, int index, bool value,
                         const char *source);
int enumerate_buses(void *meter, bus_visitor visit, void *data);

}  // extern "C"
