// SPDX-License-Identifier: ISC
#include "simrig.h"

#include <string.h>
#include <unistd.h>

#include <functional>

extern "C" {
#include <libubox/blobmsg.h>
#include <libubox/uloop.h>
#include <libubus.h>
}

namespace simrig {

namespace {

void add_json(blob_buf *buf, const char *name, json_object *value);

void add_members(blob_buf *buf, json_object *obj) {
  json_object_object_foreach(obj, key, val) add_json(buf, key, val);
}

void add_json(blob_buf *buf, const char *name, json_object *value) {
  switch (json_object_get_type(value)) {
    case json_type_object: {
      void *c = blobmsg_open_table(buf, name);
      add_members(buf, value);
      blobmsg_close_table(buf, c);
      break;
    }
    case json_type_array: {
      void *c = blobmsg_open_array(buf, name);
      for (size_t i = 0; i < json_object_array_length(value); ++i)
        add_json(buf, "", json_object_array_get_idx(value, i));
      blobmsg_close_array(buf, c);
      break;
    }
    case json_type_boolean:
      blobmsg_add_u8(buf, name, json_object_get_boolean(value));
      break;
    case json_type_int: {
      int64_t n = json_object_get_int64(value);
      if (n >= INT32_MIN && n <= INT32_MAX)
        blobmsg_add_u32(buf, name, static_cast<uint32_t>(n));
      else
        blobmsg_add_u64(buf, name, static_cast<uint64_t>(n));
      break;
    }
    case json_type_double:
      blobmsg_add_double(buf, name, json_object_get_double(value));
      break;
    case json_type_string:
      blobmsg_add_string(buf, name, json_object_get_string(value));
      break;
    default:
      break;
  }
}

json_object *to_json(blob_attr *attr);

json_object *list_to_json(blob_attr *attr, bool array) {
  json_object *out = array ? json_object_new_array() : json_object_new_object();
  blob_attr *cur;
  size_t rem;
  blobmsg_for_each_attr(cur, attr, rem) {
    if (array)
      json_object_array_add(out, to_json(cur));
    else
      json_object_object_add(out, blobmsg_name(cur), to_json(cur));
  }
  return out;
}

json_object *to_json(blob_attr *attr) {
  switch (blobmsg_type(attr)) {
    case BLOBMSG_TYPE_TABLE:
      return list_to_json(attr, false);
    case BLOBMSG_TYPE_ARRAY:
      return list_to_json(attr, true);
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

// Fields of a message as one JSON object, with the blobmsg type of each
// field kept under "<name>:type" for tests that care about types.
json_object *message_to_json(blob_attr *msg) {
  json_object *out = json_object_new_object();
  blob_attr *cur;
  size_t rem;
  blob_for_each_attr(cur, msg, rem) {
    json_object_object_add(out, blobmsg_name(cur), to_json(cur));
    std::string type_key = std::string(blobmsg_name(cur)) + ":type";
    json_object_object_add(out, type_key.c_str(), json_object_new_int(blobmsg_type(cur)));
  }
  return out;
}

void collect_reply(ubus_request *req, int, blob_attr *msg) {
  auto *reply = static_cast<Json *>(req->priv);
  if (reply && msg) *reply = Json(message_to_json(msg));
}

}  // namespace

// Standard layout with the subscriber first, so the callback finds it.
struct BusClient::subscription {
  ubus_subscriber sub;
  std::vector<std::string> *sink;
};

bool start_ubusd(testkit::Child *daemon) {
  if (!testkit::private_tmpfs("/var/run/ubus")) return false;
  *daemon = testkit::Child({testkit::bin_path("ubusd"), "-s", bus_socket});
  return testkit::wait_listening(bus_socket);
}

bool start_powersim(testkit::Child *sim, const std::vector<std::string> &args) {
  std::vector<std::string> argv{testkit::bin_path("powersim")};
  argv.insert(argv.end(), args.begin(), args.end());
  testkit::SpawnOptions opts;
  opts.capture_output = true;
  *sim = testkit::Child(argv, opts);
  return testkit::wait_until(
             [sim] {
               return sim->output().find("powersim ready") != std::string::npos || !sim->running();
             },
             5000) &&
         sim->running();
}

Json &Json::operator=(Json &&other) noexcept {
  if (this != &other) {
    json_object_put(obj_);
    obj_ = other.obj_;
    other.obj_ = nullptr;
  }
  return *this;
}

Json Json::parse(const std::string &text) { return Json(json_tokener_parse(text.c_str())); }

json_object *Json::at(const std::string &path) const {
  json_object *cur = obj_;
  size_t start = 0;
  while (cur && start <= path.size()) {
    size_t dot = path.find('.', start);
    std::string part =
        path.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    if (json_object_is_type(cur, json_type_array)) {
      cur = json_object_array_get_idx(cur, atoi(part.c_str()));
    } else if (!json_object_object_get_ex(cur, part.c_str(), &cur)) {
      return nullptr;
    }
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return cur;
}

std::string Json::text() const {
  return obj_ ? json_object_to_json_string_ext(obj_, JSON_C_TO_STRING_PLAIN) : "null";
}

BusClient::BusClient() {
  uloop_init();
  ctx_ = ubus_connect(bus_socket);
  if (ctx_) ubus_add_uloop(ctx_);
}

BusClient::~BusClient() {
  if (ctx_) {
    for (subscription *s : subscriptions_) ubus_remove_object(ctx_, &s->sub.obj);
    ubus_free(ctx_);
  }
  for (subscription *s : subscriptions_) delete s;
  uloop_done();
}

bool BusClient::has_object(const std::string &path) {
  uint32_t id;
  return ctx_ && ubus_lookup_id(ctx_, path.c_str(), &id) == 0;
}

int BusClient::call(const std::string &path, const std::string &method, const std::string &args,
                    Json *reply, int timeout_ms) {
  uint32_t id;
  if (!ctx_) return UBUS_STATUS_CONNECTION_FAILED;
  if (int status = ubus_lookup_id(ctx_, path.c_str(), &id)) return status;
  blob_buf buf{};
  blob_buf_init(&buf, 0);
  Json parsed = Json::parse(args);
  if (parsed.get()) add_members(&buf, parsed.get());
  int status = ubus_invoke(ctx_, id, method.c_str(), buf.head, collect_reply, reply, timeout_ms);
  blob_buf_free(&buf);
  return status;
}

int BusClient::call_blob(const std::string &path, const std::string &method, blob_attr *msg,
                         Json *reply, int timeout_ms) {
  uint32_t id;
  if (!ctx_) return UBUS_STATUS_CONNECTION_FAILED;
  if (int status = ubus_lookup_id(ctx_, path.c_str(), &id)) return status;
  return ubus_invoke(ctx_, id, method.c_str(), msg, collect_reply, reply, timeout_ms);
}

int BusClient::on_notification(ubus_context *, ubus_object *obj, ubus_request_data *,
                               const char *method, blob_attr *msg) {
  auto *sub = reinterpret_cast<ubus_subscriber *>(reinterpret_cast<char *>(obj) -
                                                  offsetof(ubus_subscriber, obj));
  auto *s = reinterpret_cast<subscription *>(sub);
  Json fields(message_to_json(msg));
  s->sink->push_back(std::string(method) + " " + fields.text());
  return 0;
}

bool BusClient::subscribe(const std::string &path) {
  uint32_t id;
  if (!ctx_ || ubus_lookup_id(ctx_, path.c_str(), &id) != 0) return false;
  auto *s = new subscription{};
  s->sink = &notifications_;
  subscriptions_.push_back(s);
  s->sub.cb = on_notification;
  if (ubus_register_subscriber(ctx_, &s->sub) != 0) return false;
  return ubus_subscribe(ctx_, &s->sub, id) == 0;
}

bool BusClient::wait_notifications(size_t count, int timeout_ms) {
  return testkit::wait_until(
      [&] {
        uloop_run_timeout(10);
        return notifications_.size() >= count;
      },
      timeout_ms, 1);
}

}  // namespace simrig
