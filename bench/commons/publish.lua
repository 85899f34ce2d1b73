-- Publishes per second from Lua, each callback doing one addition.
local pubsub = require("commons.pubsub")

local function rate(subscribers)
  local o, calls, handles = {}, 0, {}
  for i = 1, subscribers do
    handles[i] = pubsub.subscribe(o, function(_, n) calls = calls + n end)
  end
  local publish, rounds, started = pubsub.publish, 0, os.clock()
  local batch = math.max(1, 100000 // subscribers)
  repeat
    for _ = 1, batch do publish(o, 1) end
    rounds = rounds + batch
  until os.clock() - started >= 1.0
  local elapsed = os.clock() - started
  assert(calls == rounds * subscribers)
  return rounds / elapsed, calls / elapsed
end

print(string.format("%-12s %16s %18s", "subscribers", "publishes/s", "callbacks/s"))
for _, n in ipairs{1, 10, 1000} do
  local publishes, callbacks = rate(n)
  print(string.format("%-12d %16.0f %18.0f", n, publishes, callbacks))
end
