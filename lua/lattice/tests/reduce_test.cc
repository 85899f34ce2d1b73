// SPDX-License-Identifier: ISC
// The reducer: notation, dispatch, fixed-arity operators, user operators,
// plain tables, residual forms and errors.
#include <string>

#include <gtest/gtest.h>

#include "harness.h"

namespace lattice_test {
namespace {

// Bindings for the dispatch rows: numbers that are not plain codes.
const char extra_bindings[] = R"lua(
  OPS.gt2 = 2.0
  OPS.half = 2.5
  OPS.big = 23
  OPS.negative = -1
  OPS.alias = "sum"
)lua";

const ReduceCase quote_rows[] = {
    {"quote returns its argument unevaluated", "{'quote', {'sum', 1, 2}}", "{'sum', 1, 2}", true},
    {"quote of a scalar", "{'quote', 'x'}", "'x'", true},
    {"quote without argument is null", "{'quote'}", "null", true},
    {"quote ignores extra arguments", "{'quote', 1, 2}", "1", true},
};

const ReduceCase not_rows[] = {
    {"not true", "{'not', true}", "false", true},
    {"not zero (truthy)", "{'not', 0}", "false", true},
    {"not empty string (truthy)", "{'not', ''}", "false", true},
    {"not null (falsy)", "{'not', null}", "true", true},
    {"not false", "{'not', false}", "true", true},
    {"not of a reduced argument", "{'not', {'lt', 2, 1}}", "true", true},
    {"not without argument", "{'not'}", "null", true},
    {"not with two arguments", "{'not', 1, 2}", "null", true},
};

const ReduceCase integral_rows[] = {
    {"is integral: integer", "{'isint', 3}", "true", true},
    {"is integral: integral float", "{'isint', 3.0}", "true", true},
    {"is integral: fraction", "{'isint', 2.5}", "false", true},
    {"is integral: infinity", "{'isint', 1/0}", "true", true},
    {"is integral: NaN", "{'isint', 0/0}", "false", true},
    {"is integral: string", "{'isint', '3'}", "null", true},
};

const ReduceCase length_rows[] = {
    {"length of a three-byte string", "{'len', 'abc'}", "3", true},
    {"length of a number", "{'len', 12}", "null", true},
    {"length of a boolean", "{'len', true}", "null", true},
    {"length of a quoted list", "{'len', {'quote', {1, 2, 3}}}", "3", true},
    {"length honours __len",
     "{'len', {'quote', setmetatable({}, {__len = function() return 7 end})}}", "7", true},
    {"length of a reduced plain table", "{'len', {x = 1}}", "0", true},
};

const ReduceCase subtract_rows[] = {
    {"subtract integers", "{'sub', 5, 3}", "2", true},
    {"subtract floats", "{'sub', 5.5, 0.5}", "5.0", true},
    {"subtract wraps like the host", "{'sub', math.mininteger, 1}", "math.maxinteger", true},
    {"subtract with one argument", "{'sub', 1}", "null", true},
    {"subtract with three arguments", "{'sub', 3, 2, 1}", "null", true},
    {"subtract a string", "{'sub', 1, 'a'}", "null", true},
    {"subtract from a string", "{'sub', '5', 1}", "null", true},
    {"subtract reduced arguments", "{'sub', {'sum', 5, 5}, {'mul', 2, 2}}", "6", true},
};

const ReduceCase divide_rows[] = {
    {"divide one by zero", "{'div', 1, 0}", "null", true},
    {"divide zero by zero", "{'div', 0, 0}", "null", true},
    {"divide is float division", "{'div', 6, 3}", "2.0", true},
    {"divide with fraction", "{'div', 7, 2}", "3.5", true},
};

const ReduceCase modulo_rows[] = {
    {"modulo of a float by zero", "{'mod', 5.0, 0}", "null", true},
    {"modulo follows the divisor's sign", "{'mod', -5, 3}", "1", true},
    {"modulo of floats", "{'mod', 5.5, 2}", "1.5", true},
};

const ReduceCase power_rows[] = {
    {"power is float", "{'pow', 2, 10}", "1024.0", true},
    {"power overflowing to infinity", "{'pow', 10, 400}", "null", true},
    {"power giving NaN", "{'pow', -8, 0.5}", "null", true},
};

const ReduceCase match_rows[] = {
    {"match succeeds", "{'match', 'hello', '^h.*o$'}", "true", true},
    {"match fails", "{'match', 'hello', '^x'}", "false", true},
    {"match uses extended syntax", "{'match', 'aaa', '^a+$'}", "true", true},
    {"pattern that does not compile", "{'match', 'abc', '('}", "null", true},
    {"subject with a zero byte", "{'match', 'a\\0b', 'a'}", "null", true},
    {"pattern with a zero byte", "{'match', 'ab', 'a\\0'}", "null", true},
    {"subject must be a string", "{'match', 5, '5'}", "null", true},
    {"pattern must be a string", "{'match', '5', 5}", "null", true},
};

const ReduceCase apply_rows[] = {
    {"apply sum over a quoted list", "{'apply', 'sum', {'quote', {1, 2, 3}}}", "6", true},
    {"apply reduces the list elements as arguments",
     "{'apply', 'sum', {'quote', {{'mul', 2, 3}, 1}}}", "7", true},
    {"apply quote to a list", "{'apply', 'quote', {'quote', {7, 8}}}", "7", true},
    {"apply over an unquoted list with an unbound head", "{'apply', 'sum', {1, 2}}",
     "{'apply', 'sum', {1, 2}}", false},
    {"apply with an unbound operator gives the direct form",
     "{'apply', 'nosuch', {'quote', {1, {'sum', 1, 1}}}}", "{'nosuch', 1, {'sum', 1, 1}}", false},
    {"apply with a residual result gives the direct form",
     "{'apply', 'sum', {'quote', {1, {'free'}}}}", "{'sum', 1, {'free'}}", false},
    {"apply with a number head", "{'apply', 5, {'quote', {1}}}", "null", true},
    {"apply to a non-table", "{'apply', 'sum', 5}", "null", true},
    {"apply to an empty list", "{'apply', 'mul', {}}", "1", true},
};

const ReduceCase dispatch_rows[] = {
    {"codes may be integral floats", "{'gt2', 2, 1}", "true", true},
    {"non-integral codes count as quote", "{'half', 'first', 'second'}", "'first'", true},
    {"codes beyond 22 are unbound", "{'big', 1, 2}", "{'big', 1, 2}", false},
    {"negative codes are unbound", "{'negative', 1}", "{'negative', 1}", false},
    {"a string binding is unbound", "{'alias', 1}", "{'alias', 1}", false},
    {"residual keeps the raw second argument", "{'sub', {'free'}, {'sum', 1, 2}}",
     "{'sub', {'free'}, {'sum', 1, 2}}", false},
    {"residual quotes a constant first argument", "{'len', {'free'}}", "{'len', {'free'}}", false},
    {"constant table before a residual is quoted", "{'match', {'cat', 'a', 'b'}, {'free'}}",
     "{'match', 'ab', {'free'}}", false},
    {"second argument short-circuited by the type test", "{'sub', 'x', {'free'}}", "null", true},
    {"elements past the border are never read",
     "(function() local t = {'sum', 1, 2} t[5] = 4 return t end)()", "3", true},
    {"a hole inside the border is a nil argument", "{'sum', 1, nil, 4}", "null", true},
};

class LatticeFixed : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(lua_.run(extra_bindings), ""); }
  LuaHarness lua_;
};

TEST_F(LatticeFixed, Quote) { check_rows(lua_, quote_rows); }

TEST_F(LatticeFixed, Not) { check_rows(lua_, not_rows); }

TEST_F(LatticeFixed, IsIntegral) { check_rows(lua_, integral_rows); }

TEST_F(LatticeFixed, Length) { check_rows(lua_, length_rows); }

TEST_F(LatticeFixed, Subtract) { check_rows(lua_, subtract_rows); }

TEST_F(LatticeFixed, Divide) { check_rows(lua_, divide_rows); }

TEST_F(LatticeFixed, Modulo) { check_rows(lua_, modulo_rows); }

TEST_F(LatticeFixed, Power) { check_rows(lua_, power_rows); }

TEST_F(LatticeFixed, Match) { check_rows(lua_, match_rows); }

TEST_F(LatticeFixed, Apply) { check_rows(lua_, apply_rows); }

TEST_F(LatticeFixed, DispatchOfTheHead) { check_rows(lua_, dispatch_rows); }

class LatticeReduce : public ::testing::Test {
 protected:
  LuaHarness lua_;
};

TEST_F(LatticeReduce, UnboundFormIsTheSameTable) {
  EXPECT_EQ(lua_.run(R"lua(
    local form = {'nosuch', {'sum', 1, 2}}
    local got, constant = reduce(form)
    expect(rawequal(got, form), true, "same table")
    expect(constant, false, "constant flag")
    expect(form, {'nosuch', {'sum', 1, 2}}, "arguments untouched")
  )lua"),
            "");
}

// An unquoted list is itself a form whose head is its first element.
TEST_F(LatticeReduce, ApplyOverAnUnquotedListFollowsTheListsHead) {
  EXPECT_EQ(lua_.run(R"lua(
    local ops = {}
    for k, v in pairs(OPS) do ops[k] = v end
    ops[1] = function(ctx, ...) return {ctx, ...} end
    check({'apply', 'sum', {1, 2}}, 12, true, ops, 10)
    ops[1] = 0  -- quote: the list reduces to 2, which is not a list
    check({'apply', 'sum', {1, 2}}, null, true, ops, 10)
  )lua"),
            "");
}

TEST_F(LatticeReduce, ModuloOfIntegerByZeroRaises) {
  EXPECT_EQ(lua_.run(R"lua(
    expect_error(function() return reduce({'mod', 5, 0}) end, "attempt to perform 'n%0'")
  )lua"),
            "");
}

TEST_F(LatticeReduce, LengthErrorsPropagate) {
  EXPECT_EQ(lua_.run(R"lua(
    expect_error(function() return reduce({'len', io.stdout}) end,
                 "attempt to get length of a FILE* value")
    local bad = setmetatable({}, {__len = function() error("len hook failed") end})
    expect_error(function() return reduce({'len', {'quote', bad}}) end, "len hook failed")
  )lua"),
            "");
}

TEST_F(LatticeReduce, PlainTables) {
  EXPECT_EQ(lua_.run(R"lua(
    -- a value under one key that is a form
    check({a = {'sum', 1, 1}}, {a = 2}, true)
    -- nested plain tables, keys unchanged (table keys included)
    local key = {}
    local got = check({x = {y = {'mul', 2, 3}}, [key] = 'k'}, {x = {y = 6}, [key] = 'k'}, true)
    -- a constant table next to a residual form is quoted, in whichever order
    -- the two are met
    check({a = {'quote', {1}}, b = {'free'}}, {a = {'quote', {1}}, b = {'free'}}, false)
    check({b = {'free'}, a = {'quote', {1}}}, {a = {'quote', {1}}, b = {'free'}}, false)
    check({a = {k = 1}, b = {'free'}, c = 5}, {a = {'quote', {k = 1}}, b = {'free'}, c = 5}, false)
    -- a residual nested in a plain table makes the outer one residual too
    check({outer = {inner = {'free'}, n = {'sum', 2, 2}}},
          {outer = {inner = {'free'}, n = 4}}, false)
    -- always a new table, never the metatable
    local input = setmetatable({v = 1}, {__index = function() return 'meta' end})
    local copy = reduce(input)
    expect(rawequal(copy, input), false, "copied")
    expect(getmetatable(copy), nil, "copy's metatable")
    check({}, {}, true)
  )lua"),
            "");
}

TEST_F(LatticeReduce, UserOperators) {
  EXPECT_EQ(lua_.run(R"lua(
    local calls = 0
    local ops = {
      add = function(ctx, ...)
        calls = calls + 1
        local s = ctx.base
        for i = 1, select('#', ...) do s = s + select(i, ...) end
        return s
      end,
      args = function(ctx, ...) return {n = select('#', ...), ...} end,
      nothing = function() end,
      fail = function(ctx, msg) error({msg = msg}) end,
    }
    for k, v in pairs(OPS) do ops[k] = v end
    local ctx = {base = 100}
    -- the context goes first, arguments are reduced first
    check({'add', 1, {'sum', 1, 1}}, 103, true, ops, ctx)
    check({'add'}, 100, true, ops, ctx)
    -- table arguments arrive reduced; a table result is constant
    check({'args', {x = {'sum', 1, 2}}, 'y'}, {n = 2, {x = 3}, 'y'}, true, ops, ctx)
    -- one result only, nil included
    check({'nothing', 1}, nil, true, ops, ctx)
    -- a non-constant argument: the operator is not called, constant tables
    -- are quoted in the residual
    calls = 0
    check({'add', {'quote', {1}}, {'free'}, 2}, {'add', {'quote', {1}}, {'free'}, 2}, false, ops, ctx)
    expect(calls, 0, "calls with a residual argument")
    -- errors propagate unchanged
    local ok, err = pcall(reduce, {'sum', 1, {'fail', 'user says no'}}, ops, ctx)
    expect(ok, false, "pcall status")
    expect(err, {msg = 'user says no'}, "error value")
    -- many arguments
    local big = {'add'}
    for i = 1, 300 do big[#big + 1] = i end
    check(big, 100 + 300 * 301 // 2, true, ops, ctx)
    big[150] = {'free'}
    local got = reduce(big, ops, ctx)
    expect(#got, 301, "residual length")
    expect(got[150], {'free'}, "residual argument")
  )lua"),
            "");
}

TEST_F(LatticeReduce, ArgumentErrors) {
  EXPECT_EQ(lua_.run(R"lua(
    expect_error(function() return lattice.reduce_core(OPS, nil, 5) end,
                 "bad argument #3 to 'reduce_core' (table expected, got number)")
    expect_error(function() return lattice.reduce_core(OPS, nil) end,
                 "bad argument #3 to 'reduce_core' (table expected, got nil)")
    expect_error(function() return lattice.reduce_core(nil, nil, {'sum', 1}) end,
                 "bad argument #1 to 'reduce_core' (table expected, got nil)")
    -- extra arguments are ignored
    local v, c = lattice.reduce_core(OPS, nil, {'sum', 1, 2}, 'extra')
    expect(v, 3) expect(c, true)
  )lua"),
            "");
}

TEST_F(LatticeReduce, InputIsNeverModified) {
  EXPECT_EQ(lua_.run(R"lua(
    local inner = {'sum', 1, 2}
    local expr = {a = {'and', inner, {'free', inner}}, b = {inner, 'x'},
                  c = {'select', {'quote', {{k = 1}}}, true, 'k'}, d = {'quote', {n = 1}}}
    local before = snapshot(expr)
    local got, constant = reduce(expr)
    expect(expr, before, "input after reduction")
    expect(constant, false, "constant flag")
    expect(got.a, {'and', true, {'free', inner}}, "a")
    expect(got.c, {'quote', {1}}, "c (quoted beside a residual)")
    expect(got.d, {'quote', {n = 1}}, "d")
  )lua"),
            "");
}

TEST_F(LatticeReduce, DeepNestingEndsInAnError) {
  EXPECT_EQ(lua_.run(R"lua(
    -- moderate nesting works
    check(nest(150, function(t) return {'sum', t, 1} end), 151, true)
    check(nest(150, function(t) return {x = t} end), nest(150, function(t) return {x = t} end), true)
    -- far deeper nesting is refused with an error, never a crash
    cases({
      {name = "sum", function(t) return {'sum', t, 1} end},
      {name = "plain table", function(t) return {x = t} end},
      {name = "unbound", function(t) return {'free2', t} end},
      {name = "user operator", function(t) return {'add', t} end},
      {name = "not", function(t) return {'not', t} end},
      {name = "ordering", function(t) return {'lt', 1, t} end},
    }, function(row)
      local wrap = row[1]
      local ops = {free2 = 'unbound', add = function(_, x) return x end}
      for k, v in pairs(OPS) do ops[k] = v end
      local expr = nest(100000, wrap)
      if row.name == "unbound" then
        local ok, err = pcall(reduce, expr, ops)
        expect(ok, true, "unbound outer form is not descended into: " .. tostring(err))
      else
        expect_error(function() return reduce(expr, ops) end, "expression nested too deeply")
      end
    end, "100000 levels")
  )lua"),
            "");
}

// One reduction descends at most 200 nested tables (forms and plain tables
// alike); the next level raises instead of exhausting the machine stack.
TEST_F(LatticeReduce, NestingLimitIsTwoHundredTables) {
  EXPECT_EQ(lua_.run(R"lua(
    cases({
      {name = "forms", wrap = function(t) return {'sum', t, 1} end, want = 201},
      {name = "plain tables", wrap = function(t) return {x = t} end},
    }, function(row)
      local got, constant = reduce(nest(200, row.wrap))
      expect(constant, true, "200 levels reduce")
      if row.want then expect(got, row.want, "value at 200 levels") end
      expect_error(function() return reduce(nest(201, row.wrap)) end,
                   "expression nested too deeply", "201 levels")
    end)
  )lua"),
            "");
}

// The arguments of one form all sit on the Lua stack, whose size Lua
// bounds (a million slots): a longer list raises Lua's stack overflow.
TEST_F(LatticeReduce, ArgumentsPastTheLuaStackRaise) {
  EXPECT_EQ(lua_.run(R"lua(
    local function ones(n)  -- {1, 1, ...} filled by doubling, fast under an emulator too
      local t = {1}
      while #t < n do table.move(t, 1, math.min(#t, n - #t), #t + 1) end
      return t
    end
    local list = ones(1000000)
    expect(#list, 1000000, "argument count")
    expect_error(function() return reduce({'apply', 'sum', {'quote', list}}) end,
                 "stack overflow (too many arguments)", "a million arguments")
    list = ones(100000)
    expect(reduce({'apply', 'sum', {'quote', list}}), 100000, "a hundred thousand arguments")
  )lua"),
            "");
}

TEST_F(LatticeReduce, CyclicStructuresEndInAnError) {
  EXPECT_EQ(lua_.run(R"lua(
    local plain = {}
    plain.self = plain
    local deep = "expression nested too deeply"
    expect_error(function() return reduce(plain) end, deep, "plain table")
    local form = {'sum', 1}
    form[3] = form
    expect_error(function() return reduce(form) end, deep, "form")
    -- apply feeding itself through a quoted cyclic list
    local list = {'apply'}
    list[2] = {'quote', list}
    expect_error(function() return reduce({'apply', 'apply', {'quote', list}}) end, deep, "apply")
    -- a quoted cycle is a constant and reduces at once
    local got = check({'quote', plain}, plain, true)
    expect(rawequal(got, plain), true, "quoted table identity")
  )lua"),
            "");
}

}  // namespace
}  // namespace lattice_test
