-- SPDX-License-Identifier: ISC
-- optimized_deep_equals against the prelude's plain_equal on random nested
-- tables (fixed seed): equal copies, copies with one change, shared parts.
math.randomseed(7411)
local rnd = math.random
local eq = lattice.optimized_deep_equals

local scalars = {0, 1, 1.0, -2, 2.5, "a", "", "1", true, false, null, print}
local keys = {1, 2, 3, 4, "x", "y", "long key", 2.5, true}

-- nested tables of up to `budget` tables, reaching down to `depth` levels
local budget
local function build(depth, spine)
  if depth <= 0 or budget <= 0 or (not spine and rnd(3) == 1) then
    return scalars[rnd(#scalars)]
  end
  budget = budget - 1
  local t = {}
  if spine then t.deep = build(depth - 1, true) end  -- one long chain per structure
  for _ = 1, rnd(0, 3) do t[keys[rnd(#keys)]] = build(depth - rnd(4)) end
  return t
end

local function copy(v)
  if type(v) ~= "table" then return v end
  local c = {}
  for k, x in next, v do c[k] = copy(x) end
  return c
end

-- changes one value somewhere in t (a table), or adds/removes a key
local function mutate(t)
  local path = t
  while true do
    local ks = {}
    for k in next, path do ks[#ks + 1] = k end
    if #ks == 0 or rnd(3) == 1 then
      local k = keys[rnd(#keys)]
      if rawget(path, k) == nil then path[k] = "new" else path[k] = nil end
      return
    end
    local k = ks[rnd(#ks)]
    if type(path[k]) ~= "table" or rnd(3) == 1 then
      path[k] = {path[k]}
      return
    end
    path = path[k]
  end
end

local deadline = os.clock() + 2
local runs = 0
for i = 1, 3000 do
  budget = rnd(1, 120)
  local a = build(rnd(1, 40), true)
  local b = copy(a)
  if type(a) == "table" and rnd(2) == 1 then mutate(b) end
  if rnd(8) == 1 then
    budget = 5
    b = build(rnd(1, 4))
  end
  local want, got = plain_equal(a, b), eq(a, b)
  if want ~= got then
    error(string.format("case %d: expected %s, saw %s for\n  a = %s\n  b = %s",
      i, tostring(want), tostring(got), show(a), show(b)))
  end
  if eq(b, a) ~= want then error("case " .. i .. ": result depends on argument order") end
  runs = runs + 1
  if os.clock() > deadline then break end
end
if runs < 200 then error("only " .. runs .. " comparisons ran") end
