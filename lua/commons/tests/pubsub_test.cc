// SPDX-License-Identifier: ISC
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
      expect(calls[i], {nil, {n = 4, o, 1, nil, "x"}}, "callback " .. i)
    end
    expect(select("#", pubsub.subscribe(o, nil, true)), 0, "subscribe without callback")
    expect(select("#", pubsub.publish(nil)), 0, "publish(nil)")
    pubsub.subscribe(o, function() error("callback failed") end)
    expect_error(function() pubsub.publish(o) end, "callback failed", "callback error reaches the publisher")
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
    expect(hits, {kept = 1}, "after the dropped handle was collected")

    local other = pubsub.subscribe(o, counter("other"))
    kept()
    kept()
    pubsub.publish(o)
    expect(hits, {kept = 1, other = 1}, "after calling a handle twice")
    expect(select(2, debug.getupvalue(kept, 1)), nil, "handle lets go of the subscriber table")
    expect(select(2, debug.getupvalue(kept, 2)), nil, "handle lets go of the token")
    other()
    expect(pubsub.is_subscribed_to(o), false, "subscribed after the last unsubscribe")
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
    expect(probe.plain, nil, "plain subscription keeps its object")
    expect(probe.pinned ~= nil, true, "pinned object alive")
    pubsub.publish(probe.pinned, 5)
    expect(sum, 5, "pinned object still receives")
    pinned()
    full_gc()
    expect(probe.pinned, nil, "pinned object after its handle was called")
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
    expect(sorted_log(), {"main", "victim"}, "first publish")
    pubsub.publish(o)
    expect(sorted_log(), {"late", "main"}, "second publish")
  )lua")));
}

TEST(commons_pubsub, ArgumentErrors) {
  luahost::State lua;
  EXPECT_EQ("", lua.run(with_pubsub(R"lua(
    local f = function() end
    -- called by pcall itself, so that the error names the function the way
    -- a caller of pcall(pubsub.publish, ...) sees it
    cases({
      {name = "publish()", "#1 to 'commons.pubsub.publish' (object expected)", pubsub.publish, n = 2},
      {name = "subscribe()", "#1 to 'commons.pubsub.subscribe' (object expected)", pubsub.subscribe, n = 2},
      {name = "subscribe(nil, f)", "#1 to 'commons.pubsub.subscribe' (object expected)", pubsub.subscribe,
       nil, f, n = 4},
      {name = "is_subscribed_to(nil)", "#1 to 'commons.pubsub.is_subscribed_to' (object expected)",
       pubsub.is_subscribed_to, nil, n = 3},
      {name = "subscription_init_callback(nil, f)",
       "#1 to 'commons.pubsub.subscription_init_callback' (object expected)",
       pubsub.subscription_init_callback, nil, f, n = 4},
      {name = "subscribe(o, 5)", "#2 to 'commons.pubsub.subscribe' (function expected, got number)",
       pubsub.subscribe, {}, 5, n = 4},
      {name = "subscription_init_callback(o)",
       "#2 to 'commons.pubsub.subscription_init_callback' (function expected, got no value)",
       pubsub.subscription_init_callback, {}, n = 3},
    }, function(case)
      local function call()
        local ok, err = pcall(case[2], table.unpack(case, 3, case.n))
        if not ok then error(err, 0) end
      end
      expect_error(call, "bad argument " .. case[1], case.name)
    end, "argument errors")
  )lua")));
}

TEST(commons_pubsub, InitialisationCallbacksFireAtTheFirstSubscribe) {
  luahost::State lua;
  EXPECT_EQ("", lua.run(with_pubsub(R"lua(
    local init, subscribed = pubsub.subscription_init_callback, pubsub.is_subscribed_to
    local o, log = {}, {}
    init(o, function(obj) log[#log + 1] = {"f", obj == o}; pubsub.publish(o, "during f") end)
    expect(subscribed(o), true, "pending callback counts as subscribed")
    pubsub.publish(o, "pending")
    local g = pubsub.subscribe(o, function(obj, v) log[#log + 1] = {"g", obj == o, v} end)
    pubsub.publish(o, 1)
    local g2 = pubsub.subscribe(o, function() end)
    expect(log, {{"f", true}, {"g", true, 1}}, "f once, then g")

    local fired = {}
    local o2 = {}
    init(o2, function() fired[#fired + 1] = "first" end)
    init(o2, function() fired[#fired + 1] = "second" end)
    expect(select("#", pubsub.subscribe(o2)), 0, "subscribe without callback")
    expect(fired, {"second"}, "only the last pending callback")
    expect(subscribed(o2), false, "subscribed after it fired")
    pubsub.subscribe(o2)
    expect(fired, {"second"}, "fires only once")

    local o3, now = {}, 0
    local only = pubsub.subscribe(o3, function() end)
    only()
    expect(subscribed(o3), false, "subscribed after the only unsubscribe")
    init(o3, function(obj) now = now + (obj == o3 and 1 or 100) end)
    expect(now, 1, "init on an emptied object fires at once")
    expect(subscribed(o3), false, "and is not kept")

    -- a pending callback that subscribes its own object
    local o4, inits, got, inner = {}, 0, {}
    init(o4, function(obj)
      inits = inits + 1
      inner = pubsub.subscribe(obj, function(_, v) got[#got + 1] = "inner " .. v end)
    end)
    local outer = pubsub.subscribe(o4, function(_, v) got[#got + 1] = "outer " .. v end)
    pubsub.publish(o4, 1)
    table.sort(got)
    expect(inits, 1, "init runs")
    expect(got, {"inner 1", "outer 1"}, "both subscriptions kept")
  )lua")));
}

// Far more subscribers than the stack has slots left when the publisher runs
// deep in the stack: the snapshot must not need a slot per subscriber.
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
      expect(at_depth(table.unpack(filler, 1, MAXSTACK - room)) ~= nil, room < MAXSTACK, "publisher's depth")
      local called, twice = 0, 0
      for i = 1, subscribers do
        called = called + (hits[i] and 1 or 0)
        twice = twice + ((hits[i] or 0) > 1 and 1 or 0)
      end
      expect(called, subscribers, "room " .. room .. ": subscribers called")
      expect(twice, 0, "room " .. room .. ": called more than once")
      expect(wrong, 0, "room " .. room .. ": wrong arguments")
    end
  )lua")));
}

// Subscribers whose handles the collector may take at any step: after each
// step (incremental steps, generational minor collections, full
// collections, and steps taken by the callbacks while a publish runs),
// publish calls exactly the subscribers whose handles are still there.
constexpr const char kAgainstTheCollector[] = R"lua(
  local pubsub = require("commons.pubsub")

  -- subscribers of o numbered 1, 2, ...; handles in `held` (dropped at
  -- will) and in the weak `alive`, which tells which ones still exist
  function subscribers(o)
    local s = {held = {}, alive = setmetatable({}, {__mode = "v"}), hits = {}, count = 0}
    s.stepping = {}  -- numbers whose callbacks take a collection step
    function s.add()
      s.count = s.count + 1
      local i = s.count
      s.held[i] = pubsub.subscribe(o, function(obj)
        if obj ~= o then error("callback " .. i .. " got another object") end
        s.hits[i] = (s.hits[i] or 0) + 1
        if s.stepping[i] then collectgarbage("step", 0) end
      end)
      s.alive[i] = s.held[i]
    end
    -- publishes and checks that exactly the live subscribers were called,
    -- each once
    function s.publish_and_check(what)
      local want = {}
      for i in pairs(s.alive) do want[i] = 1 end
      s.hits = {}
      pubsub.publish(o)
      expect(s.hits, want, what)
    end
    return s
  end
)lua";

TEST(commons_pubsub, HandleCollectedBetweenTwoPublishesIsNotCalledAgain) {
  luahost::State lua;
  ASSERT_EQ("", lua.run(kAgainstTheCollector));
  EXPECT_EQ("", lua.run(R"lua(
    local function full(s) collectgarbage() end
    local function steps(s)
      for _ = 1, 100000 do
        if s.alive[3] == nil and s.alive[6] == nil then return end
        collectgarbage("step", 0)
      end
      error("handles 3 and 6 never collected")
    end
    cases({
      {name = "full, incremental", mode = "incremental", collect = full},
      {name = "full, generational", mode = "generational", collect = full},
      {name = "steps, incremental", mode = "incremental", collect = steps},
      {name = "minor collections, generational", mode = "generational", collect = steps},
    }, function(case)
      collectgarbage(case.mode)
      local s = subscribers({})
      for _ = 1, 8 do s.add() end
      s.publish_and_check("all eight")
      s.held[3], s.held[6] = nil, nil
      case.collect(s)
      expect(s.alive[3], nil, "handle 3 collected")
      s.publish_and_check("after the collection")
      expect(s.hits[5], 1, "handle 5 still served")
    end, "collections")
    collectgarbage("incremental")
  )lua"));
}

TEST(commons_pubsub, PublishAgreesWithTheHandlesAfterEveryCollectionStep) {
  luahost::State lua;
  ASSERT_EQ("", lua.run(kAgainstTheCollector));
  EXPECT_EQ("", lua.run(R"lua(
    cases({
      {name = "incremental", mode = "incremental"},
      {name = "generational", mode = "generational"},
    }, function(case)
      collectgarbage(case.mode)
      math.randomseed(25)
      local s = subscribers({})
      for _ = 1, 30 do s.add() end
      local collected = 0
      for round = 1, 1500 do
        local r = math.random()
        if r < 0.15 then
          s.add()
        elseif r < 0.3 then
          local i = math.random(s.count)
          if s.held[i] then
            s.held[i] = nil  -- dropped: ends when the collector takes it
            collected = collected + 1
          end
        elseif r < 0.35 then
          local i = math.random(s.count)
          if s.held[i] then
            s.held[i]()  -- ended now
            s.held[i], s.alive[i] = nil, nil
          end
        elseif r < 0.45 then
          s.stepping[math.random(s.count)] = true
        end
        -- a publish right after one whose callbacks collected shows a list
        -- kept from before that collection
        if math.random() < 0.5 then collectgarbage("step", 0) end
        s.publish_and_check("round " .. round)
      end
      full_gc()
      s.publish_and_check("after a full collection")
      local left = 0
      for _ in pairs(s.alive) do left = left + 1 end
      local held = 0
      for _ in pairs(s.held) do held = held + 1 end
      expect(left, held, "only the held handles are left")
      expect_true(collected > 100, "handles dropped: " .. collected)
    end, "collector modes")
    collectgarbage("incremental")
  )lua"));
}

// Callbacks that subscribe, unsubscribe and publish again while a publish
// runs: every publish calls each subscriber present when it starts, once.
TEST(commons_pubsub, ChurnAndNestedPublishesDuringAPublish) {
  luahost::State lua;
  EXPECT_EQ("", lua.run(with_pubsub(R"lua(
    math.randomseed(27)
    local o = {}
    local live, ids = {}, {}  -- id -> handle; ids of the live ones, in order
    local calls, want = {}, {}
    local next_id = 0
    local publish
    local function pick()
      return ids[math.random(#ids)]
    end
    local function forget(id)
      for k, v in ipairs(ids) do
        if v == id then table.remove(ids, k); return end
      end
    end
    local function add()
      next_id = next_id + 1
      local id = next_id
      live[id] = pubsub.subscribe(o, function(obj, depth)
        calls[id] = (calls[id] or 0) + 1
        local r = math.random()
        if r < 0.1 and #ids > 0 then
          local victim = pick()
          live[victim]()
          live[victim] = nil
          forget(victim)
        elseif r < 0.2 then
          add()
        elseif r < 0.25 and depth < 3 then
          publish(depth + 1)
        end
      end)
      ids[#ids + 1] = id
    end
    function publish(depth)
      for _, id in ipairs(ids) do want[id] = (want[id] or 0) + 1 end
      pubsub.publish(o, depth)
    end
    for _ = 1, 20 do add() end
    for round = 1, 200 do
      publish(0)
      expect(calls, want, "calls after publish " .. round)
    end
    expect_true(next_id > 100, "subscriptions made: " .. next_id)
  )lua")));
}

// A callback that fails ends the publish; what it changed before failing
// counts for the next publish, and nothing of the failed one lingers.
TEST(commons_pubsub, ErrorsFromCallbacksLeaveTheSubscriptionsAsChanged) {
  luahost::State lua;
  EXPECT_EQ("", lua.run(with_pubsub(R"lua(
    local o, hits, handles = {}, {}, {}
    local function counter(name) return function() hits[name] = (hits[name] or 0) + 1 end end
    local failing = false
    handles.a = pubsub.subscribe(o, function()
      hits.a = (hits.a or 0) + 1
      if failing then
        failing = false
        handles.b()
        handles.d = pubsub.subscribe(o, counter("d"))
        error("a failed")
      end
    end)
    handles.b = pubsub.subscribe(o, counter("b"))
    handles.c = pubsub.subscribe(o, counter("c"))
    pubsub.publish(o)  -- the list is made before the failing publish
    expect(hits, {a = 1, b = 1, c = 1}, "the publish before the failure")
    hits = {}
    failing = true
    expect_error(function() pubsub.publish(o) end, "a failed", "the failure reaches the publisher")
    hits = {}
    pubsub.publish(o)
    expect(hits, {a = 1, c = 1, d = 1}, "the publish after the failure")

    -- a failure in a nested publish goes through the outer one
    local inner, outer = {}, {}
    local stop_inner = pubsub.subscribe(inner, function() error("inner failed") end)
    local stop_outer = pubsub.subscribe(outer, function() pubsub.publish(inner) end)
    expect_error(function() pubsub.publish(outer) end, "inner failed", "nested failure")
    stop_inner()
    local again = 0
    local stop_again = pubsub.subscribe(inner, function() again = again + 1 end)
    pubsub.publish(outer)
    expect(again, 1, "the inner object's new subscriber, through the outer publish")
  )lua")));
}

// A C callback is promised LUA_MINSTACK free slots when it is entered (the
// interpreter raises "stack overflow" when it cannot give them); this one
// uses them and counts its calls.
int calls_of_c_callback = 0;

int c_callback(lua_State* L) {
  for (int i = 0; i < LUA_MINSTACK; ++i) lua_pushinteger(L, i);
  ++calls_of_c_callback;
  return 0;
}

int take_c_callback_calls(lua_State* L) {
  lua_pushinteger(L, calls_of_c_callback);
  calls_of_c_callback = 0;
  return 1;
}

// can_grow_by() -> the most slots lua_checkstack grants in this frame.
int can_grow_by(lua_State* L) {
  int can_grow = 0;
  for (int step = LUAI_MAXSTACK; step > 0; step /= 2)
    while (lua_checkstack(L, can_grow + step)) can_grow += step;
  lua_pushinteger(L, can_grow);
  return 1;
}

// with_room(room, f) -> the results of f(): calls f where the stack can
// grow by only `room` more slots. Raises what f raises. The search for
// the stack's end runs in a frame of its own: a frame whose top was asked
// up to the end would keep the interpreter from shrinking the stack back
// after an overflow, and every later call would find more room.
int with_room(lua_State* L) {
  const int room = static_cast<int>(luaL_checkinteger(L, 1));
  luaL_checktype(L, 2, LUA_TFUNCTION);
  lua_settop(L, 2);
  lua_pushcfunction(L, can_grow_by);
  lua_call(L, 0, 1);
  const int can_grow = static_cast<int>(lua_tointeger(L, -1)) + 1;  // from one slot lower
  lua_pop(L, 1);
  const int fill = can_grow - room - 1;  // one slot for f itself
  if (fill > 0) {
    luaL_checkstack(L, fill + 1, "no room to fill");
    lua_settop(L, 2 + fill);
  }
  const int base = lua_gettop(L);
  lua_pushvalue(L, 2);
  lua_call(L, 0, LUA_MULTRET);
  return lua_gettop(L) - base;
}

// deeper(slots, f) -> the results of f(): calls f with `slots` more values
// on the stack. Raises what f raises.
int deeper(lua_State* L) {
  const int slots = static_cast<int>(luaL_checkinteger(L, 1));
  luaL_checktype(L, 2, LUA_TFUNCTION);
  lua_settop(L, 2);
  luaL_checkstack(L, slots + 1, "no room to go deeper");
  lua_settop(L, 2 + slots);
  const int base = lua_gettop(L);
  lua_pushvalue(L, 2);
  lua_call(L, 0, LUA_MULTRET);
  return lua_gettop(L) - base;
}

// Publish from ever deeper in the stack, with many arguments: it either
// calls every subscriber, or fails with "insufficient stack space" before
// calling any; it never lets a callback run out of stack part-way. Going
// down in free room the outcomes are: success, then publish's own
// refusal, then (where the scan stops) no room to make the call at all.
TEST(commons_pubsub, PublishGivesEveryCallbackItsStackRoomOrCallsNone) {
  luahost::State lua;
  lua_register(lua.L(), "c_callback", c_callback);
  lua_register(lua.L(), "take_c_callback_calls", take_c_callback_calls);
  lua_register(lua.L(), "with_room", with_room);
  lua_register(lua.L(), "deeper", deeper);
  EXPECT_EQ("", lua.run(with_pubsub(R"lua(
    local o, handles, subscribers = {}, {}, 50
    for i = 1, subscribers do handles[i] = pubsub.subscribe(o, c_callback) end
    local function publish_here()
      return pcall(pubsub.publish, o, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17,
                   18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30)
    end
    -- the deep stack is made once; each round goes a little deeper from there
    local found = {}
    with_room(150, function()
      for slots = 0, 150 do
        take_c_callback_calls()
        local reached, ok, err = pcall(deeper, slots, publish_here)
        local called = take_c_callback_calls()
        local outcome = "X"
        if reached and ok and called == subscribers then
          outcome = "O"
        elseif reached and not ok and called == 0 and err:find("insufficient stack space", 1, true) then
          outcome = "I"
        elseif called == 0 and not (reached and ok) then
          outcome = "E"  -- no room to get as far as publish
        end
        found[#found + 1] = outcome
        -- an overflow leaves the interpreter's stack in its error state, in
        -- which the rooms that follow are not the ones asked for
        if outcome == "E" then break end
      end
    end)
    expect_match(table.concat(found), "^O+I+E$", "outcomes going deeper")
  )lua")));
}

// Publishes nested in callbacks go as deep as the interpreter's limit of
// nested C calls; past it the interpreter's error reaches the outermost
// publisher and the subscriptions stay as they were.
TEST(commons_pubsub, NestedPublishesStopAtTheInterpretersCallLimit) {
  luahost::State lua;
  EXPECT_EQ("", lua.run(with_pubsub(R"lua(
    local o, depth, deepest, others = {}, 0, 0, 0
    local again = pubsub.subscribe(o, function()
      depth = depth + 1
      deepest = math.max(deepest, depth)
      pubsub.publish(o)
    end)
    local other = pubsub.subscribe(o, function() others = others + 1 end)
    expect_error(function() pubsub.publish(o) end, "C stack overflow", "past the limit")
    expect_true(deepest >= 100 and deepest < 200, "nesting reached: " .. deepest)
    again()
    others = 0
    pubsub.publish(o)
    expect(others, 1, "the other subscriber afterwards")
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
    expect(hits, 1, "subscription made before the close")
    pubsub.subscribe(later, function() hits = hits + 100 end)
    full_gc()
    pubsub.publish(later)
    expect(hits, 1, "dropped handle after the close")
  )lua"));
}

}  // namespace
