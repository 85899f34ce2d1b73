// The publish/subscribe registry: subscriptions that live as long as their
// handles, weak or pinned objects, snapshots, initialisation callbacks.
#include <gtest/gtest.h>

#include <string>

#include "lua_host.h"

namespace {

std::string with_pubsub(const char* chunk) {
  return std::string("local pubsub = require('commons.pubsub')\n") + chunk;
}

TEST(commons_pubsub, PublishCallsEachSubscriberOnceWithAllArguments) {
  luahost::State lua;
  EXPECT_EQ("", lua.run(with_pubsub(R"lua(
    local o, calls, handles = {}, {}, {}
    for i = 1, 3 do
      handles[i] = pubsub.subscribe(o, function(...) calls[i] = {(calls[i] or {})[1], results(...)} end)
    end
    pubsub.publish(o, 1, nil, "x")
    pubsub.publish({}, 2)
    for i = 1, 3 do
      expect("callback " .. i, {nil, {n = 4, o, 1, nil, "x"}}, calls[i])
    end
    expect("subscribe without callback", 0, select("#", pubsub.subscribe(o, nil, true)))
    expect("publish(nil)", 0, select("#", pubsub.publish(nil)))
    pubsub.subscribe(o, function() error("callback failed") end)
    expect_error("callback error reaches the publisher", "callback failed", pubsub.publish, o)
  )lua")));
}

TEST(commons_pubsub, SubscriptionLivesAsLongAsItsHandle) {
  luahost::State lua;
  EXPECT_EQ("", lua.run(with_pubsub(R"lua(
    local o, hits = {}, {}
    local function counter(name) return function() hits[name] = (hits[name] or 0) + 1 end end
    local kept = pubsub.subscribe(o, counter("kept"))
    pubsub.subscribe(o, counter("dropped"))
    full_gc()
    pubsub.publish(o)
    expect("after the dropped handle was collected", {kept = 1}, hits)

    local other = pubsub.subscribe(o, counter("other"))
    kept()
    kept()
    pubsub.publish(o)
    expect("after calling a handle twice", {kept = 1, other = 1}, hits)
    expect("handle lets go of the subscriber table", nil, select(2, debug.getupvalue(kept, 1)))
    expect("handle lets go of the token", nil, select(2, debug.getupvalue(kept, 2)))
    other()
    expect("subscribed after the last unsubscribe", false, pubsub.is_subscribed_to(o))
  )lua")));
}

TEST(commons_pubsub, ObjectsAreWeakUnlessThePinningHandleHoldsThem) {
  luahost::State lua;
  EXPECT_EQ("", lua.run(with_pubsub(R"lua(
    local probe, sum = setmetatable({}, {__mode = "v"}), 0
    local plain_object, pinned_object = {}, {}
    probe.plain, probe.pinned = plain_object, pinned_object
    local plain = pubsub.subscribe(plain_object, function() end)
    local pinned = pubsub.subscribe(pinned_object, function(_, n) sum = sum + n end, true)
    plain_object, pinned_object = nil, nil
    full_gc()
    expect("plain subscription keeps its object", nil, probe.plain)
    expect("pinned object alive", true, probe.pinned ~= nil)
    pubsub.publish(probe.pinned, 5)
    expect("pinned object still receives", 5, sum)
    pinned()
    full_gc()
    expect("pinned object after its handle was called", nil, probe.pinned)
  )lua")));
}

TEST(commons_pubsub, PublishCallsTheSubscribersPresentWhenItStarts) {
  luahost::State lua;
  EXPECT_EQ("", lua.run(with_pubsub(R"lua(
    local o, log = {}, {}
    local late, victim
    local function sorted_log() table.sort(log); local l = log; log = {}; return l end
    local main = pubsub.subscribe(o, function()
      log[#log + 1] = "main"
      late = late or pubsub.subscribe(o, function() log[#log + 1] = "late" end)
      victim()
    end)
    victim = pubsub.subscribe(o, function() log[#log + 1] = "victim" end)
    pubsub.publish(o)
    expect("first publish", {"main", "victim"}, sorted_log())
    pubsub.publish(o)
    expect("second publish", {"late", "main"}, sorted_log())
  )lua")));
}

TEST(commons_pubsub, ArgumentErrors) {
  luahost::State lua;
  EXPECT_EQ("", lua.run(with_pubsub(R"lua(
    local f = function() end
    for _, case in ipairs{
      {"publish()", "#1 to 'commons.pubsub.publish' (object expected)", pubsub.publish, n = 3},
      {"subscribe()", "#1 to 'commons.pubsub.subscribe' (object expected)", pubsub.subscribe, n = 3},
      {"subscribe(nil, f)", "#1 to 'commons.pubsub.subscribe' (object expected)", pubsub.subscribe, nil, f, n = 5},
      {"is_subscribed_to(nil)", "#1 to 'commons.pubsub.is_subscribed_to' (object expected)",
       pubsub.is_subscribed_to, nil, n = 4},
      {"subscription_init_callback(nil, f)", "#1 to 'commons.pubsub.subscription_init_callback' (object expected)",
       pubsub.subscription_init_callback, nil, f, n = 5},
      {"subscribe(o, 5)", "#2 to 'commons.pubsub.subscribe' (function expected, got number)",
       pubsub.subscribe, {}, 5, n = 5},
      {"subscription_init_callback(o)", "#2 to 'commons.pubsub.subscription_init_callback' (function expected",
       pubsub.subscription_init_callback, {}, n = 4},
    } do
      expect_error(case[1], "bad argument " .. case[2], table.unpack(case, 3, case.n))
    end
  )lua")));
}

TEST(commons_pubsub, InitialisationCallbacksFireAtTheFirstSubscribe) {
  luahost::State lua;
  EXPECT_EQ("", lua.run(with_pubsub(R"lua(
    local init, subscribed = pubsub.subscription_init_callback, pubsub.is_subscribed_to
    local o, log = {}, {}
    init(o, function(obj) log[#log + 1] = {"f", obj == o}; pubsub.publish(o, "during f") end)
    expect("pending callback counts as subscribed", true, subscribed(o))
    pubsub.publish(o, "pending")
    local g = pubsub.subscribe(o, function(obj, v) log[#log + 1] = {"g", obj == o, v} end)
    pubsub.publish(o, 1)
    local g2 = pubsub.subscribe(o, function() end)
    expect("f once, then g", {{"f", true}, {"g", true, 1}}, log)

    local fired = {}
    local o2 = {}
    init(o2, function() fired[#fired + 1] = "first" end)
    init(o2, function() fired[#fired + 1] = "second" end)
    expect("subscribe without callback", 0, select("#", pubsub.subscribe(o2)))
    expect("only the last pending callback", {"second"}, fired)
    expect("subscribed after it fired", false, subscribed(o2))
    pubsub.subscribe(o2)
    expect("fires only once", {"second"}, fired)

    local o3, now = {}, 0
    local only = pubsub.subscribe(o3, function() end)
    only()
    expect("subscribed after the only unsubscribe", false, subscribed(o3))
    init(o3, function(obj) now = now + (obj == o3 and 1 or 100) end)
    expect("init on an emptied object fires at once", 1, now)
    expect("and is not kept", false, subscribed(o3))

    -- a pending callback that subscribes its own object
    local o4, inits, got, inner = {}, 0, {}
    init(o4, function(obj)
      inits = inits + 1
      inner = pubsub.subscribe(obj, function(_, v) got[#got + 1] = "inner " .. v end)
    end)
    local outer = pubsub.subscribe(o4, function(_, v) got[#got + 1] = "outer " .. v end)
    pubsub.publish(o4, 1)
    table.sort(got)
    expect("init runs", 1, inits)
    expect("both subscriptions kept", {"inner 1", "outer 1"}, got)
  )lua")));
}

// Far more subscribers than the stack has room for when the publisher runs
// deep in the stack: the rest of the snapshot waits in the spill table.
TEST(commons_pubsub, PublishFromAFullStackCallsEachSubscriberOnce) {
  luahost::State lua;
  EXPECT_EQ("", lua.run("MAXSTACK = " + std::to_string(LUAI_MAXSTACK)));
  EXPECT_EQ("", lua.run(with_pubsub(R"lua(
    local subscribers = 20000
    local filler = {}
    for i = 1, MAXSTACK do filler[i] = false end
    -- 250: room for running the callbacks, not for a whole chunk of the snapshot
    for _, room in ipairs{100, 250, 3000, MAXSTACK} do
      local o, hits, wrong, handles = {}, {}, 0, {}
      for i = 1, subscribers do
        handles[i] = pubsub.subscribe(o, function(obj, tag, n)
          hits[i] = (hits[i] or 0) + 1
          if obj ~= o or tag ~= "spill" or n ~= room then wrong = wrong + 1 end
        end)
      end
      local function at_depth(...)
        -- the last vararg is there (select would copy them all)
        local last = debug.getlocal(1, room - MAXSTACK)
        pubsub.publish(o, "spill", room)
        return last
      end
      expect("publisher's depth", room < MAXSTACK, at_depth(table.unpack(filler, 1, MAXSTACK - room)) ~= nil)
      local called, twice = 0, 0
      for i = 1, subscribers do
        called = called + (hits[i] and 1 or 0)
        twice = twice + ((hits[i] or 0) > 1 and 1 or 0)
      end
      expect("room " .. room .. ": subscribers called", subscribers, called)
      expect("room " .. room .. ": called more than once", 0, twice)
      expect("room " .. room .. ": wrong arguments", 0, wrong)
    end
  )lua")));
}

TEST(commons_pubsub, SubscriptionsOutliveTheCloseHook) {
  luahost::State lua;
  EXPECT_EQ("", lua.run(R"lua(
    local pubsub, handle = host.open("commons.pubsub")
    local o, later, hits = {}, {}, 0
    local kept = pubsub.subscribe(o, function() hits = hits + 1 end)
    getmetatable(handle).__close(handle)
    pubsub.publish(o)
    expect("subscription made before the close", 1, hits)
    pubsub.subscribe(later, function() hits = hits + 100 end)
    full_gc()
    pubsub.publish(later)
    expect("dropped handle after the close", 1, hits)
  )lua"));
}

}  // namespace
