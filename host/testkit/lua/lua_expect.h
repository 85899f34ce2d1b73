// SPDX-License-Identifier: ISC
// Loads expect.lua, the assertions every Lua test uses (its API is
// described at the top of that file), into a Lua state. Header-only: the
// includer's <lua.hpp> decides whether it is a Lua 5.4 or a Lua 5.1 state.
#pragma once

#include <lua.hpp>

#include <string>

namespace lua_expect {

// Returns "" once the globals are defined, else the error.
inline std::string load(lua_State* L) {
  if (luaL_loadfile(L, LUA_EXPECT_FILE) == 0 && lua_pcall(L, 0, 0, 0) == 0) return "";
  const char* message = lua_tostring(L, -1);
  std::string error = message ? message : "(error object is not a string)";
  lua_pop(L, 1);
  return error;
}

}  // namespace lua_expect
