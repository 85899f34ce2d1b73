-- SPDX-License-Identifier: ISC
-- Random expressions and plain tables (fixed seed, bounded time) through the
-- reducer, checking what must hold for any input:
--   * the input is never modified, and reducing it twice gives equal results;
--   * a constant result, quoted and reduced again, gives an equal value;
--   * a residual result reduced again with the same operators is equal to
--     itself and still residual.
math.randomseed(90210)
local rnd = math.random

local ops = {}
for k, v in pairs(OPS) do ops[k] = v end
ops.user = function(ctx, ...)
  local n = ctx
  for i = 1, select('#', ...) do
    local v = select(i, ...)
    n = n + (type(v) == "number" and v or 1)
  end
  return n
end
ops.pack = function(ctx, ...) return {ctx, ...} end
ops.weird = 99      -- outside the operator codes: unbound
ops.frac = 0.5      -- counts as quote
local ctx = 1

local heads = {}
for k in pairs(ops) do heads[#heads + 1] = k end
table.sort(heads)
heads[#heads + 1] = "free"   -- not bound at all

local scalars = {0, 1, 2, -3, 7, 2.5, -0.5, 1e300, 2147483647, math.maxinteger,
                 "a", "b", "ab", "", "^a", "(", true, false, null}
local shared = {}            -- tables met more than once in one expression

local gen
local function gen_plain(depth)
  local t = {}
  for _ = 1, rnd(0, 3) do
    local k = ({"x", "y", "name", 2, 3, 2.5})[rnd(6)]
    t[k] = gen(depth - 1)
  end
  return t
end

local function gen_form(depth)
  local f = {heads[rnd(#heads)]}
  for i = 2, rnd(1, 5) do f[i] = gen(depth - 1) end
  return f
end

function gen(depth)
  local r = rnd(10)
  if depth <= 0 or r <= 4 then return scalars[rnd(#scalars)] end
  if r <= 7 then return gen_form(depth) end
  if r == 8 then return gen_plain(depth) end
  if r == 9 then return {"quote", gen_plain(depth)} end
  if #shared > 0 and rnd(2) == 1 then return shared[rnd(#shared)] end
  local t = gen_form(depth)
  shared[#shared + 1] = t
  return t
end

local function fail(i, what, expr, detail)
  error(string.format("case %d: %s\n  expression: %s\n  %s", i, what, show(expr), detail), 0)
end

local deadline = os.clock() + 4
local runs, constants, residuals, errors = 0, 0, 0, 0
for i = 1, 20000 do
  shared = {}
  local expr = rnd(4) == 1 and gen_plain(6) or gen_form(6)
  local before = snapshot(expr)
  local ok, got, constant = pcall(lattice.reduce_core, ops, ctx, expr)
  if not same(expr, before) then
    fail(i, "input modified", before, "after: " .. show(expr))
  end
  if not ok then
    -- the only error such expressions can raise: integer modulo by zero
    if not tostring(got):find("'n%0'", 1, true) then
      fail(i, "unexpected error", expr, tostring(got))
    end
    errors = errors + 1
  else
    -- nothing is kept between calls: the same input gives the same result
    local again, c2 = lattice.reduce_core(ops, ctx, expr)
    if not same(again, got) or c2 ~= constant then
      fail(i, "second reduction of the input differs", expr,
           "first: " .. show(got) .. "\n  again: " .. show(again))
    end
    if constant then
      constants = constants + 1
      again, c2 = lattice.reduce_core(ops, ctx, {"quote", got})
      if got == nil then got = null end   -- a quote of nothing is the null marker
      if not same(again, got) or c2 ~= true then
        fail(i, "quoted constant changed", expr,
             "first: " .. show(got) .. "\n  again: " .. show(again) .. " (" .. tostring(c2) .. ")")
      end
    else
      residuals = residuals + 1
      if type(got) ~= "table" then fail(i, "residual is not a table", expr, show(got)) end
      local residual = snapshot(got)
      again, c2 = lattice.reduce_core(ops, ctx, got)
      if not same(again, residual) or c2 ~= false then
        fail(i, "residual changed on a second reduction", expr,
             "first: " .. show(residual) .. "\n  again: " .. show(again) .. " (" .. tostring(c2) .. ")")
      end
      if not same(got, residual) then fail(i, "residual input modified", expr, show(got)) end
    end
  end
  runs = runs + 1
  if os.clock() > deadline then break end
end
-- the generator must exercise all three outcomes
if runs < 500 or constants < 50 or residuals < 50 then
  error(string.format("too little coverage: %d runs, %d constant, %d residual, %d errors",
                      runs, constants, residuals, errors))
end
