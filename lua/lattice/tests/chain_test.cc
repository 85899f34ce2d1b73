// SPDX-License-Identifier: ISC
// The operators over any number of arguments and the path queries.
#include <string>

#include <gtest/gtest.h>

#include "harness.h"

namespace lattice_test {
namespace {

// Data the path rows query; quoted so that metatables survive.
const char path_data[] = R"lua(
  DATA = {a = {b = {10, 20, 30}, n = 5}, list = {{name = 'x'}, {name = 'y'}, {other = 1}},
          [0] = 'zero'}
  META = setmetatable({}, {__index = function(_, k) return 'via ' .. tostring(k) end})
)lua";

const ReduceCase sum_product_rows[] = {
    {"sum of two integers", "{'sum', 1, 2}", "3", true},
    {"sum of two halves is an integer", "{'sum', 1.5, 1.5}", "3", true},
    {"sum beyond 32 bits is a float", "{'sum', 2147483647, 1}", "2147483648.0", true},
    {"sum at the lowest 32-bit integer", "{'sum', -2147483647, -1}", "-2147483648", true},
    {"sum below 32 bits is a float", "{'sum', -2147483648, -1}", "-2147483649.0", true},
    {"sum of nothing", "{'sum'}", "0", true},
    {"sum of one float is unchanged", "{'sum', 2.5}", "2.5", true},
    {"sum of one large integer is unchanged", "{'sum', 1 << 40}", "1 << 40", true},
    {"sum of one string", "{'sum', 'a'}", "null", true},
    {"sum with a string", "{'sum', 1, 'a'}", "null", true},
    {"sum of fractions", "{'sum', 0.5, 0.25}", "0.75", true},
    {"sum overflowing doubles stays a float", "{'sum', 1e308, 1e308}", "1/0", true},
    {"sum of many", "{'sum', 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}", "55", true},
    {"sum of nested forms", "{'sum', {'mul', 2, 3}, {'sum', 1}}", "7", true},
    {"product of nothing", "{'mul'}", "1", true},
    {"product of three", "{'mul', 2, 3, 4}", "24", true},
    {"product with a half", "{'mul', 2, 0.5}", "1", true},
    {"product beyond 32 bits", "{'mul', 65536, 65536}", "4294967296.0", true},
    {"product with a boolean", "{'mul', 2, true}", "null", true},
};

const ReduceCase ordering_rows[] = {
    {"less than, ascending", "{'lt', 1, 2, 3}", "true", true},
    {"less than, out of order", "{'lt', 1, 3, 2}", "false", true},
    {"less than, equal neighbours", "{'lt', 1, 1}", "false", true},
    {"less than, mixed integer and float", "{'lt', 1, 1.5, 2}", "true", true},
    {"less than, exact for large integers", "{'lt', math.maxinteger - 1, math.maxinteger}", "true",
     true},
    {"less than, number and string", "{'lt', 1, 'a'}", "null", true},
    {"less than, string and number", "{'lt', 'a', 1}", "null", true},
    {"less than, NaN first", "{'lt', 0/0, 1}", "null", true},
    {"less than, NaN later", "{'lt', 1, 0/0}", "null", true},
    {"less than, boolean", "{'lt', true, false}", "null", true},
    {"less than, single argument", "{'lt', 5}", "true", true},
    {"less than, single argument never checked", "{'lt', {}}", "true", true},
    {"less than, no arguments", "{'lt'}", "true", true},
    {"less than, prefix orders first", "{'lt', 'ab', 'abc'}", "true", true},
    {"less than, proper prefix is not greater", "{'lt', 'abc', 'ab'}", "false", true},
    {"less than, bytes far apart", "{'lt', 'a\\1', 'a\\255'}", "true", true},
    {"less than, high byte first", "{'lt', '\\255', '\\1'}", "false", true},
    {"less than, zero bytes compare", "{'lt', 'a\\0', 'a\\0\\0'}", "true", true},
    {"less than, bytes after a zero byte", "{'lt', 'a\\0b', 'a\\0c'}", "true", true},
    {"less than, empty string first", "{'lt', '', 'a'}", "true", true},
    {"greater than, descending", "{'gt', 3, 2, 1}", "true", true},
    {"greater than, equal neighbours", "{'gt', 3, 3}", "false", true},
    {"greater than, strings", "{'gt', 'b', 'a\\255'}", "true", true},
    {"less or equal yields the last argument", "{'le', 1, 2, 2}", "2", true},
    {"less or equal of strings", "{'le', 'a', 'b'}", "'b'", true},
    {"less or equal, out of order", "{'le', 1, 2, 1}", "false", true},
    {"less or equal, single argument", "{'le', 1}", "true", true},
    {"greater or equal yields the last argument", "{'ge', 3, 3, 1.5}", "1.5", true},
    {"greater or equal, out of order", "{'ge', 1, 2}", "false", true},
};

const ReduceCase equality_rows[] = {
    {"all equal, integer and float", "{'eq', 1, 1.0, 1}", "true", true},
    {"all equal, one differs", "{'eq', 1, 1, 2}", "false", true},
    {"all equal, reduced plain tables", "{'eq', {a = 1}, {a = {'sum', 0, 1}}}", "true", true},
    {"all equal, quoted nested tables", "{'eq', {'quote', {1, {2}}}, {'quote', {1, {2}}}}", "true",
     true},
    {"all equal, tables differ", "{'eq', {'quote', {1}}, {'quote', {2}}}", "false", true},
    {"all equal, single", "{'eq', 'x'}", "true", true},
    {"all equal, none", "{'eq'}", "true", true},
    {"all equal, NaN differs", "{'eq', 0/0, 0/0}", "false", true},
    {"all distinct", "{'ne', 1, 2, 3}", "true", true},
    {"all distinct, first and last equal", "{'ne', 1, 2, 1}", "false", true},
    {"all distinct, equal tables", "{'ne', {a = 1}, {a = 1}}", "false", true},
    {"all distinct, none", "{'ne'}", "true", true},
};

const ReduceCase and_or_rows[] = {
    {"and of truthy values", "{'and', 1, 0, ''}", "true", true},
    {"and with false", "{'and', 1, false}", "false", true},
    {"and with null", "{'and', null, 1}", "false", true},
    {"and of nothing", "{'and'}", "true", true},
    {"and of one value is its truthiness", "{'and', 5}", "true", true},
    {"and of one null", "{'and', null}", "false", true},
    {"and residual replaces true values", "{'and', {'free'}, 1}", "{'and', {'free'}, true}", false},
    {"and decided by a later false", "{'and', {'free'}, false}", "false", true},
    {"or of nothing", "{'or'}", "false", true},
    {"or of falsy values", "{'or', false, null}", "false", true},
    {"or with a true value", "{'or', false, 3}", "true", true},
    {"or of one value", "{'or', 0}", "true", true},
    {"or decided by a later true", "{'or', {'free'}, 0}", "true", true},
    {"or residual replaces false values", "{'or', {'free'}, false, null}",
     "{'or', {'free'}, false, false}", false},
};

const ReduceCase concat_rows[] = {
    {"concatenate nothing", "{'cat'}", "''", true},
    {"concatenate one string", "{'cat', 'a'}", "'a'", true},
    {"concatenate one number", "{'cat', 1}", "null", true},
    {"concatenate strings", "{'cat', 'a', 'b', 'c'}", "'abc'", true},
    {"concatenate with a number", "{'cat', 'a', 1}", "false", true},
    {"concatenate reduced arguments", "{'cat', {'cat', 'a', 'b'}, 'c'}", "'abc'", true},
};

const ReduceCase residual_rows[] = {
    {"sum with a residual keeps every argument", "{'sum', 1, {'free'}, 2}",
     "{'sum', 1, {'free'}, 2}", false},
    {"residual quotes constant tables", "{'eq', {'quote', {1}}, {'free'}}",
     "{'eq', {'quote', {1}}, {'free'}}", false},
    {"residual quotes reduced plain tables", "{'eq', {k = {'sum', 1, 1}}, {'free'}}",
     "{'eq', {'quote', {k = 2}}, {'free'}}", false},
    {"single residual argument", "{'sum', {'free'}}", "{'sum', {'free'}}", false},
    {"ordering decided around a residual", "{'lt', {'free'}, 3, 2}", "false", true},
    {"ordering type error around a residual", "{'lt', {'free'}, 3, 'x'}", "null", true},
    {"ordering residual", "{'le', 1, {'free'}, 2}", "{'le', 1, {'free'}, 2}", false},
};

const ReduceCase get_rows[] = {
    {"get along string and number keys", "{'get', {'quote', DATA}, 'a', 'b', 0}", "10", true},
    {"get with the last index", "{'get', {'quote', DATA}, 'a', 'b', 2}", "30", true},
    {"get with an integral float key", "{'get', {'quote', DATA}, 'a', 'b', 1.0}", "20", true},
    {"get past the end", "{'get', {'quote', DATA}, 'a', 'b', 3}", "null", true},
    {"get with a negative index", "{'get', {'quote', DATA}, -1}", "null", true},
    {"get with a negative index honours no __index", "{'get', {'quote', META}, -1}", "null", true},
    {"get with -2 reads nothing below 0", "{'get', {'quote', {[-1] = {'a'}, [0] = 'b'}}, -2}",
     "null", true},
    {"get with index 0 reads the first element", "{'get', {'quote', DATA}, 'list', 0, 'name'}",
     "'x'", true},
    {"get a missing field", "{'get', {'quote', DATA}, 'a', 'x'}", "null", true},
    {"get through a number", "{'get', {'quote', DATA}, 'a', 'n', 'x'}", "null", true},
    {"get a subtable", "{'get', {'quote', DATA}, 'a', 'b'}", "{10, 20, 30}", true},
    {"get honours __index", "{'get', {'quote', META}, 'k'}", "'via k'", true},
    {"get by index honours __index", "{'get', {'quote', META}, 4}", "'via 5'", true},
    {"get from a plain table argument", "{'get', {x = {y = 1}}, 'x', 'y'}", "1", true},
    {"get of the root alone", "{'get', 5}", "5", true},
    {"get of nothing", "{'get'}", "null", true},
    {"get from a number root", "{'get', 5, 'a'}", "null", true},
    {"get with a fractional key", "{'get', {'quote', DATA}, 1.5}", "null", true},
    {"get with a boolean key", "{'get', {'quote', DATA}, true}", "null", true},
    {"get with a table key", "{'get', {'quote', DATA}, {'quote', {}}}", "null", true},
    {"get with a NaN key", "{'get', {'quote', DATA}, 0/0}", "null", true},
    {"get with an infinite key", "{'get', {'quote', DATA}, 1/0}", "null", true},
    {"get with the largest integer key", "{'get', {'quote', DATA}, math.maxinteger}", "null", true},
    {"get residual root", "{'get', {'free'}, 'a'}", "{'get', {'free'}, 'a'}", false},
    {"get residual root, bad key still decides", "{'get', {'free'}, false}", "null", true},
    {"get residual root, fractional key decides", "{'get', {'free'}, 'a', 0.5}", "null", true},
    {"select residual root, bad key decides", "{'select', {'free'}, 0.5}", "{}", true},
};

const ReduceCase select_rows[] = {
    {"select a field of every list element", "{'select', {'quote', DATA}, 'list', true, 'name'}",
     "{'x', 'y'}", true},
    {"select with an empty intermediate set", "{'select', {'quote', DATA}, 'none', true, 'name'}",
     "{}", true},
    {"select stops at a scalar", "{'select', {'quote', DATA}, 'a', 'n', 'x'}", "{}", true},
    {"select of the root alone", "{'select', 7}", "{7}", true},
    {"select of nothing", "{'select'}", "{}", true},
    {"select from a number root", "{'select', 5, 'a'}", "{}", true},
    {"select with false as key", "{'select', {'quote', DATA}, false}", "{}", true},
    {"select a subtable", "{'select', {'quote', DATA}, 'a', 'b'}", "{{10, 20, 30}}", true},
    {"select elements by index", "{'select', {'quote', DATA}, 'a', 'b', true}", "{10, 20, 30}",
     true},
    {"select number key counts from 0", "{'select', {'quote', DATA}, 'list', 1, 'name'}", "{'y'}",
     true},
    {"select number key -1 reads element 0", "{'select', {'quote', DATA}, -1}", "{'zero'}", true},
    {"select -1 midway keeps element 0",
     "{'select', {'quote', {[0] = {v = 'z'}, {v = 'one'}}}, -1, 'v'}", "{'z'}", true},
    {"select -2 reads element -1", "{'select', {'quote', {[-1] = {'a'}, [0] = 'b'}}, -2, 0}",
     "{'a'}", true},
    {"select negative key honours __index", "{'select', {'quote', META}, -5}", "{'via -4'}", true},
    {"select largest integer key wraps like Lua's k + 1",
     "{'select', {'quote', {[math.mininteger] = 'low'}}, math.maxinteger}", "{'low'}", true},
    {"select drops null values last",
     "{'select', {'quote', {{x = null}, {x = 1}, {x = false}}}, true, 'x'}", "{1, false}", true},
    {"select keeps only containers midway",
     "{'select', {'quote', {{x = 1}, {x = {y = 2}}, {x = 'str'}}}, true, 'x', 'y'}", "{2}", true},
    {"select two wildcards", "{'select', {'quote', {{1, 2}, {3}, {}}}, true, true}", "{1, 2, 3}",
     true},
    {"select compaction leaves no stale entries",
     "{'select', {'quote', {{a = {v = 1}}, {b = 1}, {a = {v = 2}}, {a = 3}}}, true, 'a', 'v'}",
     "{1, 2}", true},
    {"select residual key", "{'select', {'quote', DATA}, {'free'}}",
     "{'select', {'quote', DATA}, {'free'}}", false},
};

class LatticeChain : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(lua_.run(path_data), "");
    ASSERT_EQ(lua_.run(R"lua(
      BOOM_CALLS = 0
      OPS.boom = function() BOOM_CALLS = BOOM_CALLS + 1 error("boom reduced") end
    )lua"),
              "");
  }
  LuaHarness lua_;
};

TEST_F(LatticeChain, SumAndProduct) { check_rows(lua_, sum_product_rows); }

TEST_F(LatticeChain, Orderings) { check_rows(lua_, ordering_rows); }

TEST_F(LatticeChain, EqualityChains) { check_rows(lua_, equality_rows); }

TEST_F(LatticeChain, AndOr) { check_rows(lua_, and_or_rows); }

TEST_F(LatticeChain, Concatenate) { check_rows(lua_, concat_rows); }

TEST_F(LatticeChain, ResidualForms) { check_rows(lua_, residual_rows); }

TEST_F(LatticeChain, Get) { check_rows(lua_, get_rows); }

TEST_F(LatticeChain, Select) { check_rows(lua_, select_rows); }

// A later argument that would raise is never reduced once the result is
// decided; the same argument earlier raises.
// Long argument lists (their flags no longer fit the machine stack), long
// paths and deep nesting, where the reducer has to find stack room as it
// goes.
TEST_F(LatticeChain, LongChainsPathsAndNesting) {
  EXPECT_EQ(lua_.run(R"lua(
    local function list(n, f) local t = {} for i = 1, n do t[i] = f(i) end return t end
    local function form(head, args) return {head, table.unpack(args)} end

    check(form('sum', list(100, function(i) return i % 10 == 0 and {'sum', i, 0} or i end)),
          5050, true)
    check(form('lt', list(100, function(i) return i end)), true, true)
    check(form('le', list(100, function(i) return i % 7 == 0 and {'sum', i} or i end)), 100, true)
    check(form('lt', list(100, function(i) return i == 90 and 'x' or i end)), null, true)

    -- residuals: every constant stands as true (and) or false (or), tables unquoted
    local args = list(70, function(i)
      if i == 35 then return {'free'} end
      return i % 3 == 0 and {'quote', {i}} or i
    end)
    local want = list(70, function(i) return i == 35 and {'free'} or true end)
    check(form('and', args), form('and', want), false)
    args = list(70, function(i) return i == 50 and {'free'} or (i % 2 == 0 and false or null) end)
    want = list(70, function(i) return i == 50 and {'free'} or false end)
    check(form('or', args), form('or', want), false)
    -- other modes quote their constant tables
    args = list(70, function(i) return i == 70 and {'free'} or {'quote', {i}} end)
    check(form('ne', args), form('ne', args), false)

    -- equality of scalars and of tables
    check({'eq', 'pdu-1', {'cat', 'pdu', '-1'}, 'pdu-1'}, true, true)
    check({'eq', 1, 1.0}, true, true)
    check({'eq', 'a', 'b'}, false, true)
    check({'eq', {'quote', {1, {2}}}, {x = 1}}, false, true)
    check({'eq', {'quote', {1, {2}}}, {'quote', {1, {2}}}}, true, true)
    check({'ne', {'quote', {1}}, {'quote', {1.0}}}, false, true)
    check({'ne', 1, 2, 'x', {'quote', {}}}, true, true)

    -- a path of 150 steps
    local deep = 'bottom'
    for _ = 1, 150 do deep = {deep} end
    check(form('get', {{'quote', deep}, table.unpack(list(150, function() return 0 end))}),
          'bottom', true)
    check(form('get', {{'quote', deep}, table.unpack(list(151, function() return 0 end))}),
          null, true)
    check(form('select', {{'quote', deep}, table.unpack(list(150, function() return 0 end))}),
          {'bottom'}, true)

    -- nesting far beyond the room one step asks for
    local nested = 0
    for _ = 1, 150 do nested = {'sum', 1, nested} end
    check(nested, 150, true)
    nested = {'free'}
    for _ = 1, 150 do nested = {'sum', 1, nested} end
    local got, constant = reduce(nested)
    expect(constant, false, "nested residual flag")
    for _ = 1, 150 do expect(got[2], 1, "nested residual"); got = got[3] end
    expect(got, {'free'}, "innermost residual")
  )lua"),
            "");
}

TEST_F(LatticeChain, ShortCircuitsNeverReduceLaterArguments) {
  EXPECT_EQ(lua_.run(R"lua(
    local rows = {
      {{'lt', 2, 1, {'boom'}}, false},
      {{'ge', 1, 2, {'boom'}}, false},
      {{'lt', 1, 'a', {'boom'}}, null},
      {{'eq', 1, 2, {'boom'}}, false},
      {{'ne', 1, 1, {'boom'}}, false},
      {{'and', false, {'boom'}}, false},
      {{'or', 1, {'boom'}}, true},
      {{'sum', 'x', {'boom'}}, null},
      {{'mul', {}, {'boom'}}, null},
      {{'cat', 1, {'boom'}}, false},
      {{'get', 5, {'boom'}}, null},
      {{'select', 5, {'boom'}}, {}},
      {{'sub', 'x', {'boom'}}, null},
      {{'match', 1, {'boom'}}, null},
      {{'apply', {}, {'boom'}}, null},
      {{'lt', {'boom'}}, true},
      {{'not', 1, {'boom'}}, null},
    }
    cases(rows, function(row)
      local ok, got, constant = pcall(reduce, row[1])
      expect(ok, true, "no error (" .. tostring(got) .. ")")
      expect(got, row[2], "result")
      expect(constant, true, "constant")
    end, "decided early")
    expect(BOOM_CALLS, 0, "calls of the raising operator")
    cases({{'lt', {'boom'}, 1}, {'and', true, {'boom'}}, {'sum', 1, {'boom'}},
           {'sub', 1, {'boom'}}, {'get', {'quote', {}}, 'a', {'boom'}}}, function(expr)
      expect_error(function() return reduce(expr) end, "boom reduced")
    end, "reached")
  )lua"),
            "");
}

TEST_F(LatticeChain, ResidualKeepsNonConstantArgumentsAsTheyAre) {
  EXPECT_EQ(lua_.run(R"lua(
    local free = {'free', {'sum', 1, 1}}
    local got, constant = reduce({'sum', 1, free})
    expect(constant, false, "constant flag")
    expect(rawequal(got[3], free), true, "unbound argument kept as the same table")
    local t = {1}
    got = reduce({'eq', {'quote', t}, free})
    expect(rawequal(got[2][2], t), true, "quoted constant keeps the table")
    -- a long argument list
    local long = {'sum'}
    for i = 1, 500 do long[#long + 1] = i end
    check(long, 125250, true)
    long[300] = free
    got = reduce(long)
    expect(#got, 501, "residual length")
    expect(rawequal(got[300], free), true, "residual argument")
    local distinct = {'ne'}
    for i = 1, 200 do distinct[#distinct + 1] = {'quote', {i}} end
    check(distinct, true, true)
    distinct[#distinct + 1] = {'quote', {17}}
    check(distinct, false, true)
  )lua"),
            "");
}

TEST_F(LatticeChain, SelectWildcardTraversals) {
  lua_State *L = lua_.state();
  lua_newuserdatauv(L, 16, 0);  // no metatable: cannot be indexed
  lua_setglobal(L, "BARE_UD");
  EXPECT_EQ(lua_.run(R"lua(
    local function sorted(t) table.sort(t) return t end
    -- hash part walked raw
    local got = reduce({'select', {'quote', {x = 1, y = 2, z = null}}, true})
    expect(sorted(got), {1, 2}, "raw traversal")
    -- __pairs decides the values
    local paired = setmetatable({ignored = 1}, {__pairs = function(t)
      local i = 0
      return function(_, k) i = i + 1 if i <= 3 then return i, 'p' .. i end end, t, nil
    end})
    check({'select', {'quote', paired}, true}, {'p1', 'p2', 'p3'}, true)
    -- [1] present: walk 1..#item through __index and __len
    local virtual = setmetatable({}, {__index = function(_, i) return i * 10 end,
                                      __len = function() return 4 end})
    check({'select', {'quote', virtual}, true}, {10, 20, 30, 40}, true)
    -- userdata without [1] and without __pairs are skipped; userdata with
    -- __pairs are walked
    check({'select', {'quote', {io.stdout, {5}}}, true, true}, {5}, true)
    check({'select', {'quote', {BARE_UD, {5}}}, true, true}, {5}, true)
    local walked = io.tmpfile()
    walked:close()
    debug.setmetatable(walked, {__index = function() return nil end,
                                __pairs = getmetatable(paired).__pairs})
    check({'select', {'quote', {walked}}, true, true}, {'p1', 'p2', 'p3'}, true)
    -- a userdata that cannot be indexed raises on a keyed step
    local no_index = "attempt to index a userdata value"
    expect_error(function() return reduce({'get', {'quote', BARE_UD}, 'x'}) end, no_index, "get")
    expect_error(function() return reduce({'select', {'quote', {BARE_UD}}, true, 'x'}) end,
                 no_index, "select")
    -- errors of index, length and __pairs metamethods propagate
    local bad_index = setmetatable({}, {__index = function() error("index hook failed") end})
    expect_error(function() return reduce({'select', {'quote', {bad_index}}, true, 'x'}) end,
                 "index hook failed", "select through __index")
    expect_error(function() return reduce({'get', {'quote', bad_index}, 'x'}) end,
                 "index hook failed", "get through __index")
    local bad_len = setmetatable({1}, {__len = function() error("len hook failed") end})
    expect_error(function() return reduce({'select', {'quote', bad_len}, true}) end,
                 "len hook failed")
    local bad_pairs = setmetatable({}, {__pairs = function() error("pairs hook failed") end})
    expect_error(function() return reduce({'select', {'quote', bad_pairs}, true}) end,
                 "pairs hook failed")
    -- an item's own iteration state never leaks into the result
    local many = {}
    for i = 1, 50 do many[i] = setmetatable({}, getmetatable(paired)) end
    local all = reduce({'select', {'quote', many}, true, true})
    expect(#all, 150, "values of 50 __pairs items")
  )lua"),
            "");
}

// Light userdata other than the null marker are ordinary values: a select
// keeps them as results of its last step (only nil and the null marker are
// dropped there) and, not being containers, drops them midway.
TEST_F(LatticeChain, SelectKeepsLightUserdataThatAreNotTheNullMarker) {
  lua_State *L = lua_.state();
  static int first, second;
  lua_pushlightuserdata(L, &first);
  lua_setglobal(L, "HANDLE");
  lua_pushlightuserdata(L, &second);
  lua_setglobal(L, "OTHER");
  EXPECT_EQ(lua_.run(R"lua(
    expect(HANDLE ~= null and OTHER ~= null and HANDLE ~= OTHER, true, "distinct handles")
    cases({
      {name = "a field of every element",
       expr = {'select', {'quote', {{x = HANDLE}, {x = null}, {x = 1}, {x = OTHER}}}, true, 'x'},
       want = {HANDLE, 1, OTHER}},
      {name = "wildcard last", expr = {'select', {'quote', {HANDLE, null, 2, OTHER}}, true},
       want = {HANDLE, 2, OTHER}},
      {name = "number key last", expr = {'select', {'quote', {{HANDLE}, {null}, {OTHER}}}, true, 0},
       want = {HANDLE, OTHER}},
      {name = "the root alone", expr = {'select', HANDLE}, want = {HANDLE}},
      {name = "dropped midway", expr = {'select', {'quote', {{x = HANDLE}}}, true, 'x', 'y'},
       want = {}},
      {name = "get of a handle", expr = {'get', {'quote', {x = HANDLE}}, 'x'}, want = HANDLE},
    }, function(row)
      check(row.expr, row.want, true)
    end)
  )lua"),
            "");
}

TEST_F(LatticeChain, SelectResultHasExactlyTheKeptValues) {
  EXPECT_EQ(lua_.run(R"lua(
    local got = reduce({'select', {'quote', {{a = 1}, {b = 2}, {a = 3}, {b = 4}, {b = 5}}}, true, 'a'})
    local n = 0
    for _ in pairs(got) do n = n + 1 end
    expect(n, 2, "entries in the result")
    expect(got, {1, 3}, "values")
  )lua"),
            "");
}

}  // namespace
}  // namespace lattice_test
