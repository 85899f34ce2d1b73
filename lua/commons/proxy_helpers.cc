// SPDX-License-Identifier: ISC
// commons.proxy_helpers: a registry of proxy objects and their target tables,
// and a pairs that walks a proxy's target while reading through the proxy.
#include "commons.h"

extern "C" {
int rkmodetable_proxy = 0;
}

namespace {

// (table, key) -> next key and raw value, or nothing at the end
int raw_next(lua_State* L) {
  luaL_checktype(L, 1, LUA_TTABLE);
  lua_settop(L, 2);
  return lua_next(L, 1) ? 2 : 0;
}

// Upvalue 1: the proxy. (target, key) -> next key of the target and
// proxy[key], or nothing at the end.
int proxy_next(lua_State* L) {
  luaL_checktype(L, 1, LUA_TTABLE);
  lua_settop(L, 2);
  if (!lua_next(L, 1)) return 0;
  lua_pop(L, 1);  // the raw value: the proxy answers instead
  lua_pushvalue(L, lua_upvalueindex(1));
  lua_pushvalue(L, 2);
  lua_gettable(L, -2);  // may run the proxy's __index
  lua_remove(L, -2);
  return 2;
}

// Upvalue 1: the proxy registry. register(proxy, target); a nil target
// forgets the proxy.
int register_proxy(lua_State* L) {
  lua_settop(L, 2);
  lua_settable(L, lua_upvalueindex(1));
  return 0;
}

// Upvalues: the proxy registry, raw_next. pairs(proxy [, raw]) -> the
// iterator, the proxy's target, nil.
int proxy_pairs(lua_State* L) {
  int raw = lua_toboolean(L, 2);
  lua_settop(L, 1);
  lua_pushvalue(L, 1);
  lua_gettable(L, lua_upvalueindex(1));  // 2: target
  luaL_argcheck(L, !lua_isnil(L, 2), 1, "registered proxy expected");
  if (raw) {
    lua_pushvalue(L, lua_upvalueindex(2));
  } else {
    lua_pushvalue(L, 1);
    lua_pushcclosure(L, proxy_next, 1);
  }
  lua_pushvalue(L, 2);
  lua_pushnil(L);
  return 3;
}

}  // namespace

extern "C" {

int luaopen_commons_proxy_helpers(lua_State* L) {
  lua_createtable(L, 0, 2);  // module
  lua_newtable(L);           // proxy registry, weak in its proxies
  commons::push_shared_kmode(L, rkmodetable, rkmodetable_pubsub);
  lua_pushvalue(L, -1);
  rkmodetable_proxy = commons::hold(L);
  lua_setmetatable(L, -2);

  lua_pushvalue(L, -1);
  lua_pushcclosure(L, register_proxy, 1);
  lua_setfield(L, -3, "register");
  lua_pushcfunction(L, raw_next);
  lua_pushcclosure(L, proxy_pairs, 2);  // takes the registry too
  lua_setfield(L, -2, "pairs");
  return 1;
}

int luaclose_commons_proxy_helpers(lua_State* L) {
  commons::release(L, &rkmodetable_proxy);
  return 0;
}

}  // extern "C"
