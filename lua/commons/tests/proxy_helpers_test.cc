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
    expect("through the proxy", {a = 2, b = 4}, walk(doubling))
    expect("raw", {a = 1, b = 2}, walk(doubling, true))
    expect("forwarding proxy", {a = 1, b = 2}, walk(forwarding, false))
    expect("empty target", {}, walk(empty))

    local iter, state, init = proxy_helpers.pairs(doubling)
    expect("triple: target", target, state)
    expect("triple: initial key", nil, init)
    local last
    for k in next, target do last = k end
    expect("iterator at the end", 0, select("#", iter(target, last)))
    local raw_next = proxy_helpers.pairs(doubling, true)
    expect("plain next at the end", 0, select("#", raw_next(target, last)))
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
    expect("target held while the proxy lives", {x = 1}, probe.target)

    local forgotten = {}
    proxy_helpers.register(forgotten, {})
    proxy_helpers.register(forgotten, nil)
    expect_error("pairs after register(p, nil)",
                 "bad argument #1 to 'commons.proxy_helpers.pairs' (registered proxy expected)",
                 proxy_helpers.pairs, forgotten)

    proxy = nil
    full_gc()
    expect("registry after the proxy is collected", nil, next(registry))
    expect("target after the proxy is collected", nil, probe.target)
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
    for _, case in ipairs{
      {"unregistered", "registered proxy expected", function() return proxy_helpers.pairs({}) end},
      {"nil proxy", "registered proxy expected", function() return proxy_helpers.pairs(nil, true) end},
      {"register(nil)", "index is nil", function() proxy_helpers.register(nil, {}) end},
      {"index error", "no field a", function() for _ in proxy_helpers.pairs(failing) do end end},
      {"target not a table", "table expected, got number",
       function() for _ in proxy_helpers.pairs(numbered) do end end},
      {"raw target not a table", "table expected, got number",
       function() for _ in proxy_helpers.pairs(numbered, true) do end end},
    } do
      expect_error(case[1], case[2], case[3])
    end
  )lua"));
}

}  // namespace
