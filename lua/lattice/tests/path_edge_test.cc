// get along paths that leave plain tables: through a userdata that answers
// __index, and with a key whose next index would not fit an integer.
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

TEST(LatticePathEdges, GetLeavesPlainTables) {
  LuaHarness lua;
  check_rows(lua, path_edge_rows);
}

}  // namespace
}  // namespace lattice_test
