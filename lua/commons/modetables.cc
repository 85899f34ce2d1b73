// SPDX-License-Identifier: ISC
// commons.kmodetable, commons.vmodetable, commons.kvmodetable: metatables
// that make tables weak. The weak-key one is shared with pubsub and
// proxy_helpers; the other two are new on every opening.
#include "commons.h"

extern "C" {
int rkmodetable = 0;
int rvmodetable = 0;
int rkvmodetable = 0;
}

namespace commons {

void push_mode_table(lua_State* L, const char* mode) {
  lua_createtable(L, 0, 1);
  lua_pushstring(L, mode);
  lua_setfield(L, -2, "__mode");
}

namespace {

// Pushes the table held under `ref` and returns true, or pushes nothing.
// A reference that does not lead to a table (one left behind by another
// Lua state) counts as unset.
bool push_held_table(lua_State* L, int ref) {
  if (ref == 0) return false;
  if (lua_rawgeti(L, LUA_REGISTRYINDEX, ref) == LUA_TTABLE) return true;
  lua_pop(L, 1);
  return false;
}

}  // namespace

void push_shared_kmode(lua_State* L, int first, int second) {
  if (push_held_table(L, first) || push_held_table(L, second)) return;
  push_mode_table(L, "k");
}

int hold(lua_State* L) { return luaL_ref(L, LUA_REGISTRYINDEX); }

void release(lua_State* L, int* ref) {
  if (*ref == 0) return;  // never opened, or already closed
  luaL_unref(L, LUA_REGISTRYINDEX, *ref);
  *ref = 0;
}

}  // namespace commons

namespace {

// Holds the table on top under *ref and leaves it there as the module.
int open_with(lua_State* L, int* ref) {
  lua_pushvalue(L, -1);
  *ref = commons::hold(L);
  return 1;
}

}  // namespace

extern "C" {

int luaopen_commons_kmodetable(lua_State* L) {
  commons::push_shared_kmode(L, rkmodetable_pubsub, rkmodetable_proxy);
  return open_with(L, &rkmodetable);
}

int luaclose_commons_kmodetable(lua_State* L) {
  commons::release(L, &rkmodetable);
  return 0;
}

int luaopen_commons_vmodetable(lua_State* L) {
  commons::push_mode_table(L, "v");
  return open_with(L, &rvmodetable);
}

int luaclose_commons_vmodetable(lua_State* L) {
  commons::release(L, &rvmodetable);
  return 0;
}

int luaopen_commons_kvmodetable(lua_State* L) {
  commons::push_mode_table(L, "kv");
  return open_with(L, &rkvmodetable);
}

int luaclose_commons_kvmodetable(lua_State* L) {
  commons::release(L, &rkvmodetable);
  return 0;
}

}  // extern "C"
