// SPDX-License-Identifier: ISC
// A Lua 5.4 state that loads modules the way the firmware's interpreter
// does: modules come from the build tree through require, and the host's
// close mechanism runs a module's luaclose_ hook when the module is closed
// (a to-be-closed handle from host.open) or when the state is closed. The
// shared assertions of the Lua tests (lua_expect.h) are loaded.
#pragma once

#include <lua.hpp>

#include <string>

namespace luahost {

class State {
 public:
  State();
  ~State();
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  lua_State* L() const { return L_; }
  // Runs a chunk of Lua; returns "" or the error with a traceback.
  std::string run(const std::string& chunk);
  // lua_close now: modules still open get their close hooks.
  void close();

 private:
  lua_State* L_;
  std::string setup_error_;
};

}  // namespace luahost
