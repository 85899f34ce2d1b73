-- SPDX-License-Identifier: ISC
-- Helpers the lattice tests run before their own code, after the test kit's
-- shared assertions (expect, same, show, ...). `null` (the null marker) is
-- set by the harness before this file runs.
lattice = require "orv.lattice"

-- Operator table naming every operator code.
OPS = {
  quote = 0, lt = 1, gt = 2, le = 3, ge = 4, eq = 5, ne = 6, ["and"] = 7, ["or"] = 8,
  ["not"] = 9, sum = 10, sub = 11, mul = 12, div = 13, mod = 14, pow = 15, isint = 16,
  cat = 17, len = 18, get = 19, select = 20, match = 21, apply = 22,
}

function reduce(expr, ops, ctx)
  return lattice.reduce_core(ops or OPS, ctx, expr)
end

-- Deep equality as the module defines it, written without it: raw access,
-- 1 == 1.0, NaN unequal to itself; no cycles.
function plain_equal(a, b)
  if rawequal(a, b) then return true end
  if type(a) ~= "table" or type(b) ~= "table" then return false end
  for k, v in next, a do
    if not plain_equal(v, rawget(b, k)) then return false end
  end
  for k in next, b do
    if rawget(a, k) == nil then return false end
  end
  return true
end

-- Reduces expr and checks both results.
function check(expr, want, want_constant, ops, ctx)
  local got, constant = reduce(expr, ops, ctx)
  if not same(got, want) or constant ~= want_constant then
    error(string.format("expected %s (constant %s), saw %s (constant %s)",
      show(want), tostring(want_constant), show(got), tostring(constant)), 2)
  end
  return got
end

-- 1 wrapped n times by wrap: an expression n tables deep.
function nest(n, wrap)
  local t = 1
  for _ = 1, n do t = wrap(t) end
  return t
end

-- Deep copy keeping shared and cyclic structure and metatables.
function snapshot(v, copies)
  if type(v) ~= "table" then return v end
  copies = copies or {}
  if copies[v] then return copies[v] end
  local c = {}
  copies[v] = c
  for k, x in next, v do rawset(c, k, snapshot(x, copies)) end
  return setmetatable(c, getmetatable(v))
end
