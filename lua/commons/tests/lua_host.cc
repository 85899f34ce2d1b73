#include "lua_host.h"

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

function show(v)
  if type(v) == "string" then return string.format("%q", v) end
  if type(v) ~= "table" then return tostring(v) end
  local parts, seen = {}, {}
  for i = 1, math.maxinteger do
    if rawget(v, i) == nil then break end
    parts[#parts + 1], seen[i] = show(rawget(v, i)), true
  end
  local keys = {}
  for k in next, v do if not seen[k] then keys[#keys + 1] = k end end
  table.sort(keys, function(a, b) return tostring(a) < tostring(b) end)
  for _, k in ipairs(keys) do parts[#parts + 1] = "[" .. show(k) .. "]=" .. show(rawget(v, k)) end
  return "{" .. table.concat(parts, ", ") .. "}"
end

-- Fails with "what: expected X, saw Y"; tables compare by their contents.
function expect(what, want, got)
  local same = want == got
  if not same and type(want) == "table" and type(got) == "table" then same = show(want) == show(got) end
  if not same then error(what .. ": expected " .. show(want) .. ", saw " .. show(got), 2) end
end

-- Expects f(...) to fail with a message containing `text`.
function expect_error(what, text, f, ...)
  local ok, err = pcall(f, ...)
  if ok then error(what .. ": expected an error with " .. show(text) .. ", saw success", 2) end
  if not tostring(err):find(text, 1, true) then
    error(what .. ": expected an error with " .. show(text) .. ", saw " .. show(err), 2)
  end
end

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
  setup_error_ = run(kPrelude);
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
