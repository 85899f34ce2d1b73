// SPDX-License-Identifier: ISC
#include "lua_host.h"

#include "lua_expect.h"

namespace luahost {
namespace {

// Loaded into every state before the tests' own chunks.
constexpr const char kPrelude[] = R"lua(
package.path = ""
package.cpath = MODULE_DIR .. "/?.so"

-- host.open(name) -> module, close handle. The handle (to-be-closed) runs
-- the module's luaclose_ hook and forgets the module, so the next require
-- opens it again. Handles still open when the state closes are finalized
-- in reverse order of opening, running their hooks.
host = {}
local still_open = {}
function host.open(name)
  local module = require(name)
  local file = assert(package.searchpath(name:match("^[^.]+"), package.cpath))
  local hook = assert(package.loadlib(file, "luaclose_" .. (name:gsub("%.", "_"))))
  local closed = false
  local function close()
    if closed then return end
    closed = true
    package.loaded[name] = nil
    hook()
  end
  local handle = setmetatable({}, {__close = close, __gc = close})
  still_open[handle] = true
  return module, handle
end

function full_gc() collectgarbage(); collectgarbage() end

-- All results of a call as a table with its count in n.
function results(...) return table.pack(...) end
)lua";

int traceback(lua_State* L) {
  const char* message = lua_tostring(L, 1);
  luaL_traceback(L, L, message ? message : "(error object is not a string)", 1);
  return 1;
}

std::string error_text(lua_State* L) {
  const char* message = lua_type(L, -1) == LUA_TSTRING ? lua_tostring(L, -1) : nullptr;
  return message ? message : "(error object is not a string)";
}

}  // namespace

State::State() : L_(luaL_newstate()) {
  luaL_openlibs(L_);
  lua_pushliteral(L_, EO_LUA54_DIR);
  lua_setglobal(L_, "MODULE_DIR");
  const std::string assertions = lua_expect::load(L_);
  setup_error_ = assertions.empty() ? run(kPrelude) : "assertions: " + assertions;
}

State::~State() { close(); }

void State::close() {
  if (L_ != nullptr) lua_close(L_);
  L_ = nullptr;
}

std::string State::run(const std::string& chunk) {
  if (!setup_error_.empty()) return "prelude: " + setup_error_;
  lua_pushcfunction(L_, traceback);
  const int handler = lua_gettop(L_);
  int status = luaL_loadbuffer(L_, chunk.data(), chunk.size(), "=test");
  if (status == LUA_OK) status = lua_pcall(L_, 0, 0, handler);
  std::string error = status == LUA_OK ? "" : error_text(L_);
  lua_settop(L_, handler - 1);
  return error;
}

}  // namespace luahost
