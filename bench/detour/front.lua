-- SPDX-License-Identifier: ISC
-- Insert at and remove from the front of a 10,000-element sequence.
local detour = require("detour")
local size, rounds = 10000, 2000

local function sequence()
  local t = {}
  for i = 1, size do t[i] = i end
  return t
end

-- Seconds per operation of f(t) repeated `rounds` times, best of 5 runs.
local function time(f)
  local best = math.huge
  for _ = 1, 5 do
    local t = sequence()
    local started = os.clock()
    for _ = 1, rounds do f(t) end
    best = math.min(best, os.clock() - started)
    assert(#t >= size - rounds and #t <= size + rounds)
  end
  return best / rounds
end

local figures = {
  {"insert at 1",
   time(function(t) detour.insert(t, 1, 0) end), time(function(t) table.insert(t, 1, 0) end)},
  {"remove at 1",
   time(function(t) detour.remove(t, 1) end), time(function(t) table.remove(t, 1) end)},
}
print(string.format("%-12s %14s %14s %8s", "operation", "detour us/op", "table us/op", "ratio"))
for _, f in ipairs(figures) do
  print(string.format("%-12s %14.2f %14.2f %8.2f", f[1], f[2] * 1e6, f[3] * 1e6, f[2] / f[3]))
end
