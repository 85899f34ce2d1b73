-- SPDX-License-Identifier: ISC
-- Figures printed by run.sh; every timing repeats its work until it has run
-- for at least `min_time` seconds.
local lattice = require "orv.lattice"
local tablex = require "pl.tablex"

local min_time = 0.3
local clock = os.clock

-- seconds per call of f()
local function time(f)
  f()  -- warm up
  local n, start = 0, clock()
  repeat
    for _ = 1, math.max(1, n) do f() end
    n = math.max(1, n) * 2
  until clock() - start >= min_time
  local calls = n - 1
  return (clock() - start) / calls
end

local function recursive_equal(a, b)
  if a == b then return true end
  if type(a) ~= "table" or type(b) ~= "table" then return false end
  for k, v in pairs(a) do
    if not recursive_equal(v, b[k]) then return false end
  end
  for k in pairs(b) do
    if a[k] == nil then return false end
  end
  return true
end

-- a tree of tables, ten entries each, holding `values` leaf values of mixed
-- kinds under array and string keys
local function tree(values, seed)
  local made = 0
  local function node(room)
    local t = {}
    if room <= 10 then
      for i = 1, room do
        made = made + 1
        t[i % 2 == 0 and i or ("k" .. i)] = (made % 3 == 0) and ("s" .. made) or made * 1.5
      end
      return t
    end
    local share = room // 10
    for i = 1, 10 do
      local r = (i == 10) and (room - share * 9) or share
      t[i % 2 == 0 and i or ("k" .. i)] = node(r)
    end
    return t
  end
  return node(values)
end

print("deep equality of two equal nested tables (time per comparison)")
print(string.format("%9s %12s %12s %12s %10s %10s", "values", "lattice", "plain Lua",
                    "penlight", "Lua/lat.", "pl/lat."))
for _, values in ipairs{10, 1000, 100000} do
  local a, b = tree(values), tree(values)
  assert(lattice.optimized_deep_equals(a, b) and recursive_equal(a, b)
         and tablex.deepcompare(a, b))
  local t_native = time(function() return lattice.optimized_deep_equals(a, b) end)
  local t_lua = time(function() return recursive_equal(a, b) end)
  local t_pl = time(function() return tablex.deepcompare(a, b) end)
  local function us(s) return string.format("%10.2fus", s * 1e6) end
  print(string.format("%9d %12s %12s %12s %9.1fx %9.1fx", values, us(t_native), us(t_lua),
                      us(t_pl), t_lua / t_native, t_pl / t_native))
end

-- a typical expression of 20 operator forms: a guard over a device record,
-- reading it through get and select and a limit through a user operator
local ops = {quote = 0, lt = 1, le = 3, eq = 5, ["and"] = 7, ["or"] = 8, ["not"] = 9,
             sum = 10, mul = 12, cat = 17, get = 19, select = 20,
             limit = function(ctx, name) return ctx[name] end}
local record = {outlets = {{state = "on", watts = 40}, {state = "off", watts = 0},
                           {state = "on", watts = 75}}, name = "pdu"}
local expr =
  {"and",
    {"lt", 0, {"get", {"quote", record}, "outlets", 0, "watts"},
           {"limit", "max_watts"}},
    {"eq", {"cat", {"get", {"quote", record}, "name"}, "-1"},
           "pdu-1"},
    {"or", {"not", {"le", {"sum", 1, 2}, 2}},
           {"eq", {"mul", 2, 3}, 6}},
    {"select", {"quote", record}, "outlets", true, "state"},
    {"le", {"sum", 40, 75}, {"limit", "max_watts"}}}
local ctx = {max_watts = 500}
local value, constant = lattice.reduce_core(ops, ctx, expr)
assert(value == true and constant == true)
local t_reduce = time(function() return lattice.reduce_core(ops, ctx, expr) end)
print(string.format("\nreduce_core on a 20-node expression: %.0f reductions/s (%.2f us each)",
                    1 / t_reduce, t_reduce * 1e6))
local unbound = {"and", expr, {"pending", 1}}
local t_residual = time(function() return lattice.reduce_core(ops, ctx, unbound) end)
print(string.format("same expression beside an unbound form (residual result): %.0f/s",
                    1 / t_residual))
