// commons.pubsub: callbacks attached to any Lua value and fired by publish.
//
// subscriptions[object] (weak key) holds either a subscriber table, which
// maps tokens (weak keys) to callbacks, or a pending initialisation callback.
// A token is held only by the unsubscribe handle returned to the subscriber,
// so a subscription lives exactly as long as its handle.
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

// Registry references of this module's own tables (0 = none):
// token -> handle (weak keys), and subscriber table -> call list (weak
// keys and values).
int handles_ref = 0;
int call_lists_ref = 0;

// Free slots publish asks for beyond its arguments: 3 of its own and the
// LUA_MINSTACK a C callback is promised, so that publish either fails
// before the first callback or enters every callback with that room.
constexpr int kPublishRoom = 3 + LUA_MINSTACK;

// Pushes the module table held under `ref`.
void push_own_table(lua_State* L, int ref) {
  if (lua_rawgeti(L, LUA_REGISTRYINDEX, ref) != LUA_TTABLE)
    luaL_error(L, "pubsub is not open in this Lua state");
}

// Pushes the subscriptions table.
void push_subscriptions(lua_State* L) { push_own_table(L, rsubscriptions); }

void check_object(lua_State* L) { luaL_argcheck(L, !lua_isnoneornil(L, 1), 1, "object expected"); }

// Calls the function on top of the stack with the first n values of the
// frame. Pops the function.
void call_with_args(lua_State* L, int n) {
  for (int i = 1; i <= n; ++i) lua_pushvalue(L, i);
  lua_call(L, n, 0);
}

// table[key] = value (raw) in the module table under `ref`, for the key and
// value at the given indices (absolute).
void set_in_own_table(lua_State* L, int ref, int key, int value) {
  push_own_table(L, ref);
  lua_pushvalue(L, key);
  lua_pushvalue(L, value);
  lua_rawset(L, -3);
  lua_pop(L, 1);
}

// Upvalues: subscriber table, token. Ends the subscription; later calls do
// nothing and the handle lets go of both.
int unsubscribe(lua_State* L) {
  if (lua_type(L, lua_upvalueindex(1)) != LUA_TTABLE ||
      lua_type(L, lua_upvalueindex(2)) != LUA_TUSERDATA)
    return 0;  // already called
  lua_settop(L, 0);
  lua_pushnil(L);  // 1
  lua_pushvalue(L, lua_upvalueindex(2));
  lua_pushnil(L);
  lua_rawset(L, lua_upvalueindex(1));
  set_in_own_table(L, handles_ref, lua_upvalueindex(2), 1);
  set_in_own_table(L, call_lists_ref, lua_upvalueindex(1), 1);  // stale now
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
  lua_pushvalue(L, 5);
  lua_pushvalue(L, 6);
  if (pin) {
    lua_pushvalue(L, 1);
    lua_pushcclosure(L, unsubscribe_pinned, 3);
  } else {
    lua_pushcclosure(L, unsubscribe, 2);
  }  // 7: the handle
  lua_pushvalue(L, 6);
  lua_pushvalue(L, 2);
  lua_rawset(L, 5);
  set_in_own_table(L, handles_ref, 6, 7);
  lua_pushnil(L);                             // 8
  set_in_own_table(L, call_lists_ref, 5, 8);  // stale now
  lua_pop(L, 1);
  return 1;
}

// Makes the call list of the subscriber table at `subscribers` and caches
// it in the call lists table at `lists`. Pushes the list.
//
// No Lua code runs and nothing is allocated once the list exists, so the
// list holds exactly the subscriptions the table has when it is stored.
void push_new_call_list(lua_State* L, int subscribers, int lists) {
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
  push_own_table(L, handles_ref);
  const int handles = list + 1;
  lua_Integer filled = 0;
  lua_pushnil(L);
  while (lua_next(L, subscribers)) {  // token, callback
    lua_rawseti(L, list, ++filled);
    lua_pushvalue(L, -1);
    if (lua_rawget(L, handles) == LUA_TNIL) {
      lua_pop(L, 1);
      lua_pushvalue(L, -1);  // no handle known: the token holds as well
    }
    lua_rawseti(L, list, ++filled);
  }
  lua_pop(L, 1);  // the handles table
  lua_pushvalue(L, subscribers);
  lua_pushvalue(L, list);
  lua_rawset(L, lists);
}

// publish(object, ...): calls every callback subscribed when the call
// starts, each with all the arguments of the publish.
int publish(lua_State* L) {
  const int n = lua_gettop(L);
  luaL_argcheck(L, n > 0, 1, "object expected");
  luaL_checkstack(L, n + kPublishRoom, "insufficient stack space");
  push_subscriptions(L);  // n + 1
  lua_pushvalue(L, 1);
  if (lua_rawget(L, n + 1) != LUA_TTABLE) return 0;  // none, or only pending
  push_own_table(L, call_lists_ref);                 // n + 3
  lua_pushvalue(L, n + 2);
  if (lua_rawget(L, n + 3) != LUA_TTABLE) {
    lua_pop(L, 1);
    push_new_call_list(L, n + 2, n + 3);
  }
  // The list stays on the stack until the last callback returned: it is
  // this publish's snapshot, and it keeps the subscriptions it calls.
  lua_replace(L, n + 1);
  lua_settop(L, n + 1);
  const lua_Integer callbacks = static_cast<lua_Integer>(lua_rawlen(L, n + 1) / 2);
  for (lua_Integer i = 0; i < callbacks; ++i) {
    lua_rawgeti(L, n + 1, 2 * i + 1);
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
  const int kmode = lua_gettop(L);
  lua_pushvalue(L, kmode);
  rkmodetable_pubsub = commons::hold(L);
  lua_newtable(L);  // subscriptions, weak in their objects
  lua_pushvalue(L, kmode);
  lua_setmetatable(L, -2);
  rsubscriptions = commons::hold(L);
  lua_newtable(L);  // token -> handle, weak in the tokens
  lua_pushvalue(L, kmode);
  lua_setmetatable(L, -2);
  handles_ref = commons::hold(L);
  lua_newtable(L);  // subscriber table -> call list, weak in both
  commons::push_mode_table(L, "kv");
  lua_setmetatable(L, -2);
  call_lists_ref = commons::hold(L);
  lua_pop(L, 1);  // the weak-key mode table

  lua_createtable(L, 0, 4);
  luaL_setfuncs(L, kFunctions, 0);
  return 1;
}

// The subscriptions table and the two tables beside it stay: finalizers
// that run while the state closes may still publish.
int luaclose_commons_pubsub(lua_State* L) {
  commons::release(L, &rkmodetable_pubsub);
  return 0;
}

}  // extern "C"
