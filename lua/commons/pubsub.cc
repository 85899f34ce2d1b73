// SPDX-License-Identifier: ISC
// commons.pubsub: callbacks attached to any Lua value and fired by publish.
//
// subscriptions[object] (weak key) holds either a subscriber table, which
// maps tokens (weak keys) to callbacks, or a pending initialisation callback.
// A token is held only by the unsubscribe handle returned to the subscriber,
// so a subscription lives exactly as long as its handle. The token holds
// its handle in turn (its user value), which the collector sees as one
// cycle: the two go together.
//
// The subscriber tables are the truth; publish reads a call list made from
// one: an array of its callbacks, each followed by the handle of its
// subscription (callback, handle, callback, handle, ...). A list is never
// changed once made. subscribe and unsubscribe drop the list of the table
// they change, and the call lists table holds lists weakly, so a list no
// publish is using goes in the first collection after it was made.
//
// The handles are what keeps a list true: while a list lives, whether
// cached or on the stack of a running publish, it keeps its handles, their
// tokens and so their subscriptions alive; a handle dropped by its owner
// ends in the same collection step as the list that holds it. The list can
// never name a subscription the subscriber table has lost, whatever the
// collector marked, when, and in which mode.
#include "commons.h"

extern "C" {
int rkmodetable_pubsub = 0;
int rsubscriptions = 0;
}

namespace {

// The module's tables, upvalues of its four functions: the subscriptions,
// and subscriber table -> call list (weak keys and values), which a handle
// carries as well, after its own upvalues.
constexpr int kSubscriptions = 1;
constexpr int kCallLists = 2;

// Free slots publish asks for beyond its arguments. It keeps the subscriber
// table and the call list above them and pushes each callback with a copy
// of the arguments; a C callback is promised LUA_MINSTACK slots on entry.
// lua_checkstack(L, k) leaves more than k slots free, which covers the
// callback itself. So publish either fails before the first callback or
// enters every callback with that room.
constexpr int kPublishRoom = 2 + LUA_MINSTACK;

void check_object(lua_State* L) { luaL_argcheck(L, !lua_isnoneornil(L, 1), 1, "object expected"); }

// Calls the function on top of the stack with the first n values of the
// frame. Pops the function.
void call_with_args(lua_State* L, int n) {
  for (int i = 1; i <= n; ++i) lua_pushvalue(L, i);
  lua_call(L, n, 0);
}

// table[key] = value (raw), all three given by index (absolute or upvalue).
void raw_set(lua_State* L, int table, int key, int value) {
  lua_pushvalue(L, key);
  lua_pushvalue(L, value);
  lua_rawset(L, table);
}

// Ends the subscription of the handle running: upvalues subscriber table,
// token, and the call lists table at `call_lists`. Later calls do nothing
// and the handle lets go of the table and the token.
int end_subscription(lua_State* L, int call_lists) {
  const int subscribers = lua_upvalueindex(1);
  const int token = lua_upvalueindex(2);
  if (lua_type(L, subscribers) != LUA_TTABLE || lua_type(L, token) != LUA_TUSERDATA)
    return 0;  // already called
  lua_settop(L, 0);
  lua_pushnil(L);  // 1
  raw_set(L, subscribers, token, 1);
  raw_set(L, lua_upvalueindex(call_lists), subscribers, 1);  // its list is stale
  lua_pushnil(L);
  lua_replace(L, subscribers);
  lua_pushnil(L);
  lua_replace(L, token);
  return 0;
}

// Upvalues: subscriber table, token, call lists.
int unsubscribe(lua_State* L) { return end_subscription(L, 3); }

// Upvalues: subscriber table, token, object (kept alive until the call),
// call lists.
int unsubscribe_pinned(lua_State* L) {
  lua_pushnil(L);
  lua_replace(L, lua_upvalueindex(3));
  return end_subscription(L, 4);
}

// subscribe(object [, callback [, pin]]) -> unsubscribe handle when a
// callback is given
int subscribe(lua_State* L) {
  check_object(L);
  const bool has_callback = !lua_isnoneornil(L, 2);
  if (has_callback) luaL_checktype(L, 2, LUA_TFUNCTION);
  const bool pin = lua_toboolean(L, 3);
  lua_settop(L, 3);
  const int subscriptions = lua_upvalueindex(kSubscriptions);
  lua_pushvalue(L, 1);
  int entry = lua_rawget(L, subscriptions);  // 4
  if (entry == LUA_TFUNCTION) {
    // The pending initialisation callback fires once: it leaves the entry
    // before it runs, so subscriptions it makes for the object itself land
    // in the entry and are kept.
    lua_pushvalue(L, 1);
    lua_pushnil(L);
    lua_rawset(L, subscriptions);
    lua_pushvalue(L, 1);
    lua_call(L, 1, 0);  // pops the callback: 4 is free again
    if (!has_callback) return 0;
    lua_pushvalue(L, 1);
    entry = lua_rawget(L, subscriptions);  // 4
  } else if (!has_callback) {
    return 0;
  }
  if (entry != LUA_TTABLE) {
    lua_pop(L, 1);
    lua_createtable(L, 0, 1);
    lua_getmetatable(L, subscriptions);  // the shared weak-key mode table
    lua_setmetatable(L, 4);
    raw_set(L, subscriptions, 1, 4);
  }
  lua_newuserdatauv(L, 0, 1);  // 5: token; its user value: the handle
  lua_pushvalue(L, 4);
  lua_pushvalue(L, 5);
  if (pin) lua_pushvalue(L, 1);
  lua_pushvalue(L, lua_upvalueindex(kCallLists));
  if (pin)
    lua_pushcclosure(L, unsubscribe_pinned, 4);
  else
    lua_pushcclosure(L, unsubscribe, 3);
  // 6: the handle
  lua_pushvalue(L, 6);
  lua_setiuservalue(L, 5, 1);
  raw_set(L, 4, 5, 2);
  lua_pushnil(L);
  raw_set(L, lua_upvalueindex(kCallLists), 4, 7);  // its list is stale
  lua_pop(L, 1);
  return 1;
}

// Makes the call list of the subscriber table at `subscribers` and caches
// it. Pushes the list.
//
// No Lua code runs and nothing is allocated while the list is filled, so
// it holds exactly the subscriptions the table has when it is stored.
void push_new_call_list(lua_State* L, int subscribers) {
  int count = 0;
  lua_pushnil(L);
  while (lua_next(L, subscribers)) {
    lua_pop(L, 1);
    ++count;
  }
  // A collection step here may end subscriptions whose handles were
  // dropped: they are then not in the table any more when it is walked.
  lua_createtable(L, 2 * count, 0);
  const int list = lua_gettop(L);
  lua_Integer filled = 0;
  lua_pushnil(L);
  while (lua_next(L, subscribers)) {  // token, callback
    lua_rawseti(L, list, ++filled);
    if (lua_getiuservalue(L, -1, 1) != LUA_TFUNCTION) {
      lua_pop(L, 1);
      lua_pushvalue(L, -1);  // no handle known: the token holds as well
    }
    lua_rawseti(L, list, ++filled);
  }
  raw_set(L, lua_upvalueindex(kCallLists), subscribers, list);
}

// publish(object, ...): calls every callback subscribed when the call
// starts, each with all the arguments of the publish.
int publish(lua_State* L) {
  const int n = lua_gettop(L);
  luaL_argcheck(L, n > 0, 1, "object expected");
  luaL_checkstack(L, n + kPublishRoom, "insufficient stack space");
  lua_pushvalue(L, 1);
  if (lua_rawget(L, lua_upvalueindex(kSubscriptions)) != LUA_TTABLE)
    return 0;  // none, or only pending
  lua_pushvalue(L, n + 1);
  if (lua_rawget(L, lua_upvalueindex(kCallLists)) != LUA_TTABLE) {
    lua_pop(L, 1);
    push_new_call_list(L, n + 1);
  }
  // The list (n + 2) stays on the stack until the last callback returned:
  // it is this publish's snapshot, and it keeps the subscriptions it calls.
  const lua_Integer callbacks = static_cast<lua_Integer>(lua_rawlen(L, n + 2) / 2);
  for (lua_Integer i = 0; i < callbacks; ++i) {
    lua_rawgeti(L, n + 2, 2 * i + 1);
    call_with_args(L, n);
  }
  return 0;
}

// is_subscribed_to(object) -> true with a live subscription or a pending
// initialisation callback
int is_subscribed_to(lua_State* L) {
  check_object(L);
  lua_settop(L, 1);
  lua_pushvalue(L, 1);
  switch (lua_rawget(L, lua_upvalueindex(kSubscriptions))) {
    case LUA_TNIL:
      lua_pushboolean(L, 0);
      break;
    case LUA_TTABLE:
      lua_pushnil(L);
      lua_pushboolean(L, lua_next(L, 2));
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
  lua_pushvalue(L, 1);
  if (lua_rawget(L, lua_upvalueindex(kSubscriptions)) == LUA_TTABLE) {
    lua_pushvalue(L, 2);
    lua_pushvalue(L, 1);
    lua_call(L, 1, 0);
    return 0;
  }
  raw_set(L, lua_upvalueindex(kSubscriptions), 1, 2);
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
  const int kmode = lua_gettop(L);
  lua_pushvalue(L, kmode);
  rkmodetable_pubsub = commons::hold(L);
  lua_createtable(L, 0, 4);  // the module
  lua_newtable(L);           // subscriptions, weak in their objects
  lua_pushvalue(L, kmode);
  lua_setmetatable(L, -2);
  lua_pushvalue(L, -1);
  rsubscriptions = commons::hold(L);
  lua_newtable(L);  // subscriber table -> call list, weak in both
  commons::push_mode_table(L, "kv");
  lua_setmetatable(L, -2);
  luaL_setfuncs(L, kFunctions, 2);
  return 1;
}

// The subscriptions table stays (the module's functions hold it):
// finalizers that run while the state closes may still publish.
int luaclose_commons_pubsub(lua_State* L) {
  commons::release(L, &rkmodetable_pubsub);
  return 0;
}

}  // extern "C"
