// SPDX-License-Identifier: ISC
// Test-side helpers around the simulated power switch: a private bus
// daemon on the default socket, powersim itself, and a small bus client
// that speaks JSON (calls, replies, notifications).
#pragma once

#include <json-c/json.h>

#include <string>
#include <vector>

#include "testkit.h"

struct ubus_context;
struct ubus_object;
struct ubus_request_data;
struct blob_attr;

namespace simrig {

constexpr const char *bus_socket = "/var/run/ubus/ubus.sock";

// ubusd on /var/run/ubus/ubus.sock, inside a private tmpfs on /var/run/ubus.
bool start_ubusd(testkit::Child *daemon);
// powersim with `args` on the default socket; waits for its ready line.
bool start_powersim(testkit::Child *sim, const std::vector<std::string> &args);

// A parsed JSON value, released on destruction.
class Json {
 public:
  explicit Json(json_object *obj = nullptr) : obj_(obj) {}
  ~Json() { json_object_put(obj_); }
  Json(Json &&other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
  Json &operator=(Json &&other) noexcept;
  Json(const Json &) = delete;
  Json &operator=(const Json &) = delete;

  static Json parse(const std::string &text);
  json_object *get() const { return obj_; }
  // Member or element by path "a.b.0.c"; null when missing.
  json_object *at(const std::string &path) const;
  std::string text() const;

 private:
  json_object *obj_;
};

// One client connection, driven synchronously by the test.
class BusClient {
 public:
  BusClient();
  ~BusClient();
  BusClient(const BusClient &) = delete;
  BusClient &operator=(const BusClient &) = delete;

  bool connected() const { return ctx_ != nullptr; }
  bool has_object(const std::string &path);
  // Calls `method` of `path` with the JSON object `args`; returns the ubus
  // status, the reply (merged, as JSON) in `reply`.
  int call(const std::string &path, const std::string &method, const std::string &args,
           Json *reply = nullptr, int timeout_ms = 3000);
  // The same with a message built by the caller (a blob_buf head).
  int call_blob(const std::string &path, const std::string &method, blob_attr *msg,
                Json *reply = nullptr, int timeout_ms = 3000);
  // Subscribes to `path`; notifications are collected as JSON text.
  bool subscribe(const std::string &path);
  // Runs the loop until `count` notifications have arrived or time is up.
  bool wait_notifications(size_t count, int timeout_ms = 3000);
  const std::vector<std::string> &notifications() const { return notifications_; }

 private:
  struct subscription;
  static int on_notification(ubus_context *ctx, ubus_object *obj, ubus_request_data *req,
                             const char *method, blob_attr *msg);
  ubus_context *ctx_ = nullptr;
  std::vector<subscription *> subscriptions_;
  std::vector<std::string> notifications_;
};

}  // namespace simrig
