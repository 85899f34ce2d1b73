// detour's shuffle for lengths far beyond any real table: a container whose
// __len or argument names a virtual sequence still gets the permutation the
// generator defines, not one bent by 64-bit overflow.
#include <gtest/gtest.h>

#include <string>

#include "lua_host.h"

namespace {

TEST(detour_long, FirstDrawOfAHugeShuffleFollowsTheGenerator) {
  luahost::State lua;
  EXPECT_EQ("", lua.run(R"lua(
    local detour = require('detour')
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
    for _, n in ipairs{math.maxinteger, (1 << 62) + 12345, 400000000000001, 2147483647 * 3 + 7} do
      -- 48271 (n mod m) mod m: the seed reduced before it is multiplied
      local state = (n % m) * a % m
      local _, err, seen = first_draw(n)
      local label = "n = " .. n
      expect(err, "enough", label .. " stopped by the second read")
      expect(seen, {1, 1 + state}, label .. " reads position 1, then the drawn one")
    end
  )lua"));
}

}  // namespace
