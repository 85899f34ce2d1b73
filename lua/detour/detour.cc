// SPDX-License-Identifier: ISC
// detour: table insert, remove and close that let the container's own
// metatable ("__insert", "__remove", "__close") take the work over, and a
// shuffle whose random source is seeded with the sequence length.
//
// Without a metamethod the work goes through the ordinary accessors, so
// __index, __newindex and __len of the container all apply.
#include <lua.hpp>

#include <cstdint>

namespace {

// Hands the call to the metamethod `event` of argument 1, if it has one,
// with every argument; leaves its first two results on the stack.
bool hand_over(lua_State* L, const char* event) {
  if (luaL_getmetafield(L, 1, event) == LUA_TNIL) return false;
  lua_insert(L, 1);
  lua_call(L, lua_gettop(L) - 1, 2);
  return true;
}

// Registry key of the host's table.move as it was when the module opened.
char move_key;

// Shifting this many elements or more of a real table goes through
// table.move: it runs the same lua_geti/lua_seti pairs in the same order
// (so every metamethod sees the same calls), but from inside the host,
// where each pair costs less than from here. Below this the call itself
// would cost more than it saves.
constexpr lua_Integer kMoveFrom = 16;

// Moves t[from..to] to start at `dest` (one step up or down) the way the
// element loop below would. Returns false when the caller has to run the
// loop itself.
bool shift_by_move(lua_State* L, lua_Integer from, lua_Integer to, lua_Integer dest) {
  if (to - from + 1 < kMoveFrom || lua_type(L, 1) != LUA_TTABLE) return false;
  if (lua_rawgetp(L, LUA_REGISTRYINDEX, &move_key) != LUA_TFUNCTION) {
    lua_pop(L, 1);
    return false;
  }
  lua_pushvalue(L, 1);
  lua_pushinteger(L, from);
  lua_pushinteger(L, to);
  lua_pushinteger(L, dest);
  lua_call(L, 4, 0);
  return true;
}

enum class Slot { end_of_sequence, position, key };

// What argument 2 names: the end of the sequence (nil), a position (an
// integral number other than 0) or a plain key (anything else, including a
// missing argument). Positions below 1 are out of bounds.
Slot slot_of(lua_State* L, lua_Integer* position) {
  switch (lua_type(L, 2)) {
    case LUA_TNIL:
      return Slot::end_of_sequence;
    case LUA_TNUMBER: {
      int integral = 0;
      *position = lua_tointegerx(L, 2, &integral);
      if (!integral || *position == 0) return Slot::key;
      luaL_argcheck(L, *position > 0, 2, "position out of bounds");
      return Slot::position;
    }
    default:
      return Slot::key;
  }
}

// insert(t, key or position, value) -> key or position, value; nothing when
// a plain key is already set
int table_insert(lua_State* L) {
  if (hand_over(L, "__insert")) return 2;
  lua_Integer position = 0;
  const Slot slot = slot_of(L, &position);
  lua_settop(L, 3);
  if (slot == Slot::key) {
    lua_pushvalue(L, 2);
    if (lua_gettable(L, 1) != LUA_TNIL) return 0;  // taken: leave it
    lua_pop(L, 1);
    lua_pushvalue(L, 2);
    lua_pushvalue(L, 3);
    lua_settable(L, 1);
    return 2;
  }
  const lua_Integer n = luaL_len(L, 1);
  if (slot == Slot::end_of_sequence) {
    position = luaL_intop(+, n, 1);
  } else {
    luaL_argcheck(L, position <= n || position - 1 == n, 2, "position out of bounds");
    // open a gap at position: t[n + 1] = t[n], ..., t[position + 1] = t[position]
    if (n == LUA_MAXINTEGER || !shift_by_move(L, position, n, position + 1)) {
      for (lua_Integer i = n; i >= position; --i) {
        lua_geti(L, 1, i);
        lua_seti(L, 1, luaL_intop(+, i, 1));
      }
    }
  }
  lua_pushvalue(L, 3);
  lua_seti(L, 1, position);
  lua_pushinteger(L, position);
  lua_replace(L, 2);
  return 2;
}

// remove(t, key or position [, want]) -> key or position, the removed value
// (when wanted) or nil
int table_remove(lua_State* L) {
  if (hand_over(L, "__remove")) return 2;
  const bool want = lua_toboolean(L, 3);
  lua_Integer position = 0;
  const Slot slot = slot_of(L, &position);
  lua_settop(L, 2);
  lua_Integer n = 0;
  if (slot != Slot::key) {
    n = luaL_len(L, 1);
    if (slot == Slot::end_of_sequence)
      position = n;
    else
      luaL_argcheck(L, position <= n, 2, "position out of bounds");
    lua_pushinteger(L, position);
    lua_replace(L, 2);
  }
  if (want) {
    lua_pushvalue(L, 2);
    lua_gettable(L, 1);  // 3: the value, read before anything moves
  } else {
    lua_pushnil(L);
  }
  if (slot == Slot::key) {
    lua_pushvalue(L, 2);
    lua_pushnil(L);
    lua_settable(L, 1);
    return 2;
  }
  // close the gap: t[position] = t[position + 1], ..., t[n - 1] = t[n]
  if (position >= n || !shift_by_move(L, position + 1, n, position)) {
    for (lua_Integer i = position; i < n; ++i) {
      lua_geti(L, 1, i + 1);
      lua_seti(L, 1, i);
    }
  }
  lua_pushnil(L);
  lua_seti(L, 1, n);
  return 2;
}

// close(t, ...): only what the container's "__close" does
int table_close(lua_State* L) {
  hand_over(L, "__close");
  return 0;
}

// shuffle(t, n): a forward Fisher-Yates pass over t[1..n] drawing from the
// multiplicative generator x -> 48271 x mod (2^31 - 1), seeded with n.
int table_shuffle(lua_State* L) {
  constexpr std::uint64_t kMultiplier = 48271;
  constexpr std::uint64_t kModulus = 2147483647;
  int integral = 0;
  lua_Integer n = lua_tointegerx(L, 2, &integral);
  if (!integral) n = 0;
  std::uint64_t state = static_cast<std::uint64_t>(n);
  std::uint64_t span = state;  // positions i..n left to draw from
  for (lua_Integer i = 1; i < n; ++i, --span) {
    state = state % kModulus * kMultiplier % kModulus;
    const lua_Integer j = i + static_cast<lua_Integer>(state % span);
    if (j == i) continue;
    lua_geti(L, 1, i);
    lua_geti(L, 1, j);
    lua_seti(L, 1, i);
    lua_seti(L, 1, j);
  }
  return 0;
}

constexpr luaL_Reg kFunctions[] = {
    {"insert", table_insert},   {"remove", table_remove}, {"close", table_close},
    {"shuffle", table_shuffle}, {nullptr, nullptr},
};

}  // namespace

extern "C" {

int luaopen_detour(lua_State* L) {
  // table.move of the standard library, if it is loaded; later changes to
  // the global table library do not reach it
  const int top = lua_gettop(L);
  luaL_getsubtable(L, LUA_REGISTRYINDEX, LUA_LOADED_TABLE);
  if (lua_getfield(L, -1, LUA_TABLIBNAME) == LUA_TTABLE &&
      lua_getfield(L, -1, "move") == LUA_TFUNCTION)
    lua_rawsetp(L, LUA_REGISTRYINDEX, &move_key);
  lua_settop(L, top);
  luaL_newlib(L, kFunctions);
  return 1;
}

int luaclose_detour(lua_State*) { return 0; }

}  // extern "C"
