-- Helpers the lattice tests run before their own code. `null` (the null
-- marker) is set by the harness before this file runs.
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

local function is_nan(v) return type(v) == "number" and v ~= v end

-- Readable rendering: integers and floats differ (3 vs 3.0), keys sorted.
function show(v, seen)
  seen = seen or {}
  local t = type(v)
  if v == null then return "null" end
  if t == "string" then return string.format("%q", v) end
  if t == "number" then
    if math.type(v) == "float" then
      if v ~= v then return "nan" end
      if v == math.huge then return "inf" end
      if v == -math.huge then return "-inf" end
      if v == math.floor(v) and math.abs(v) < 2^63 then return string.format("%d.0", v) end
    end
    return tostring(v)
  end
  if t ~= "table" then return tostring(v) end
  if seen[v] then return "<cycle>" end
  seen[v] = true
  local keys = {}
  for k in next, v do keys[#keys + 1] = k end
  table.sort(keys, function(a, b)
    local ta, tb = type(a), type(b)
    if ta ~= tb then return ta < tb end
    if ta == "number" or ta == "string" then return a < b end
    return tostring(a) < tostring(b)
  end)
  local parts, n = {}, rawlen(v)
  for i = 1, n do parts[#parts + 1] = show(rawget(v, i), seen) end
  for _, k in ipairs(keys) do
    if not (math.type(k) == "integer" and k >= 1 and k <= n) then
      parts[#parts + 1] = "[" .. show(k, seen) .. "]=" .. show(rawget(v, k), seen)
    end
  end
  seen[v] = nil
  return "{" .. table.concat(parts, ", ") .. "}"
end

-- Structural equality written independently of the module: raw access,
-- integer and float told apart, NaN equal to NaN, cycles allowed.
function same(a, b, assumed)
  if rawequal(a, b) then return true end
  if is_nan(a) and is_nan(b) then return true end
  if type(a) ~= type(b) then return false end
  if type(a) == "number" then return math.type(a) == math.type(b) and a == b end
  if type(a) ~= "table" then return false end
  assumed = assumed or {}
  assumed[a] = assumed[a] or {}
  if assumed[a][b] then return true end
  assumed[a][b] = true
  for k, v in next, a do
    if not same(v, rawget(b, k), assumed) then return false end
  end
  for k in next, b do
    if rawget(a, k) == nil then return false end
  end
  return true
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

function expect(got, want, what)
  if not same(got, want) then
    error(string.format("%s: expected %s, saw %s", what or "value", show(want), show(got)), 2)
  end
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

-- Calls f and checks that it raised an error containing `text`.
function expect_error(text, f, ...)
  local ok, err = pcall(f, ...)
  if ok then error("expected an error containing '" .. text .. "', saw success", 2) end
  if not tostring(err):find(text, 1, true) then
    error("expected an error containing '" .. text .. "', saw: " .. tostring(err), 2)
  end
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
