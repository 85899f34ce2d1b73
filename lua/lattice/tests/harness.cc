// SPDX-License-Identifier: ISC
#include "harness.h"

#include <cstdio>
#include <cstdlib>

#include <gtest/gtest.h>

#include "lua_expect.h"

namespace lattice_test {
namespace {

int traceback(lua_State *L) {
  luaL_traceback(L, L, lua_tostring(L, 1), 1);
  return 1;
}

std::string finish(lua_State *L, int status) {
  std::string error;
  if (status != LUA_OK) {
    const char *msg = lua_tostring(L, -1);
    error = msg ? msg : "(error without message)";
    if (error.empty()) error = "(empty error message)";
  }
  lua_settop(L, 0);
  return error;
}

}  // namespace

std::string module_path() { return std::string(EO_LUA54_DIR) + "/orv/lattice.so"; }

LuaHarness::LuaHarness() : L_(luaL_newstate()) {
  luaL_openlibs(L_);
  lua_getglobal(L_, "package");
  lua_pushstring(L_, EO_LUA54_DIR "/?.so");
  lua_setfield(L_, -2, "cpath");
  lua_pop(L_, 1);
  lua_pushlightuserdata(L_, nullptr);
  lua_setglobal(L_, "null");
  std::string error = lua_expect::load(L_);
  if (error.empty()) error = run_file("prelude.lua");
  if (!error.empty()) {
    fprintf(stderr, "test prelude: %s\n", error.c_str());
    abort();
  }
}

LuaHarness::~LuaHarness() { lua_close(L_); }

std::string LuaHarness::run(const std::string &code) {
  lua_pushcfunction(L_, traceback);
  int status = luaL_loadbuffer(L_, code.data(), code.size(), "=test");
  if (status == LUA_OK) status = lua_pcall(L_, 0, 0, 1);
  return finish(L_, status);
}

std::string LuaHarness::run_file(const std::string &name) {
  const std::string path = std::string(LATTICE_TEST_DIR "/") + name;
  lua_pushcfunction(L_, traceback);
  int status = luaL_loadfile(L_, path.c_str());
  if (status == LUA_OK) status = lua_pcall(L_, 0, 0, 1);
  return finish(L_, status);
}

void check_rows(LuaHarness &lua, const ReduceCase *rows, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const ReduceCase &row = rows[i];
    const std::string code = std::string("check(") + row.expr + ", " + row.want + ", " +
                             (row.constant ? "true" : "false") + ")";
    const std::string error = lua.run(code);
    if (!error.empty())
      ADD_FAILURE() << row.name << ": " << row.expr << "\n  " << error.substr(0, error.find('\n'));
  }
}

}  // namespace lattice_test
