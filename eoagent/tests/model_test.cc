// SPDX-License-Identifier: ISC
// The device model against the simulated switch on a real bus: discovery,
// initial values, notifications of every shape, writes with their
// credential block, and a write driven through the eoPowerTable handler
// with a context name that names the requester.
#include <stdlib.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libubox/uloop.h>
#include <libubus.h>
}

#include "agent_rig.h"
#include "device.h"
#include "mib.h"
#include "request_kit.h"

using simrig::Json;

namespace {

struct OutletCall {
  int index;
  bool physical, transient;
  std::string reason;
};

struct Listener {
  std::vector<OutletCall> outlet_calls;
  std::vector<std::pair<int, float>> bus_calls;
};

void on_outlet(void *data, int index, bool physical, bool transient, const char *reason) {
  static_cast<Listener *>(data)->outlet_calls.push_back({index, physical, transient, reason});
}

void on_bus(void *data, int index, float power) {
  static_cast<Listener *>(data)->bus_calls.push_back({index, power});
}

void collect_outlet(void *data, int index, bool physical, bool transient, const char *reason) {
  on_outlet(data, index, physical, transient, reason);
}

void collect_bus(void *data, int index, float power, float nameplate, float accuracy) {
  auto *powers = static_cast<std::vector<float> *>(data);
  EXPECT_EQ(static_cast<int>(powers->size()), index);
  EXPECT_FLOAT_EQ(1200.0f, nameplate);
  EXPECT_FLOAT_EQ(0.01f, accuracy);
  powers->push_back(power);
}

std::string str(json_object *obj) { return obj ? json_object_get_string(obj) : "(missing)"; }

class eoagent_model : public testing::Test {
 protected:
  void start(const std::vector<std::string> &sim_args) {
    rig_ = std::make_unique<AgentRig>();
    ASSERT_TRUE(rig().start_bus());
    ASSERT_TRUE(rig().start_sim(sim_args));
    uloop_init();
    ctx = ubus_connect(nullptr);
    ASSERT_NE(nullptr, ctx);
    ubus_add_uloop(ctx);
    ops = device_ops{};
    ops.outlet_listener = ops.bus_listener = &listener;
    ops.outlet_state_changed = on_outlet;
    ops.bus_power_changed = on_bus;
  }

  void TearDown() override { stop(); }

  void stop() {
    if (ops.free_mib_context) ops.free_mib_context(ops.mib_context);
    ops = device_ops{};
    close_meter(meter);
    close_relay(relay);
    meter = nullptr;
    relay = nullptr;
    if (ctx) ubus_free(ctx);
    ctx = nullptr;
    uloop_done();
    rig_.reset();
  }

  AgentRig &rig() { return *rig_; }

  // Runs the loop until `pred` holds.
  bool pump(const std::function<bool()> &pred, int timeout_ms = 3000) {
    return testkit::wait_until(
        [&] {
          uloop_run_timeout(5);
          return pred();
        },
        timeout_ms, 1);
  }

  // Runs the loop for a while, for checks that nothing happens.
  void idle(int ms) {
    testkit::wait_until(
        [] {
          uloop_run_timeout(5);
          return false;
        },
        ms, 1);
  }

  int control(const std::string &method, const std::string &args) {
    return rig().bus().call("powersim", method, args);
  }

  std::vector<OutletCall> outlets() {
    Listener l;
    int count = ops.enumerate_outlets(ops.relay, collect_outlet, &l);
    EXPECT_EQ(count, static_cast<int>(l.outlet_calls.size()));
    return l.outlet_calls;
  }

  std::vector<float> buses() {
    std::vector<float> powers;
    ops.enumerate_buses(ops.meter, collect_bus, &powers);
    return powers;
  }

  std::unique_ptr<AgentRig> rig_;
  ubus_context *ctx = nullptr;
  device_ops ops{};
  Listener listener;
  relay_handle *relay = nullptr;
  meter_handle *meter = nullptr;
};

TEST_F(eoagent_model, discovers_outlets_and_buses_with_their_values) {
  start(
      {"--outlets", "3", "--on", "1", "--buses", "2", "--integer-values", "--power-factor", "95"});
  relay = open_relay(ctx, "relay", &ops);
  meter = open_meter(ctx, "meter", &ops);
  ASSERT_NE(nullptr, relay);
  ASSERT_NE(nullptr, meter);
  EXPECT_EQ(relay, ops.relay);
  EXPECT_EQ(relay, ops.reachable_relay);
  EXPECT_EQ(meter, ops.meter);

  auto found = outlets();
  ASSERT_EQ(3u, found.size());
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(i, found[i].index);
    EXPECT_EQ(i == 1, found[i].physical) << i;
    EXPECT_EQ(i == 1, found[i].transient) << i;
    EXPECT_EQ("unknown", found[i].reason);
  }
  // integers: 2 A × 230 V × 95 % = 437 W
  auto powers = buses();
  ASSERT_EQ(2u, powers.size());
  EXPECT_FLOAT_EQ(2.0f * 230.0f * 0.95f, powers[0]);
  EXPECT_FLOAT_EQ(2.0f * 230.0f * 0.95f, powers[1]);
}

TEST_F(eoagent_model, open_failures_and_empty_lists) {
  struct Case {
    const char *what;
    std::vector<std::string> sim_args;
    bool relay_opens, meter_opens;
    int outlets;
  };
  const Case cases[] = {
      {"outlet list answers without keys", {"--keys-without-keys", "outlets"}, true, true, 0},
      {"bus list answers without keys", {"--keys-without-keys", "buses"}, true, true, 2},
      {"value list answers without keys", {"--keys-without-keys", "values"}, true, false, 2},
      {"outlet list missing", {"--remove", "relay.outlets"}, false, true, 0},
      {"value list missing", {"--remove", "meter.values"}, true, false, 2},
      {"a value missing", {"--remove", "meter.values.value=2E2"}, true, false, 2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    start(c.sim_args);
    relay = open_relay(ctx, "relay", &ops);
    meter = open_meter(ctx, "meter", &ops);
    EXPECT_EQ(c.relay_opens, relay != nullptr);
    EXPECT_EQ(c.meter_opens, meter != nullptr);
    if (relay) {
      EXPECT_EQ(static_cast<size_t>(c.outlets), outlets().size());
    }
    if (!meter) {
      EXPECT_EQ(nullptr, ops.meter);
    }
    stop();
  }
}

TEST_F(eoagent_model, outlet_notifications_reach_the_listener_once_per_change) {
  start({"--switch-delay", "50"});
  relay = open_relay(ctx, "relay", &ops);
  ASSERT_NE(nullptr, relay);
  ASSERT_EQ(0, control("switch", R"({"outlet": 1, "state": true})"));
  ASSERT_TRUE(pump([&] { return listener.outlet_calls.size() >= 2; }));
  // transient first, then physical; each call carries both cached states
  EXPECT_EQ(1, listener.outlet_calls[0].index);
  EXPECT_FALSE(listener.outlet_calls[0].physical);
  EXPECT_TRUE(listener.outlet_calls[0].transient);
  EXPECT_TRUE(listener.outlet_calls[1].physical);
  EXPECT_TRUE(listener.outlet_calls[1].transient);
  EXPECT_EQ("unknown", listener.outlet_calls[1].reason);

  // repeats and odd shapes change nothing
  const char *odd[] = {
      R"({"key": "physical_state", "value": true})",  // the cached value again
      R"({"key": "other_state", "value": false})",    // a key of no interest
      R"({"key": "physical_state"})",                 // no value
      R"({"key": 5, "value": false})",                // the key is no string
      R"({})",
  };
  for (const char *fields : odd) {
    ASSERT_EQ(0,
              control("notify", std::string(R"({"path": "relay.outlets.outlet=2E2", "fields": )") +
                                    fields + "}"));
  }
  idle(150);
  EXPECT_EQ(2u, listener.outlet_calls.size());
  // the names of the fields do not matter, only their order
  ASSERT_EQ(0, control("notify", R"({"path": "relay.outlets.outlet=2E2",
                                     "fields": {"k": "physical_state", "v": false}})"));
  ASSERT_TRUE(pump([&] { return listener.outlet_calls.size() >= 3; }));
  EXPECT_FALSE(listener.outlet_calls[2].physical);
  EXPECT_TRUE(listener.outlet_calls[2].transient);
  EXPECT_FALSE(outlets()[1].physical);
}

TEST_F(eoagent_model, bus_notifications_recompute_the_power) {
  start({"--buses", "2"});
  meter = open_meter(ctx, "meter", &ops);
  ASSERT_NE(nullptr, meter);
  struct Step {
    const char *set_value;
    bool reported;
    float power;  // of bus 1 afterwards
  };
  const Step steps[] = {
      {R"({"bus": 1, "name": "current", "value": 3})", true, 3 * 230 * 0.5f},
      {R"({"bus": 1, "name": "voltage", "value": 200.5})", true, 3 * 200.5f * 0.5f},
      {R"({"bus": 1, "name": "power_factor_percent", "value": 90})", true, 3 * 200.5f * 0.9f},
      {R"({"bus": 1, "name": "power_factor_percent", "value": 80.0})", true, 3 * 200.5f * 0.8f},
      {R"({"bus": 1, "name": "current", "value": "4"})", false, 3 * 200.5f * 0.8f},
      {R"({"bus": 1, "name": "current", "value": true})", false, 3 * 200.5f * 0.8f},
  };
  for (const Step &s : steps) {
    size_t before = listener.bus_calls.size();
    ASSERT_EQ(0, control("set_value", s.set_value));
    if (s.reported) {
      ASSERT_TRUE(pump([&] { return listener.bus_calls.size() > before; })) << s.set_value;
      EXPECT_EQ(1, listener.bus_calls.back().first) << s.set_value;
      EXPECT_FLOAT_EQ(s.power, listener.bus_calls.back().second) << s.set_value;
    } else {
      idle(100);
      EXPECT_EQ(before, listener.bus_calls.size()) << s.set_value;
    }
    EXPECT_FLOAT_EQ(s.power, buses()[1]) << s.set_value;
  }
  EXPECT_FLOAT_EQ(230.0f, buses()[0]);
}

TEST_F(eoagent_model, value_objects_of_odd_shape) {
  start({"--extra-value", "5:current:2", "--extra-value", "0:frequency:50", "--extra-value",
         "missing:voltage:1", "--extra-value", "string:voltage:1", "--extra-value",
         "-2:current:1"});
  meter = open_meter(ctx, "meter", &ops);
  ASSERT_NE(nullptr, meter);
  auto powers = buses();
  ASSERT_EQ(6u, powers.size());
  EXPECT_FLOAT_EQ(230.0f, powers[0]);
  for (size_t i = 1; i < 6; ++i) EXPECT_FLOAT_EQ(0.0f, powers[i]) << i;
  // the grown bus has a live subscription on its current
  ASSERT_EQ(0, control("set_value", R"({"bus": 5, "name": "current", "value": 9.0})"));
  ASSERT_TRUE(pump([&] { return !listener.bus_calls.empty(); }));
  EXPECT_EQ(5, listener.bus_calls.back().first);
}

// Value objects may add buses the bus list lacks, up to 256 buses in all:
// farther numbers, up to the largest 32-bit one, are skipped.
TEST_F(eoagent_model, value_objects_add_at_most_256_buses) {
  start({"--extra-value", "255:current:2", "--extra-value", "256:current:3", "--extra-value",
         "2147483647:voltage:1", "--extra-value", "1000000:current:4"});
  meter = open_meter(ctx, "meter", &ops);
  ASSERT_NE(nullptr, meter);
  auto powers = buses();
  ASSERT_EQ(256u, powers.size());
  EXPECT_FLOAT_EQ(230.0f, powers[0]);
  for (size_t i = 1; i < powers.size(); ++i) EXPECT_FLOAT_EQ(0.0f, powers[i]) << i;
  ASSERT_EQ(0, control("set_value", R"({"bus": 255, "name": "current", "value": 9.0})"));
  ASSERT_TRUE(pump([&] { return !listener.bus_calls.empty(); }));
  EXPECT_EQ(255, listener.bus_calls.back().first);
}

// Every bus of a longer list can be named; none is added past it.
TEST_F(eoagent_model, value_objects_reach_every_bus_of_a_long_list) {
  start({"--buses", "300", "--extra-value", "299:current:4", "--extra-value", "300:current:4"});
  meter = open_meter(ctx, "meter", &ops);
  ASSERT_NE(nullptr, meter);
  auto powers = buses();
  ASSERT_EQ(300u, powers.size());
  EXPECT_FLOAT_EQ(230.0f, powers[298]);
  EXPECT_FLOAT_EQ(460.0f, powers[299]);
}

TEST_F(eoagent_model, writes_carry_the_credential_block) {
  start({"--outlets", "3"});
  relay = open_relay(ctx, "relay", &ops);
  ASSERT_NE(nullptr, relay);
  ops.set_outlet_transient(ops.reachable_relay, "192.0.2.9", 2, true, "snmp");
  ops.set_outlet_transient(ops.reachable_relay, nullptr, 0, false, "snmp");
  ops.set_outlet_transient(ops.reachable_relay, nullptr, 3, true, "snmp");   // no such outlet
  ops.set_outlet_transient(ops.reachable_relay, nullptr, -1, true, "snmp");  // nor this
  auto log = rig().set_log();
  ASSERT_EQ(2u, log.size());
  Json first = Json::parse(log[0]);
  EXPECT_EQ("relay.outlets.outlet=2E3", str(first.at("object")));
  EXPECT_EQ("192.0.2.9", str(first.at("message.cred.ip_address"))) << log[0];
  // fields in order: value, cred, key; the block's own fields in theirs
  EXPECT_EQ(
      R"({"object":"relay.outlets.outlet=2E3","message":{"value":true,"cred":{"agent":"snmp",)"
      R"("is_admin":true,"ip_address":"192.0.2.9","outlet_access":true},"key":"transient_state"}})",
      log[0]);
  Json second = Json::parse(log[1]);
  EXPECT_EQ("relay.outlets.outlet=2E1", str(second.at("object")));
  EXPECT_FALSE(json_object_get_boolean(second.at("message.value")));
  EXPECT_EQ(nullptr, second.at("message.cred.ip_address")) << log[1];

  // an outlet that went away: the write is dropped
  ASSERT_EQ(0, control("fault", R"({"remove": "relay.outlets.outlet=2E1"})"));
  ops.set_outlet_transient(ops.reachable_relay, nullptr, 0, true, "snmp");
  EXPECT_EQ(2u, rig().set_log().size());
}

// The address in square brackets of a request's context name reaches the
// relay in the credential block, through the table handler itself.
TEST_F(eoagent_model, context_name_of_a_write_names_the_requester) {
  start({"--outlets", "3"});
  setenv("SNMP_PERSISTENT_DIR", (rig().dir() / "persist").c_str(), 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
  ASSERT_EQ(0, init_agent("eoagent_model_test"));
  relay = open_relay(ctx, "relay", &ops);
  meter = open_meter(ctx, "meter", &ops);
  ASSERT_TRUE(relay && meter);
  init_mib_tables(&ops);
  ASSERT_NE(nullptr, ops.mib_context);

  const struct {
    const char *context;
    long outlet;
    const char *address;  // null: no ip_address
  } cases[] = {
      {"powerswitch[198.51.100.4]:161", 3, "198.51.100.4"},
      {"", 2, nullptr},
      {"half[198.51.100.4", 1, nullptr},
  };
  size_t sent = 0;
  for (const auto &c : cases) {
    HandlerCall call(ops.mib_context, c.context);
    call.add(8, {c.outlet}, 259);
    ASSERT_EQ(SNMP_ERR_NOERROR, call.run(power_table_handler, MODE_SET_RESERVE1)) << c.context;
    ASSERT_EQ(SNMP_ERR_NOERROR, call.run(power_table_handler, MODE_SET_RESERVE2));
    ASSERT_EQ(SNMP_ERR_NOERROR, call.run(power_table_handler, MODE_SET_ACTION));
    ASSERT_EQ(SNMP_ERR_NOERROR, call.run(power_table_handler, MODE_SET_COMMIT)) << c.context;
    auto log = rig().set_log();
    ASSERT_EQ(++sent, log.size()) << c.context;
    Json entry = Json::parse(log.back());
    EXPECT_EQ("relay.outlets.outlet=2E" + std::to_string(c.outlet), str(entry.at("object")));
    EXPECT_TRUE(json_object_get_boolean(entry.at("message.value"))) << log.back();
    EXPECT_EQ("transient_state", str(entry.at("message.key"))) << log.back();
    EXPECT_EQ("snmp", str(entry.at("message.cred.agent"))) << log.back();
    if (c.address)
      EXPECT_EQ(c.address, str(entry.at("message.cred.ip_address"))) << log.back();
    else
      EXPECT_EQ(nullptr, entry.at("message.cred.ip_address")) << log.back();
  }

  // a rejected write sends nothing
  HandlerCall bad(ops.mib_context, "x[198.51.100.4]");
  bad.add(8, {257}, 259);
  EXPECT_EQ(SNMP_ERR_NOTWRITABLE, bad.run(power_table_handler, MODE_SET_RESERVE1));
  EXPECT_EQ(SNMP_ERR_NOERROR, bad.run(power_table_handler, MODE_SET_FREE));
  EXPECT_EQ(sent, rig().set_log().size());
}

}  // namespace
