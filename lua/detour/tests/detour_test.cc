// detour's insert, remove and close on plain tables, on containers with
// their own metamethods, and its shuffle.
#include <gtest/gtest.h>

#include <string>

#include "lua_host.h"

namespace {

std::string with_detour(const char* chunk) {
  return std::string("local detour = require('detour')\n") + chunk;
}

TEST(detour_ops, InsertAndRemoveOnPlainTables) {
  luahost::State lua;
  EXPECT_EQ("", lua.run(with_detour(R"lua(
    -- {operation, table, arguments, resulting table, results}
    for _, case in ipairs{
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
    } do
      local op, t, args, want_t, want = table.unpack(case)
      local label = op .. show(args)
      local got = results(detour[op](t, args[1], args[2]))
      expect(label .. " table", want_t, t)
      expect(label .. " result count", #want == 0 and 0 or 2, got.n)
      expect(label .. " results", want, {got[1], got[2]})
    end
  )lua")));
}

TEST(detour_ops, PositionsOutsideTheSequenceAreRejected) {
  luahost::State lua;
  EXPECT_EQ("", lua.run(with_detour(R"lua(
    for _, case in ipairs{
      {"insert", {"a", "b"}, 4}, {"insert", {"a", "b"}, -1}, {"insert", {}, 2},
      {"remove", {"a", "b"}, 3}, {"remove", {"a", "b"}, -2}, {"remove", {}, 1},
    } do
      local op, t, position = table.unpack(case)
      local before = show(t)
      expect_error(op .. " at " .. position, "bad argument #2 to 'detour." .. op .. "' (position out of bounds)",
                   detour[op], t, position, "v")
      expect(op .. " at " .. position .. " leaves the table", before, show(t))
    end
    expect_error("insert without key", "index is nil", detour.insert, {})
    expect_error("remove without key", "index is nil", detour.remove, {})
    expect_error("insert into a number", "attempt to get length of a number value", detour.insert, 5, nil, 1)
  )lua")));
}

TEST(detour_ops, PlainOperationsGoThroughTheContainersAccessors) {
  luahost::State lua;
  EXPECT_EQ("", lua.run(with_detour(R"lua(
    local store, log = {"a", "b"}, {}
    local proxy = setmetatable({}, {
      __index = function(_, k) return store[k] end,
      __newindex = function(_, k, v) log[#log + 1] = k; store[k] = v end,
      __len = function() return #store end,
    })
    expect("insert", {1, "z"}, {detour.insert(proxy, 1, "z")})
    expect("store after insert", {"z", "a", "b"}, store)
    expect("writes of insert", {3, 2, 1}, log)
    expect("remove", {3, "b"}, {detour.remove(proxy, nil, true)})
    expect("store after remove", {"z", "a"}, store)
    expect("the proxy stays empty", nil, next(proxy))
    detour.shuffle(proxy, 2)
    expect("shuffle reads and writes through the proxy", {"z", "a"}, store)

    local failing = setmetatable({}, {__len = function() error("no length") end})
    expect_error("length error", "no length", detour.insert, failing, nil, 1)
  )lua")));
}

// Long shifts of real tables take a faster route; what the container sees
// must not change with the length or with the standard library.
TEST(detour_ops, LongShiftsMakeTheSameAccessesAsShortOnes) {
  luahost::State lua;
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
          expect("insert results n=" .. n .. " p=" .. p, {p, "new"}, {detour.insert(proxy, p, "new")})
          expect("insert store n=" .. n .. " p=" .. p, want, store)
          expect("insert accesses n=" .. n .. " p=" .. p, insert_log(n, p), log)
          expect("insert leaves the proxy empty", nil, next(proxy))

          proxy, store, log = proxy_of(n)
          want = {}
          for i = 1, n do want[i] = "v" .. i end
          table.remove(want, p)
          expect("remove results n=" .. n .. " p=" .. p, {p, "v" .. p}, {detour.remove(proxy, p, true)})
          expect("remove store n=" .. n .. " p=" .. p, want, store)
          expect("remove accesses n=" .. n .. " p=" .. p, remove_log(n, p, true), log)
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
        expect("plain insert n=" .. n .. " p=" .. p, want, t)
        if p <= n then
          detour.remove(t, p)
          table.remove(want, p)
          expect("plain remove n=" .. n .. " p=" .. p, want, t)
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
    expect_error("error inside a long shift", "no room at 20", detour.insert, failing, 1, 0)
    expect("writes before the error", 12, writes)  -- 31 down to 20
    expect("elements above the error moved", 30, store[31])
    expect("elements below the error untouched", 19, store[19])
  )lua")));
}

TEST(detour_ops, LongShiftsDoNotDependOnTheTableLibraryOfTheDay) {
  luahost::State lua;
  EXPECT_EQ("", lua.run(R"lua(
    local real_move = table.move
    -- without table.move when the module opens
    table.move = nil
    local detour = require("detour")
    table.move = real_move
    local t = {}
    for i = 1, 50 do t[i] = i end
    detour.insert(t, 1, 0)
    expect("insert without move", 51, #t)
    expect("first", 0, t[1])
    expect("last", 50, t[51])
    detour.remove(t, 1)
    expect("remove without move", 50, #t)
    expect("first after remove", 1, t[1])
  )lua"));
  luahost::State other;
  EXPECT_EQ("", other.run(R"lua(
    local detour = require("detour")
    -- replacing table.move after the module opened changes nothing in it
    local replaced = 0
    table.move = function() replaced = replaced + 1 end
    local t = {}
    for i = 1, 50 do t[i] = i end
    detour.insert(t, 1, 0)
    detour.remove(t, 50)
    expect("the replacement was not called", 0, replaced)
    local want = {0}
    for i = 1, 48 do want[#want + 1] = i end
    want[#want + 1] = 50
    expect("shifted by the module itself", want, t)
  )lua"));
}

TEST(detour_ops, ContainerMetamethodsTakeTheWorkOver) {
  luahost::State lua;
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
    expect("insert results", {n = 2, "k", nil}, results(detour.insert(t, nil, "v", "extra")))
    expect("remove results", {n = 2, 1, 2}, results(detour.remove(t, "key")))
    expect("close results", {n = 0}, results(detour.close(t, 1, 2)))
    expect("calls", {
      {"__insert", {n = 4, t, nil, "v", "extra"}},
      {"__remove", {n = 2, t, "key"}},
      {"__close", {n = 3, t, 1, 2}},
    }, calls)
    expect("close without __close", {n = 0}, results(detour.close({}, 1)))
    local failing = setmetatable({}, {__insert = function() error("refused") end})
    expect_error("metamethod error", "refused", detour.insert, failing, 1, 2)
  )lua")));
}

TEST(detour_shuffle, IsAFixedPermutationForEachLength) {
  luahost::State lua;
  EXPECT_EQ("", lua.run(with_detour(R"lua(
    local function sequence(n) local t = {} for i = 1, n do t[i] = i end return t end
    for _, case in ipairs{
      {2, {1, 2}}, {3, {1, 2, 3}}, {5, {1, 4, 3, 5, 2}},
      {10, {1, 8, 5, 2, 6, 9, 10, 7, 3, 4}},
      {1, {1}}, {0, {}}, {-3, {}}, {"x", {}}, {2.5, {}},
    } do
      local n, want = case[1], case[2]
      local t = sequence(#want)
      detour.shuffle(t, n)
      expect("shuffle with n = " .. tostring(n), want, t)
    end

    -- positions up to n move, holes included; the rest stays
    local t = sequence(12)
    t[3] = nil
    detour.shuffle(t, 10)
    expect("with a hole at 3", {1, 8, 5, 2, 6, 9, 10, 7, nil, 4, 11, 12}, {table.unpack(t, 1, 12)})

    -- the first draw past 44488 no longer keeps the first element: 64-bit arithmetic
    local big = sequence(50000)
    detour.shuffle(big, 50000)
    expect("first element for n = 50000", 16354, big[1])
    local seen, distinct = {}, 0
    for i = 1, 50000 do if not seen[big[i]] then seen[big[i]], distinct = true, distinct + 1 end end
    expect("n = 50000 is a permutation", 50000, distinct)
    local same = sequence(50000)
    detour.shuffle(same, 50000)
    expect("the same n gives the same permutation", show(big), show(same))
  )lua")));
}

TEST(detour_module, CloseHookLeavesTheModuleUsable) {
  luahost::State lua;
  EXPECT_EQ("", lua.run(R"lua(
    local first
    do
      local detour, _ <close> = host.open("detour")
      first = detour
    end
    local again = require("detour")
    expect("reopened after the close hook", true, again ~= first)
    expect("insert after reopening", {1, "a"}, {again.insert({}, nil, "a")})
  )lua"));
}

}  // namespace
