// SPDX-License-Identifier: ISC
// The configured object's id, kept between requests: looking it up costs a
// round trip through the bus daemon on every request otherwise. The id is
// trusted only on the connection it was found on (a restarted daemon hands
// out other ids), and dropped when the bus announces the object's removal or
// a call finds no such object or method (the next request then looks it up
// again).
#include "fdgate.h"

namespace fdgate {
namespace {

enum { REMOVED_ID, __REMOVED_MAX };

const struct blobmsg_policy removed_policy[__REMOVED_MAX] = {
    {"id", BLOBMSG_TYPE_INT32},  // REMOVED_ID
};

struct ubus_event_handler removals;
bool removals_announced;  // on the current connection

bool id_known;
uint32_t known_id;

void removed_cb(struct ubus_context *, struct ubus_event_handler *, const char *,
                struct blob_attr *msg) {
  struct blob_attr *tb[__REMOVED_MAX];

  if (!msg || blobmsg_parse(removed_policy, __REMOVED_MAX, tb, blob_data(msg), blob_len(msg)) ||
      !tb[REMOVED_ID] || blobmsg_get_u32(tb[REMOVED_ID]) == known_id)
    id_known = false;
}

// Asks the bus to announce removals, once per connection; whether it does.
bool announce_removals(struct ubus_context *ctx) {
  if (removals_announced) return true;
  removals.cb = removed_cb;
  removals_announced = ubus_register_event_handler(ctx, &removals, "ubus.object.remove") == 0;
  return removals_announced;
}

}  // namespace

int lookup_object(uint32_t *id) {
  struct ubus_context *ctx = state->ctx;

  if (id_known) {
    *id = known_id;
    return 0;
  }

  // announced first: a removal between the lookup and the caching is heard
  bool announced = announce_removals(ctx);
  int ret = ubus_lookup_id(ctx, conf->ubus_fd_object, id);
  if (ret == 0 && announced) {
    id_known = true;
    known_id = *id;
  }
  return ret;
}

void forget_object() { id_known = false; }

void object_reconnected() {
  id_known = false;
  removals_announced = false;
}

}  // namespace fdgate
