// SPDX-License-Identifier: ISC
// The MIB side over a device of the test's own: rows, the accounting of
// time in state, the listeners, the write path and the notification
// scalar, each driven through the handlers the agent calls.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_device.h"
#include "mib.h"
#include "request_kit.h"

namespace {

using Outlet = FakeDevice::Outlet;

std::vector<std::string> logged;

int capture_log(int, int, void *server_arg, void *) {
  logged.push_back(static_cast<snmp_log_message *>(server_arg)->msg);
  return 0;
}

class eoagent_mib : public testing::Test {
 public:
  void SetUp() override {
    setenv("SNMP_PERSISTENT_DIR", "/tmp/eoagent-mib-persist", 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    snmp_enable_calllog();
    snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, capture_log, nullptr);
    ASSERT_EQ(0, init_agent("eoagent_mib_test"));
    notifications_enabled = true;
  }

  void start(std::vector<Outlet> outlets, std::vector<float> buses) {
    dev.outlets = std::move(outlets);
    dev.bus_powers = std::move(buses);
    ctx = dev.start_mib(&ops);
    ASSERT_NE(nullptr, ctx);
  }

  void TearDown() override {
    if (ops.free_mib_context) ops.free_mib_context(ops.mib_context);
  }

  netsnmp_table_row *row(netsnmp_table_data_set *set, std::vector<long> indexes) {
    return table_row(set, indexes);
  }

  // Column of a power-table row as stored, or "none".
  std::string power_column(long entity, unsigned column) {
    return stored_power_column(ctx, entity, column);
  }

  // Reads column 4 or 5 of a power-state row through its handler.
  unsigned long state_column(long entity, long state, unsigned column) {
    netsnmp_table_row *r = row(ctx->power_state_table, {entity, state});
    if (!r) {
      ADD_FAILURE() << "no power-state row " << entity << "." << state;
      return 0;
    }
    HandlerCall call(ctx);
    netsnmp_request_info *request = call.add(column, {entity, state}, 0, nullptr, r);
    EXPECT_EQ(SNMP_ERR_NOERROR, call.run(power_state_table_handler, MODE_GET));
    EXPECT_EQ(column == 4 ? ASN_TIMETICKS : ASN_COUNTER, request->requestvb->type);
    return *request->requestvb->val.integer;
  }

  FakeDevice dev;
  device_ops ops{};
  mib_context *ctx = nullptr;
};

TEST_F(eoagent_mib, rows_for_outlets_and_buses) {
  start({{false, false}, {true, true}}, {230.0f});
  for (long entity : {1L, 2L, 257L}) EXPECT_NE(nullptr, row(ctx->power_table, {entity})) << entity;
  EXPECT_EQ(nullptr, row(ctx->power_table, {3}));
  EXPECT_EQ(nullptr, row(ctx->power_table, {258}));
  for (long entity : {1L, 2L})
    for (long state : {257L, 259L})
      EXPECT_NE(nullptr, row(ctx->power_state_table, {entity, state})) << entity << "." << state;
  EXPECT_EQ(nullptr, row(ctx->power_state_table, {257, 257}));
  EXPECT_EQ(2, ctx->accounting_count);
  EXPECT_EQ("259", power_column(2, 8));
  EXPECT_EQ("none", power_column(257, 10));
}

// Outlets beyond 256 would take the buses' indexes: only the first 256
// are published, said once in the log, and the rest never touch a bus row.
// (One start per test: the tables are registered for the process's life.)
void check_first_256_published(eoagent_mib &t, int outlets) {
  logged.clear();
  std::vector<Outlet> many(outlets, Outlet{false, false});
  many[255] = {true, true};
  if (outlets > 256) many[256] = {true, true};
  t.start(many, {230.0f, 120.0f});
  mib_context *ctx = t.ctx;
  EXPECT_EQ(256, ctx->accounting_count);
  EXPECT_EQ("259", t.power_column(256, 9));
  EXPECT_EQ("230", t.power_column(257, 1));
  EXPECT_EQ("255", t.power_column(257, 9));
  EXPECT_EQ("120", t.power_column(258, 1));
  EXPECT_EQ(nullptr, t.row(ctx->power_table, {259}));
  EXPECT_EQ(nullptr, t.row(ctx->power_state_table, {257, 259}));
  EXPECT_NE(nullptr, t.row(ctx->power_state_table, {256, 259}));
  EXPECT_EQ(1u, t.state_column(256, 259, 5));
  if (outlets > 256) {
    ASSERT_EQ(1u, logged.size());
    EXPECT_EQ(std::to_string(outlets) + " outlets: only the first 256 are published\n", logged[0]);
  } else {
    EXPECT_TRUE(logged.empty()) << logged[0];
  }
  // a change of an unpublished outlet leaves the bus rows alone
  t.ops.outlet_state_changed(t.ops.outlet_listener, 256, false, false, "unknown");
  t.ops.outlet_state_changed(t.ops.outlet_listener, 257, true, true, "unknown");
  EXPECT_EQ("255", t.power_column(257, 8));
  EXPECT_EQ("255", t.power_column(258, 9));
  EXPECT_EQ("230", t.power_column(257, 1));
}

TEST_F(eoagent_mib, outlets_beyond_256_are_not_published) { check_first_256_published(*this, 300); }

TEST_F(eoagent_mib, exactly_256_outlets_are_all_published) {
  check_first_256_published(*this, 256);
}

TEST_F(eoagent_mib, bus_power_is_truncated_toward_zero) {
  start({}, {47.9f});
  EXPECT_EQ("47", power_column(257, 1));
  const struct {
    float power;
    const char *stored;
  } cases[] = {{-3.7f, "-3"}, {0.99f, "0"}, {1e12f, "2147483647"}, {-1e12f, "-2147483648"}};
  for (const auto &c : cases) {
    ops.bus_power_changed(ops.bus_listener, 0, c.power);
    EXPECT_EQ(c.stored, power_column(257, 1)) << c.power;
  }
  ops.bus_power_changed(ops.bus_listener, 5, 100.0f);  // no such bus: ignored
  EXPECT_EQ(nullptr, row(ctx->power_table, {262}));
}

// Off from start, on after 5 s, read 3 s later: 500 ticks off, 300 on.
TEST_F(eoagent_mib, time_in_state_and_entries) {
  // the first stay starts when the tables are built: at 0
  netsnmp_set_agent_uptime(0);
  start({{false, false}}, {});
  netsnmp_set_agent_uptime(500);
  ops.outlet_state_changed(ops.outlet_listener, 0, true, true, "unknown");
  netsnmp_set_agent_uptime(800);
  EXPECT_NEAR(500, state_column(1, 257, 4), 2);
  EXPECT_NEAR(300, state_column(1, 259, 4), 2);
  EXPECT_EQ(1u, state_column(1, 257, 5));
  EXPECT_EQ(1u, state_column(1, 259, 5));
  EXPECT_EQ("259", power_column(1, 8));
  EXPECT_EQ("259", power_column(1, 9));

  // a change of transient_state alone moves column 8 only
  ops.outlet_state_changed(ops.outlet_listener, 0, true, false, "unknown");
  EXPECT_EQ("257", power_column(1, 8));
  EXPECT_EQ("259", power_column(1, 9));
  EXPECT_EQ(1u, state_column(1, 259, 5));
  EXPECT_EQ(1u, state_column(1, 257, 5));

  // back off at 1000: the stay in 259 closes at 500 ticks
  netsnmp_set_agent_uptime(1000);
  ops.outlet_state_changed(ops.outlet_listener, 0, false, false, "unknown");
  netsnmp_set_agent_uptime(1100);
  EXPECT_NEAR(500, state_column(1, 259, 4), 2);
  EXPECT_NEAR(600, state_column(1, 257, 4), 2);
  EXPECT_EQ(2u, state_column(1, 257, 5));
  // the reason column is not touched by state changes
  EXPECT_EQ("unknown", power_column(1, 10));
  // an index without a row changes nothing
  ops.outlet_state_changed(ops.outlet_listener, 7, true, true, "unknown");
  EXPECT_EQ(nullptr, row(ctx->power_table, {8}));
}

// A jump of the agent's clock with no time passing (a subagent taking its
// master's uptime) leaves every stay, open or closed, as long as it was.
TEST_F(eoagent_mib, clock_jumps_keep_the_stays) {
  netsnmp_set_agent_uptime(100);
  start({{false, false}, {true, true}}, {});
  netsnmp_set_agent_uptime(300);
  ops.outlet_state_changed(ops.outlet_listener, 0, true, true, "unknown");
  netsnmp_set_agent_uptime(50400);
  shift_time_in_state(ctx, 50000);
  netsnmp_set_agent_uptime(50500);
  EXPECT_NEAR(200, state_column(1, 257, 4), 2);  // 100 to 300, closed
  EXPECT_NEAR(200, state_column(1, 259, 4), 2);  // 300 to 500 on the old clock
  EXPECT_NEAR(400, state_column(2, 259, 4), 2);  // since the tables were built
  EXPECT_EQ(0u, state_column(2, 257, 4));
  // and backwards, through zero
  netsnmp_set_agent_uptime(20);
  shift_time_in_state(ctx, static_cast<unsigned long>(-50480));
  EXPECT_NEAR(400, state_column(2, 259, 4), 2);
  EXPECT_NEAR(200, state_column(1, 259, 4), 2);
  netsnmp_set_agent_uptime(120);
  EXPECT_NEAR(500, state_column(2, 259, 4), 2);
  EXPECT_EQ(1u, state_column(2, 259, 5));
}

TEST_F(eoagent_mib, admin_state_write_with_the_requester_address) {
  start({{false, false}, {false, false}, {false, false}}, {100.0f});
  HandlerCall call(ctx, "switch[192.0.2.7]:161");
  call.add(8, {3}, 259);
  call.add(10, {3}, 0, "manual");
  ASSERT_EQ(SNMP_ERR_NOERROR, call.run(power_table_handler, MODE_SET_RESERVE1));
  ASSERT_NE(nullptr, ctx->requester_address);
  EXPECT_STREQ("192.0.2.7", ctx->requester_address);
  ASSERT_EQ(SNMP_ERR_NOERROR, call.run(power_table_handler, MODE_SET_COMMIT));
  ASSERT_EQ(1u, dev.writes.size());
  EXPECT_EQ("192.0.2.7", dev.writes[0].requester);
  EXPECT_EQ(2, dev.writes[0].index);
  EXPECT_TRUE(dev.writes[0].value);
  EXPECT_EQ(nullptr, ctx->requester_address);

  HandlerCall plain(ctx, "");
  plain.add(8, {1}, 257);
  ASSERT_EQ(SNMP_ERR_NOERROR, plain.run(power_table_handler, MODE_SET_RESERVE1));
  EXPECT_EQ(nullptr, ctx->requester_address);
  ASSERT_EQ(SNMP_ERR_NOERROR, plain.run(power_table_handler, MODE_SET_COMMIT));
  ASSERT_EQ(2u, dev.writes.size());
  EXPECT_EQ("(none)", dev.writes[1].requester);
  EXPECT_FALSE(dev.writes[1].value);
}

TEST_F(eoagent_mib, first_phase_rejections) {
  start({{false, false}, {false, false}}, {100.0f});
  const struct {
    const char *what;
    long entity;
    long value;
    int error;
  } cases[] = {
      {"258 is no power state", 1, 258, SNMP_ERR_WRONGVALUE},
      {"0 is no power state", 2, 0, SNMP_ERR_WRONGVALUE},
      {"a bus row", 257, 259, SNMP_ERR_NOTWRITABLE},
      {"no outlet 3", 3, 259, SNMP_ERR_INCONSISTENTNAME},
      {"no entity 0", 0, 259, SNMP_ERR_INCONSISTENTNAME},
  };
  for (const auto &c : cases) {
    HandlerCall call(ctx, "x[192.0.2.1]");
    call.add(8, {c.entity}, c.value);
    EXPECT_EQ(c.error, call.run(power_table_handler, MODE_SET_RESERVE1)) << c.what;
    EXPECT_EQ(c.error, call.request(0)->status) << c.what;
    EXPECT_EQ(SNMP_ERR_NOERROR, call.run(power_table_handler, MODE_SET_FREE)) << c.what;
    EXPECT_EQ(nullptr, ctx->requester_address) << c.what;
  }
  EXPECT_TRUE(dev.writes.empty());
}

TEST_F(eoagent_mib, commit_without_a_relay_fails) {
  start({{false, false}}, {});
  ops.set_outlet_transient = nullptr;
  HandlerCall call(ctx, "[192.0.2.1]");
  call.add(8, {1}, 259);
  ASSERT_EQ(SNMP_ERR_NOERROR, call.run(power_table_handler, MODE_SET_RESERVE1));
  EXPECT_EQ(SNMP_ERR_COMMITFAILED, call.run(power_table_handler, MODE_SET_COMMIT));
  EXPECT_EQ(SNMP_ERR_COMMITFAILED, call.request(0)->status);
  EXPECT_EQ(nullptr, ctx->requester_address);
}

// While the relay is out of reach (bus lost), a switch is refused in the
// first phase, or, when the relay went between the phases, just before the
// commit, where the manager still hears of it. Reasons stay writable.
TEST_F(eoagent_mib, switches_are_refused_while_the_relay_is_out_of_reach) {
  start({{false, false}, {false, false}}, {});
  ops.reachable_relay = nullptr;
  HandlerCall refused(ctx);
  refused.add(8, {1}, 259);
  EXPECT_EQ(SNMP_ERR_RESOURCEUNAVAILABLE, refused.run(power_table_handler, MODE_SET_RESERVE1));
  EXPECT_EQ(SNMP_ERR_RESOURCEUNAVAILABLE, refused.request(0)->status);

  HandlerCall reason(ctx);
  reason.add(10, {2}, 0, "kept");
  EXPECT_EQ(SNMP_ERR_NOERROR, reason.run(power_table_handler, MODE_SET_RESERVE1));
  EXPECT_EQ(SNMP_ERR_NOERROR, reason.run(power_table_handler, MODE_SET_ACTION));
  EXPECT_EQ(SNMP_ERR_NOERROR, reason.run(power_table_handler, MODE_SET_COMMIT));

  ops.reachable_relay = &dev;
  HandlerCall late(ctx);
  late.add(8, {2}, 259);
  ASSERT_EQ(SNMP_ERR_NOERROR, late.run(power_table_handler, MODE_SET_RESERVE1));
  ops.reachable_relay = nullptr;
  EXPECT_EQ(SNMP_ERR_COMMITFAILED, late.run(power_table_handler, MODE_SET_ACTION));
  EXPECT_EQ(SNMP_ERR_COMMITFAILED, late.request(0)->status);
  EXPECT_TRUE(dev.writes.empty());
}

// Reasons: an octet string of at most 255 bytes, outlet rows only.
TEST_F(eoagent_mib, reason_writes_are_checked) {
  start({{false, false}}, {100.0f});
  const std::string longest(255, 'a'), too_long(256, 'a');
  const struct {
    const char *what;
    long entity;
    const char *text;  // null: an integer is written
    int error;
  } cases[] = {
      {"255 bytes", 1, longest.c_str(), SNMP_ERR_NOERROR},
      {"empty", 1, "", SNMP_ERR_NOERROR},
      {"256 bytes", 1, too_long.c_str(), SNMP_ERR_WRONGLENGTH},
      {"an integer", 1, nullptr, SNMP_ERR_WRONGTYPE},
      {"a bus row", 257, "x", SNMP_ERR_NOTWRITABLE},
      {"no row", 2, "x", SNMP_ERR_INCONSISTENTNAME},
  };
  for (const auto &c : cases) {
    HandlerCall call(ctx);
    call.add(10, {c.entity}, 7, c.text);
    EXPECT_EQ(c.error, call.run(power_table_handler, MODE_SET_RESERVE1)) << c.what;
    EXPECT_EQ(SNMP_ERR_NOERROR, call.run(power_table_handler, MODE_SET_FREE)) << c.what;
  }
  EXPECT_TRUE(dev.writes.empty());
}

// Allocation through mib_realloc fails from call `fail_from` on.
int realloc_calls = 0, fail_from = 0;
void *failing_realloc(void *block, size_t size) {
  return ++realloc_calls >= fail_from ? nullptr : realloc(block, size);
}

struct FailingAllocation {
  explicit FailingAllocation(int from) {
    realloc_calls = 0;
    fail_from = from;
    mib_realloc = failing_realloc;
  }
  ~FailingAllocation() { mib_realloc = realloc; }
};

// Memory runs out while the outlets' accounting grows (the context is call
// 1, outlet i's accounting call i + 2): the outlets published before stay
// whole, the rest are left out with one log line, and every outlet row
// there is can be switched and has its state rows.
TEST_F(eoagent_mib, out_of_memory_for_the_accounting_publishes_whole_rows_only) {
  logged.clear();
  {
    FailingAllocation failing(3);
    start({{false, false}, {true, true}, {true, true}}, {100.0f});
  }
  ASSERT_EQ(1u, logged.size());
  EXPECT_EQ("out of memory: outlets from here on are not published\n", logged[0]);
  EXPECT_EQ(1, ctx->accounting_count);
  for (long entity = 1; entity <= 3; ++entity) {
    SCOPED_TRACE(entity);
    bool has_row = row(ctx->power_table, {entity}) != nullptr;
    EXPECT_EQ(entity == 1, has_row);
    if (!has_row) continue;
    EXPECT_NE(nullptr, row(ctx->power_state_table, {entity, 259}));
    HandlerCall call(ctx);
    call.add(8, {entity}, 259);
    EXPECT_EQ(SNMP_ERR_NOERROR, call.run(power_table_handler, MODE_SET_RESERVE1));
    EXPECT_EQ(SNMP_ERR_NOERROR, call.run(power_table_handler, MODE_SET_FREE));
  }
  EXPECT_NE(nullptr, row(ctx->power_table, {257}));
  // changes of the outlets left out touch nothing
  ops.outlet_state_changed(ops.outlet_listener, 2, false, false, "unknown");
  EXPECT_EQ(nullptr, row(ctx->power_table, {3}));
}

TEST_F(eoagent_mib, out_of_memory_for_the_context_is_reported) {
  logged.clear();
  dev.outlets = {{false, false}};
  ops = device_ops{};
  ops.relay = ops.meter = &dev;
  ops.enumerate_outlets = FakeDevice::enumerate_outlets;
  {
    FailingAllocation failing(1);
    EXPECT_FALSE(init_mib_tables(&ops));
  }
  EXPECT_EQ(nullptr, ops.mib_context);
  EXPECT_EQ(nullptr, ops.free_mib_context);
  ASSERT_EQ(1u, logged.size());
  EXPECT_EQ("out of memory: the MIB tables cannot be built\n", logged[0]);
}

TEST_F(eoagent_mib, notification_scalar_modes) {
  start({}, {});
  HandlerCall get(ctx);
  netsnmp_request_info *request = get.add(1, {}, 0);
  ASSERT_EQ(SNMP_ERR_NOERROR, get.run(handle_eoPowerEnableStatusNotification, MODE_GET));
  EXPECT_EQ(1, *request->requestvb->val.integer);

  // a commit that meets a bad value keeps the last good one before it
  HandlerCall commit(ctx);
  commit.add(1, {}, 2);
  commit.add(1, {}, 7);
  EXPECT_EQ(SNMP_ERR_COMMITFAILED,
            commit.run(handle_eoPowerEnableStatusNotification, MODE_SET_COMMIT));
  EXPECT_FALSE(notifications_enabled);
  EXPECT_EQ(SNMP_ERR_COMMITFAILED, commit.request(1)->status);
  ASSERT_EQ(SNMP_ERR_NOERROR, get.run(handle_eoPowerEnableStatusNotification, MODE_GET));
  EXPECT_EQ(2, *request->requestvb->val.integer);

  HandlerCall bad(ctx);
  bad.add(1, {}, 3);
  EXPECT_EQ(SNMP_ERR_WRONGVALUE,
            bad.run(handle_eoPowerEnableStatusNotification, MODE_SET_RESERVE1));

  logged.clear();
  EXPECT_EQ(SNMP_ERR_GENERR, get.run(handle_eoPowerEnableStatusNotification, 42));
  ASSERT_EQ(1u, logged.size());
  EXPECT_EQ("unknown mode (42) in handle_eoPowerEnableStatusNotification\n", logged[0]);
}

}  // namespace
