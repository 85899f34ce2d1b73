-- SPDX-License-Identifier: ISC
-- Publishes per second from Lua, each callback doing one addition, through
-- commons.pubsub, a plain Lua publish function calling the same callbacks
-- from a list, the same loop written inline at the call site, and
-- mediator_lua (Debian's lua-mediator). Rounds interleave the contenders so
-- that noise from other work on the machine hits all of them alike; every
-- ratio is taken within one round and the table shows medians.
--
-- Cases: one callback shared by every subscriber; a distinct closure per
-- subscriber; and churn, where every 10th publish is preceded by one
-- subscribe and one unsubscribe (the oldest subscriber leaves), so that a
-- publish path that prepares anything per subscriber set pays for it.
local pubsub = require("commons.pubsub")
local Mediator = require("mediator")

local rounds = tonumber(arg and arg[1]) or 5
local min_time = tonumber(arg and arg[2]) or 0.25
local only = arg and arg[3]  -- run only the cases whose title contains this

-- mediator_lua goes on to the next subscriber only when a callback returns
-- (nil, true); the others ignore the results.
local calls = 0
local function shared_callback(_, n)
  calls = calls + n
  return nil, true
end
local function distinct_callback()
  return function(_, n)
    calls = calls + n
    return nil, true
  end
end

-- publishes per second of publish(), run for at least min_time seconds
local function rate(publish, subscribers)
  local batch = math.max(10, 100000 // subscribers // 10 * 10)
  publish()  -- warm up
  local done, started = 0, os.clock()
  calls = 0
  repeat
    for _ = 1, batch do publish() end
    done = done + batch
  until os.clock() - started >= min_time
  local elapsed = os.clock() - started
  assert(calls == done * subscribers, "a callback was missed or called twice: " .. calls .. " for " .. done .. " publishes")
  return done / elapsed
end

-- The contenders of one case, as functions doing one publish each.
local function contenders(subscribers, make_callback, churn)
  local o, handles, list = {}, {}, {}
  local mediator, channel = Mediator(), {"bench"}
  for i = 1, subscribers do
    local callback = make_callback()
    handles[i] = pubsub.subscribe(o, callback)
    list[i] = callback
    mediator:subscribe(channel, callback)
  end
  local commons_publish = pubsub.publish
  local function plain(object, ...)
    for i = 1, #list do list[i](object, ...) end
  end

  if churn then
    -- handles and list are queues: the newest subscriber joins at the end,
    -- the oldest leaves from the front
    local commons_round, plain_round, first = 0, 0, 1
    return {
      commons = function()
        commons_round = commons_round + 1
        if commons_round == 10 then
          commons_round = 0
          handles[first + subscribers] = pubsub.subscribe(o, make_callback())
          handles[first]()
          handles[first] = nil
          first = first + 1
        end
        commons_publish(o, 1)
      end,
      plain = function()
        plain_round = plain_round + 1
        if plain_round == 10 then
          plain_round = 0
          list[#list + 1] = make_callback()
          table.remove(list, 1)
        end
        plain(o, 1)
      end,
    }, {"commons", "plain"}
  end

  return {
    commons = function() commons_publish(o, 1) end,
    plain = function() plain(o, 1) end,
    inline = function() for i = 1, #list do list[i](o, 1) end end,
    mediator = function() mediator:publish(channel, o, 1) end,
    handles = handles,  -- the subscriptions live as long as these
  }, {"commons", "plain", "inline", "mediator"}
end

local function median(t)
  local s = table.move(t, 1, #t, 1, {})
  table.sort(s)
  return s[(#s + 1) // 2]
end

local cases = {
  {"shared callback", function() return shared_callback end, {1, 10, 1000}},
  {"closure each", distinct_callback, {1, 10, 1000}},
  {"churn 1/10", distinct_callback, {10, 1000}, true},
}

print(string.format("publishes/s, median of %d interleaved rounds of %.2f s each; "
                    .. "ratios are medians of per-round ratios", rounds, min_time))
print(string.format("%-16s %6s %12s %12s %12s %12s %8s %8s %8s", "case", "subs", "commons",
                    "plain fn", "inline", "mediator", "c/plain", "c/inline", "c/med"))
for _, case in ipairs(cases) do
  local title, make_callback, counts, churn = case[1], case[2], case[3], case[4]
  if only and not title:find(only, 1, true) then counts = {} end
  for _, n in ipairs(counts) do
    local c, names = contenders(n, make_callback, churn)
    local figures, ratios = {}, {plain = {}, inline = {}, mediator = {}}
    for _, name in ipairs(names) do figures[name] = {} end
    for r = 1, rounds do
      for _, name in ipairs(names) do
        local ok, got = pcall(rate, c[name], n)
        figures[name][r] = assert(ok and got, name .. ": " .. tostring(got))
      end
      for other in pairs(ratios) do
        if figures[other] then ratios[other][r] = figures.commons[r] / figures[other][r] end
      end
    end
    local function fig(name) return figures[name] and string.format("%12.0f", median(figures[name])) or string.format("%12s", "-") end
    local function ratio(name) return #ratios[name] > 0 and string.format("%8.2f", median(ratios[name])) or string.format("%8s", "-") end
    print(string.format("%-16s %6d %s %s %s %s %s %s %s", title, n, fig("commons"), fig("plain"),
                        fig("inline"), fig("mediator"), ratio("plain"), ratio("inline"),
                        ratio("mediator")))
  end
end
