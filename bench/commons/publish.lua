-- Publishes per second from Lua, each callback doing one addition, through
-- commons.pubsub, a plain Lua loop calling the same callbacks from a list,
-- and mediator_lua (Debian's lua-mediator). Rounds interleave the three so
-- that noise from other work on the machine hits all of them alike.
local pubsub = require("commons.pubsub")
local Mediator = require("mediator")

local rounds = tonumber(arg and arg[1]) or 5
local min_time = 0.3

-- The callback every contender calls. mediator_lua goes on to the next
-- subscriber only when a callback returns (nil, true); the others ignore
-- the results.
local calls = 0
local function callback(_, n)
  calls = calls + n
  return nil, true
end

-- publishes per second of publish(), run for at least min_time seconds
local function rate(publish, subscribers)
  local batch = math.max(1, 100000 // subscribers)
  publish()  -- warm up
  local done, started = 0, os.clock()
  calls = 0
  repeat
    for _ = 1, batch do publish() end
    done = done + batch
  until os.clock() - started >= min_time
  local elapsed = os.clock() - started
  assert(calls == done * subscribers, "a callback was missed")
  return done / elapsed
end

local function contenders(subscribers)
  local o, handles = {}, {}
  for i = 1, subscribers do handles[i] = pubsub.subscribe(o, callback) end
  local commons_publish = pubsub.publish

  local list = {}
  for i = 1, subscribers do list[i] = callback end
  local function plain(object, ...)
    for i = 1, #list do list[i](object, ...) end
  end

  local mediator = Mediator()
  for _ = 1, subscribers do mediator:subscribe({"bench"}, callback) end
  local channel = {"bench"}

  return {
    commons = function() commons_publish(o, 1) end,
    plain = function() plain(o, 1) end,
    mediator = function() mediator:publish(channel, o, 1) end,
  }, handles
end

local function median(t)
  table.sort(t)
  return t[(#t + 1) // 2]
end

print(string.format("publishes/s, median of %d interleaved rounds of %.1f s each", rounds,
                    min_time))
print(string.format("%-12s %14s %14s %14s %10s %12s", "subscribers", "commons", "plain Lua",
                    "mediator_lua", "c/plain", "c/mediator"))
for _, n in ipairs{1, 10, 1000} do
  local c, handles = contenders(n)
  local figures = {commons = {}, plain = {}, mediator = {}}
  local ratios = {}
  for r = 1, rounds do
    for _, name in ipairs{"commons", "plain", "mediator"} do
      figures[name][r] = rate(c[name], n)
    end
    ratios[r] = figures.commons[r] / figures.plain[r]
  end
  local cm, pm, mm = median(figures.commons), median(figures.plain), median(figures.mediator)
  print(string.format("%-12d %14.0f %14.0f %14.0f %9.2fx %11.2fx", n, cm, pm, mm,
                      median(ratios), cm / mm))
  assert(#handles == n)
end
