// SPDX-License-Identifier: ISC
// A real Lua 5.4 state with the built module on its cpath, the shared
// assertions (expect, expect_error, cases, same, show: see the test kit's
// expect.lua) and the helpers of prelude.lua loaded.
#pragma once

#include <lua.hpp>

#include <cstddef>
#include <string>

namespace lattice_test {

class LuaHarness {
 public:
  LuaHarness();
  ~LuaHarness();
  LuaHarness(const LuaHarness &) = delete;
  LuaHarness &operator=(const LuaHarness &) = delete;

  // Runs a chunk; returns an empty string on success, else the error.
  std::string run(const std::string &code);
  // Loads and runs a Lua file of the test folder.
  std::string run_file(const std::string &name);
  lua_State *state() const { return L_; }

 private:
  lua_State *L_;
};

// Full path of the built module.
std::string module_path();

// One reduction and what it must give: `expr` and `want` are Lua
// expressions, `constant` the expected second result of reduce_core.
struct ReduceCase {
  const char *name;
  const char *expr;
  const char *want;
  bool constant;
};

// Reduces every row with the global OPS, one failure reported per row.
void check_rows(LuaHarness &lua, const ReduceCase *rows, size_t count);

template <size_t N>
void check_rows(LuaHarness &lua, const ReduceCase (&rows)[N]) {
  check_rows(lua, rows, N);
}

}  // namespace lattice_test
