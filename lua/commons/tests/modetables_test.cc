// SPDX-License-Identifier: ISC
// The weak-mode tables and the sharing of the weak-key one between
// kmodetable, pubsub and proxy_helpers, across opening and closing.
#include <dlfcn.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "lua_host.h"

namespace {

// The weak-key mode table each module uses, found through its functions.
constexpr const char kUsedBy[] = R"lua(
  function kmode_of(name, module)
    if name == "commons.kmodetable" then return module end
    local holder = name == "commons.pubsub" and module.subscribe({}, print) or module.register
    return getmetatable(select(2, debug.getupvalue(holder, 1)))
  end
)lua";

TEST(commons_modetables, EachModeTableMakesTablesWeakItsWay) {
  luahost::State lua;
  EXPECT_EQ("", lua.run(R"lua(
    -- entries: a (collectable key), b (collectable value), c (kept alive)
    cases({
      {"commons.kmodetable", "k", a = false, b = true},
      {"commons.vmodetable", "v", a = true, b = false},
      {"commons.kvmodetable", "kv", a = false, b = false},
    }, function(case)
      local name, mode = case[1], case[2]
      local mt = require(name)
      expect(mt.__mode, mode, name .. " __mode")
      local t, kept = setmetatable({}, mt), {}
      t[{}], t.b, t[kept] = "a", {}, kept
      full_gc()
      local a = false
      for _, v in pairs(t) do a = a or v == "a" end
      expect(a, case.a, name .. " keeps a")
      expect(t.b ~= nil, case.b, name .. " keeps b")
      expect(t[kept], kept, name .. " keeps c")
    end, "weak modes")
  )lua"));
}

TEST(commons_modetables, WeakKeyTableIsSharedWhateverTheOrderOfOpening) {
  luahost::State lua;
  ASSERT_EQ("", lua.run(kUsedBy));
  EXPECT_EQ("", lua.run(R"lua(
    local k, p, s = "commons.kmodetable", "commons.proxy_helpers", "commons.pubsub"
    local before
    for _, order in ipairs{{k, p, s}, {k, s, p}, {p, k, s}, {p, s, k}, {s, k, p}, {s, p, k}} do
      local label = table.concat(order, ", ")
      local m1, _ <close> = host.open(order[1])
      local m2, _ <close> = host.open(order[2])
      local m3, _ <close> = host.open(order[3])
      local shared = kmode_of(order[1], m1)
      expect(shared.__mode, "k", label .. ": mode")
      expect(kmode_of(order[2], m2), shared, label .. ": " .. order[2])
      expect(kmode_of(order[3], m3), shared, label .. ": " .. order[3])
      -- all three were closed after the previous order: a new table
      if before == shared then error(label .. ": saw the table of the previous opening") end
      before = shared
    end
  )lua"));
}

TEST(commons_modetables, ReopeningKeepsTheSharedTableOnlyWhileAnotherHolderIsOpen) {
  luahost::State lua;
  ASSERT_EQ("", lua.run(kUsedBy));
  EXPECT_EQ("", lua.run(R"lua(
    for _, holder in ipairs{"commons.pubsub", "commons.proxy_helpers", "none"} do
      local held, _ <close> = (holder ~= "none" and host.open or function() end)(holder)
      local first
      do
        local kmode, _ <close> = host.open("commons.kmodetable")
        first = kmode
      end
      local again, _ <close> = host.open("commons.kmodetable")
      expect(again == first, holder ~= "none", holder .. ": reopened is the same")
      if held then expect(kmode_of(holder, held), again, holder .. ": holder's table") end
    end
    local v1 = require("commons.vmodetable")
    package.loaded["commons.vmodetable"] = nil
    local v2 = require("commons.vmodetable")
    expect(v1 ~= v2, true, "two weak-value tables differ")
    expect(v2.__mode, "v", "second weak-value mode")
  )lua"));
}

struct LibraryCloser {
  void operator()(void* handle) const { dlclose(handle); }
};

TEST(commons_modetables, CloseHooksReleaseTheReferencesTakenAtOpen) {
  // Holding the library keeps its variables readable across lua_close.
  std::unique_ptr<void, LibraryCloser> library(dlopen(EO_LUA54_DIR "/commons.so", RTLD_NOW));
  ASSERT_NE(library, nullptr) << dlerror();
  struct Case {
    const char* module;
    const char* variable;
    const char* held;  // what the reference must lead to
  };
  constexpr Case kCases[] = {
      {"commons.kmodetable", "rkmodetable", "module"},
      {"commons.vmodetable", "rvmodetable", "module"},
      {"commons.kvmodetable", "rkvmodetable", "module"},
      {"commons.proxy_helpers", "rkmodetable_proxy", "kmode_of('commons.proxy_helpers', module)"},
      {"commons.pubsub", "rkmodetable_pubsub", "kmode_of('commons.pubsub', module)"},
  };
  luahost::State lua;
  ASSERT_EQ("", lua.run(kUsedBy));
  for (const Case& c : kCases) {
    auto* ref = static_cast<int*>(dlsym(library.get(), c.variable));
    ASSERT_NE(ref, nullptr) << c.variable << " is not exported";
    ASSERT_EQ(*ref, 0) << c.variable << " before opening";
    ASSERT_EQ("", lua.run(std::string("module, handle = host.open('") + c.module + "')"));
    ASSERT_NE(*ref, 0) << c.variable << " after opening " << c.module;
    const std::string registry_slot = "debug.getregistry()[" + std::to_string(*ref) + "]";
    EXPECT_EQ("", lua.run("held = " + std::string(c.held) + "; expect(" + registry_slot +
                          ", held, '" + c.variable + " refers to')"));
    EXPECT_EQ("", lua.run("getmetatable(handle).__close(handle)"));
    EXPECT_EQ(*ref, 0) << c.variable << " after closing " << c.module;
    EXPECT_EQ("", lua.run("expect(rawequal(held, " + registry_slot + "), false, 'slot released')"));
  }

  // Modules still open when the state closes get their hooks then.
  EXPECT_EQ("", lua.run(R"lua(
    handles = {}
    for _, name in ipairs{"commons.kmodetable", "commons.vmodetable", "commons.kvmodetable",
                          "commons.proxy_helpers", "commons.pubsub"} do
      handles[name] = select(2, host.open(name))
    end
  )lua"));
  lua.close();
  for (const Case& c : kCases)
    EXPECT_EQ(*static_cast<int*>(dlsym(library.get(), c.variable)), 0)
        << c.variable << " after lua_close";
}

}  // namespace
