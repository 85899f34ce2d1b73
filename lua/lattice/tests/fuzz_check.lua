-- SPDX-License-Identifier: ISC
-- Checks for lattice_fuzz, run after prelude.lua. The fuzz target builds
-- values from its input bytes and hands them to these functions; an error
-- raised here is a finding.

-- The operators the fuzz target names by index (it reads FUZZ_HEADS).
FUZZ_OPS = {}
for k, v in pairs(OPS) do FUZZ_OPS[k] = v end
FUZZ_OPS.user = function(ctx, ...)
  local n = ctx
  for i = 1, select('#', ...) do
    local v = select(i, ...)
    n = n + (type(v) == "number" and v == v and v or 1)
  end
  return n
end
FUZZ_OPS.pack = function(ctx, ...) return {ctx, ...} end
FUZZ_OPS.weird = 99    -- outside the operator codes: unbound
FUZZ_OPS.negative = -1 -- likewise
FUZZ_OPS.frac = 0.5    -- not an exact integer: counts as quote
FUZZ_OPS.text = "sum"  -- neither number nor function: unbound
FUZZ_HEADS = {}
for k in pairs(FUZZ_OPS) do FUZZ_HEADS[#FUZZ_HEADS + 1] = k end
table.sort(FUZZ_HEADS)
FUZZ_HEADS[#FUZZ_HEADS + 1] = "free"  -- not bound at all

-- Containers with behaviour, for paths to walk through.
FUZZ_DATA = {
  a = {b = {10, 20, 30}, n = 5}, list = {{name = "x"}, {name = "y"}, {other = 1}},
  [0] = "zero", [-1] = {name = "minus"},
}
FUZZ_META = setmetatable({}, {__index = function(_, k) return "via " .. tostring(k) end})
FUZZ_PAIRS = setmetatable({}, {__pairs = function() return next, FUZZ_DATA, nil end})
FUZZ_LONG = setmetatable({{name = "l1"}}, {__len = function() return 3 end,
  __index = function(_, k) return {name = "idx" .. tostring(k)} end})

-- Nesting of tables in an expression (the generator makes no cycles).
local function depth_of(v)
  if type(v) ~= "table" then return 0 end
  local deepest = 0
  for _, x in next, v do deepest = math.max(deepest, depth_of(x)) end
  return deepest + 1
end

-- The errors the generated expressions may raise: integer modulo by zero,
-- and the nesting limit for expressions nested deeply enough to reach it
-- (an apply step reduces its list one level further down).
local function allowed_error(err, expr)
  err = tostring(err)
  if err:find("'n%%0'") then return true end
  return err:find("expression nested too deeply", 1, true) ~= nil and depth_of(expr) > 100
end

-- The reducer invariants for one expression.
function fuzz_reduce(expr)
  local before = snapshot(expr)
  local ok, got, constant = pcall(lattice.reduce_core, FUZZ_OPS, 1, expr)
  if not same(expr, before) then
    error("input modified\n  before: " .. show(before) .. "\n  after: " .. show(expr))
  end
  if not ok then
    if not allowed_error(got, expr) then error("unexpected error: " .. tostring(got)) end
    return
  end
  if type(constant) ~= "boolean" then error("flag is not a boolean: " .. show(constant)) end
  local again, c2 = lattice.reduce_core(FUZZ_OPS, 1, expr)
  if not same(again, got) or c2 ~= constant then
    error("second reduction differs\n  first: " .. show(got) .. "\n  again: " .. show(again))
  end
  if constant then
    local requoted, c3 = lattice.reduce_core(FUZZ_OPS, 1, {"quote", got})
    if got == nil then got = null end
    if not same(requoted, got) or c3 ~= true then
      error("quoted constant changed\n  first: " .. show(got) .. "\n  again: " .. show(requoted))
    end
  else
    if type(got) ~= "table" then error("residual is not a table: " .. show(got)) end
    local residual = snapshot(got)
    local ok2, again2, c4 = pcall(lattice.reduce_core, FUZZ_OPS, 1, got)
    if not ok2 then error("residual raised on a second reduction: " .. tostring(again2)) end
    if not same(again2, residual) or c4 ~= false then
      error("residual changed on a second reduction\n  first: " .. show(residual) ..
            "\n  again: " .. show(again2) .. " (" .. tostring(c4) .. ")")
    end
    if not same(got, residual) then error("residual input modified: " .. show(got)) end
  end
end

-- Rebuilds a table tree with its keys stored in reverse traversal order, so
-- that equal tables walk their keys in different orders.
local function reordered(v, copies)
  if type(v) ~= "table" then return v end
  copies = copies or {}
  if copies[v] then return copies[v] end
  local keys = {}
  for k in next, v do keys[#keys + 1] = k end
  local c = {}
  copies[v] = c
  for i = #keys, 1, -1 do rawset(c, keys[i], reordered(rawget(v, keys[i]), copies)) end
  return c
end

-- A copy of v with one change picked by `pick` (a non-negative integer):
-- a value replaced, a key added or a key removed, somewhere in the tree.
local function mutated(v, pick)
  local c = snapshot(v)
  if type(c) ~= "table" then return pick % 2 == 0 and {c} or c end
  local tables, seen = {}, {}
  local function collect(t)
    if seen[t] then return end
    seen[t] = true
    tables[#tables + 1] = t
    for _, x in next, t do if type(x) == "table" then collect(x) end end
  end
  collect(c)
  local t = tables[pick % #tables + 1]
  local keys = {}
  for k in next, t do keys[#keys + 1] = k end
  local action = (pick // 7) % 4
  if action == 0 or #keys == 0 then
    rawset(t, "added" .. pick % 3, pick % 5 == 0 and {} or pick)
  elseif action == 1 then
    rawset(t, keys[pick % #keys + 1], nil)
  elseif action == 2 then
    rawset(t, keys[pick % #keys + 1], {})
  else
    local k = keys[pick % #keys + 1]
    local x = rawget(t, k)
    rawset(t, k, math.type(x) == "integer" and x + 0.0 or "changed")  -- 1.0 keeps it equal
  end
  return c
end

-- Deep equality against the reference for a value, its copies and variants.
function fuzz_equal(a, b, pick)
  local function check(x, y, what)
    local got = lattice.optimized_deep_equals(x, y)
    local want = plain_equal(x, y)
    if got ~= want then
      error(what .. ": deep equality says " .. tostring(got) .. ", reference " .. tostring(want) ..
            "\n  a: " .. show(x) .. "\n  b: " .. show(y))
    end
    if lattice.optimized_deep_equals(y, x) ~= got then
      error(what .. ": deep equality is not symmetric\n  a: " .. show(x) .. "\n  b: " .. show(y))
    end
  end
  local a_before, b_before = snapshot(a), snapshot(b)
  check(a, b, "two values")
  check(a, a, "a value with itself")
  check(a, snapshot(a), "a value and its copy")
  check(a, reordered(a), "a value and its reordered copy")
  local m = mutated(a, pick)
  check(a, m, "a value and a changed copy")
  check(reordered(a), m, "a reordered value and a changed copy")
  if not same(a, a_before) or not same(b, b_before) then error("deep equality modified its input") end
end
