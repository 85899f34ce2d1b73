-- SPDX-License-Identifier: ISC
-- The Lua 5.4 modules loaded by the stand-alone interpreter built for the
-- target (run under the emulator): usage: lua5.4 lua54_check.lua MODULE_DIR [target]
local dir = assert(arg[1], "usage: lua54_check.lua MODULE_DIR")
package.cpath = dir .. "/?.so"

-- with "target": the interpreter itself is the target's
if arg[2] == "target" then
  assert(string.pack("=I4", 1) == "\0\0\0\1", "not a big-endian interpreter")
  assert(string.packsize("T") == 4, "not a 32-bit interpreter")
end

local lattice = require "orv.lattice"
local eq = lattice.optimized_deep_equals
assert(eq({1, {2, {x = "y"}}}, {1, {2, {x = "y"}}}) == true, "equal nested tables")
assert(eq({1, {2, {x = "y"}}}, {1, {2, {x = "z"}}}) == false, "different leaves")
assert(eq({a = 1}, {a = 1, b = 2}) == false, "a key the first lacks")
assert(eq(2^53, 2^53) == true and eq(1, 2) == false, "numbers")

local detour = require "detour"
local t = {"a", "c"}
detour.insert(t, 2, "b")
detour.insert(t, nil, "d")
assert(table.concat(t) == "abcd", "insert: " .. table.concat(t))
detour.remove(t, 1)
assert(table.concat(t) == "bcd", "remove: " .. table.concat(t))

for name, mode in pairs({["commons.kmodetable"] = "k", ["commons.vmodetable"] = "v",
                         ["commons.kvmodetable"] = "kv"}) do
  local mt = require(name)
  assert(mt.__mode == mode, name .. " mode " .. tostring(mt.__mode))
  local t, kept = setmetatable({}, mt), {}
  t[{}], t[kept] = {}, kept
  collectgarbage()
  collectgarbage()
  local n = 0
  for _ in pairs(t) do n = n + 1 end
  assert(n == 1 and t[kept] == kept, name .. " keeps " .. n .. " entries")
end
assert(type(require("commons.pubsub")) == "table", "commons.pubsub")

local ares = require "ares"
assert(type(ares) == "table", "ares")
print("lua 5.4 modules: ok")
