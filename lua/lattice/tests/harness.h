// A real Lua 5.4 state with the built module on its cpath and the helpers of
// prelude.lua loaded.
#pragma once

#include <lua.hpp>

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

// A test name made of the words of a case description.
std::string case_name(const char *description);

// Names parameterized cases after their `name` field.
struct CaseName {
  template <typename Info>
  std::string operator()(const Info &info) const {
    return case_name(info.param.name);
  }
};

}  // namespace lattice_test
