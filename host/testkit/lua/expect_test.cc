// SPDX-License-Identifier: ISC
// The shared Lua assertions, checked with plain assert/error so that a fault
// in them cannot hide itself. Built twice: against Lua 5.4 and Lua 5.1.
#include <gtest/gtest.h>

#include <string>

#include "lua_expect.h"

namespace {

class LuaExpect : public ::testing::Test {
 protected:
  void SetUp() override {
    L_ = luaL_newstate();
    luaL_openlibs(L_);
    ASSERT_EQ("", lua_expect::load(L_));
  }
  void TearDown() override { lua_close(L_); }

  // "" when the chunk runs through, else its error.
  std::string run(const std::string& chunk) {
    if (luaL_loadbuffer(L_, chunk.data(), chunk.size(), "=test") == 0 &&
        lua_pcall(L_, 0, 0, 0) == 0)
      return "";
    const char* message = lua_tostring(L_, -1);
    std::string error = message ? message : "(error object is not a string)";
    lua_pop(L_, 1);
    return error;
  }

  lua_State* L_ = nullptr;
};

// Defined in every chunk: fails(f) runs f, asserts that it raised a string
// error and returns it.
constexpr const char kFails[] = R"lua(
local function fails(f)
  local ok, err = pcall(f)
  assert(not ok, "the check passed")
  assert(type(err) == "string", "error is a " .. type(err))
  return err
end
)lua";

TEST_F(LuaExpect, EqualValuesPass) {
  EXPECT_EQ("", run(R"lua(
    local a = {1, "x", {y = {true}}, [0.5] = false}
    local b = {1, "x", {y = {true}}, [0.5] = false}
    expect(a, b, "nested tables")
    expect(0 / 0, 0 / 0, "NaN")
    expect(nil, nil, "nil")
    local ring_a, ring_b = {}, {}
    ring_a.next, ring_b.next = ring_a, ring_b
    expect(ring_a, ring_b, "cycles")
    local shared = {}
    expect({shared, shared}, {{}, {}}, "shared parts")
    expect(setmetatable({1}, {__eq = function() return false end}), {1}, "metatables ignored")
    expect_true(0, "zero is true")
    expect_match("bad argument #1", "^bad argument #%d$", "pattern")
  )lua"));
}

TEST_F(LuaExpect, UnequalValuesFailWithBothShownAtTheCallersLine) {
  EXPECT_EQ("", run(std::string(kFails) + R"lua(
    local rows = {
      {{1, 2}, {1, 2, 3}, "{1, 2, 3}", "{1, 2}"},
      {{x = 1}, {x = "1"}, '{["x"]="1"}', '{["x"]=1}'},
      {{}, {n = false}, '{["n"]=false}', "{}"},
      {"abc", "abd", '"abd"', '"abc"'},
      {nil, false, "false", "nil"},
      {print, function() end, nil, nil},
    }
    for i, row in ipairs(rows) do
      local got, want, want_text, got_text = row[1], row[2], row[3], row[4]
      local err = fails(function() expect(got, want, "row" .. i) end)
      assert(err:find("^test:%d+: row" .. i .. ": expected "), err)
      if want_text then
        local expected = "row" .. i .. ": expected " .. want_text .. ", saw " .. got_text
        assert(err:sub(-#expected) == expected, err)
      end
    end
    -- The reported line is the line of the call.
    local line = debug.getinfo(1, "l").currentline + 1
    local err = fails(function() expect(1, 2) end)
    assert(err == "test:" .. line .. ": value: expected 2, saw 1", err)
    if math.type then
      err = fails(function() expect(1, 1.0, "kinds") end)
      assert(err:find("kinds: expected 1.0, saw 1$"), err)
      fails(function() expect({x = 2.0}, {x = 2}) end)
      fails(function() expect(3, 3.0) end)
    end
    fails(function() expect_true(false) end)
    fails(function() expect_true(nil) end)
    fails(function() expect_match("abc", "^b") end)
    fails(function() expect_match(42, "4") end)
  )lua"));
}

TEST_F(LuaExpect, LongStringsNameTheirFirstDifference) {
  EXPECT_EQ("", run(std::string(kFails) + R"lua(
    local want = string.rep("a", 300)
    local got = string.rep("a", 70) .. "b" .. string.rep("a", 229)
    local err = fails(function() expect(got, want, "long") end)
    assert(err:find("<300 bytes: 61616161616161616161616161616161...>", 1, true), err)
    assert(err:find("(first difference at byte 71)", 1, true), err)
    assert(show("\0\1") == "<2 bytes: 0001>", show("\0\1"))
  )lua"));
}

TEST_F(LuaExpect, ErrorsMatchExactlyOrByPattern) {
  EXPECT_EQ("", run(std::string(kFails) + R"lua(
    local function boom() error("boom: 3 left") end
    assert(expect_error(boom, "boom: 3 left", "exact") == "boom: 3 left")
    -- a part of the message is not the message
    local err = fails(function() expect_error(boom, "boom", "part") end)
    assert(err:find('part: expected the error "boom", saw "boom: 3 left"', 1, true), err)
    err = fails(function() expect_error(function() end, "boom", "quiet") end)
    assert(err:find('quiet: expected an error "boom", saw success', 1, true), err)
    -- errors from C functions carry no position
    expect_error(function() return ("x"):rep() end,
                 "bad argument #1 to 'rep' (number expected, got no value)", "C error")
    -- error values other than strings compare by structure
    expect_error(function() error({code = 7}) end, {code = 7}, "table error")
    fails(function() expect_error(function() error({code = 7}) end, {code = 8}) end)

    assert(expect_error_match(boom, "%d left$", "pattern"):find("^test:%d+: boom: 3 left$"))
    err = fails(function() expect_error_match(boom, "^boom", "anchored") end)
    assert(err:find("anchored: expected an error matching", 1, true), err)
    fails(function() expect_error_match(function() end, ".") end)
    fails(function() expect_error_match(function() error({}) end, ".") end)
  )lua"));
}

TEST_F(LuaExpect, PlainMatchesTextLiterally) {
  EXPECT_EQ("", run(R"lua(
    local text = "a.b(c)[d]%e+f-g*h?^$"
    assert(text:find("^" .. plain(text) .. "$"))
    assert(not ("aXb(c)[d]%e+f-g*h?^$"):find(plain(text)))
    assert(not ("a.bc"):find(plain("a.b(c)")))
  )lua"));
}

TEST_F(LuaExpect, CaseTablesReportEveryFailingRow) {
  EXPECT_EQ("", run(std::string(kFails) + R"lua(
    local seen = {}
    local err = fails(function()
      cases({{1, 1}, {2, 3}, {name = "named", 4, 4}, {name = "bad", 5, 6}}, function(row, i)
        seen[#seen + 1] = i
        expect(row[1], row[2], "value")
      end, "table")
    end)
    assert(#seen == 4, "rows run: " .. #seen)
    assert(err:find("table: 2 of 4 rows failed:", 1, true), err)
    assert(err:find("row 2 {2, 3}: test:%d+: value: expected 3, saw 2"), err)
    assert(err:find("row 4 (bad): test:", 1, true), err)
    assert(not err:find("row 1", 1, true) and not err:find("row 3", 1, true), err)

    cases({{1}, {2}}, function(row) expect_true(row[1] > 0) end)
    fails(function() cases({}, function() end) end)
    err = fails(function() cases({{}}, function() error({code = 1}) end) end)
    assert(err:find('{["code"]=1}', 1, true), err)
  )lua"));
}

TEST_F(LuaExpect, ShowIsDeterministic) {
  EXPECT_EQ("", run(R"lua(
    local t = {3, 2.5, "a", z = 1, b = {}, [10] = true}
    local want = '{3, 2.5, "a", [10]=true, ["b"]={}, ["z"]=1}'
    assert(show(t) == want, show(t))
    local ring = {}
    ring[1] = ring
    assert(show(ring) == "{<cycle>}", show(ring))
    assert(show(0 / 0) == "nan" and show(-math.huge) == "-inf")
    assert(show(2.0) == (math.type and "2.0" or "2"), show(2.0))
  )lua"));
}

}  // namespace
