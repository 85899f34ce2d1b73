// SPDX-License-Identifier: ISC
// detour's insert, remove and close on plain tables, on containers with
// their own metamethods, and its shuffle.
#include <gtest/gtest.h>

#include <string>

#include "lua_expect.h"

namespace {

// Run before each test's chunk: modules come from the build tree only.
// open_closable(name) -> module, handle: closing the handle (a to-be-closed
// variable) runs the module's luaclose_ hook, as the firmware's interpreter
// does when it unloads a module, and forgets the module, so that the next
// require opens it again. results(...) packs every result with its count.
constexpr const char kPrelude[] = R"lua(
package.path = ""
package.cpath = MODULE_DIR .. "/?.so"
function open_closable(name)
  local module = require(name)
  local file = assert(package.searchpath(name, package.cpath))
  local hook = assert(package.loadlib(file, "luaclose_" .. name))
  local handle = setmetatable({}, {__close = function()
    package.loaded[name] = nil
    hook()
  end})
  return module, handle
end
results = table.pack
)lua";

// A Lua 5.4 state with the shared assertions and the prelude loaded.
class State {
 public:
  State() : L_(luaL_newstate()) {
    luaL_openlibs(L_);
    lua_pushliteral(L_, EO_LUA54_DIR);
    lua_setglobal(L_, "MODULE_DIR");
    setup_error_ = lua_expect::load(L_);
    if (setup_error_.empty()) setup_error_ = run(kPrelude);
  }
  ~State() { lua_close(L_); }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  // "" when the chunk ran through, else its error with a traceback.
  std::string run(const std::string& chunk) {
    if (!setup_error_.empty()) return "set-up: " + setup_error_;
    lua_pushcfunction(L_, traceback);
    const int handler = lua_gettop(L_);
    int status = luaL_loadbuffer(L_, chunk.data(), chunk.size(), "=test");
    if (status == LUA_OK) status = lua_pcall(L_, 0, 0, handler);
    std::string error;
    if (status != LUA_OK) {
      const char* message = lua_tostring(L_, -1);
      error = message ? message : "(error object is not a string)";
    }
    lua_settop(L_, handler - 1);
    return error;
  }

 private:
  static int traceback(lua_State* L) {
    const char* message = lua_tostring(L, 1);
    luaL_traceback(L, L, message ? message : "(error object is not a string)", 1);
    return 1;
  }

  lua_State* L_;
  std::string setup_error_;
};

std::string with_detour(const char* chunk) {
  return std::string("local detour = require('detour')\n") + chunk;
}

TEST(detour_ops, InsertAndRemoveOnPlainTables) {
  State lua;
  EXPECT_EQ("", lua.run(with_detour(R"lua(
    -- {operation, table, arguments, resulting table, results}
    cases({
      {"insert", {"a", "b"}, {nil, "c"}, {"a", "b", "c"}, {3, "c"}},
      {"insert", {"a", "b"}, {1, "z"}, {"z", "a", "b"}, {1, "z"}},
      {"insert", {"a", "b"}, {2.0, "z"}, {"a", "z", "b"}, {2, "z"}},
      {"insert", {"a", "b"}, {3, "z"}, {"a", "b", "z"}, {3, "z"}},
      {"insert", {}, {nil, "a"}, {"a"}, {1, "a"}},
      {"insert", {x = 1}, {"x", 2}, {x = 1}, {}},
      {"insert", {}, {"x", 2}, {x = 2}, {"x", 2}},
      {"insert", {"a"}, {0, "zero"}, {[0] = "zero", "a"}, {0, "zero"}},
      {"insert", {"a"}, {1.5, "half"}, {[1.5] = "half", "a"}, {1.5, "half"}},
      {"insert", {}, {true, "yes"}, {[true] = "yes"}, {true, "yes"}},
      {"remove", {"a", "b", "c"}, {1, true}, {"b", "c"}, {1, "a"}},
      {"remove", {"a", "b", "c"}, {nil}, {"a", "b"}, {3, nil}},
      {"remove", {"a", "b", "c"}, {nil, true}, {"a", "b"}, {3, "c"}},
      {"remove", {"a", "b", "c"}, {2, 1}, {"a", "c"}, {2, "b"}},
      {"remove", {"a", "b", "c"}, {3.0, false}, {"a", "b"}, {3, nil}},
      {"remove", {x = 1}, {"x", true}, {}, {"x", 1}},
      {"remove", {"a"}, {"y", true}, {"a"}, {"y", nil}},
      {"remove", {[0] = "zero"}, {nil, true}, {}, {0, "zero"}},
    }, function(case)
      local op, t, args, want_t, want = table.unpack(case)
      local got = results(detour[op](t, args[1], args[2]))
      expect(t, want_t, "table")
      expect(got.n, #want == 0 and 0 or 2, "result count")
      expect({got[1], got[2]}, want, "results")
    end)
  )lua")));
}

TEST(detour_ops, PositionsOutsideTheSequenceAreRejected) {
  State lua;
  EXPECT_EQ("", lua.run(with_detour(R"lua(
    cases({
      {"insert", {"a", "b"}, 4}, {"insert", {"a", "b"}, -1}, {"insert", {}, 2},
      {"remove", {"a", "b"}, 3}, {"remove", {"a", "b"}, -2}, {"remove", {}, 1},
    }, function(case)
      local op, t, position = table.unpack(case)
      local before = show(t)
      -- called from C, as by pcall, so that the error names the function
      -- by its module name rather than by the caller's expression
      expect_error(function()
        local ok, err = pcall(detour[op], t, position, "v")
        if not ok then error(err, 0) end
      end,
                   "bad argument #2 to 'detour." .. op .. "' (position out of bounds)")
      expect(show(t), before, "the table after the refusal")
    end)
    expect_error(function() return detour.insert({}) end, "table index is nil",
                 "insert without key")
    expect_error(function() return detour.remove({}) end, "table index is nil",
                 "remove without key")
    expect_error(function() return detour.insert(5, nil, 1) end,
                 "attempt to get length of a number value", "insert into a number")
  )lua")));
}

TEST(detour_ops, PlainOperationsGoThroughTheContainersAccessors) {
  State lua;
  EXPECT_EQ("", lua.run(with_detour(R"lua(
    local store, log = {"a", "b"}, {}
    local proxy = setmetatable({}, {
      __index = function(_, k) return store[k] end,
      __newindex = function(_, k, v) log[#log + 1] = k; store[k] = v end,
      __len = function() return #store end,
    })
    expect({detour.insert(proxy, 1, "z")}, {1, "z"}, "insert")
    expect(store, {"z", "a", "b"}, "store after insert")
    expect(log, {3, 2, 1}, "writes of insert")
    expect({detour.remove(proxy, nil, true)}, {3, "b"}, "remove")
    expect(store, {"z", "a"}, "store after remove")
    expect(next(proxy), nil, "the proxy stays empty")
    detour.shuffle(proxy, 2)
    expect(store, {"z", "a"}, "shuffle reads and writes through the proxy")

    local failing = setmetatable({}, {__len = function() error("no length") end})
    expect_error(function() return detour.insert(failing, nil, 1) end, "no length", "length error")
  )lua")));
}

// Long shifts of real tables take a faster route; what the container sees
// must not change with the length or with the standard library.
TEST(detour_ops, LongShiftsMakeTheSameAccessesAsShortOnes) {
  State lua;
  EXPECT_EQ("", lua.run(with_detour(R"lua(
    -- every read and write through a proxy, in order
    local function proxy_of(n)
      local store, log = {}, {}
      for i = 1, n do store[i] = "v" .. i end
      local proxy = setmetatable({}, {
        __index = function(_, k) log[#log + 1] = "r" .. k; return store[k] end,
        __newindex = function(_, k, v) log[#log + 1] = "w" .. k; store[k] = v end,
        __len = function() return #store end,
      })
      return proxy, store, log
    end
    -- the accesses the element loop makes, written out
    local function insert_log(n, p)
      local log = {}
      for i = n, p, -1 do log[#log + 1] = "r" .. i; log[#log + 1] = "w" .. (i + 1) end
      log[#log + 1] = "w" .. p
      return log
    end
    local function remove_log(n, p, want)
      local log = want and {"r" .. p} or {}
      for i = p, n - 1 do log[#log + 1] = "r" .. (i + 1); log[#log + 1] = "w" .. i end
      log[#log + 1] = "w" .. n
      return log
    end
    for _, n in ipairs{3, 15, 16, 17, 40} do
      for _, p in ipairs{1, 2, n - 16, n - 15, n - 14, n} do
        if p >= 1 then
          local proxy, store, log = proxy_of(n)
          local want = {}
          for i = 1, n do want[i] = "v" .. i end
          table.insert(want, p, "new")
          local where = " n=" .. n .. " p=" .. p
          expect({detour.insert(proxy, p, "new")}, {p, "new"}, "insert results" .. where)
          expect(store, want, "insert store n=" .. n .. " p=" .. p)
          expect(log, insert_log(n, p), "insert accesses n=" .. n .. " p=" .. p)
          expect(next(proxy), nil, "insert leaves the proxy empty")

          proxy, store, log = proxy_of(n)
          want = {}
          for i = 1, n do want[i] = "v" .. i end
          table.remove(want, p)
          expect({detour.remove(proxy, p, true)}, {p, "v" .. p}, "remove results" .. where)
          expect(store, want, "remove store n=" .. n .. " p=" .. p)
          expect(log, remove_log(n, p, true), "remove accesses n=" .. n .. " p=" .. p)
        end
      end
    end

    -- plain tables of every length around the switch, against table.insert/remove
    for n = 0, 40 do
      for p = 1, n + 1 do
        local t, want = {}, {}
        for i = 1, n do t[i], want[i] = i, i end
        detour.insert(t, p, "x")
        table.insert(want, p, "x")
        expect(t, want, "plain insert n=" .. n .. " p=" .. p)
        if p <= n then
          detour.remove(t, p)
          table.remove(want, p)
          expect(t, want, "plain remove n=" .. n .. " p=" .. p)
        end
      end
    end

    -- an error midway stops the shift where the loop would have stopped
    local store, writes = {}, 0
    for i = 1, 30 do store[i] = i end
    local failing = setmetatable({}, {
      __index = store,
      __newindex = function(_, k, v)
        writes = writes + 1
        if k == 20 then error("no room at 20") end
        store[k] = v
      end,
      __len = function() return 30 end,
    })
    expect_error(function() return detour.insert(failing, 1, 0) end, "no room at 20",
                 "error inside a long shift")
    expect(writes, 12, "writes before the error")  -- 31 down to 20
    expect(store[31], 30, "elements above the error moved")
    expect(store[19], 19, "elements below the error untouched")
  )lua")));
}

TEST(detour_ops, LongShiftsDoNotDependOnTheTableLibraryOfTheDay) {
  State lua;
  EXPECT_EQ("", lua.run(R"lua(
    local real_move = table.move
    -- without table.move when the module opens
    table.move = nil
    local detour = require("detour")
    table.move = real_move
    local t = {}
    for i = 1, 50 do t[i] = i end
    detour.insert(t, 1, 0)
    expect(#t, 51, "insert without move")
    expect(t[1], 0, "first")
    expect(t[51], 50, "last")
    detour.remove(t, 1)
    expect(#t, 50, "remove without move")
    expect(t[1], 1, "first after remove")
  )lua"));
  State other;
  EXPECT_EQ("", other.run(R"lua(
    local detour = require("detour")
    -- replacing table.move after the module opened changes nothing in it
    local replaced = 0
    table.move = function() replaced = replaced + 1 end
    local t = {}
    for i = 1, 50 do t[i] = i end
    detour.insert(t, 1, 0)
    detour.remove(t, 50)
    expect(replaced, 0, "the replacement was not called")
    local want = {0}
    for i = 1, 48 do want[#want + 1] = i end
    want[#want + 1] = 50
    expect(t, want, "shifted by the module itself")
  )lua"));
}

// A container may claim any length, up to the largest integer: positions
// near it still shift one by one through the accessors, the position after
// the last wrapping around as Lua's own integer arithmetic does, and no
// error comes from a helper the caller never called.
TEST(detour_ops, ShiftsNearTheLargestLengthGoThroughTheAccessors) {
  State lua;
  EXPECT_EQ("", lua.run(with_detour(R"lua(
    local max, min = math.maxinteger, math.mininteger
    local function huge()
      local store, log = {}, {}
      local proxy = setmetatable({}, {
        __index = function(_, k) log[#log + 1] = "r" .. k; return store[k] end,
        __newindex = function(_, k, v) log[#log + 1] = "w" .. k; store[k] = v end,
        __len = function() return max end,
      })
      return proxy, store, log
    end
    cases({
      -- {position, elements shifted}: short and long shifts alike
      {max, 1}, {max - 1, 2}, {max - 20, 21}, {max - 40, 41},
    }, function(row)
      local p, shifted = row[1], row[2]
      local proxy, store, log = huge()
      store[max] = "last"
      expect({detour.insert(proxy, p, "new")}, {p, "new"}, "results")
      local want = {}
      for i = max, p, -1 do
        want[#want + 1] = "r" .. i
        want[#want + 1] = "w" .. (i == max and min or i + 1)
      end
      want[#want + 1] = "w" .. p
      expect(#want, 2 * shifted + 1, "accesses counted")
      expect(log, want, "accesses")
      expect({store[min], store[p]}, {"last", "new"}, "the last element wrapped, the new one in")
      expect(next(proxy), nil, "the proxy stays empty")
    end, "insert")

    -- at the end: the position after the largest one
    local proxy, store, log = huge()
    expect({detour.insert(proxy, nil, "end")}, {min, "end"}, "insert at the end")
    expect(log, {"w" .. min}, "accesses of insert at the end")
    -- remove shifts down, which never wraps
    proxy, store, log = huge()
    store[max] = "last"
    expect({detour.remove(proxy, max - 20, false)}, {max - 20, nil}, "remove")
    expect(#log, 2 * 20 + 1, "accesses of remove")
    expect({log[#log - 2], log[#log - 1], log[#log]}, {"r" .. max, "w" .. (max - 1), "w" .. max},
           "last accesses of remove")
    expect({store[max - 1], store[max]}, {"last", nil}, "store after remove")
  )lua")));
}

TEST(detour_ops, ContainerMetamethodsTakeTheWorkOver) {
  State lua;
  EXPECT_EQ("", lua.run(with_detour(R"lua(
    local calls = {}
    local function recorder(name, ...)
      local answers = table.pack(...)
      return function(...) calls[#calls + 1] = {name, results(...)}; return table.unpack(answers, 1, answers.n) end
    end
    local t = setmetatable({}, {
      __insert = recorder("__insert", "k"),
      __remove = recorder("__remove", 1, 2, 3),
      __close = recorder("__close", "ignored"),
    })
    expect(results(detour.insert(t, nil, "v", "extra")), {n = 2, "k", nil}, "insert results")
    expect(results(detour.remove(t, "key")), {n = 2, 1, 2}, "remove results")
    expect(results(detour.close(t, 1, 2)), {n = 0}, "close results")
    expect(calls, {
      {"__insert", {n = 4, t, nil, "v", "extra"}},
      {"__remove", {n = 2, t, "key"}},
      {"__close", {n = 3, t, 1, 2}},
    }, "calls")
    expect(results(detour.close({}, 1)), {n = 0}, "close without __close")
    local failing = setmetatable({}, {__insert = function() error("refused") end})
    expect_error(function() return detour.insert(failing, 1, 2) end, "refused", "metamethod error")
  )lua")));
}

TEST(detour_shuffle, IsAFixedPermutationForEachLength) {
  State lua;
  EXPECT_EQ("", lua.run(with_detour(R"lua(
    local function sequence(n) local t = {} for i = 1, n do t[i] = i end return t end
    cases({
      {2, {1, 2}}, {3, {1, 2, 3}}, {5, {1, 4, 3, 5, 2}},
      {10, {1, 8, 5, 2, 6, 9, 10, 7, 3, 4}},
      {1, {1}}, {0, {}}, {-3, {}}, {"x", {}}, {2.5, {}},
    }, function(case)
      local n, want = case[1], case[2]
      local t = sequence(#want)
      detour.shuffle(t, n)
      expect(t, want, "shuffle with n = " .. tostring(n))
    end)

    -- positions up to n move, holes included; the rest stays
    local t = sequence(12)
    t[3] = nil
    detour.shuffle(t, 10)
    expect({table.unpack(t, 1, 12)}, {1, 8, 5, 2, 6, 9, 10, 7, nil, 4, 11, 12}, "with a hole at 3")

    -- the first draw past 44488 no longer keeps the first element: 64-bit arithmetic
    local big = sequence(50000)
    detour.shuffle(big, 50000)
    expect(big[1], 16354, "first element for n = 50000")
    local seen, distinct = {}, 0
    for i = 1, 50000 do if not seen[big[i]] then seen[big[i]], distinct = true, distinct + 1 end end
    expect(distinct, 50000, "n = 50000 is a permutation")
    local same = sequence(50000)
    detour.shuffle(same, 50000)
    expect(show(same), show(big), "the same n gives the same permutation")
  )lua")));
}

// A container whose __len or argument names a virtual sequence far beyond any
// real table still gets the permutation the generator defines, not one bent
// by 64-bit overflow.
TEST(detour_shuffle, FirstDrawOfAHugeShuffleFollowsTheGenerator) {
  State lua;
  EXPECT_EQ("", lua.run(with_detour(R"lua(
    local m, a = 2147483647, 48271
    -- the positions read, until the test stops the pass at the second read
    local function first_draw(n)
      local seen = {}
      local t = setmetatable({}, {
        __index = function(_, k)
          seen[#seen + 1] = k
          if #seen == 2 then error("enough", 0) end
        end,
        __newindex = function() end,
      })
      local ok, err = pcall(detour.shuffle, t, n)
      return ok, err, seen
    end
    cases({math.maxinteger, (1 << 62) + 12345, 400000000000001, 2147483647 * 3 + 7}, function(n)
      -- 48271 (n mod m) mod m: the seed reduced before it is multiplied
      local state = (n % m) * a % m
      local _, err, seen = first_draw(n)
      local label = "n = " .. n
      expect(err, "enough", label .. " stopped by the second read")
      expect(seen, {1, 1 + state}, label .. " reads position 1, then the drawn one")
    end)
  )lua")));
}

TEST(detour_module, CloseHookLeavesTheModuleUsable) {
  State lua;
  EXPECT_EQ("", lua.run(R"lua(
    local first
    do
      local detour, _ <close> = open_closable("detour")
      first = detour
    end
    local again = require("detour")
    expect(again ~= first, true, "reopened after the close hook")
    expect({again.insert({}, nil, "a")}, {1, "a"}, "insert after reopening")
  )lua"));
}

}  // namespace
