// SPDX-License-Identifier: ISC
// The ubus command-line client against a live daemon and peers.
#include <json-c/json.h>
#include <sys/wait.h>

#include <chrono>
#include <string>

#include "bus_fixture.h"

namespace bus_test {
namespace {

class BusCli : public BusTest {
 protected:
  // Runs `ubus -s <socket> args...`; returns the exit status.
  int ubus(const std::vector<std::string>& args, std::string* out = nullptr) {
    std::vector<std::string> argv = {testkit::bin_path("ubus"), "-s", sock_};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string sink;
    return testkit::run(argv, out ? out : &sink, 20000);
  }

  testkit::Child spawn(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {testkit::bin_path("ubus"), "-s", sock_};
    argv.insert(argv.end(), args.begin(), args.end());
    testkit::SpawnOptions opts;
    opts.capture_output = true;
    return testkit::Child(argv, opts);
  }
};

using JsonPtr = std::unique_ptr<json_object, int (*)(json_object*)>;
JsonPtr parse(const std::string& text) {
  return JsonPtr(json_tokener_parse(text.c_str()), json_object_put);
}

TEST_F(BusCli, CallPrintsTheReplyAsJson) {
  start_peer({"serve", "test.a"});
  const std::string arg =
      R"({"a": 1, "big": 5000000000, "neg": -7, "s": "x/y \"q\"", "t": {"n": [1, 2, {"d": 2.5}]},)"
      R"( "b": false, "z": null})";
  std::string out;
  ASSERT_EQ(ubus({"call", "test.a", "echo", arg}, &out), 0) << out;
  JsonPtr want = parse(arg), got = parse(out);
  ASSERT_TRUE(got) << "not JSON: " << out;
  EXPECT_TRUE(json_object_equal(want.get(), got.get())) << "sent " << arg << "\nprinted " << out;
}

TEST_F(BusCli, FailuresGiveTheStatusAsExitCode) {
  start_peer({"serve", "test.a"});
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* message;
  } cases[] = {
      {{"call", "test.a", "nomethod"},
       UBUS_STATUS_METHOD_NOT_FOUND,
       "Command failed: Method not found"},
      {{"call", "test.none", "echo"}, UBUS_STATUS_NOT_FOUND, "Command failed: Not found"},
      {{"call", "test.a", "echo", "{bad"}, UBUS_STATUS_PARSE_ERROR, "Failed to parse message data"},
      {{"call", "test.a", "echo", "[1, 2]"},
       UBUS_STATUS_PARSE_ERROR,
       "Failed to parse message data"},
      {{"call", "test.a", "status", R"({"code": 8})"},
       UBUS_STATUS_NOT_SUPPORTED,
       "Operation not supported"},
      {{"call", "test.a", "typed", R"({"n": "three"})"},
       UBUS_STATUS_INVALID_ARGUMENT,
       "Invalid argument"},
      {{"-t", "1", "call", "test.a", "hang"}, UBUS_STATUS_TIMEOUT, "Request timed out"},
      {{"frobnicate"}, 1, "Usage:"},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(ubus(c.args, &out), c.status)
        << c.args[0] << " " << (c.args.size() > 2 ? c.args[2] : "");
    EXPECT_NE(out.find(c.message), std::string::npos)
        << "expected \"" << c.message << "\" in: " << out;
  }
  std::string out;
  EXPECT_EQ(testkit::run({testkit::bin_path("ubus"), "-s", dir_ / "nothing.sock", "list"}, &out),
            255);
  EXPECT_NE(out.find("Failed to connect to ubus"), std::string::npos) << out;
}

TEST_F(BusCli, ListShowsPathsAndMethodSignatures) {
  start_peer({"serve", "test.b"});
  start_peer({"serve", "test.a"});
  std::string out;
  ASSERT_EQ(ubus({"list"}, &out), 0);
  EXPECT_EQ(out, "test.a\ntest.b\n");
  ASSERT_EQ(ubus({"list", "-v", "test.a"}, &out), 0);
  EXPECT_EQ(out.rfind("'test.a' @", 0), 0u) << out;
  EXPECT_NE(out.find("\t\"typed\":{\"n\":\"Integer\",\"s\":\"String\"}\n"), std::string::npos)
      << out;
  EXPECT_NE(out.find("\t\"echo\":{}\n"), std::string::npos) << out;
}

TEST_F(BusCli, ListenPrintsMatchingEventsOneLineEach) {
  auto* ctx = connect();
  testkit::Child listener = spawn({"listen", "test.*"});
  // it is listening once a probe event shows up
  ASSERT_TRUE(testkit::wait_until(
      [&] {
        ubus_send_event(ctx, "test.probe", nullptr);
        return listener.output().find("test.probe") != std::string::npos;
      },
      5000, 50));
  ASSERT_EQ(ubus({"send", "other.event", R"({"n": 1})"}), 0);
  ASSERT_EQ(ubus({"send", "test.real", R"({"k": "v", "n": [1, 2]})"}), 0);
  ASSERT_TRUE(wait_output(listener, "test.real")) << listener.output();
  EXPECT_NE(listener.output().find("{ \"test.real\": {\"k\":\"v\",\"n\":[1,2]} }\n"),
            std::string::npos)
      << listener.output();
  EXPECT_EQ(listener.output().find("other.event"), std::string::npos) << listener.output();
}

TEST_F(BusCli, SubscribePrintsNotifications) {
  testkit::Child& target = start_peer({"serve", "test.a"});
  testkit::Child sub = spawn({"subscribe", "test.a"});
  ASSERT_TRUE(wait_output(target, "subscribers 1")) << sub.output();
  std::string out;
  ASSERT_EQ(ubus({"call", "test.a", "notify", R"({"count": 2, "type": "update", "timeout": 2000})"},
                 &out),
            0);
  ASSERT_TRUE(wait_output(sub, "\"seq\":1")) << sub.output();
  EXPECT_EQ(sub.output(), "{ \"update\": {\"seq\":0} }\n{ \"update\": {\"seq\":1} }\n");
}

TEST_F(BusCli, WaitForReturnsOnceTheObjectsExist) {
  testkit::Child waiter = spawn({"-t", "10", "wait_for", "late.one", "late.two"});
  auto* ctx = connect();
  expect_bus_alive(ctx);
  usleep(100 * 1000);
  start_peer({"serve", "late.one"});
  EXPECT_TRUE(waiter.running()) << "returned with one object missing";
  auto t0 = std::chrono::steady_clock::now();
  start_peer({"serve", "late.two"});
  int st = waiter.wait(5000);
  ASSERT_NE(st, -1) << "still waiting";
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << waiter.output();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));

  EXPECT_EQ(ubus({"wait_for", "late.one"}), 0);
  EXPECT_EQ(ubus({"-t", "1", "wait_for", "never.there"}), UBUS_STATUS_TIMEOUT);
}

}  // namespace
}  // namespace bus_test
