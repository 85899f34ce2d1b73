// SPDX-License-Identifier: ISC
// The proxy registry and its pairs: iteration over the target, read through
// the proxy; registrations that end with the proxy.
#include <gtest/gtest.h>

#include "lua_host.h"

namespace {

TEST(commons_proxy, PairsWalksTheTargetAndReadsThroughTheProxy) {
  luahost::State lua;
  EXPECT_EQ("", lua.run(R"lua(
    local proxy_helpers = require("commons.proxy_helpers")
    local function walk(...)
      local seen = {}
      for k, v in proxy_helpers.pairs(...) do seen[k] = v end
      return seen
    end
    local target = {a = 1, b = 2}
    local doubling = setmetatable({}, {__index = function(_, k) return target[k] * 2 end})
    local forwarding = setmetatable({}, {__index = target})
    local empty = {}
    proxy_helpers.register(doubling, target)
    proxy_helpers.register(forwarding, target)
    proxy_helpers.register(empty, {})
    expect(walk(doubling), {a = 2, b = 4}, "through the proxy")
    expect(walk(doubling, true), {a = 1, b = 2}, "raw")
    expect(walk(forwarding, false), {a = 1, b = 2}, "forwarding proxy")
    expect(walk(empty), {}, "empty target")

    local iter, state, init = proxy_helpers.pairs(doubling)
    expect(state, target, "triple: target")
    expect(init, nil, "triple: initial key")
    local last
    for k in next, target do last = k end
    expect(select("#", iter(target, last)), 0, "iterator at the end")
    local raw_next = proxy_helpers.pairs(doubling, true)
    expect(select("#", raw_next(target, last)), 0, "plain next at the end")
  )lua"));
}

TEST(commons_proxy, RegistrationsEndWithTheProxyOrANilTarget) {
  luahost::State lua;
  EXPECT_EQ("", lua.run(R"lua(
    local proxy_helpers = require("commons.proxy_helpers")
    local registry = select(2, debug.getupvalue(proxy_helpers.register, 1))
    local probe = setmetatable({}, {__mode = "v"})
    local proxy = {}
    proxy_helpers.register(proxy, {x = 1})
    probe.target = registry[proxy]
    full_gc()
    expect(probe.target, {x = 1}, "target held while the proxy lives")

    local forgotten = {}
    proxy_helpers.register(forgotten, {})
    proxy_helpers.register(forgotten, nil)
    expect_error(function() return proxy_helpers.pairs(forgotten) end,
                 "bad argument #1 to 'pairs' (registered proxy expected)",
                 "pairs after register(p, nil)")

    proxy = nil
    full_gc()
    expect(next(registry), nil, "registry after the proxy is collected")
    expect(probe.target, nil, "target after the proxy is collected")
  )lua"));
}

TEST(commons_proxy, FailuresComeFromTheHostOrTheProxy) {
  luahost::State lua;
  EXPECT_EQ("", lua.run(R"lua(
    local proxy_helpers = require("commons.proxy_helpers")
    local failing = setmetatable({}, {__index = function(_, k) error("no field " .. k) end})
    proxy_helpers.register(failing, {a = 1})
    local numbered = {}
    proxy_helpers.register(numbered, 42)
    local not_registered = "bad argument #1 to 'pairs' (registered proxy expected)"
    local not_a_table = "bad argument #1 to 'for iterator' (table expected, got number)"
    cases({
      {name = "unregistered", not_registered, function() return proxy_helpers.pairs({}) end},
      {name = "nil proxy", not_registered, function() return proxy_helpers.pairs(nil, true) end},
      {name = "register(nil)", "table index is nil", function() proxy_helpers.register(nil, {}) end},
      {name = "index error", "no field a", function() for _ in proxy_helpers.pairs(failing) do end end},
      {name = "target not a table", not_a_table,
       function() for _ in proxy_helpers.pairs(numbered) do end end},
      {name = "raw target not a table", not_a_table,
       function() for _ in proxy_helpers.pairs(numbered, true) do end end},
    }, function(case) expect_error(case[2], case[1], case.name) end, "failures")
  )lua"));
}

}  // namespace
