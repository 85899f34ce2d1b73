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
