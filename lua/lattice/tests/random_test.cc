// SPDX-License-Identifier: ISC
// Randomized invariants of the reducer (fixed seed, bounded time).
#include <gtest/gtest.h>

#include "harness.h"

namespace lattice_test {
namespace {

TEST(LatticeRandom, ReducerInvariantsHoldForRandomExpressions) {
  LuaHarness lua;
  EXPECT_EQ(lua.run_file("random.lua"), "");
}

}  // namespace
}  // namespace lattice_test
