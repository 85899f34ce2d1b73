-- SPDX-License-Identifier: ISC
-- Assertions shared by the Lua tests of every module, for Lua 5.4 and 5.1
-- states alike. A test binary loads this file with lua_expect::load(L)
-- (lua_expect.h); it defines the globals below.
--
-- Every check takes its arguments in one order: what the test saw, what it
-- wanted, then an optional label. A failing check raises, at the line that
-- called it, "label: expected X, saw Y".
--
--   expect(got, want [, what])
--       got and want are equal as `same` says.
--   expect_true(cond [, what])
--       cond is neither nil nor false.
--   expect_match(got, pattern [, what])
--       got is a string in which the Lua pattern finds a match.
--   expect_error(f, message [, what]) -> message
--       f() raises exactly `message`. A string error loses the "chunk:line: "
--       prefix Lua puts in front of errors raised from Lua code first; other
--       error values are compared with `same`.
--   expect_error_match(f, pattern [, what]) -> message
--       f() raises a string error in which the Lua pattern finds a match
--       (the prefix is kept: patterns may anchor on it or not).
--   cases(rows, check [, what])
--       Calls check(row, i) for every row of the list `rows`, each in its own
--       protected call, and after the last row raises one error naming every
--       row that failed with its message. A row's label is row.name when it
--       has one, else its index and contents. An empty list is an error.
--   same(a, b) -> boolean
--       Structural equality: raw access, metatables ignored, integers and
--       floats told apart (Lua 5.4), NaN equal to NaN, shared and cyclic
--       tables allowed; other values (functions, userdata, threads, keys that
--       are tables) by identity.
--   show(v) -> string
--       Readable, deterministic text of a value: keys sorted, floats keep
--       ".0", cycles shown as <cycle>; strings longer than 200 bytes or with
--       bytes outside printable ASCII as <N bytes: first bytes in hex>.
--   plain(text) -> pattern
--       A pattern matching `text` literally (its magic characters escaped),
--       for expect_match and expect_error_match on fixed text.

local math_type = math.type or function() return nil end
local raw_length = rawlen or function(t) return #t end

local function is_nan(v) return type(v) == "number" and v ~= v end

local function show_number(v)
  if v ~= v then return "nan" end
  if v == math.huge then return "inf" end
  if v == -math.huge then return "-inf" end
  if math_type(v) == "float" and v == math.floor(v) and math.abs(v) < 2 ^ 53 then
    return string.format("%.1f", v)
  end
  return tostring(v)
end

local function show_string(v)
  if #v <= 200 and not v:find("[^%w%p ]") then return string.format("%q", v) end
  local head = v:sub(1, 16):gsub(".", function(c) return string.format("%02x", c:byte()) end)
  return string.format("<%d bytes: %s%s>", #v, head, #v > 16 and "..." or "")
end

local function key_order(a, b)
  local ta, tb = type(a), type(b)
  if ta ~= tb then return ta < tb end
  if ta == "number" or ta == "string" then return a < b end
  return tostring(a) < tostring(b)
end

function show(v, seen)
  local t = type(v)
  if t == "string" then return show_string(v) end
  if t == "number" then return show_number(v) end
  if t ~= "table" then return tostring(v) end
  seen = seen or {}
  if seen[v] then return "<cycle>" end
  seen[v] = true
  local parts, n = {}, raw_length(v)
  for i = 1, n do parts[#parts + 1] = show(rawget(v, i), seen) end
  local keys = {}
  for k in next, v do
    local in_sequence = type(k) == "number" and k >= 1 and k <= n and k == math.floor(k)
    if not in_sequence then keys[#keys + 1] = k end
  end
  table.sort(keys, key_order)
  for _, k in ipairs(keys) do
    parts[#parts + 1] = "[" .. show(k, seen) .. "]=" .. show(rawget(v, k), seen)
  end
  seen[v] = nil
  return "{" .. table.concat(parts, ", ") .. "}"
end

-- `assumed` holds the pairs of tables already being compared: meeting one
-- again (a cycle or shared part) adds nothing new to check.
local function same_with(a, b, assumed)
  -- numbers first: rawequal holds 1 and 1.0 equal
  if type(a) == "number" and type(b) == "number" then
    return (is_nan(a) and is_nan(b)) or (math_type(a) == math_type(b) and a == b)
  end
  if rawequal(a, b) then return true end
  if type(a) ~= type(b) then return false end
  if type(a) ~= "table" then return false end
  assumed[a] = assumed[a] or {}
  if assumed[a][b] then return true end
  assumed[a][b] = true
  for k, v in next, a do
    if not same_with(v, rawget(b, k), assumed) then return false end
  end
  for k in next, b do
    if rawget(a, k) == nil then return false end
  end
  return true
end

function same(a, b) return same_with(a, b, {}) end

local function label(what) return what or "value" end

-- Where two strings first differ, for strings too long to show whole.
local function difference(got, want)
  if type(got) ~= "string" or type(want) ~= "string" then return "" end
  if #got <= 200 and #want <= 200 then return "" end
  local i = 1
  while i <= #got and got:byte(i) == want:byte(i) do i = i + 1 end
  return string.format(" (first difference at byte %d)", i)
end

function expect(got, want, what)
  if not same(got, want) then
    error(string.format("%s: expected %s, saw %s%s", label(what), show(want), show(got),
      difference(got, want)), 2)
  end
end

function expect_true(cond, what)
  if not cond then error(string.format("%s: expected a true value, saw %s", label(what),
    show(cond)), 2) end
end

function expect_match(got, pattern, what)
  if type(got) ~= "string" or not got:find(pattern) then
    error(string.format("%s: expected a string matching %s, saw %s", label(what),
      string.format("%q", pattern), show(got)), 2)
  end
end

-- Runs f, which must fail; returns its error value.
local function raised(f, what, wanted)
  local ok, err = pcall(f)
  if ok then
    error(string.format("%s: expected an error %s, saw success", label(what), wanted), 3)
  end
  return err
end

function expect_error(f, message, what)
  local err = raised(f, what, show(message))
  if type(err) == "string" then err = err:gsub("^[^:\n]*:%d+: ", "", 1) end
  if not same(err, message) then
    error(string.format("%s: expected the error %s, saw %s%s", label(what), show(message),
      show(err), difference(err, message)), 2)
  end
  return err
end

function expect_error_match(f, pattern, what)
  local err = raised(f, what, "matching " .. string.format("%q", pattern))
  if type(err) ~= "string" or not err:find(pattern) then
    error(string.format("%s: expected an error matching %s, saw %s", label(what),
      string.format("%q", pattern), show(err)), 2)
  end
  return err
end

function plain(text) return (text:gsub("[%^%$%(%)%%%.%[%]%*%+%-%?]", "%%%0")) end

local function row_label(row, i)
  if type(row) == "table" and type(rawget(row, "name")) == "string" then
    return string.format("row %d (%s)", i, row.name)
  end
  local text = show(row)
  if #text > 100 then text = text:sub(1, 97) .. "..." end
  return string.format("row %d %s", i, text)
end

function cases(rows, check, what)
  if type(rows) ~= "table" or raw_length(rows) == 0 then
    error(string.format("%s: expected a list of rows, saw %s", label(what), show(rows)), 2)
  end
  local failures = {}
  for i = 1, raw_length(rows) do
    local row = rows[i]
    local ok, err = pcall(check, row, i)
    if not ok then
      failures[#failures + 1] = row_label(row, i) .. ": " ..
        (type(err) == "string" and err or show(err))
    end
  end
  if #failures > 0 then
    error(string.format("%s: %d of %d rows failed:\n  %s", what or "cases", #failures,
      raw_length(rows), table.concat(failures, "\n  ")), 2)
  end
end
