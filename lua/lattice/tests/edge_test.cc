// SPDX-License-Identifier: ISC
// Edges of the chain evaluator: get along paths that leave plain tables
// (through a userdata that answers __index, with a key whose next index would
// not fit an integer), and equality chains whose arguments stay residual.
#include <gtest/gtest.h>

#include "harness.h"

namespace lattice_test {
namespace {

const ReduceCase path_edge_rows[] = {
    {"get goes on through a userdata with __index",
     "{'get', {'quote', {file = io.stdout}}, 'file', 'write'}", "io.stdout.write", true},
    {"get ends at a userdata with __index as the last step",
     "{'get', {'quote', {file = io.stdout}}, 'file'}", "io.stdout", true},
    {"get with the largest integer reads nothing, not the wrapped index",
     "{'get', {'quote', {[math.mininteger] = 'wrapped'}}, math.maxinteger}", "null", true},
    {"get with the largest integer asks no __index",
     "{'get', {'quote', setmetatable({}, {__index = function() return 'asked' end})}, "
     "math.maxinteger}",
     "null", true},
    {"get one below the largest integer reads the largest",
     "{'get', {'quote', {[math.maxinteger] = 'top'}}, math.maxinteger - 1}", "'top'", true},
};

// 'free' stays residual; 'boom' raises when it is reduced.
const ReduceCase residual_equality_rows[] = {
    {"ne of one residual argument is true", "{'ne', {'free'}}", "true", true},
    {"ne of one argument never reduces it", "{'ne', {'boom'}}", "true", true},
    {"eq of one argument never reduces it", "{'eq', {'boom'}}", "true", true},
    {"a constant equal to a residual form stays distinct from it",
     "{'ne', {'free'}, {'quote', {'free'}}}",
     "{'ne', {'free'}, {'quote', "
     "{'free'}}}",
     false},
    {"equal constants around a residual form are not distinct", "{'ne', 1, {'free'}, 1}", "false",
     true},
};

class LatticeEdges : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(lua_.run("OPS.boom = function() error('boom reduced') end"), "");
  }
  LuaHarness lua_;
};

TEST_F(LatticeEdges, GetLeavesPlainTables) { check_rows(lua_, path_edge_rows); }

TEST_F(LatticeEdges, EqualityChainsWithResidualArguments) {
  check_rows(lua_, residual_equality_rows);
}

}  // namespace
}  // namespace lattice_test
