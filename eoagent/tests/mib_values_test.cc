// SPDX-License-Identifier: ISC
// Values at the edges of what the power table stores and accepts: readings
// at and beyond the 32-bit limits, a nameplate power that is not a number,
// and admin-state writes of values next to the two power states.
#include <math.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_device.h"
#include "mib.h"
#include "request_kit.h"

namespace {

class eoagent_values : public testing::Test {
 public:
  void SetUp() override {
    setenv("SNMP_PERSISTENT_DIR", "/tmp/eoagent-values-persist", 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    ASSERT_EQ(0, init_agent("eoagent_values_test"));
  }

  void start() {
    ctx = dev.start_mib(&ops);
    ASSERT_NE(nullptr, ctx);
  }

  void TearDown() override {
    if (ops.free_mib_context) ops.free_mib_context(ops.mib_context);
  }

  // A column of a power-table row as stored (an unsigned one read as such,
  // whatever the width of long).
  std::string power_column(long entity, unsigned column, bool is_unsigned = false) {
    return stored_power_column(ctx, entity, column, is_unsigned);
  }

  FakeDevice dev;
  device_ops ops{};
  mib_context *ctx = nullptr;
};

TEST_F(eoagent_values, ReadingsAtTheLimitsOfA32BitInteger) {
  dev.bus_powers = {0.0f};
  start();
  const struct {
    float power;
    const char *stored;
  } cases[] = {
      {2147483648.0f, "2147483647"},    // 2^31, the first float past the largest
      {2147483520.0f, "2147483520"},    // the largest float below it
      {-2147483648.0f, "-2147483648"},  // the smallest integer itself
      {NAN, "0"},
  };
  for (const auto &c : cases) {
    ops.bus_power_changed(ops.bus_listener, 0, c.power);
    EXPECT_EQ(c.stored, power_column(first_bus_index, 1)) << c.power;
  }
}

TEST_F(eoagent_values, NameplateThatIsNoNumberIsStoredAsZero) {
  const struct {
    float nameplate;
    const char *stored;
  } cases[] = {{NAN, "0"}, {-5.0f, "0"}, {4294967296.0f, "4294967295"}, {1500.7f, "1500"}};
  for (const auto &c : cases) {
    dev.bus_powers.push_back(10.0f);
    dev.nameplates.push_back(c.nameplate);
  }
  start();
  long entity = first_bus_index;
  for (const auto &c : cases) EXPECT_EQ(c.stored, power_column(entity++, 2, true)) << c.nameplate;
}

TEST_F(eoagent_values, OnlyTheTwoPowerStatesCanBeWritten) {
  dev.outlets = {{false, false}};
  start();
  for (long value : {power_state_off - 1, power_state_off + 1, power_state_on + 1,
                     power_state_on + 2, 0L, -power_state_on}) {
    HandlerCall call(ctx, "x[192.0.2.1]");
    call.add(8, {1}, value);
    EXPECT_EQ(SNMP_ERR_WRONGVALUE, call.run(power_table_handler, MODE_SET_RESERVE1)) << value;
    EXPECT_EQ(SNMP_ERR_NOERROR, call.run(power_table_handler, MODE_SET_FREE)) << value;
  }
  EXPECT_EQ(0u, dev.writes.size());
}

}  // namespace
