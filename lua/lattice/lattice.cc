// SPDX-License-Identifier: ISC
// Module entry and structural equality.
#include "lattice.h"

#include <lua.hpp>

#include <array>

namespace {

// Table levels one native call walks in place (counter values 0..11);
// deeper pairs go to a nested call with a fresh counter.
constexpr int last_inline_level = 11;
// Slots one open level needs: key and the two values, plus the nested call's
// function.
constexpr int level_slots = 4;

// optimized_deep_equals(a, b) -> boolean
int deep_equals(lua_State *L) {
  lua_settop(L, 2);
  int equal = orv_lattice_optimized_deep_equals(L);
  lua_pushboolean(L, equal);
  return 1;
}

}  // namespace

extern "C" int orv_lattice_optimized_deep_equals(lua_State *L) {
  const int a = lua_absindex(L, -2);
  if (lua_rawequal(L, a, a + 1)) return 1;
  if (!lua_istable(L, a) || !lua_istable(L, a + 1)) return 0;

  // Level d compares the tables at a + 3d and a + 3d + 1; its key sits just
  // above them, followed by the two values under that key. Every key of a
  // found in b with an equal (so non-nil) value, b has no other key exactly
  // when it has as many keys as a.
  std::array<lua_Integer, last_inline_level + 1> keys_of_a;
  int depth = 0;
  luaL_checkstack(L, level_slots, "tables nested too deeply");
  keys_of_a[0] = 0;
  lua_pushnil(L);
  for (;;) {
    const int ta = a + 3 * depth;
    const int tb = ta + 1;
    if (lua_next(L, ta)) {
      ++keys_of_a[depth];
      lua_pushvalue(L, -2);
      lua_rawget(L, tb);
      if (lua_rawequal(L, -2, -1)) {
        lua_pop(L, 2);
        continue;
      }
      if (!lua_istable(L, -2) || !lua_istable(L, -1)) return 0;
      if (depth < last_inline_level) {
        luaL_checkstack(L, level_slots, "tables nested too deeply");
        keys_of_a[++depth] = 0;
        lua_pushnil(L);
        continue;
      }
      lua_pushcfunction(L, deep_equals);
      lua_insert(L, -3);
      lua_call(L, 2, 1);
      if (!lua_toboolean(L, -1)) return 0;
      lua_pop(L, 1);
      continue;
    }
    lua_Integer keys_of_b = 0;
    lua_pushnil(L);
    while (lua_next(L, tb)) {
      if (++keys_of_b > keys_of_a[depth]) return 0;  // a key a lacks
      lua_pop(L, 1);
    }
    if (depth == 0) return 1;
    --depth;
    lua_pop(L, 2);  // the finished pair; the parent's key is on top again
  }
}

extern "C" int luaclose_orv_lattice(lua_State *) { return 0; }

extern "C" int luaopen_orv_lattice(lua_State *L) {
  lua_createtable(L, 0, 2);
  lua_pushcfunction(L, deep_equals);
  lua_setfield(L, -2, "optimized_deep_equals");
  orv_lattice_reduce_open(L);
  return 1;
}
