// The configured object's id, kept between requests: looking it up costs a
// round trip through the bus daemon on every request otherwise. The id is
// trusted only on the connection it was found on, and dropped when the bus
// announces the object's removal or a call finds no such object or method
// (the next request then looks it up again).
#include "fdgate.h"

namespace fdgate {
namespace {

enum { REMOVED_ID, __REMOVED_MAX };

const struct blobmsg_policy removed_policy[__REMOVED_MAX] = {
    {"id", BLOBMSG_TYPE_INT32},  // REMOVED_ID
};

struct ubus_event_handler removals;
uint32_t watched_on;  // local id of the connection the removals come from
bool watched;

bool known;
uint32_t known_id;
uint32_t known_on;

void removed_cb(struct ubus_context *, struct ubus_event_handler *, const char *,
                struct blob_attr *msg) {
  struct blob_attr *tb[__REMOVED_MAX];

  if (!msg || blobmsg_parse(removed_policy, __REMOVED_MAX, tb, blob_data(msg), blob_len(msg)) ||
      !tb[REMOVED_ID] || blobmsg_get_u32(tb[REMOVED_ID]) == known_id)
    known = false;
}

// Whether removals are announced to us on this connection.
bool watching(struct ubus_context *ctx) {
  if (watched && watched_on == ctx->local_id) return true;
  removals.cb = removed_cb;
  watched = ubus_register_event_handler(ctx, &removals, "ubus.object.remove") == 0;
  watched_on = ctx->local_id;
  return watched;
}

}  // namespace

int lookup_object(uint32_t *id) {
  struct ubus_context *ctx = state->ctx;

  if (known && known_on == ctx->local_id) {
    *id = known_id;
    return 0;
  }
  known = false;

  int ret = ubus_lookup_id(ctx, conf->ubus_fd_object, id);
  if (ret == 0 && watching(ctx)) {
    known = true;
    known_id = *id;
    known_on = ctx->local_id;
  }
  return ret;
}

void forget_object() { known = false; }

}  // namespace fdgate
