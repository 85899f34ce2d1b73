// SPDX-License-Identifier: ISC
// Losing the bus daemon, as each generation of the device's library handles
// it: what pending requests and synchronous waits are told, when the owner
// hears of it, what a reconnect leaves in the context, and the library's own
// reconnecting connection.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "bus_fixture.h"

namespace bus_test {
namespace {

using testkit::BusGeneration;

// What happened, in order: "complete <status>" per request, "lost".
std::vector<std::string> events;

void note_lost(struct ubus_context*) { events.push_back("lost"); }

struct Tracked {
  struct ubus_request req = {};
  const char* name = "";
  int status = -999;
  Tracked* abort_on_complete = nullptr;
};

void note_complete(struct ubus_request* r, int ret) {
  auto* t = container_of(r, Tracked, req);
  t->status = ret;
  events.push_back(std::string("complete ") + t->name + " " + std::to_string(ret));
  if (t->abort_on_complete) ubus_abort_request(r->ctx, &t->abort_on_complete->req);
}

class BusLoss : public BusTest, public ::testing::WithParamInterface<BusGeneration> {
 protected:
  void SetUp() override {
    testkit::use_bus_generation(GetParam());
    events.clear();
    BusTest::SetUp();
  }
  bool current() const { return GetParam() == BusGeneration::kCurrent; }

  // An asynchronous call of "hang" on test.a that its server never answers.
  void start_hanging(struct ubus_context* ctx, uint32_t id, Tracked* t, const char* name) {
    t->name = name;
    Msg m;
    ASSERT_EQ(ubus_invoke_async(ctx, id, "hang", m.head(), &t->req), 0);
    t->req.complete_cb = note_complete;
    ubus_complete_request_async(ctx, &t->req);
  }

  void kill_daemon() {
    daemon_.signal(SIGKILL);
    ASSERT_NE(daemon_.wait(5000), -1) << "daemon did not die";
  }
};

TEST_P(BusLoss, PendingRequestsAreCompletedBeforeTheOwnerHearsOnlyWithTheCurrentLibrary) {
  testkit::Child& server = start_peer({"serve", "test.a"});
  auto* ctx = connect();
  ctx->connection_lost = note_lost;
  uint32_t id = lookup(ctx, "test.a");
  Tracked a, b, c;
  start_hanging(ctx, id, &a, "a");
  start_hanging(ctx, id, &b, "b");
  start_hanging(ctx, id, &c, "c");
  // whichever of b and c completes first gives the other up
  b.abort_on_complete = &c;
  c.abort_on_complete = &b;
  ASSERT_TRUE(testkit::wait_until([&] {
    std::string out = server.output();
    size_t n = 0;
    for (size_t at = out.find("hanging"); at != std::string::npos; at = out.find("hanging", at + 1))
      n++;
    return n == 3;
  })) << server.output();

  kill_daemon();
  ASSERT_TRUE(run_until([] { return !events.empty() && events.back() == "lost"; }))
      << "connection_lost not called";
  run_until([] { return false; }, 200);  // nothing may follow

  std::string seen;
  for (auto& e : events) seen += e + "; ";
  if (current()) {
    ASSERT_EQ(events.size(), 3u) << seen;
    EXPECT_EQ(a.status, UBUS_STATUS_TIMEOUT) << seen;
    EXPECT_NE(b.status == UBUS_STATUS_TIMEOUT, c.status == UBUS_STATUS_TIMEOUT)
        << "exactly one of b and c completes, the other was aborted: " << seen;
    EXPECT_EQ(events.back(), "lost") << seen;
  } else {
    EXPECT_EQ(seen, "lost; ") << "the older library completes no request";
    EXPECT_EQ(a.status, -999);
    ubus_abort_request(ctx, &a.req);
    ubus_abort_request(ctx, &b.req);
    ubus_abort_request(ctx, &c.req);
  }
}

TEST_P(BusLoss, SynchronousWaitEndsWithConnectionFailed) {
  start_peer({"serve", "test.a"});
  auto* ctx = connect();
  ctx->connection_lost = note_lost;
  uint32_t id = lookup(ctx, "test.a");
  Tracked a;
  start_hanging(ctx, id, &a, "a");
  testkit::Child killer(
      {"/bin/sh", "-c", "sleep 0.3; kill -KILL " + std::to_string(daemon_.pid())});

  auto start = std::chrono::steady_clock::now();
  Msg m;
  int status = call(ctx, id, "hang", m.head(), 20000).status;
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(status, UBUS_STATUS_CONNECTION_FAILED) << ubus_strerror(status);
  EXPECT_LT(waited, std::chrono::seconds(10)) << "the wait outlived the connection";
  ASSERT_TRUE(run_until([] { return !events.empty() && events.back() == "lost"; }));
  if (current()) {
    EXPECT_EQ(a.status, UBUS_STATUS_TIMEOUT) << "the pending asynchronous call";
  } else {
    EXPECT_EQ(a.status, -999) << "the older library leaves it pending";
    ubus_abort_request(ctx, &a.req);
  }
}

TEST_P(BusLoss, AFailedSendOnlyMarksTheEndTheReadPathTellsTheOwner) {
  start_peer({"serve", "test.a"});
  auto* ctx = connect();
  ctx->connection_lost = note_lost;
  Tracked a;
  start_hanging(ctx, lookup(ctx, "test.a"), &a, "a");
  kill_daemon();

  Msg m;
  m.str("x", "y");
  EXPECT_NE(ubus_send_event(ctx, "test.event", m.head()), 0) << "sent to a dead daemon";
  EXPECT_TRUE(ctx->sock.eof) << "a failed send marks the end of the connection";
  EXPECT_TRUE(events.empty()) << "a send does not tell the owner: " << events.front();
  EXPECT_EQ(a.status, -999);

  ASSERT_TRUE(run_until([] { return !events.empty() && events.back() == "lost"; }))
      << "the read path never told the owner";
  EXPECT_EQ(a.status, current() ? UBUS_STATUS_TIMEOUT : -999);
  if (!current()) ubus_abort_request(ctx, &a.req);
}

INSTANTIATE_TEST_SUITE_P(Bus, BusLoss, ::testing::ValuesIn(testkit::kBusGenerations),
                         testkit::BusGenerationName());

class BusReconnect : public BusTest {};

const struct ubus_method ping_methods[] = {
    UBUS_METHOD_NOARG(
        "ping", [](struct ubus_context* c, struct ubus_object*, struct ubus_request_data* req,
                   const char*, struct blob_attr* msg) { return ubus_send_reply(c, req, msg); }),
};
struct ubus_object_type ping_type = UBUS_OBJECT_TYPE("ping", ping_methods);

void init_ping_object(struct ubus_object* obj, const char* name) {
  *obj = {};
  obj->name = name;
  obj->type = &ping_type;
  obj->methods = ping_methods;
  obj->n_methods = ARRAY_SIZE(ping_methods);
}

TEST_F(BusReconnect, ObjectsComeBackUnderNewIdsAndTheLoopIsLeftToTheCaller) {
  auto* ctx = connect();
  ctx->connection_lost = nullptr;
  struct ubus_object objs[3];
  const char* names[3] = {"svc.one", "svc.two", "svc.three"};
  uint32_t old_ids[3];
  for (int i = 0; i < 3; i++) {
    init_ping_object(&objs[i], names[i]);
    ASSERT_EQ(ubus_add_object(ctx, &objs[i]), 0);
    old_ids[i] = objs[i].id;
  }
  daemon_.signal(SIGKILL);
  daemon_.wait(5000);
  daemon_ = testkit::Child({testkit::bin_path("ubusd"), "-s", sock_});
  ASSERT_TRUE(testkit::wait_listening(sock_));
  ASSERT_EQ(ubus_reconnect(ctx, sock_.c_str()), 0);
  EXPECT_FALSE(ctx->sock.registered) << "ubus_reconnect added the socket to the loop";

  struct ubus_context* other = ubus_connect(sock_.c_str());
  ASSERT_NE(other, nullptr);
  int changed = 0;
  for (int i = 0; i < 3; i++) {
    uint32_t id = 0;
    EXPECT_EQ(ubus_lookup_id(other, names[i], &id), 0) << names[i] << " not published again";
    EXPECT_EQ(id, objs[i].id) << names[i] << ": the object holds another id than the bus";
    changed += objs[i].id != old_ids[i];
  }
  // ids are random: three objects keeping theirs would be chance of 2^-96
  EXPECT_GT(changed, 0) << "a restarted daemon gave the objects their old ids";
  ubus_free(other);
}

// A daemon that accepts a connection and dies before its greeting.
TEST_F(BusReconnect, AFailedReconnectLeavesAClosedNumberThatLooksConnected) {
  auto* ctx = connect();
  ctx->connection_lost = nullptr;

  std::string mute = dir_ / "mute.sock";
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  snprintf(sa.sun_path, sizeof(sa.sun_path), "%s", mute.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  std::thread mute_daemon([listener] {
    int c = accept(listener, nullptr, nullptr);
    if (c >= 0) close(c);
  });
  int ret = ubus_reconnect(ctx, mute.c_str());
  mute_daemon.join();
  close(listener);

  EXPECT_NE(ret, UBUS_STATUS_OK);
  int fd = ctx->sock.fd;
  EXPECT_GE(fd, 0) << "the number of the closed socket stays in the context";
  EXPECT_FALSE(ctx->sock.eof);
  EXPECT_FALSE(ctx->sock.error);
  errno = 0;
  EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "descriptor " << fd << " is still open";
  EXPECT_EQ(errno, EBADF);
  // nothing listens at all: no socket, no number
  EXPECT_NE(ubus_reconnect(ctx, (dir_ / "none.sock").c_str()), UBUS_STATUS_OK);
  EXPECT_EQ(ctx->sock.fd, -1);
}

// stderr of this process into a file while it lives.
class StderrCapture {
 public:
  explicit StderrCapture(const std::string& path) : path_(path) {
    fflush(stderr);
    saved_ = dup(2);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(fd, 2);
    close(fd);
  }
  ~StderrCapture() {
    fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
  }
  std::string text() const { return testkit::read_file(path_); }

 private:
  std::string path_;
  int saved_ = -1;
};

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

struct ubus_object auto_obj;
int auto_cb_runs;

TEST_F(BusReconnect, AutoConnectRetriesEverySecondAndComesBackAfterALoss) {
  daemon_.signal(SIGKILL);
  daemon_.wait(5000);
  init_ping_object(&auto_obj, "svc.auto");
  auto_cb_runs = 0;
  static struct ubus_auto_conn conn;
  conn = {};
  conn.path = sock_.c_str();
  conn.cb = [](struct ubus_context* ctx) {
    auto_cb_runs++;
    ubus_add_object(ctx, &auto_obj);
  };

  StderrCapture err(dir_ / "stderr");
  auto start = std::chrono::steady_clock::now();
  ubus_auto_connect(&conn);
  EXPECT_EQ(count_of(err.text(), "failed to connect to ubus\n"), 1u) << "said at once";
  run_until([] { return false; }, 1500);
  size_t failures = count_of(err.text(), "failed to connect to ubus\n");
  EXPECT_GE(failures, 2u) << "tried again after a second";
  EXPECT_LE(failures, 3u) << "retries faster than once a second";
  EXPECT_EQ(auto_cb_runs, 0);

  daemon_ = testkit::Child({testkit::bin_path("ubusd"), "-s", sock_});
  ASSERT_TRUE(run_until([] { return auto_cb_runs == 1; }, 3000)) << "never connected";
  EXPECT_TRUE(conn.ctx.sock.registered) << "not added to the loop";
  EXPECT_NE(conn.ctx.connection_lost, nullptr);
  uint32_t first_id = auto_obj.id;

  // lost: a second's wait, then ubus_reconnect until it works
  daemon_.signal(SIGKILL);
  daemon_.wait(5000);
  daemon_ = testkit::Child({testkit::bin_path("ubusd"), "-s", sock_});
  ASSERT_TRUE(testkit::wait_listening(sock_));
  start = std::chrono::steady_clock::now();
  auto published = [this] {
    struct ubus_context* c = ubus_connect(sock_.c_str());
    uint32_t id = 0;
    bool found = c && ubus_lookup_id(c, "svc.auto", &id) == 0 && id == auto_obj.id;
    ubus_free(c);
    return found;
  };
  ASSERT_TRUE(run_until(published, 5000)) << "the object never came back";
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(800)) << "reconnected without the second's pause";
  EXPECT_EQ(auto_cb_runs, 1) << "cb runs for the first connection only";
  EXPECT_TRUE(conn.ctx.sock.registered) << "not added to the loop again";
  EXPECT_NE(auto_obj.id, first_id) << "the restarted daemon gave the object its old id";
  // and it serves through the new connection (this process answers, so the
  // call waits in the loop, not in a synchronous call)
  auto* caller = connect();
  Msg m;
  m.str("x", "y");
  Tracked ping;
  ping.name = "ping";
  ASSERT_EQ(ubus_invoke_async(caller, auto_obj.id, "ping", m.head(), &ping.req), 0);
  ping.req.complete_cb = note_complete;
  ubus_complete_request_async(caller, &ping.req);
  EXPECT_TRUE(run_until([&] { return ping.status != -999; })) << "no answer";
  EXPECT_EQ(ping.status, 0);
  uloop_timeout_cancel(&conn.timer);
  ubus_shutdown(&conn.ctx);
}

}  // namespace
}  // namespace bus_test
