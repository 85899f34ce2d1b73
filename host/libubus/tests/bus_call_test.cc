// SPDX-License-Identifier: ISC
// Method calls between processes: replies, status codes, async requests,
// deferred replies, descriptors both ways, large messages, many clients.
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <string>

#include "bus_fixture.h"

namespace bus_test {
namespace {

class BusCall : public BusTest {};

TEST_F(BusCall, EchoReturnsTheArgumentsUnchanged) {
  start_peer({"serve", "test.a"});
  auto* ctx = connect();
  Msg m;
  m.str("s", "text with / and \"quotes\"").u32("n", 0xfffffffe).boolean("b", true);
  void* t = blobmsg_open_table(m.buf(), "nested");
  blobmsg_add_string(m.buf(), "inner", "deep");
  blobmsg_close_table(m.buf(), t);

  CallResult r = call(ctx, lookup(ctx, "test.a"), "echo", m.head());
  ASSERT_EQ(r.status, 0) << ubus_strerror(r.status);
  ASSERT_EQ(r.replies.size(), 1u);
  EXPECT_EQ(blob_len(r.replies[0].get()), blob_len(m.head()));
  EXPECT_EQ(0, memcmp(blob_data(r.replies[0].get()), blob_data(m.head()), blob_len(m.head())))
      << "reply differs from the arguments";
  EXPECT_EQ(str_field(field(r.replies[0].get(), "nested", BLOBMSG_TYPE_TABLE), "inner"), "deep");
}

TEST_F(BusCall, FailuresCarryTheirStatusCodes) {
  start_peer({"serve", "test.a"});
  auto* ctx = connect();
  uint32_t id = lookup(ctx, "test.a");
  struct Case {
    const char* what;
    uint32_t target;
    const char* method;
    const char* arg;  // "n" as a string when set
    int code;         // for "status"
    int expected;
  } cases[] = {
      {"unknown method", id, "no_such_method", nullptr, 0, UBUS_STATUS_METHOD_NOT_FOUND},
      {"unknown object id", 0x7ffffff0, "echo", nullptr, 0, UBUS_STATUS_NOT_FOUND},
      {"argument of the wrong type", id, "typed", "three", 0, UBUS_STATUS_INVALID_ARGUMENT},
      {"handler status", id, "status", nullptr, UBUS_STATUS_NOT_SUPPORTED,
       UBUS_STATUS_NOT_SUPPORTED},
      {"negative handler status", id, "status", nullptr, -1, -1},
      {"success", id, "status", nullptr, 0, 0},
  };
  for (const Case& c : cases) {
    Msg m;
    if (c.arg) m.str("n", c.arg);
    if (!strcmp(c.method, "status")) m.u32("code", uint32_t(c.code));
    CallResult r = call(ctx, c.target, c.method, m.head());
    EXPECT_EQ(r.status, c.expected) << c.what << ": got " << ubus_strerror(r.status);
  }
  uint32_t missing;
  EXPECT_EQ(ubus_lookup_id(ctx, "test.none", &missing), UBUS_STATUS_NOT_FOUND);
}

TEST_F(BusCall, AsyncCallDeliversDataThenCompletion) {
  start_peer({"serve", "test.a"});
  auto* ctx = connect();
  struct State {
    struct ubus_request req;
    std::vector<std::string> events;
  } st;
  Msg m;
  m.u32("ms", 30);
  ASSERT_EQ(ubus_invoke_async(ctx, lookup(ctx, "test.a"), "defer", m.head(), &st.req), 0);
  st.req.data_cb = [](struct ubus_request* r, int, struct blob_attr* msg) {
    container_of(r, State, req)
        ->events.push_back("data deferred=" + std::to_string(int_field(msg, "deferred")));
  };
  st.req.complete_cb = [](struct ubus_request* r, int ret) {
    container_of(r, State, req)->events.push_back("complete " + std::to_string(ret));
  };
  ubus_complete_request_async(ctx, &st.req);
  ASSERT_TRUE(run_until([&] { return st.events.size() == 2; }));
  EXPECT_EQ(st.events[0], "data deferred=1");
  EXPECT_EQ(st.events[1], "complete 0");
}

TEST_F(BusCall, AbortedRequestNeverCompletesAndLateRepliesAreIgnored) {
  start_peer({"serve", "test.a"});
  auto* ctx = connect();
  uint32_t id = lookup(ctx, "test.a");
  static int completions;
  completions = 0;
  struct ubus_request req;
  Msg slow;
  slow.u32("ms", 100);
  ASSERT_EQ(ubus_invoke_async(ctx, id, "defer", slow.head(), &req), 0);
  req.complete_cb = [](struct ubus_request*, int) { completions++; };
  ubus_complete_request_async(ctx, &req);
  ubus_abort_request(ctx, &req);
  run_until([] { return false; }, 300);
  EXPECT_EQ(completions, 0) << "an aborted request completed";

  // a timed-out call's reply must not be taken for the next call's
  CallResult timed_out = call(ctx, id, "defer", slow.head(), 20);
  EXPECT_EQ(timed_out.status, UBUS_STATUS_TIMEOUT);
  usleep(150 * 1000);
  Msg m;
  m.str("who", "second");
  CallResult r = call(ctx, id, "echo", m.head());
  ASSERT_EQ(r.status, 0);
  ASSERT_EQ(r.replies.size(), 1u);
  EXPECT_EQ(str_field(r.replies[0].get(), "who"), "second");
}

TEST_F(BusCall, TwoPeersCallEachOtherSyncAndAsync) {
  start_peer({"serve", "peer.one"});
  start_peer({"serve", "peer.two"});
  auto* ctx = connect();
  struct Case {
    const char* caller;
    const char* how;
    const char* target;
    const char* from;
  } cases[] = {
      {"peer.one", "call", "peer.two", "peer"},
      {"peer.two", "call", "peer.one", "peer"},
      {"peer.one", "call_async", "peer.two", "peer-async"},
      {"peer.two", "call_async", "peer.one", "peer-async"},
  };
  for (const Case& c : cases) {
    Msg m;
    m.str("path", c.target).str("method", "echo");
    CallResult r = call(ctx, lookup(ctx, c.caller), c.how, m.head());
    ASSERT_EQ(r.status, 0) << c.caller << " " << c.how;
    ASSERT_EQ(r.replies.size(), 1u);
    EXPECT_EQ(int_field(r.replies[0].get(), "status"), 0) << c.caller << " -> " << c.target;
    EXPECT_EQ(str_field(field(r.replies[0].get(), "reply", BLOBMSG_TYPE_TABLE), "from"), c.from)
        << c.caller << " " << c.how << " " << c.target;
  }
}

TEST_F(BusCall, DescriptorTravelsToTheMethodAndIsClosedOnceSent) {
  start_peer({"serve", "test.a"});
  auto* ctx = connect();
  int p[2];
  ASSERT_EQ(pipe(p), 0);
  const std::string text = "body bytes through a pipe";
  ASSERT_EQ(write(p[1], text.data(), text.size()), ssize_t(text.size()));
  close(p[1]);
  Msg m;
  CallResult r = call(ctx, lookup(ctx, "test.a"), "fd_in", m.head(), 5000, p[0]);
  EXPECT_EQ(fcntl(p[0], F_GETFD), -1) << "the library kept the descriptor it sent";
  ASSERT_EQ(r.status, 0) << ubus_strerror(r.status);
  ASSERT_EQ(r.replies.size(), 1u);
  EXPECT_EQ(str_field(r.replies[0].get(), "data"), text);
}

TEST_F(BusCall, DescriptorComesBackWithTheStatus) {
  start_peer({"serve", "test.a"});
  auto* ctx = connect();
  uint32_t id = lookup(ctx, "test.a");
  struct State {
    struct ubus_request req;
    int fd = -1;
    int status = -999;
    bool fd_before_status = false;
  } st;
  Msg m;
  m.str("data", "response through a descriptor");
  ASSERT_EQ(ubus_invoke_async(ctx, id, "fd_out", m.head(), &st.req), 0);
  st.req.fd_cb = [](struct ubus_request* r, int fd) {
    auto* s = container_of(r, State, req);
    s->fd = fd;
    s->fd_before_status = s->status == -999;
  };
  st.req.complete_cb = [](struct ubus_request* r, int ret) {
    container_of(r, State, req)->status = ret;
  };
  ubus_complete_request_async(ctx, &st.req);
  ASSERT_TRUE(run_until([&] { return st.status != -999; }));
  EXPECT_EQ(st.status, 0);
  ASSERT_GE(st.fd, 0) << "no descriptor arrived";
  EXPECT_TRUE(st.fd_before_status) << "descriptor callback ran after completion";
  char buf[128] = {};
  EXPECT_EQ(std::string(buf, size_t(read(st.fd, buf, sizeof(buf)))),
            "response through a descriptor");
  close(st.fd);

  // without a descriptor callback the library closes what arrives
  int before = testkit::count_fds(getpid());
  for (int i = 0; i < 5; i++) EXPECT_EQ(call(ctx, id, "fd_out", m.head()).status, 0);
  EXPECT_EQ(testkit::count_fds(getpid()), before) << "descriptors leaked";
}

// The daemon takes messages of up to 1 MiB; a client that sends a larger
// one loses its connection, whichever way the message goes.
TEST_F(BusCall, MessagesUpToOneMebibyteOnly) {
  testkit::Child& server = start_peer({"serve", "test.a"});
  auto* ctx = connect();
  uint32_t id = lookup(ctx, "test.a");
  const size_t fits = kMaxMsgLen - 256;
  std::string big(fits, '\0');
  for (size_t i = 0; i < fits; i++) big[i] = char('A' + (i * 13 + i / 4093) % 26);

  Msg up;
  up.str("data", big.c_str());
  CallResult r = call(ctx, id, "hash", up.head(), 20000);
  ASSERT_EQ(r.status, 0) << ubus_strerror(r.status);
  ASSERT_EQ(r.replies.size(), 1u);
  EXPECT_EQ(int_field(r.replies[0].get(), "len"), int64_t(fits));
  EXPECT_EQ(uint32_t(int_field(r.replies[0].get(), "hash")), fnv1a(big.data(), fits));

  Msg down;
  down.u32("size", uint32_t(fits));
  r = call(ctx, id, "big", down.head(), 20000);
  ASSERT_EQ(r.status, 0) << ubus_strerror(r.status);
  ASSERT_EQ(r.replies.size(), 1u);
  std::string got = str_field(r.replies[0].get(), "data");
  EXPECT_EQ(got.size(), fits);
  EXPECT_EQ(fnv1a(got.data(), got.size()), uint32_t(int_field(r.replies[0].get(), "hash")));

  // a reply over the limit: the server is cut off, the caller hears nothing
  Msg too_big;
  too_big.u32("size", uint32_t(kMaxMsgLen));
  r = call(ctx, id, "big", too_big.head(), 1000);
  EXPECT_EQ(r.status, UBUS_STATUS_TIMEOUT) << ubus_strerror(r.status);
  uint32_t gone;
  EXPECT_EQ(ubus_lookup_id(ctx, "test.a", &gone), UBUS_STATUS_NOT_FOUND);
  EXPECT_GE(server.wait(5000), 0) << "the server was not cut off";

  // a call over the limit: the caller itself is cut off
  start_peer({"serve", "test.b"});
  id = lookup(ctx, "test.b");
  big.append(256, 'x');
  Msg up_too_big;
  up_too_big.str("data", big.c_str());
  ctx->connection_lost = nullptr;
  EXPECT_EQ(call(ctx, id, "hash", up_too_big.head(), 5000).status, UBUS_STATUS_CONNECTION_FAILED);
}

std::set<int> open_fd_set() {
  std::set<int> fds;
  DIR* d = opendir("/proc/self/fd");
  while (struct dirent* e = readdir(d)) {
    if (e->d_name[0] != '.') fds.insert(atoi(e->d_name));
  }
  fds.erase(dirfd(d));
  closedir(d);
  return fds;
}

// As on the device: the descriptor that comes with the status of a request
// no longer pending stays open in the process. Its owner must not abort a
// request that may still return one.
TEST_F(BusCall, LateDescriptorOfAnAbortedRequestStaysOpen) {
  start_peer({"serve", "test.a"});
  auto* ctx = connect();
  uint32_t id = lookup(ctx, "test.a");
  std::set<int> before = open_fd_set();

  struct ubus_request req;
  Msg m;
  m.str("data", "late response");
  ASSERT_EQ(ubus_invoke_async(ctx, id, "fd_out", m.head(), &req), 0);
  static bool called;
  called = false;
  req.fd_cb = [](struct ubus_request*, int) { called = true; };
  req.complete_cb = [](struct ubus_request*, int) { called = true; };
  ubus_complete_request_async(ctx, &req);
  ubus_abort_request(ctx, &req);
  std::set<int> after;
  run_until(
      [&] {
        after = open_fd_set();
        return after.size() > before.size();
      },
      2000);
  EXPECT_FALSE(called) << "a callback of the aborted request ran";
  std::vector<int> added;
  for (int fd : after) {
    if (!before.count(fd)) added.push_back(fd);
  }
  ASSERT_EQ(added.size(), 1u) << "the late descriptor was not kept";
  char buf[64] = {};
  EXPECT_EQ(std::string(buf, size_t(read(added[0], buf, sizeof(buf)))), "late response");
  close(added[0]);
}

TEST_F(BusCall, SixtyFourClientsCallAtOnce) {
  start_peer({"serve", "test.a"});
  constexpr int kClients = 64;
  struct Client {
    struct ubus_request req;
    int index = -1;
    int64_t echoed = -1;
    int status = -999;
  } clients[kClients];
  for (int i = 0; i < kClients; i++) {
    auto* ctx = connect();
    ASSERT_NE(ctx, nullptr);
    Msg m;
    m.u32("i", uint32_t(i));
    ASSERT_EQ(ubus_invoke_async(ctx, lookup(ctx, "test.a"), "echo", m.head(), &clients[i].req), 0);
    clients[i].index = i;
    clients[i].req.data_cb = [](struct ubus_request* r, int, struct blob_attr* msg) {
      container_of(r, Client, req)->echoed = int_field(msg, "i");
    };
    clients[i].req.complete_cb = [](struct ubus_request* r, int ret) {
      container_of(r, Client, req)->status = ret;
    };
    ubus_complete_request_async(ctx, &clients[i].req);
  }
  ASSERT_TRUE(run_until(
      [&] {
        for (auto& c : clients)
          if (c.status == -999) return false;
        return true;
      },
      10000));
  for (auto& c : clients) {
    EXPECT_EQ(c.status, 0) << "client " << c.index;
    EXPECT_EQ(c.echoed, c.index) << "client " << c.index << " got another client's reply";
  }
}

TEST_F(BusCall, LookupMatchesExactPathsAndWildcards) {
  start_peer({"serve", "dev.lamp"});
  start_peer({"serve", "dev.fan"});
  start_peer({"serve", "device"});
  auto* ctx = connect();
  struct Case {
    const char* pattern;
    std::vector<std::string> paths;  // sorted
    int status;
  } cases[] = {
      {"dev.*", {"dev.fan", "dev.lamp"}, 0},
      {"dev*", {"dev.fan", "dev.lamp", "device"}, 0},
      {"dev.lamp", {"dev.lamp"}, 0},
      {"dev", {}, UBUS_STATUS_NOT_FOUND},
      {"nothing.*", {}, UBUS_STATUS_NOT_FOUND},
      {nullptr, {"dev.fan", "dev.lamp", "device"}, 0},
  };
  for (const Case& c : cases) {
    std::vector<std::string> found;
    int ret = ubus_lookup(
        ctx, c.pattern,
        [](struct ubus_context*, struct ubus_object_data* o, void* priv) {
          static_cast<std::vector<std::string>*>(priv)->push_back(o->path);
        },
        &found);
    std::sort(found.begin(), found.end());
    EXPECT_EQ(ret, c.status) << (c.pattern ? c.pattern : "(all)");
    EXPECT_EQ(found, c.paths) << (c.pattern ? c.pattern : "(all)");
  }
}

TEST_F(BusCall, NullPathConnectsToTheDefaultSocket) {
  ASSERT_TRUE(testkit::private_tmpfs("/var/run/ubus"));
  testkit::Child daemon({testkit::bin_path("ubusd")});
  ASSERT_TRUE(testkit::wait_listening(UBUS_UNIX_SOCKET));
  struct ubus_context* ctx = nullptr;
  ASSERT_TRUE(testkit::wait_until([&] { return (ctx = ubus_connect(nullptr)) != nullptr; }));
  EXPECT_EQ(ubus_lookup(ctx, nullptr, nullptr, nullptr), 0);
  ubus_free(ctx);
}

}  // namespace
}  // namespace bus_test
