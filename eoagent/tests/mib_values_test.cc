// Values at the edges of what the power table stores and accepts: readings
// at and beyond the 32-bit limits, a nameplate power that is not a number,
// and admin-state writes of values next to the two power states.
#include <math.h>
#include <stdlib.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mib.h"
#include "request_kit.h"

namespace {

struct Device {
  int outlets = 0;
  std::vector<float> bus_powers;
  std::vector<float> nameplates;  // per bus; 1200 W where none is given
  int writes = 0;
};

int device_outlets(void *relay, outlet_visitor visit, void *data) {
  auto *dev = static_cast<Device *>(relay);
  for (int i = 0; i < dev->outlets; ++i) visit(data, i, false, false, "unknown");
  return dev->outlets;
}

int device_buses(void *meter, bus_visitor visit, void *data) {
  auto *dev = static_cast<Device *>(meter);
  for (size_t i = 0; i < dev->bus_powers.size(); ++i)
    visit(data, static_cast<int>(i), dev->bus_powers[i],
          i < dev->nameplates.size() ? dev->nameplates[i] : 1200.0f, 0.01f);
  return static_cast<int>(dev->bus_powers.size());
}

int device_set(void *relay, const char *, int, bool, const char *) {
  ++static_cast<Device *>(relay)->writes;
  return 0;
}

class eoagent_values : public testing::Test {
 public:
  void SetUp() override {
    setenv("SNMP_PERSISTENT_DIR", "/tmp/eoagent-values-persist", 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    ASSERT_EQ(0, init_agent("eoagent_values_test"));
  }

  void start() {
    ops = device_ops{};
    ops.relay = ops.reachable_relay = ops.meter = &dev;
    ops.enumerate_outlets = device_outlets;
    ops.enumerate_buses = device_buses;
    ops.set_outlet_transient = device_set;
    init_mib_tables(&ops);
    ctx = static_cast<mib_context *>(ops.mib_context);
    ASSERT_NE(nullptr, ctx);
  }

  void TearDown() override {
    if (ops.free_mib_context) ops.free_mib_context(ops.mib_context);
  }

  // A column of a power-table row as stored (an unsigned one read as such,
  // whatever the width of long).
  std::string power_column(long entity, unsigned column, bool is_unsigned = false) {
    netsnmp_variable_list *vars = nullptr;
    snmp_varlist_add_variable(&vars, nullptr, 0, ASN_INTEGER, &entity, sizeof entity);
    netsnmp_table_row *r = netsnmp_table_data_get(ctx->power_table->table, vars);
    snmp_free_varbind(vars);
    if (!r) return "no row";
    auto *data = netsnmp_table_data_set_find_column(
        static_cast<netsnmp_table_data_set_storage *>(r->data), column);
    if (!data) return "none";
    if (is_unsigned) return std::to_string(static_cast<unsigned long>(*data->data.integer));
    return std::to_string(*data->data.integer);
  }

  Device dev;
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
  dev.outlets = 1;
  start();
  for (long value : {power_state_off - 1, power_state_off + 1, power_state_on + 1,
                     power_state_on + 2, 0L, -power_state_on}) {
    HandlerCall call(ctx, "x[192.0.2.1]");
    call.add(8, {1}, value);
    EXPECT_EQ(SNMP_ERR_WRONGVALUE, call.run(power_table_handler, MODE_SET_RESERVE1)) << value;
    EXPECT_EQ(SNMP_ERR_NOERROR, call.run(power_table_handler, MODE_SET_FREE)) << value;
  }
  EXPECT_EQ(0, dev.writes);
}

}  // namespace
