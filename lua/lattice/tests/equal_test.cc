// SPDX-License-Identifier: ISC
// Deep equality, the module table and the exported native interface.
#include <dlfcn.h>

#include <cstdint>
#include <string>

#include <gtest/gtest.h>

#include "harness.h"

namespace lattice_test {
namespace {

struct EqualCase {
  const char *name;
  const char *setup;  // Lua statements run first
  const char *args;   // argument list of optimized_deep_equals
  bool equal;
};

const EqualCase equal_cases[] = {
    {"no arguments compare nil with nil", "", "", true},
    {"integer equals float of the same value", "", "1, 1.0", true},
    {"string never equals number", "", "'1', 1", false},
    {"NaN differs from itself", "", "0/0, 0/0", false},
    {"extra arguments are dropped", "", "1, 1, 2", true},
    {"missing second argument is nil", "", "nil", true},
    {"empty tables", "", "{}, {}", true},
    {"longer b has an extra key", "", "{1, 2}, {1, 2, 3}", false},
    {"longer a has an extra key", "", "{1, 2, 3}, {1, 2}", false},
    {"nested empty tables", "", "{x = {}}, {x = {}}", true},
    {"false value against a missing key", "", "{a = false}, {}", false},
    {"missing key against a false value", "", "{}, {a = false}", false},
    {"table against a scalar", "", "{}, 0", false},
    {"hash and array parts mixed", "", "{1, 2, x = {y = 'z'}}, {[2] = 2, [1] = 1, x = {y = 'z'}}",
     true},
    {"values differ inside nested tables", "", "{x = {y = 1}}, {x = {y = 2}}", false},
    {"metatables take no part", "a = setmetatable({1}, {}) b = setmetatable({1}, {__index = {}})",
     "a, b", true},
    {"distinct table keys never match", "t1, t2 = {}, {}", "{[t1] = 1}, {[t2] = 1}", false},
    {"the same table key matches", "t1 = {}", "{[t1] = 1}, {[t1] = 1}", true},
    {"a table that contains itself equals itself", "a = {} a.self = a a.list = {a, a}", "a, a",
     true},
    {"shared subtables compare by content", "s = {1} a = {s, s} b = {{1}, {1}}", "a, b", true},
    {"same function is equal", "f = print", "f, f", true},
    {"distinct functions differ", "", "print, type", false},
    {"null markers are equal", "", "null, null", true},
    {"null is not false", "", "null, false", false},
};

TEST(LatticeEqual, Cases) {
  LuaHarness lua;
  for (const EqualCase &c : equal_cases) {
    const std::string code = std::string(c.setup) + "\nexpect(lattice.optimized_deep_equals(" +
                             c.args + "), " + (c.equal ? "true" : "false") + ")";
    EXPECT_EQ(lua.run(code), "") << c.name << ": " << c.args;
  }
}

// Builds two equal chains of `depth` tables and counts the native calls one
// comparison makes: twelve levels share one call.
TEST(LatticeEqual, NestedCallEveryTwelveLevels) {
  LuaHarness lua;
  const struct {
    int depth;
    int calls;
  } rows[] = {{1, 1}, {12, 1}, {13, 2}, {24, 2}, {25, 3}, {30, 3}, {100, 9}};
  for (const auto &row : rows) {
    const std::string code = "local depth, want = " + std::to_string(row.depth) + ", " +
                             std::to_string(row.calls) +
                             R"lua(
        local function chain(leaf)
          local t = {leaf = leaf}
          for i = 2, depth do t = {t, i} end
          return t
        end
        local eq = lattice.optimized_deep_equals
        local calls = 0
        debug.sethook(function()
          if debug.getinfo(2, "f").func == eq then calls = calls + 1 end
        end, "c")
        local same = eq(chain("x"), chain("x"))
        local differ = eq(chain("x"), chain("y"))
        debug.sethook()
        expect(same, true, "equal chains")
        expect(differ, false, "chains with different leaves")
        -- the differing call stops at the first difference, so both walk
        -- the whole chain
        expect(calls, 2 * want, "native calls for depth " .. depth)
      )lua";
    EXPECT_EQ(lua.run(code), "") << "depth " << row.depth;
  }
}

TEST(LatticeEqual, MetamethodsAreNeverCalled) {
  LuaHarness lua;
  EXPECT_EQ(lua.run(R"lua(
    local boom = function() error("metamethod called") end
    local mt = {__eq = boom, __index = boom, __newindex = boom, __pairs = boom, __len = boom}
    local a = setmetatable({1, {2}, x = setmetatable({}, mt)}, mt)
    local b = setmetatable({1, {2}, x = setmetatable({}, mt)}, mt)
    expect(lattice.optimized_deep_equals(a, b), true, "equal contents")
    rawset(b, "y", 1)
    expect(lattice.optimized_deep_equals(a, b), false, "extra key")
    -- userdata compare by identity only
    expect(lattice.optimized_deep_equals(io.stdout, io.stdout), true, "same userdata")
    expect(lattice.optimized_deep_equals(io.stdout, io.stderr), false, "other userdata")
  )lua"),
            "");
}

TEST(LatticeEqual, DeepAndCyclicStructures) {
  LuaHarness lua;
  EXPECT_EQ(lua.run(R"lua(
    local function deep(n, leaf)
      local t = {leaf}
      for _ = 1, n do t = {t} end
      return t
    end
    local eq = lattice.optimized_deep_equals
    expect(eq(deep(1000, 1), deep(1000, 1)), true, "1000 levels")
    expect(eq(deep(1000, 1), deep(1000, 2)), false, "1000 levels, leaves differ")
    expect(eq(deep(1000, 1), deep(999, 1)), false, "different depths")
    -- two distinct cycles in step never finish: the interpreter's limit on
    -- nested native calls ends the comparison with an error
    local a, b = {}, {}
    a.next, b.next = a, b
    expect_error(function() return eq(a, b) end, "C stack overflow", "two cycles in step")
    -- a cycle against an acyclic table differs as soon as the shapes part
    expect(eq(a, deep(50, 1)), false, "cycle against a chain")
  )lua"),
            "");
}

// Twelve levels share one native call, and Lua allows about 200 nested
// native calls: two distinct plain structures compare up to about 2,360
// levels; deeper ones end in Lua's "C stack overflow" error, never a crash.
TEST(LatticeEqual, NestingPastTheNestedCallLimitRaises) {
  LuaHarness lua;
  EXPECT_EQ(lua.run(R"lua(
    local eq = lattice.optimized_deep_equals
    local function deep(n, leaf)
      local t = {leaf}
      for _ = 1, n do t = {t} end
      return t
    end
    local function compares(n) return (pcall(eq, deep(n, 1), deep(n, 1))) end
    expect(eq(deep(2300, 1), deep(2300, 1)), true, "2,300 levels, equal")
    expect(eq(deep(2300, 1), deep(2300, 2)), false, "2,300 levels, leaves differ")
    expect_error(function() return eq(deep(2450, 1), deep(2450, 1)) end, "C stack overflow",
                 "2,450 levels")
    -- where it starts: the deepest structure that still compares
    local low, high = 2300, 2450
    while high - low > 1 do
      local mid = (low + high) // 2
      if compares(mid) then low = mid else high = mid end
    end
    expect_true(low >= 2330 and low <= 2390, "deepest comparable structure: " .. low)
  )lua"),
            "");
}

TEST(LatticeEqual, RandomStructuresAgreeWithAPlainRecursiveCompare) {
  LuaHarness lua;
  EXPECT_EQ(lua.run_file("equal_random.lua"), "");
}

// The module table and the symbols other native modules link against.
class LatticeModule : public ::testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(module_path().c_str(), RTLD_NOW);
    ASSERT_NE(handle_, nullptr) << dlerror();
  }
  void TearDown() override {
    if (handle_) dlclose(handle_);
  }
  template <typename T>
  T symbol(const char *name) {
    void *p = dlsym(handle_, name);
    EXPECT_NE(p, nullptr) << name << " is not exported";
    return reinterpret_cast<T>(p);
  }
  void *handle_ = nullptr;
};

TEST_F(LatticeModule, TableHasExactlyTheTwoFunctions) {
  LuaHarness lua;
  EXPECT_EQ(lua.run(R"lua(
    local names = {}
    for k, v in pairs(lattice) do names[#names + 1] = k .. ":" .. type(v) end
    table.sort(names)
    expect(names, {"optimized_deep_equals:function", "reduce_core:function"}, "fields")
    expect(package.loaded["orv.lattice"], lattice, "cached module")
  )lua"),
            "");
}

TEST_F(LatticeModule, TypeMaskTable) {
  const auto *mask = symbol<const int32_t *>("nary_op_first_arg_type_mask");
  ASSERT_NE(mask, nullptr);
  const int32_t want[11] = {-1, 0x8, 0xB0, 0x10, 0x10, 0x8, 0x8, 0x8, 0x8, 0x10, 0x10};
  for (int i = 0; i < 11; ++i) EXPECT_EQ(mask[i], want[i]) << "index " << i;
}

TEST_F(LatticeModule, NativeEntryPoints) {
  using LuaFn = int (*)(lua_State *);
  auto open = symbol<LuaFn>("luaopen_orv_lattice");
  auto close = symbol<LuaFn>("luaclose_orv_lattice");
  auto equals = symbol<LuaFn>("orv_lattice_optimized_deep_equals");
  auto reduce_open = symbol<void (*)(lua_State *)>("orv_lattice_reduce_open");
  auto reduce_table = symbol<lua_CFunction>("lua_reduce_table");
  ASSERT_TRUE(open && close && equals && reduce_open && reduce_table);

  LuaHarness lua;
  lua_State *L = lua.state();
  lua_settop(L, 0);

  EXPECT_EQ(open(L), 1);
  ASSERT_EQ(lua_gettop(L), 1);
  EXPECT_EQ(lua_getfield(L, 1, "reduce_core"), LUA_TFUNCTION);
  EXPECT_EQ(lua_tocfunction(L, -1), reduce_table);
  lua_settop(L, 0);

  EXPECT_EQ(close(L), 0);
  EXPECT_EQ(lua_gettop(L), 0);

  // reduce_open stores into the table on top and leaves the stack alone
  lua_pushinteger(L, 7);
  lua_newtable(L);
  reduce_open(L);
  ASSERT_EQ(lua_gettop(L), 2);
  EXPECT_EQ(lua_getfield(L, 2, "reduce_core"), LUA_TFUNCTION);
  lua_settop(L, 0);

  // equal: 1 and the stack exactly as on entry
  ASSERT_EQ(lua.run("A = {1, {2, {3}}} B = {1, {2, {3}}} C = {1, {2, {4}}}"), "");
  lua_pushliteral(L, "below");
  lua_getglobal(L, "A");
  lua_getglobal(L, "B");
  EXPECT_EQ(equals(L), 1);
  ASSERT_EQ(lua_gettop(L), 3);
  EXPECT_STREQ(lua_tostring(L, 1), "below");
  lua_getglobal(L, "A");
  EXPECT_TRUE(lua_rawequal(L, 2, -1));
  lua_settop(L, 0);

  // different: 0, the operands still in place below anything left over
  lua_getglobal(L, "A");
  lua_getglobal(L, "C");
  EXPECT_EQ(equals(L), 0);
  ASSERT_GE(lua_gettop(L), 2);
  lua_getglobal(L, "C");
  EXPECT_TRUE(lua_rawequal(L, 2, -1));
  lua_settop(L, 0);
}

}  // namespace
}  // namespace lattice_test
