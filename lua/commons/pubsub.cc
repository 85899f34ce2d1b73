// commons.pubsub: callbacks attached to any Lua value and fired by publish.
//
// subscriptions[object] (weak key) holds either a subscriber table, which
// maps tokens (weak keys) to callbacks, or a pending initialisation callback.
// A token is held only by the unsubscribe handle returned to the subscriber,
// so a subscription lives exactly as long as its handle.
#include "commons.h"

extern "C" {
int rkmodetable_pubsub = 0;
int rsubscriptions = 0;
}

namespace {

// Stack slots kept free for running the callbacks of a publish, ten times
// what a C function is promised: the snapshot stops taking stack slots
// where fewer would remain, and the rest of it waits in a spill table.
constexpr int kCallRoom = 10 * LUA_MINSTACK;

// Pushes the subscriptions table.
void push_subscriptions(lua_State* L) {
  if (lua_rawgeti(L, LUA_REGISTRYINDEX, rsubscriptions) != LUA_TTABLE)
    luaL_error(L, "pubsub is not open in this Lua state");
}

void check_object(lua_State* L) { luaL_argcheck(L, !lua_isnoneornil(L, 1), 1, "object expected"); }

// Calls the function on top of the stack with the first n values of the
// frame. Pops the function.
void call_with_args(lua_State* L, int n) {
  for (int i = 1; i <= n; ++i) lua_pushvalue(L, i);
  lua_call(L, n, 0);
}

// Upvalues: subscriber table, token. Ends the subscription; later calls do
// nothing and the handle lets go of both.
int unsubscribe(lua_State* L) {
  if (lua_type(L, lua_upvalueindex(1)) != LUA_TTABLE ||
      lua_type(L, lua_upvalueindex(2)) != LUA_TUSERDATA)
    return 0;  // already called
  lua_pushvalue(L, lua_upvalueindex(2));
  lua_pushnil(L);
  lua_rawset(L, lua_upvalueindex(1));
  lua_pushnil(L);
  lua_replace(L, lua_upvalueindex(1));
  lua_pushnil(L);
  lua_replace(L, lua_upvalueindex(2));
  return 0;
}

// Upvalues: subscriber table, token, object (kept alive until the call).
int unsubscribe_pinned(lua_State* L) {
  lua_pushnil(L);
  lua_replace(L, lua_upvalueindex(3));
  return unsubscribe(L);
}

// subscribe(object [, callback [, pin]]) -> unsubscribe handle when a
// callback is given
int subscribe(lua_State* L) {
  check_object(L);
  const bool has_callback = !lua_isnoneornil(L, 2);
  if (has_callback) luaL_checktype(L, 2, LUA_TFUNCTION);
  const bool pin = lua_toboolean(L, 3);
  lua_settop(L, 3);
  push_subscriptions(L);  // 4
  lua_pushvalue(L, 1);
  int entry = lua_rawget(L, 4);  // 5
  if (entry == LUA_TFUNCTION) {
    // The pending initialisation callback fires once: it leaves the entry
    // before it runs, so subscriptions it makes for the object itself land
    // in the entry and are kept.
    lua_pushvalue(L, 1);
    lua_pushnil(L);
    lua_rawset(L, 4);
    lua_pushvalue(L, 1);
    lua_call(L, 1, 0);  // pops the callback: 5 is free again
    if (!has_callback) return 0;
    lua_pushvalue(L, 1);
    entry = lua_rawget(L, 4);  // 5
  } else if (!has_callback) {
    return 0;
  }
  if (entry != LUA_TTABLE) {
    lua_pop(L, 1);
    lua_createtable(L, 0, 1);
    lua_getmetatable(L, 4);  // the shared weak-key mode table
    lua_setmetatable(L, 5);
    lua_pushvalue(L, 1);
    lua_pushvalue(L, 5);
    lua_rawset(L, 4);
  }
  lua_newuserdatauv(L, 0, 0);  // 6: token
  lua_pushvalue(L, 6);
  lua_pushvalue(L, 2);
  lua_rawset(L, 5);
  if (pin) {
    lua_pushvalue(L, 1);
    lua_pushcclosure(L, unsubscribe_pinned, 3);
  } else {
    lua_pushcclosure(L, unsubscribe, 2);
  }
  return 1;
}

// Extra slots asked for at once while taking the snapshot, so that the
// stack is checked once per this many callbacks rather than for each.
constexpr int kSnapshotChunk = 64;

// publish(object, ...): calls every callback subscribed when the call
// starts, each with all the arguments of the publish.
int publish(lua_State* L) {
  const int n = lua_gettop(L);
  luaL_argcheck(L, n > 0, 1, "object expected");
  push_subscriptions(L);
  lua_pushvalue(L, 1);
  if (lua_rawget(L, -2) != LUA_TTABLE) return 0;  // none, or only pending
  const int subscribers = n + 2;
  // A callback stays on the stack when, with it and the key pushed at
  // stack top T, the stack can still grow by `keep` slots. That holds for
  // every T up to `checked_top` without asking again.
  const int keep = n + 3 + kCallRoom;
  int checked_top;
  if (lua_checkstack(L, keep + kSnapshotChunk)) {
    checked_top = subscribers + kSnapshotChunk;
  } else {
    luaL_checkstack(L, n + 3, "insufficient stack space");
    checked_top = 0;  // ask for each callback
  }
  // The subscriptions table is not needed any more: its slot takes the
  // spill table when there is one.
  const int spill_slot = n + 1;

  // Snapshot first, so callbacks that subscribe or unsubscribe do not
  // change this publish. Callbacks go on the stack while it can grow and
  // still leave room to run them; the rest go into the spill table.
  bool spill = false;
  int stacked = 0;
  lua_Integer spilled = 0;
  lua_pushnil(L);
  while (lua_next(L, subscribers)) {
    if (!spill) {
      const int top = subscribers + stacked + 2;  // the callbacks, the key and this callback
      if (top > checked_top) {
        if (lua_checkstack(L, keep + kSnapshotChunk))
          checked_top = top + kSnapshotChunk;
        else if (lua_checkstack(L, keep))
          checked_top = top;
      }
      if (top <= checked_top) {
        lua_insert(L, -2);  // the callback stays below the key
        ++stacked;
        continue;
      }
      lua_createtable(L, 0, 1);
      lua_replace(L, spill_slot);
      spill = true;
    }
    lua_rawseti(L, spill_slot, ++spilled);
  }

  // The last callback stacked is on top: each call takes the one on top,
  // leaving the one before it there.
  for (int i = stacked; i > 0; --i) call_with_args(L, n);
  for (lua_Integer i = spilled; i > 0; --i) {
    lua_rawgeti(L, spill_slot, i);
    call_with_args(L, n);
  }
  return 0;
}

// is_subscribed_to(object) -> true with a live subscription or a pending
// initialisation callback
int is_subscribed_to(lua_State* L) {
  check_object(L);
  lua_settop(L, 1);
  push_subscriptions(L);
  lua_pushvalue(L, 1);
  switch (lua_rawget(L, 2)) {
    case LUA_TNIL:
      lua_pushboolean(L, 0);
      break;
    case LUA_TTABLE:
      lua_pushnil(L);
      lua_pushboolean(L, lua_next(L, 3));
      break;
    default:
      lua_pushboolean(L, 1);
      break;
  }
  return 1;
}

// subscription_init_callback(object, fn): fn(object) now when the object
// has subscribers (or had), else at its next subscribe
int subscription_init_callback(lua_State* L) {
  check_object(L);
  luaL_checktype(L, 2, LUA_TFUNCTION);
  lua_settop(L, 2);
  push_subscriptions(L);  // 3
  lua_pushvalue(L, 1);
  if (lua_rawget(L, 3) == LUA_TTABLE) {
    lua_pushvalue(L, 2);
    lua_pushvalue(L, 1);
    lua_call(L, 1, 0);
    return 0;
  }
  lua_pushvalue(L, 1);
  lua_pushvalue(L, 2);
  lua_rawset(L, 3);
  return 0;
}

constexpr luaL_Reg kFunctions[] = {
    {"subscribe", subscribe},
    {"publish", publish},
    {"is_subscribed_to", is_subscribed_to},
    {"subscription_init_callback", subscription_init_callback},
    {nullptr, nullptr},
};

}  // namespace

extern "C" {

int luaopen_commons_pubsub(lua_State* L) {
  commons::push_shared_kmode(L, rkmodetable, rkmodetable_proxy);
  lua_pushvalue(L, -1);
  rkmodetable_pubsub = commons::hold(L);
  lua_newtable(L);  // subscriptions, weak in their objects
  lua_insert(L, -2);
  lua_setmetatable(L, -2);
  rsubscriptions = commons::hold(L);

  lua_createtable(L, 0, 4);
  luaL_setfuncs(L, kFunctions, 0);
  return 1;
}

// The subscriptions table stays: finalizers that run while the state
// closes may still publish.
int luaclose_commons_pubsub(lua_State* L) {
  commons::release(L, &rkmodetable_pubsub);
  return 0;
}

}  // extern "C"
