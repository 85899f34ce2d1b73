// SPDX-License-Identifier: ISC
// The simulated power switch as a bus peer: the object tree it publishes
// for each key type, the relay's switching, the meter's notifications,
// the "set" log with its decoded credential block, and the fault switches.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

extern "C" {
#include <libubox/blobmsg.h>
}

#include "simrig.h"

using simrig::BusClient;
using simrig::Json;

namespace {

struct Rig {
  testkit::Child ubusd, sim;
  testkit::TempDir dir{"powersim"};
  std::string log_path = dir / "sets.log";

  explicit Rig(std::vector<std::string> args) {
    if (!simrig::start_ubusd(&ubusd)) {
      ADD_FAILURE() << "ubusd did not start";
      return;
    }
    args.push_back("--log");
    args.push_back(log_path);
    if (!simrig::start_powersim(&sim, args)) ADD_FAILURE() << "powersim: " << sim.output();
  }
};

std::string str(json_object *obj) { return obj ? json_object_get_string(obj) : "(missing)"; }

TEST(powersim_sim, publishes_one_object_per_key_with_escaped_segments) {
  struct Case {
    const char *key_type;
    int outlets;
    std::vector<std::string> outlet_paths;
    std::string first_bus, first_value;
  };
  const Case cases[] = {
      {"string",
       2,
       {"relay.outlets.outlet=2E1", "relay.outlets.outlet=2E2"},
       "meter.buses.bus=2E1",
       "meter.values.value=2E1"},
      {"int", 2, {"relay.outlets.#1", "relay.outlets.#2"}, "meter.buses.#1", "meter.values.#1"},
      {"bool", 2, {"relay.outlets.#f", "relay.outlets.#t"}, "meter.buses.#f", "meter.values.#f"},
      {"int64",
       1,
       {"relay.outlets.#10000000000"},
       "meter.buses.#10000000000",
       "meter.values.#10000000000"},
      {"int16", 1, {"relay.outlets.#65000"}, "meter.buses.#65000", "meter.values.#65000"},
      {"double", 1, {"relay.outlets.#0=2E5"}, "meter.buses.#0=2E5", "meter.values.#0=2E5"},
      {"mixed",
       6,
       {"relay.outlets.outlet=20A=2E1=2F=C3=BC0", "relay.outlets.#-2",
        "relay.outlets.#1099511627778", "relay.outlets.#65003", "relay.outlets.#-4=2E25",
        "relay.outlets.="},
       "meter.buses.bus=20A=2E1=2F=C3=BC0",
       "meter.values.value=20A=2E1=2F=C3=BC0"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.key_type);
    Rig rig({"--key-type", c.key_type, "--outlets", std::to_string(c.outlets)});
    BusClient bus;
    for (const std::string &path : c.outlet_paths) EXPECT_TRUE(bus.has_object(path)) << path;
    EXPECT_TRUE(bus.has_object(c.first_bus)) << c.first_bus;
    EXPECT_TRUE(bus.has_object(c.first_value)) << c.first_value;

    Json keys;
    ASSERT_EQ(0, bus.call("relay.outlets", "keys", "{}", &keys));
    json_object *list = keys.at("keys");
    ASSERT_TRUE(list) << keys.text();
    EXPECT_EQ(static_cast<size_t>(c.outlets), json_object_array_length(list)) << keys.text();
  }
}

TEST(powersim_sim, relay_follows_a_set_after_the_switching_delay_and_notifies) {
  Rig rig({"--switch-delay", "150"});
  BusClient bus;
  const std::string outlet = "relay.outlets.outlet=2E2";
  ASSERT_TRUE(bus.subscribe(outlet));

  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(0, bus.call(outlet, "set", R"({"value": true, "key": "transient_state"})"));
  ASSERT_TRUE(bus.wait_notifications(2)) << bus.notifications().size() << " notifications";
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(140));

  // first the key that changed, then its new value, as subscribers expect
  Json first = Json::parse(bus.notifications()[0].substr(bus.notifications()[0].find(' ') + 1));
  Json second = Json::parse(bus.notifications()[1].substr(bus.notifications()[1].find(' ') + 1));
  EXPECT_EQ("transient_state", str(first.at("key"))) << first.text();
  EXPECT_EQ("physical_state", str(second.at("key"))) << second.text();
  EXPECT_EQ(BLOBMSG_TYPE_BOOL, json_object_get_int(second.at("value:type"))) << second.text();
  EXPECT_TRUE(json_object_get_boolean(second.at("value"))) << second.text();

  for (const char *key : {"transient_state", "physical_state"}) {
    Json reply;
    ASSERT_EQ(0, bus.call(outlet, "get", std::string(R"({"key": ")") + key + R"(", "attr": false})",
                          &reply));
    EXPECT_TRUE(json_object_get_boolean(reply.at("value"))) << key << ": " << reply.text();
  }
  // the other outlet did not move
  Json other;
  ASSERT_EQ(0, bus.call("relay.outlets.outlet=2E1", "get", R"({"key": "physical_state"})", &other));
  EXPECT_FALSE(json_object_get_boolean(other.at("value"))) << other.text();

  // repeating the state changes nothing and notifies nobody
  ASSERT_EQ(0, bus.call(outlet, "set", R"({"value": true, "key": "transient_state"})"));
  EXPECT_FALSE(bus.wait_notifications(3, 300));
}

TEST(powersim_sim, logs_each_set_with_its_decoded_credential_block) {
  Rig rig({});
  BusClient bus;
  // the credential block: encoded fields plus one zero byte, sent as a string
  blob_buf cred{};
  blob_buf_init(&cred, BLOBMSG_TYPE_TABLE);
  blobmsg_add_string(&cred, "agent", "snmp");
  blobmsg_add_u8(&cred, "is_admin", 1);
  blobmsg_add_string(&cred, "ip_address", "192.0.2.7");
  std::string bytes(static_cast<char *>(blob_data(cred.head)), blob_len(cred.head));
  bytes.push_back('\0');
  blob_buf_free(&cred);

  blob_buf msg{};
  blob_buf_init(&msg, 0);
  blobmsg_add_u8(&msg, "value", 1);
  blobmsg_add_field(&msg, BLOBMSG_TYPE_STRING, "cred", bytes.data(), bytes.size());
  blobmsg_add_string(&msg, "key", "transient_state");
  EXPECT_EQ(0, bus.call_blob("relay.outlets.outlet=2E1", "set", msg.head));
  blob_buf_free(&msg);

  std::string log = testkit::read_file(rig.log_path);
  ASSERT_EQ(1, std::count(log.begin(), log.end(), '\n')) << log;
  Json entry = Json::parse(log);
  EXPECT_EQ("relay.outlets.outlet=2E1", str(entry.at("object")));
  EXPECT_EQ("snmp", str(entry.at("message.cred.agent"))) << log;
  EXPECT_TRUE(json_object_get_boolean(entry.at("message.cred.is_admin"))) << log;
  EXPECT_EQ("192.0.2.7", str(entry.at("message.cred.ip_address"))) << log;
  EXPECT_EQ("transient_state", str(entry.at("message.key"))) << log;

  // the same entry is readable over the bus
  Json listed;
  ASSERT_EQ(0, bus.call("powersim", "log", "{}", &listed));
  ASSERT_TRUE(listed.at("sets.0")) << listed.text();
  EXPECT_EQ(log.substr(0, log.size() - 1), str(listed.at("sets.0")));
}

TEST(powersim_sim, meter_notifies_new_readings_with_the_type_given) {
  Rig rig({"--buses", "2", "--drift", "0"});
  BusClient bus;
  ASSERT_TRUE(bus.subscribe("meter.values.value=2E3"));  // current of bus 1
  ASSERT_TRUE(bus.subscribe("meter.buses.bus=2E2"));
  ASSERT_EQ(0, bus.call("powersim", "set_value", R"({"bus": 1, "name": "current", "value": 7})"));
  ASSERT_EQ(0, bus.call("powersim", "set_value",
                        R"({"bus": 1, "name": "power_factor_percent", "value": 95.5})"));
  ASSERT_TRUE(bus.wait_notifications(2));
  Json current = Json::parse(bus.notifications()[0].substr(bus.notifications()[0].find(' ') + 1));
  EXPECT_EQ("value", str(current.at("key"))) << current.text();
  EXPECT_EQ(BLOBMSG_TYPE_INT32, json_object_get_int(current.at("value:type"))) << current.text();
  EXPECT_EQ(7, json_object_get_int(current.at("value")));
  Json pf = Json::parse(bus.notifications()[1].substr(bus.notifications()[1].find(' ') + 1));
  EXPECT_EQ("power_factor_percent", str(pf.at("key"))) << pf.text();
  EXPECT_DOUBLE_EQ(95.5, json_object_get_double(pf.at("value")));

  Json value;
  ASSERT_EQ(0, bus.call("meter.values.value=2E3", "get", R"({"key": "value"})", &value));
  EXPECT_EQ(7, json_object_get_int(value.at("value"))) << value.text();
  Json bus_no;
  ASSERT_EQ(0, bus.call("meter.values.value=2E3", "get", R"({"key": "bus"})", &bus_no));
  EXPECT_EQ(1, json_object_get_int(bus_no.at("value"))) << bus_no.text();
}

TEST(powersim_sim, readings_drift_when_asked) {
  Rig rig({"--drift", "20"});
  BusClient bus;
  ASSERT_TRUE(bus.subscribe("meter.values.value=2E2"));  // voltage of bus 0
  ASSERT_TRUE(bus.wait_notifications(2)) << bus.notifications().size();
  Json a = Json::parse(bus.notifications()[0].substr(bus.notifications()[0].find(' ') + 1));
  Json b = Json::parse(bus.notifications()[1].substr(bus.notifications()[1].find(' ') + 1));
  EXPECT_NE(json_object_get_double(a.at("value")), json_object_get_double(b.at("value")));
}

TEST(powersim_sim, fault_switches) {
  Rig rig({"--remove", "relay.outlets.outlet=2E2", "--keys-without-keys", "values"});
  BusClient bus;
  EXPECT_TRUE(bus.has_object("relay.outlets.outlet=2E1"));
  EXPECT_FALSE(bus.has_object("relay.outlets.outlet=2E2"));

  Json keys;
  ASSERT_EQ(0, bus.call("meter.values", "keys", "{}", &keys));
  EXPECT_EQ(nullptr, keys.at("keys")) << keys.text();

  // at run time: remove an object, hold replies back
  ASSERT_EQ(0, bus.call("powersim", "fault", R"({"remove": "meter.buses", "delay_ms": 300})"));
  EXPECT_FALSE(bus.has_object("meter.buses"));
  auto start = std::chrono::steady_clock::now();
  Json outlets;
  ASSERT_EQ(0, bus.call("relay.outlets", "keys", "{}", &outlets));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));
  EXPECT_TRUE(outlets.at("keys.1")) << outlets.text();
  // a caller that gives up sooner gets a timeout
  EXPECT_EQ(7 /* UBUS_STATUS_TIMEOUT */, bus.call("relay.outlets", "keys", "{}", nullptr, 100));
}

TEST(powersim_sim, rejects_bad_options) {
  std::string out;
  EXPECT_EQ(2, testkit::run({testkit::bin_path("powersim"), "--outlets", "x"}, &out)) << out;
  EXPECT_EQ(2, testkit::run({testkit::bin_path("powersim"), "--key-type", "bool", "--outlets", "3"},
                            &out))
      << out;
  EXPECT_EQ(0, testkit::run({testkit::bin_path("powersim"), "--help"}, &out)) << out;
  EXPECT_NE(std::string::npos, out.find("--switch-delay")) << out;
}

}  // namespace
